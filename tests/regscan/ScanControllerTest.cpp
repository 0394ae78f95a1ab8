// The Registry page's logic with a recording view: start, the end-of-scan steps, the ignore
// lists, Cancel (no row after it), and a window that goes while its worker waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "../HangGuard.h"
#include "platform/memory/MemoryTarget.h"
#include "platform/wine/WineSample.h"
#include "regscan/ScanController.h"

namespace kestrove {
namespace {

using memory::MemoryTarget;

class TRecordingScanView : public IScanView {
 public:
  std::vector<std::string> sections;
  std::string scanCaption = "Scan";
  bool restoreVisible = true;
  bool memoVisible = false;
  std::string title;
  int position = -1;
  std::vector<std::string> captions;  // "+text" shown, "-text" hidden
  std::vector<TScanResult> rows;
  std::vector<std::string> statusTexts;
  int defaultWidths = 0;
  int fits = 0;
  bool timer = false;
  int ends = 0;
  bool completed = false;
  std::function<void()> onRow;

  std::vector<std::string> CollectSections() override { return sections; }
  void SetScanCaption(const std::string& c) override { scanCaption = c; }
  void SetRestoreVisible(bool v) override { restoreVisible = v; }
  void SetMemoVisible(bool v) override { memoVisible = v; }
  void SetMemoText(const std::string&) override {}
  void SetScanTitle(const std::string& t) override { title = t; }
  void ShowProgress() override {}
  void SetProgressPosition(int p) override { position = p; }
  void SetProgressCaption(const std::string& c, bool shown) override { captions.push_back((shown ? "+" : "-") + c); }
  std::size_t RowCount() override { return rows.size(); }
  std::vector<TScanResult> Rows() override { return rows; }
  void SetRows(const std::vector<TScanResult>& r) override { rows = r; }
  void ClearRows() override { rows.clear(); }
  void AddRow(const TScanResult& row) override {
    rows.push_back(row);
    if (onRow) onRow();
  }
  void RemoveLastRow() override { rows.pop_back(); }
  void SelectAllRows() override {
    for (TScanResult& r : rows) r.Selected = true;
  }
  void SetDefaultColumnWidths() override { ++defaultWidths; }
  void FitColumnsToContents() override { ++fits; }
  void SetStatusText(const std::string& s) override { statusTexts.push_back(s); }
  void SetTimerEnabled(bool on) override { timer = on; }
  void ScanEnded(bool c, const std::string&) override {
    ++ends;
    completed = c;
  }
};

class TCountingPrompt : public IPrompt {
 public:
  std::vector<std::string> texts;
  TMsgResult Ask(const TMessageRequest& r) override {
    texts.push_back(r.Text);
    return TMsgResult::Ok;
  }
};

// A window that has begun to go away: it takes no more calls.
class TClosedOwner : public IOwnerThread {
 public:
  void Post(std::function<void()>) override {}
  void Send(const std::function<void()>&) override {}
};

std::string Two(int i) { return (i < 10 ? "0" : "") + std::to_string(i); }

class ScanControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 50; ++i)
      t.SetString(HKEY_CURRENT_USER, kRun, "Gone" + Two(i), "C:\\Gone\\p" + Two(i) + ".exe");
    t.SetString(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Svc", "ImagePath", "C:\\Gone\\svc.exe");
    view.sections = {"14", "17"};
    controller = std::make_unique<TScanController>(t, queue, view, options, &prompt);
  }
  void RunToEnd() {
    ASSERT_TRUE(queue.ProcessUntil([&] { return !controller->JobRunning(); }, std::chrono::seconds(60)));
  }

  static constexpr const char* kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  MemoryTarget t;
  TMessageQueue queue;
  TRecordingScanView view;
  TOptionsSetting options;
  TCountingPrompt prompt;
  std::unique_ptr<TScanController> controller;
};

