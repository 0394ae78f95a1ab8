#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "CleanJobTestSupport.h"
#include "CleanerTestSupport.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

using testing::Finds;
using testing::TRecordingView;
using testing::TScriptedPrompt;

class CleanerControllerTest : public ::testing::Test {
 protected:
  memory::MemoryTarget target;
  TNoDesktop desktop;
  TScriptedPrompt prompt;
  TMessageQueue queue;
  TRecordingView view;
  TOptionsSetting options;
  std::unique_ptr<TCleanerController> controller;
  int entries = 3;

  void SetUp() override {
    options.IsAskBeforeClear = true;
    options.FastScan = false;
    TCleanContext context{&target, (target.Folder() / "program").string() + "/", &prompt, &desktop, &options};
    controller = std::make_unique<TCleanerController>(context, queue, view, options);
    controller->Dispatcher = [this](const std::string&) { return Finds(entries, 100); };
    view.selection = {"Windows - Recent Documents", "Windows - Start Run"};
  }

  void RunToIdle() {
    ASSERT_TRUE(queue.ProcessUntil([&] { return !controller->Busy && !controller->JobRunning(); },
                                   std::chrono::seconds(30)));
    queue.ProcessPending();
  }
};

TEST_F(CleanerControllerTest, TestRunsAndFinishes) {
  controller->bTestClick();
  EXPECT_TRUE(controller->Busy);
  EXPECT_EQ(view.testCaption, "Cancel");
  EXPECT_EQ(controller->RunMode, TestRun);
  EXPECT_EQ(controller->ProgressStep, 50);
  EXPECT_TRUE(view.timer) << "a visible test animates the bar";
  EXPECT_EQ(view.confirmations, 0) << "a test is never confirmed";
  RunToIdle();
  EXPECT_EQ(view.testCaption, "Test");
  EXPECT_EQ(view.caption, kFinished);
  EXPECT_EQ(view.position, 1000);
  EXPECT_FALSE(view.timer);
  EXPECT_EQ(view.fits, 1);
  EXPECT_EQ(view.log.front(), "Test: Clearing Windows - Recent Documents ...");
  EXPECT_EQ(view.log[view.log.size() - 2], "Total items will be removed = 6 ; Total files will be removed = 1 KB");
}

TEST_F(CleanerControllerTest, CleanCountsHiddenThenRemovesWithProgress) {
  controller->bCleanClick();
  EXPECT_EQ(view.confirmations, 1);
  // The counting pass: a test with the log hidden, Fast Mode forced on, the bar's caption.
  EXPECT_EQ(controller->RunMode, TestRun);
  EXPECT_TRUE(view.hidden);
  EXPECT_TRUE(controller->FastModeFlag().load());
  EXPECT_EQ(view.caption, kPrepareToClean);
  EXPECT_FALSE(view.timer) << "a hidden pass does not animate";
  RunToIdle();
  EXPECT_EQ(controller->CountedTotal, 6);
  EXPECT_EQ(controller->RunMode, CleanAfterCount);
  EXPECT_FALSE(view.hidden);
  EXPECT_FALSE(options.FastScan) << "Fast Mode is given back after the count";
  EXPECT_EQ(view.confirmations, 1) << "the removing pass is not confirmed again";
  EXPECT_EQ(view.caption, kFinished);
  EXPECT_EQ(view.log.front(), "Clean: Clearing Windows - Recent Documents ...");
  // Only the removing pass's lines stay in the list; the counting pass ran in Fast Mode.
  int hiddenLines = 0;
  for (auto& l : view.everLogged) hiddenLines += l.rfind("(hidden) ", 0) == 0;
  EXPECT_EQ(hiddenLines, 2 * 4 + 1 + 3) << "header, empty, summary, empty per item, a separator, the totals";
  EXPECT_EQ(controller->ProgressStep, 20);
}

TEST_F(CleanerControllerTest, ProgressOfTheRemovingPassIsAShareOfTheCount) {
  controller->RunMode = CleanAfterCount;
  controller->CountedTotal = 8;
  controller->WMCleanProgress(2);
  EXPECT_EQ(view.position, 250);
  controller->RunMode = TestRun;
  controller->WMCleanProgress(8);
  EXPECT_EQ(view.position, 250) << "other modes leave the bar alone";
  controller->RunMode = CleanAfterCount;
  controller->CountedTotal = 0;
  controller->WMCleanProgress(8);
  EXPECT_EQ(view.position, 250);
}

TEST_F(CleanerControllerTest, ACountOfZeroStillRunsTheRemovingPass) {
  entries = 0;
  controller->bCleanClick();
  RunToIdle();
  EXPECT_EQ(controller->CountedTotal, 0);
  EXPECT_EQ(view.caption, kFinished);
  EXPECT_EQ(view.log.front(), "Clean: Clearing Windows - Recent Documents ...");
}

