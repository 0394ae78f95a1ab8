#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "CleanJobTestSupport.h"
#include "app/IniFile.h"
#include "cleaner/CleanCatalogue.h"
#include "cleaner/ItemOperations.h"
#include "CleanerTestSupport.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

using testing::Finds;

class TRecordingEvents : public IClearTaskEvents {
 public:
  std::vector<std::string> lines;
  std::vector<int> progress;
  std::vector<int> done;
  bool ended = false, completed = false;
  std::string error;
  std::thread::id thread;
  void AddLogLine(const std::string& line) override {
    thread = std::this_thread::get_id();
    lines.push_back(line);
  }
  void ScrollLogToEnd() override {}
  void CleanProgress(int c) override { progress.push_back(c); }
  void CleanDone(int t) override { done.push_back(t); }
  void JobEnded(bool c, const std::string& e) override {
    ended = true;
    completed = c;
    error = e;
  }
};

struct JobRun {
  TMessageQueue queue;
  TRecordingEvents events;
  std::atomic<bool> fast{false};
  TOptionsSetting options;

  memory::MemoryTarget target;
  TNoDesktop desktop;
  testing::TScriptedPrompt prompt;

  void Run(TRunMode mode, std::vector<std::string> names,
           std::function<TItemOperation(const std::string&)> dispatch, bool terminateFirst = false) {
    TCleanContext context;
    context.Options = &options;
    context.Target = &target;
    context.Desktop = &desktop;
    context.Prompt = &prompt;
    context.ProgramFolder = (target.Folder() / "program").string() + "/";
    auto job = std::make_shared<TClearTaskThread>(context, queue, events, mode, std::move(names), fast);
    job->Dispatcher = std::move(dispatch);
    if (terminateFirst) job->Terminate();
    job->Resume();
    ASSERT_TRUE(queue.ProcessUntil([&] { return events.ended; }, std::chrono::seconds(30)));
  }
};

const std::string kSeparator(107, '-');

TEST(ClearTask, OneItemWritesHeaderDetailsSummaryAndTotals) {
  JobRun run;
  run.Run(TestRun, {"Windows - Recent Documents"}, [](const std::string&) { return Finds(12, 1024 * 1024 / 12 + 1); });
  ASSERT_EQ(run.events.lines.size(), 1u + 12 + 1 + 1 + 1 + 3);
  EXPECT_EQ(run.events.lines[0], "Test: Clearing Windows - Recent Documents ...");
  EXPECT_EQ(run.events.lines[1], "Test: deleting C:\\f0");
  EXPECT_EQ(run.events.lines[13], "");
  EXPECT_EQ(run.events.lines[14], "12 items will be removed; 1,025 KB will be removed.");
  EXPECT_EQ(run.events.lines[15], "");
  EXPECT_EQ(run.events.lines[16], kSeparator);
  EXPECT_EQ(run.events.lines[17], "Total items will be removed = 12 ; Total files will be removed = 1,025 KB");
  EXPECT_EQ(run.events.lines[18], kSeparator);
  EXPECT_EQ(run.events.done, std::vector<int>{12});
  EXPECT_TRUE(run.events.completed);
  EXPECT_EQ(run.events.thread, std::this_thread::get_id()) << "log lines must reach the owner thread";
}

TEST(ClearTask, CleanModeWordsAndSeparatorsBetweenItems) {
  JobRun run;
  run.Run(CleanAfterCount, {"A - one", "A - two"}, [](const std::string& n) { return Finds(n == "A - one" ? 1 : 2, 1024); });
  std::vector<std::string> expected = {
      "Clean: Clearing A - one ...", "Clean: deleting C:\\f0", "", "1 items to be removed; 1 KB to be removed.", "",
      kSeparator, "Clean: Clearing A - two ...", "Clean: deleting C:\\f0", "Clean: deleting C:\\f1", "",
      "2 items to be removed; 2 KB to be removed.", "", kSeparator,
      "Total items to be removed = 3 ; Total files to be removed = 3 KB", kSeparator};
  EXPECT_EQ(run.events.lines, expected);
  // Each item's summary posts the running total.
  EXPECT_EQ(run.events.progress, (std::vector<int>{1, 3}));
}

TEST(ClearTask, FastModeKeepsOnlyTheFixedLines) {
  JobRun run;
  run.fast = true;
  run.Run(TestRun, {"A - one"}, [](const std::string&) { return Finds(5, 1); });
  EXPECT_EQ(run.events.lines.size(), 7u);
  EXPECT_EQ(run.events.lines[2], "5 items will be removed; 1 KB will be removed.");
}

TEST(ClearTask, UnknownItemLooksUpAMissingDefinitionAndFindsNothing) {
  JobRun run;
  // No dispatcher: the real dispatch sends an unknown name to qvtk.dat, which is not there.
  run.Run(TestRun, {"Windows - Clipboard", "Applications - Nothing Like It"}, nullptr);
  ASSERT_GE(run.events.lines.size(), 9u);
  EXPECT_EQ(run.events.lines[2], "0 items will be removed; 0 KB will be removed.");
  EXPECT_EQ(run.events.lines[7], "0 items will be removed; 0 KB will be removed.");
  EXPECT_TRUE(run.events.completed);
}