TEST_F(ScanControllerTest, AScanRunsToTheEndOfScanSteps) {
  options.IncludeRemoveMedia = false;
  options.IgnoreKeys = {"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Svc"};
  controller->bScanClick();
  EXPECT_TRUE(controller->Scanning());
  EXPECT_EQ(view.scanCaption, "Cancel");
  EXPECT_FALSE(view.restoreVisible);
  EXPECT_TRUE(view.memoVisible);
  EXPECT_TRUE(view.timer);
  EXPECT_EQ(view.position, 0);
  EXPECT_EQ(view.defaultWidths, 1) << "the emptied list gets its default widths";
  EXPECT_EQ(view.captions, (std::vector<std::string>{"-", "+Prepairing...", "-Prepairing..."}));
  EXPECT_EQ(controller->ScanStep, 10);

  // The animation moves only while the page is shown, and starts over past 1000.
  controller->Timer1Timer(false);
  EXPECT_EQ(view.position, 0);
  for (int i = 0; i < 100; ++i) controller->Timer1Timer(true);
  EXPECT_EQ(view.position, 1000);
  controller->Timer1Timer(true);
  EXPECT_EQ(view.position, 0);

  RunToEnd();
  EXPECT_FALSE(controller->Scanning());
  EXPECT_EQ(view.scanCaption, "Scan");
  EXPECT_EQ(view.title, "Select the sections to scan");
  EXPECT_FALSE(view.memoVisible);
  EXPECT_TRUE(view.restoreVisible);
  EXPECT_FALSE(view.timer);
  EXPECT_EQ(view.position, 1000);
  EXPECT_EQ(view.captions.back(), "+Finished!");
  EXPECT_EQ(view.ends, 1);
  EXPECT_TRUE(view.completed);
  // The service's row went by the ignore list; the rest are ticked, in the order found.
  ASSERT_EQ(view.rows.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(view.rows[std::size_t(i)].Data, "C:\\Gone\\p" + Two(i) + ".exe");
    EXPECT_TRUE(view.rows[std::size_t(i)].Selected);
  }
  // A status after each section (nothing ticked yet), then the final one.
  EXPECT_EQ(view.statusTexts, (std::vector<std::string>{" 50 Errors Found,  0 Errors Selected.",
                                                         " 51 Errors Found,  0 Errors Selected.",
                                                         " 50 Errors Found,  50 Errors Selected."}));

  // A second scan empties the list first and removes no row of its own accord.
  options.IgnoreKeys.clear();
  options.IncludeRemoveMedia = true;
  view.captions.clear();
  controller->bScanClick();
  EXPECT_TRUE(view.rows.empty());
  EXPECT_EQ(view.captions, (std::vector<std::string>{"-"})) << "no probe when removable drives are ignored";
  RunToEnd();
  EXPECT_EQ(view.rows.size(), 51u);
  EXPECT_EQ(view.ends, 2);
}

// A view that keeps a whole hive's rows itself: the end-of-scan steps (status, ignore lists)
// walk and thin them where they are, never asking for a copy of the list.
TEST_F(ScanControllerTest, TheEndOfScanStepsWorkOnTheViewsOwnRows) {
  class TOwnRowsView : public TRecordingScanView {
   public:
    int copies = 0;
    std::vector<TScanResult> Rows() override {
      ++copies;
      return rows;
    }
    void ForEachRow(const std::function<void(const TScanResult&)>& visit) override {
      for (const TScanResult& r : rows) visit(r);
    }
    void KeepRows(const std::vector<bool>& removed) override {
      std::vector<TScanResult> kept;
      for (std::size_t i = 0; i < rows.size(); ++i)
        if (!removed[i]) kept.push_back(rows[i]);
      rows = kept;
    }
  } own;
  own.sections = view.sections;
  TScanController c(t, queue, own, options, &prompt);
  options.IgnoreKeys = {"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Svc"};
  c.bScanClick();
  ASSERT_TRUE(queue.ProcessUntil([&] { return !c.JobRunning(); }, std::chrono::seconds(60)));
  EXPECT_EQ(own.rows.size(), 50u);
  EXPECT_EQ(own.statusTexts.back(), " 50 Errors Found,  50 Errors Selected.");
  EXPECT_EQ(own.copies, 0);
}