TEST_F(CleanerControllerTest, StopDuringATest) {
  entries = 1000000;
  controller->bTestClick();
  controller->bTestClick();  // reads "Cancel": stops
  EXPECT_FALSE(controller->Busy);
  EXPECT_EQ(view.testCaption, "Test");
  RunToIdle();
  EXPECT_NE(view.caption, kFinished);
  for (auto& l : view.log) EXPECT_EQ(l.find("Total items"), std::string::npos);
}

TEST_F(CleanerControllerTest, StopDuringTheCountingPassGivesBackLogAndFastMode) {
  entries = 1000000;
  controller->bCleanClick();
  ASSERT_TRUE(view.hidden);
  controller->Stop();
  EXPECT_FALSE(view.hidden);
  EXPECT_FALSE(options.FastScan);
  RunToIdle();
  EXPECT_EQ(controller->RunMode, TestRun) << "no removing pass follows a stopped count";
  EXPECT_EQ(controller->CountedTotal, 0);
}

TEST_F(CleanerControllerTest, StopDuringTheRemovingPass) {
  entries = 200000;
  controller->bCleanClick();
  ASSERT_TRUE(queue.ProcessUntil([&] { return controller->RunMode == CleanAfterCount; }, std::chrono::seconds(60)));
  controller->Stop();
  RunToIdle();
  EXPECT_NE(view.caption, kFinished);
  EXPECT_EQ(view.testCaption, "Test");
}