TEST(ClearTask, StopEndsWithoutTotalsOrDone) {
  JobRun run;
  run.Run(TestRun, {"A - one", "A - two"}, [](const std::string&) { return Finds(1, 1); }, true);
  EXPECT_TRUE(run.events.lines.empty());
  EXPECT_TRUE(run.events.done.empty());
  EXPECT_FALSE(run.events.completed);
  EXPECT_TRUE(run.events.error.empty());
}

// A stop that arrives while the last item runs must not end like a finished run: the done
// message of a counting pass is what starts the removing pass.
TEST(ClearTask, StopInTheOnlyOrLastItemWritesNoSummaryNoTotalsNoDone) {
  for (TRunMode mode : {TestRun, CleanAfterCount, DirectClean}) {
    for (const std::vector<std::string>& names :
         {std::vector<std::string>{"A - one"}, std::vector<std::string>{"A - one", "A - two"}}) {
      SCOPED_TRACE(::testing::Message() << "mode " << mode << ", " << names.size() << " items");
      JobRun run;
      const std::string last = names.back();
      run.Run(mode, names, [last](const std::string& n) -> TItemOperation {
        if (n != last) return Finds(1, 1);
        return [](TClearTaskThread& job) {
          ++job.ItemCount;
          job.Terminate();  // as Cancel does, half-way through the walk
        };
      });
      EXPECT_TRUE(run.events.done.empty());
      EXPECT_FALSE(run.events.completed);
      EXPECT_TRUE(run.events.error.empty());
      EXPECT_TRUE(testing::LinesWith(run.events.lines, "Total items").empty());
      // Only the items that went through have a summary.
      EXPECT_EQ(testing::LinesWith(run.events.lines, " items ").size(), names.size() - 1);
      EXPECT_EQ(run.events.lines.back(), (mode == TestRun ? "Test: " : "Clean: ") + ("Clearing " + last + " ..."));
    }
  }
}

TEST(ClearTask, AnErrorInAnItemEndsTheRunWithoutTotals) {
  JobRun run;
  run.Run(TestRun, {"A - one", "A - two"}, [](const std::string& n) -> TItemOperation {
    if (n == "A - one") return [](TClearTaskThread&) { throw std::runtime_error("disk on fire"); };
    return Finds(1, 1);
  });
  EXPECT_EQ(run.events.lines, std::vector<std::string>{"Test: Clearing A - one ..."});
  EXPECT_TRUE(run.events.done.empty());
  EXPECT_FALSE(run.events.completed);
  EXPECT_EQ(run.events.error, "disk on fire");
}

TEST(ClearTask, DispatchOfNames) {
  const auto& names = BuiltInItemNames();
  EXPECT_EQ(names.front(), "Windows - Recent Documents");
  EXPECT_EQ(names.size(), 51u);
  // Definition-file items are not built-in names.
  for (const char* n : {"Windows - Windows Log Files", "Instant Messengers - ICQ", "Instant Messengers - AOL Instant Messenger"})
    EXPECT_EQ(std::count(names.begin(), names.end(), n), 0) << n;
  EXPECT_EQ(TotalsLine(true, 0, 1048576), "Total items will be removed = 0 ; Total files will be removed = 1,024 KB");
  EXPECT_EQ(TotalsLine(false, 7, 1023), "Total items to be removed = 7 ; Total files to be removed = 1 KB");
}

}  // namespace
}  // namespace kestrove

namespace kestrove {
namespace {

// Every item of the tree reaches an operation: its own, or a section of the shipped
// definitions; and every built-in name is an item of the tree.
TEST(ClearTask, EveryCatalogueItemResolves) {
  TCleanCatalogue catalogue;
  TIniFile shipped(std::string(KESTROVE_SOURCE_DIR) + "/data/qvtk.dat");
  const auto& builtIn = BuiltInItemNames();
  std::set<std::string> reached;
  for (const auto& category : catalogue.Categories()) {
    if (category->Text == "Custom Lists" || category->Text == "Applications") continue;
    for (const auto& item : category->Children) {
      const std::string name = TCleanCatalogue::ItemName(*item);
      const std::string builtInName =
          name == "Mozilla Firefox - Download Manager" ? "Mozilla Firefox - Download Manager History" : name;
      if (std::find(builtIn.begin(), builtIn.end(), builtInName) != builtIn.end())
        reached.insert(builtInName);
      else
        EXPECT_TRUE(shipped.SectionExists(DefinitionSectionName(name))) << name << " has no operation";
    }
  }
  EXPECT_EQ(reached.size(), builtIn.size()) << "a built-in name that no tree item reaches";
  EXPECT_NO_THROW(DispatchItem("Windows - Start Run"));  // the operation table builds
}

TEST(ClearTask, FirefoxDownloadManagerNodeReachesTheDownloadHistoryOperation) {
  // Both names reach the same built-in operation, never a definition file.
  JobRun run;
  std::filesystem::create_directories(run.target.Folder() / "program");
  std::ofstream(run.target.Folder() / "program" / "qvtk.dat") << "[Download Manager]\nDelFile1=C:\\marker\n";
  run.target.WriteFile("C:\\marker\\x.txt", "x");
  run.Run(TestRun, {"Mozilla Firefox - Download Manager"}, nullptr);
  ASSERT_GE(run.events.lines.size(), 3u);
  EXPECT_EQ(run.events.lines[2], "0 items will be removed; 0 KB will be removed.");
}

}  // namespace
}  // namespace kestrove