TEST_F(ScanControllerTest, NothingTickedStartsNothing) {
  view.sections.clear();
  controller->bScanClick();
  EXPECT_EQ(prompt.texts, (std::vector<std::string>{"Please select the sections which you want to scan from the left list."}));
  EXPECT_FALSE(controller->Scanning());
  EXPECT_FALSE(controller->JobRunning());
  EXPECT_EQ(view.scanCaption, "Scan");
  EXPECT_TRUE(view.restoreVisible);
  EXPECT_FALSE(view.memoVisible);
  controller->SkipConfirm = true;  // "/Clear"
  controller->bScanClick();
  EXPECT_EQ(prompt.texts.size(), 1u);
}

TEST_F(ScanControllerTest, CancelDropsTheLastRowAndEverythingAfter) {
  for (int i = 0; i < 3000; ++i)
    t.SetString(HKEY_CURRENT_USER, "Software\\Many\\K" + std::to_string(i), "V", "C:\\Gone\\" + std::to_string(i));
  view.sections = {"14", "4", "17"};
  bool cancelled = false, rowAfterCancel = false;
  view.onRow = [&] {
    if (cancelled) rowAfterCancel = true;
    if (view.rows.size() == 60) {
      cancelled = true;
      controller->bScanClick();  // reads "Cancel"
    }
  };
  controller->bScanClick();
  EXPECT_EQ(controller->ScanStep, 5);
  RunToEnd();
  EXPECT_FALSE(rowAfterCancel);
  EXPECT_EQ(view.scanCaption, "Scan");
  EXPECT_EQ(view.captions.back(), "+Finished!");
  EXPECT_EQ(view.ends, 0) << "a cancelled worker's end is not the page's";
  ASSERT_EQ(view.rows.size(), 59u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(view.rows[std::size_t(i)].Data, "C:\\Gone\\p" + Two(i) + ".exe");
  EXPECT_EQ(view.statusTexts.back(), " 59 Errors Found,  59 Errors Selected.");

  // Cancel right after a start leaves an empty list.
  view.onRow = nullptr;
  controller->bScanClick();
  controller->bScanClick();
  RunToEnd();
  queue.ProcessPending();
  EXPECT_TRUE(view.rows.empty());
  EXPECT_EQ(view.statusTexts.back(), " 0 Errors Found,  0 Errors Selected.");
}

// A queue that counts the calls posted to it.
class TCountingQueue : public TMessageQueue {
 public:
  std::size_t posts = 0;
  void Post(std::function<void()> call) override {
    ++posts;
    TMessageQueue::Post(std::move(call));
  }
};

// Rows reach the page in the order found, but the owner thread is not woken for each one.
TEST_F(ScanControllerTest, RowsReachThePageInBatchesInOrder) {
  for (int i = 0; i < 3000; ++i)
    t.SetString(HKEY_CURRENT_USER, "Software\\Many\\K" + std::to_string(i), "V", "C:\\Gone\\" + std::to_string(i));
  TCountingQueue counting;
  TRecordingScanView batched;
  batched.sections = {"4", "14"};
  TScanController c(t, counting, batched, options, &prompt);
  c.bScanClick();
  ASSERT_TRUE(counting.ProcessUntil([&] { return !c.JobRunning(); }, std::chrono::seconds(60)));
  ASSERT_GE(batched.rows.size(), 3050u);
  std::vector<std::string> many;
  for (const TScanResult& r : batched.rows)
    if (const auto at = r.Location.find("\\Many\\"); at != std::string::npos) {
      const std::string key = r.Location.substr(at + 6);
      many.push_back(key.substr(0, key.find('\\')));
    }
  ASSERT_EQ(many.size(), 3000u);
  EXPECT_TRUE(std::is_sorted(many.begin(), many.end(),
                             [](const std::string& a, const std::string& b) { return CompareNames(a, b) < 0; }));
  // The Startup section's rows come after the whole HKEY_CURRENT_USER walk.
  EXPECT_EQ(batched.rows.back().Data, "C:\\Gone\\p49.exe");
  EXPECT_LT(counting.posts, batched.rows.size() / 10);
}

TEST_F(ScanControllerTest, CallsLeftWhenTheControllerGoesAreDropped) {
  controller->bScanClick();
  controller.reset();  // stops the worker and waits for it
  const std::size_t statuses = view.statusTexts.size();
  queue.ProcessPending();  // what it had posted finds no controller
  EXPECT_EQ(view.statusTexts.size(), statuses);
  EXPECT_EQ(view.ends, 0);
}

TEST_F(ScanControllerTest, AWindowThatTakesNoMoreCallsDoesNotHoldItsWorker) {
  // The worker waits for the owner before each section; a stop must end that wait.
  EXPECT_TRUE(testing::EndsWithoutHanging([&] {
    TClosedOwner closed;
    TScanController gone(t, closed, view, options, nullptr);
    gone.bScanClick();
  }));
}

// A Fix works only on the registry its rows were found on: another process changing the
// files between the scan and the Fix makes it refuse, removing and saving nothing, and the
// next scan reads what that process wrote.
TEST(ScanControllerStaleView, AFixFromAnOlderViewIsRefusedAndTheNextScanSeesTheChange) {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrove-staleview-XXXXXX").string();
  ASSERT_TRUE(::mkdtemp(pattern.data()));
  const std::filesystem::path dir = pattern, prefix = dir / "prefix";
  wine::WriteSamplePrefix(prefix, std::filesystem::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
  auto target = OpenTarget(prefix);
  TMessageQueue queue;
  TRecordingScanView view;
  view.sections = {"14"};
  TOptionsSetting options;
  options.OutputDirectory = (dir / "Backup").string();
  std::filesystem::create_directories(options.OutputDirectory);
  TCountingPrompt prompt;
  TScanController controller(*target, queue, view, options, &prompt);
  auto scan = [&] {
    controller.bScanClick();
    ASSERT_TRUE(queue.ProcessUntil([&] { return !controller.JobRunning(); }, std::chrono::seconds(60)));
  };
  scan();
  const std::size_t found = view.rows.size();
  ASSERT_GT(found, 0u);

  const std::string added = "'" + std::string(KESTROVE_CLI_PATH) + "' --root '" + prefix.string() +
                            "' reg add 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run' /v Later "
                            "/d 'C:\\gone\\later.exe' /f >/dev/null 2>&1";
  ASSERT_EQ(std::system(added.c_str()), 0);
  std::ifstream in(prefix / "user.reg", std::ios::binary);
  const std::string user((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const TFixResult refused = controller.bFixErrorsClick();
  EXPECT_EQ(refused.Outcome, TFixOutcome::RegistryChanged);
  EXPECT_EQ(view.rows.size(), found);
  ASSERT_FALSE(prompt.texts.empty());
  EXPECT_EQ(prompt.texts.back(), kRegistryChangedSinceScan);
  EXPECT_TRUE(std::filesystem::is_empty(options.OutputDirectory)) << "no backup of a view that is gone";
  std::ifstream again(prefix / "user.reg", std::ios::binary);
  EXPECT_TRUE(std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()) == user);

  scan();
  EXPECT_EQ(view.rows.size(), found + 1);
  const TFixResult fixed = controller.bFixErrorsClick();
  EXPECT_EQ(fixed.Outcome, TFixOutcome::Fixed) << fixed.Error;
  EXPECT_TRUE(view.rows.empty());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace kestrove