// Holds item operations on the worker until the test opens it.
class TGate {
 public:
  void Wait() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return open_; });
  }
  void Open() {
    {
      std::lock_guard lock(mu_);
      open_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Cancel while the only item of a Test or of a Clean's counting pass is still running: the
// job goes on to its end, but the page never shows "Finished!" or totals and no removing
// pass starts.
TEST_F(CleanerControllerTest, StopInTheOnlyItemEndsTheRunInEveryPass) {
  for (bool clean : {false, true}) {
    SCOPED_TRACE(clean ? "Clean" : "Test");
    TGate gate;
    std::atomic<bool> entered{false};
    std::atomic<int> dispatched{0};
    view.selection = {"Windows - Temporary Files"};
    controller->Dispatcher = [&](const std::string&) -> TItemOperation {
      ++dispatched;
      return [&](TClearTaskThread& job) {
        entered = true;
        job.LogLine("inside");  // wakes the owner
        gate.Wait();
        ++job.ItemCount;
      };
    };
    clean ? controller->bCleanClick() : controller->bTestClick();
    ASSERT_TRUE(queue.ProcessUntil([&] { return entered.load(); }, std::chrono::seconds(30)));
    controller->Stop();
    gate.Open();
    RunToIdle();
    EXPECT_NE(view.caption, kFinished);
    EXPECT_TRUE(testing::LinesWith(view.everLogged, "Total items").empty());
    EXPECT_EQ(dispatched.load(), 1) << "no second pass";
    EXPECT_NE(controller->RunMode, CleanAfterCount);
    EXPECT_FALSE(controller->Busy);
  }
}

// The counting pass has ended and its done message is handled, but the removing pass is not
// started yet when Cancel comes: it must not start.
TEST_F(CleanerControllerTest, StopBetweenTheCountAndTheRemovingPass) {
  controller->bCleanClick();
  ASSERT_TRUE(queue.ProcessUntil([&] { return controller->CountedTotal > 0; }, std::chrono::seconds(30)));
  controller->Stop();
  RunToIdle();
  EXPECT_NE(controller->RunMode, CleanAfterCount);
  EXPECT_TRUE(testing::LinesWith(view.everLogged, "Clean: ").empty());
  EXPECT_NE(view.caption, kFinished);
}

// Cancel followed at once by a new Test: the stopped job is still inside its item, so no start
// request of any kind starts a job beside it. Once it has ended a Test starts, and the stopped
// job's late line does not reach the new job's log.
TEST_F(CleanerControllerTest, CancelThenANewTestWaitsForTheStoppedJob) {
  TGate gate;
  std::atomic<int> jobs{0};
  std::atomic<bool> firstEntered{false};
  view.selection = {"Windows - Temporary Files"};
  options.IsAskBeforeClear = false;
  controller->Dispatcher = [&](const std::string&) -> TItemOperation {
    return [&](TClearTaskThread& job) {
      const int id = ++jobs;
      if (id == 1) {
        firstEntered = true;
        job.LogLine("first job, early");
        gate.Wait();
        job.LogLine("first job, late");
        ++job.ItemCount;
        return;
      }
      job.LogLine("second job");
      ++job.ItemCount;
    };
  };
  controller->bTestClick();
  ASSERT_TRUE(queue.ProcessUntil([&] { return firstEntered.load(); }, std::chrono::seconds(30)));
  controller->bTestClick();  // Cancel
  controller->bTestClick();  // a new Test, at once
  controller->bCleanClick();
  controller->StartDirectClean();
  EXPECT_FALSE(controller->Busy);
  EXPECT_TRUE(controller->JobRunning());
  EXPECT_EQ(view.testCaption, "Test");
  EXPECT_EQ(controller->RunMode, TestRun);
  EXPECT_EQ(controller->CountedTotal, 0);
  gate.Open();
  RunToIdle();
  EXPECT_EQ(jobs.load(), 1) << "no job started beside the stopped one";
  controller->bTestClick();
  EXPECT_TRUE(controller->Busy);
  EXPECT_EQ(view.testCaption, "Cancel");
  RunToIdle();
  EXPECT_EQ(jobs.load(), 2);
  EXPECT_TRUE(testing::LinesWith(view.log, "first job, late").empty());
  EXPECT_EQ(testing::LinesWith(view.log, "second job").size(), 1u);
  EXPECT_EQ(testing::LinesWith(view.log, "Total items").size(), 1u);
  EXPECT_EQ(view.caption, kFinished);
}

// Entries a clean could not remove are counted for the end of the run; one that had gone
// meanwhile is not a failure.
TEST_F(CleanerControllerTest, FailedRemovalsAreCounted) {
  controller->Dispatcher = [](const std::string&) -> TItemOperation {
    return [](TClearTaskThread& job) {
      if (job.IsTestMode()) return;
      for (int error : {EROFS, EACCES, ENOENT}) EXPECT_FALSE(job.RemovalFailed(error));
    };
  };
  controller->bCleanClick();
  RunToIdle();
  EXPECT_EQ(controller->FailedRemovals, 4) << "two items, two failures each";
}

TEST_F(CleanerControllerTest, AStartWhileBusyChangesNothing) {
  entries = 1000000;
  controller->bTestClick();
  controller->bCleanClick();
  EXPECT_EQ(controller->RunMode, TestRun);
  EXPECT_EQ(controller->CountedTotal, 0);
  EXPECT_EQ(view.confirmations, 0);
  controller->StartDirectClean();
  EXPECT_EQ(controller->RunMode, TestRun);
  controller->Stop();
  RunToIdle();
}

TEST_F(CleanerControllerTest, NoSelection) {
  view.selection.clear();
  controller->bTestClick();
  ASSERT_EQ(prompt.asked.size(), 1u);
  EXPECT_EQ(prompt.asked[0].Text, kNoSelectionMessage);
  EXPECT_EQ(prompt.asked[0].Caption, "Kestrove");
  EXPECT_FALSE(controller->Busy);
  controller->StartDirectClean();  // silent for the schedule
  EXPECT_EQ(prompt.asked.size(), 1u);
}

TEST_F(CleanerControllerTest, ConfirmationRefusedOrSkipped) {
  view.confirm = false;
  controller->bCleanClick();
  EXPECT_FALSE(controller->Busy);
  EXPECT_FALSE(controller->JobRunning());
  EXPECT_EQ(view.testCaption, "Test");
  controller->SkipConfirm = true;  // "/Clear"
  controller->bCleanClick();
  EXPECT_EQ(view.confirmations, 1);
  RunToIdle();
  EXPECT_EQ(view.caption, kFinished);
  options.IsAskBeforeClear = false;
  controller->SkipConfirm = false;
  controller->StartDirectClean();
  EXPECT_EQ(view.confirmations, 1);
  RunToIdle();
}

TEST_F(CleanerControllerTest, FirefoxRunningBlocksACleanButNotATest) {
  class FirefoxDesktop : public TNoDesktop {
   public:
    bool TopLevelWindowOfClassExists(std::string_view c) override { return c == "MozillaWindowClass"; }
  } firefox;
  TCleanContext context{&target, "", &prompt, &firefox, &options};
  TCleanerController c(context, queue, view, options);
  c.Dispatcher = controller->Dispatcher;
  view.firefox = true;
  c.bCleanClick();
  ASSERT_EQ(prompt.asked.size(), 1u);
  EXPECT_EQ(prompt.asked[0].Text, kCloseFirefoxMessage);
  EXPECT_FALSE(c.Busy);
  c.bTestClick();
  EXPECT_TRUE(c.Busy);
  ASSERT_TRUE(queue.ProcessUntil([&] { return !c.Busy; }, std::chrono::seconds(30)));
  queue.ProcessPending();
}

TEST_F(CleanerControllerTest, AFailingItemLeavesThePageUsableAndSaysWhy) {
  controller->Dispatcher = [](const std::string&) -> TItemOperation {
    return [](TClearTaskThread&) { throw std::runtime_error("refused"); };
  };
  controller->bTestClick();
  RunToIdle();
  EXPECT_FALSE(controller->Busy);
  EXPECT_EQ(view.testCaption, "Test");
  ASSERT_EQ(view.failures.size(), 1u);
  EXPECT_EQ(view.failures[0], "refused");
  EXPECT_NE(view.caption, kFinished);
}

TEST_F(CleanerControllerTest, TimerAnimatesUntilFinished) {
  controller->ProgressStep = 50;
  controller->Timer1Timer(true);
  EXPECT_EQ(view.position, 50);
  controller->Timer1Timer(false);
  EXPECT_EQ(view.position, 50) << "a hidden page does not move";
  for (int i = 0; i < 19; ++i) controller->Timer1Timer(true);
  EXPECT_EQ(view.position, 0) << "past 999 the bar starts again";
}

}  // namespace
}  // namespace kestrove
