// Stop means nothing more is removed: every item, on the sample prefix where each finds its
// traces, is run with the stop already given and with a stop given at its first "deleting"
// line; afterwards it may finish the one removal that line announced and nothing else.
#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "CleanJobTestSupport.h"
#include "cleaner/ItemOperations.h"
#include "platform/Text.h"
#include "platform/FileServices.h"
#include "platform/ProtectedStorage.h"
#include "platform/memory/MemoryTarget.h"
#include "platform/wine/WineSample.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

const char kCustomItem[] = "Custom Lists - <New List>";

// Every item operation there is, the definition lists' included.
std::vector<TItemEntry> AllOperations() {
  std::vector<TItemEntry> all;
  for (auto* group : {WindowsItemOperations, InternetExplorerItemOperations, BrowserItemOperations})
    for (const TItemEntry& e : group()) all.push_back(e);
  all.push_back({kCustomItem, DispatchItem(kCustomItem)});
  return all;
}

// Calls run at once on the calling thread, so that a test can stop the job at a given line.
class TInlineOwner : public IOwnerThread {
 public:
  std::function<void()> AfterSend;
  void Post(std::function<void()> call) override { call(); }
  void Send(const std::function<void()>& call) override {
    call();
    if (AfterSend) AfterSend();
  }
};

// Stops the job at its first "deleting" line.
class TStopAtFirstRemoval : public testing::TJobEvents {
 public:
  TClearTaskThread* Job = nullptr;
  std::string StoppedAt;
  void AddLogLine(const std::string& line) override {
    TJobEvents::AddLogLine(line);
    if (Job && !Job->Terminated() && line.find(": deleting") != std::string::npos) {
      StoppedAt = line;
      Job->Terminate();
    }
  }
};

// Counts what changes on disk once `Stopped` says the stop was given.
class TChangesAfterStop : public TFileOpsWrapper {
 public:
  std::function<bool()> Stopped;
  int FilesRemoved = 0, FoldersRemoved = 0, Renamed = 0, OpenedForWriting = 0;

  int OpenAt(int folderFd, const char* name, int flags, mode_t mode) override {
    const int fd = TFileOpsWrapper::OpenAt(folderFd, name, flags, mode);
    if (fd >= 0 && After() && (flags & (O_WRONLY | O_RDWR))) ++OpenedForWriting;
    return fd;
  }
  int UnlinkAt(int folderFd, const char* name, int flags) override {
    const int rc = TFileOpsWrapper::UnlinkAt(folderFd, name, flags);
    if (rc == 0 && After()) ++((flags & AT_REMOVEDIR) ? FoldersRemoved : FilesRemoved);
    return rc;
  }
  int RenameAt(int fromFd, const char* from, int toFd, const char* to) override {
    const int rc = TFileOpsWrapper::RenameAt(fromFd, from, toFd, to);
    if (rc == 0 && After()) ++Renamed;
    return rc;
  }

 private:
  bool After() const { return Stopped && Stopped(); }
};

// Every path below `root` with what it is: a link's target, a file's contents.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path rel = fs::relative(it->path(), root);
    if (it->is_symlink()) {
      out[rel.string()] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      std::ifstream in(it->path(), std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      out[rel.string()] = text.str();
    } else {
      out[rel.string()] = "folder";
    }
  }
  return out;
}

class StopRemovesNothingMore : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path templateFolder = fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample";
    if (!fs::exists(templateFolder / "system.reg")) GTEST_SKIP() << "no sample template in " << templateFolder;
    std::string pattern = (fs::temp_directory_path() / "kestrove-stop-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    wine::WriteSamplePrefix(dir / "prefix", templateFolder);
    target = OpenTarget(TargetChoice{dir / "prefix", "--root"});
    ASSERT_TRUE(target);
    h.emplace(*target);
    h->Prompt.Rule = [](const TMessageRequest&) { return TMsgResult::Yes; };
    h->Options.ShowLogRecycleBin = true;
    h->Options.ShowLogTempInternetFiles = true;
    // A user's list: a folder whose only subfolder holds one file (the subfolder and then the
    // folder itself are removed once emptied), and a key with values and a subkey.
    fs::create_directories(h->ProgramFolder);
    std::ofstream(h->ProgramFolder + "Custom.dat")
        << "[<New List>]\nDelFile1={C: Drive}\\Junk\nDelRegValue1=HKEY_CURRENT_USER\\Software\\Junk,\n";
    fs::create_directories(dir / "prefix/drive_c/Junk/sub");
    std::ofstream(dir / "prefix/drive_c/Junk/sub/only.txt") << "junk";
    auto reg = target->Registry();
    ASSERT_TRUE(reg->CreateKey(HKEY_CURRENT_USER, "Software\\Junk\\Sub"));
    ASSERT_TRUE(reg->SetValue(HKEY_CURRENT_USER, "Software\\Junk", "a", REG_SZ, Bytes{'x', 0}));
    reg->Commit();
  }
  void TearDown() override {
    h.reset();
    target.reset();
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }

  fs::path dir;
  std::unique_ptr<TargetSystem> target;
  std::optional<testing::TCleanJobHarness> h;
};

// A stop given before an item runs: it removes, overwrites and schedules nothing, on disk or
// in the registry, and empties no clipboard.
TEST_F(StopRemovesNothingMore, WhenTheStopCameBeforeTheItem) {
  // The form entries of the protected storage, which the sample cannot hold.
  static int formEntriesDeleted;
  formEntriesDeleted = 0;
  struct TFormEntries : TPStorage {
    bool Available() const override { return true; }
    bool Connect() override { return true; }
    TIDList Types() override { return {TPStorageId{1}}; }
    TIDList Subtypes(const TPStorageId&) override { return {TPStorageId{2}}; }
    TItemList Items(const TPStorageId&, const TPStorageId&) override { return {"a", "b"}; }
    std::string TypeName(const TPStorageId&) override { return "Internet Explorer"; }
    bool DeleteItem(const TPStorageId&, const TPStorageId&, const std::string&) override {
      ++formEntriesDeleted;
      return true;
    }
  };
  const auto savedStorage = ProtectedStorageFactory();
  ProtectedStorageFactory() = [] { return std::make_unique<TFormEntries>(); };
  const auto before = Snapshot(dir / "prefix");
  for (const TItemEntry& e : AllOperations()) {
    auto job = h->MakeJob(DirectClean);
    job->Terminate();
    e.Operation(*job);
    EXPECT_FALSE(target->Registry()->HasUncommittedChanges()) << e.Name;
    target->Registry()->Discard();
  }
  ProtectedStorageFactory() = savedStorage;
  EXPECT_EQ(h->Desktop.ClipboardEmptied, 0);
  EXPECT_EQ(formEntriesDeleted, 0);
  const auto after = Snapshot(dir / "prefix");
  for (const auto& [path, what] : before) EXPECT_TRUE(after.count(path) && after.at(path) == what) << path;
  for (const auto& [path, what] : after) EXPECT_TRUE(before.count(path)) << "new: " << path;
}

// A stop at an item's first "deleting" line: at most the file that line named goes; no folder,
// no index written back, no file overwritten after it. The cookie index alone is written: it
// must stop naming the cookie file that went.
TEST_F(StopRemovesNothingMore, WhenTheStopCameDuringTheItem) {
  TInlineOwner owner;
  std::atomic<bool> fast{false};
  // True when the item came to a "deleting" line.
  auto runStopped = [&](const TItemEntry& e) {
    TStopAtFirstRemoval events;
    auto job = std::make_shared<TClearTaskThread>(h->Context(), owner, events, DirectClean,
                                                  std::vector<std::string>{}, fast);
    job->LastProgressTime = std::chrono::steady_clock::now();
    events.Job = job.get();
    auto ops = std::make_shared<TChangesAfterStop>();
    ops->Stopped = [&job] { return job->Terminated(); };
    target->SetFileOps(ops);
    e.Operation(*job);
    target->SetFileOps(TFileOps::Posix());
    if (events.StoppedAt.empty()) return false;
    SCOPED_TRACE(std::string(e.Name) + " stopped at " + events.StoppedAt);
    EXPECT_LE(ops->FilesRemoved, 1);
    EXPECT_EQ(ops->FoldersRemoved, 0);
    if (std::string_view(e.Name) != "Internet Explorer - Cookies") {
      EXPECT_EQ(ops->Renamed, 0);
      EXPECT_EQ(ops->OpenedForWriting, 0);
    }
    return true;
  };
  // Without its history index the visited-URL item stops in its walk of the URL cache, which
  // ends by writing that index back.
  const auto history = target->HostPath(WithBackslash(*target->ShellFolder("History")) + "History.IE5\\index.dat");
  ASSERT_TRUE(history);
  fs::rename(*history, dir / "history-index.dat");
  for (const TItemEntry& e : InternetExplorerItemOperations())
    if (std::string_view(e.Name) == "Internet Explorer - Visited URL History") {
      EXPECT_TRUE(runStopped(e));
    }
  fs::rename(dir / "history-index.dat", *history);

  int stopped = 0;
  for (const TItemEntry& e : AllOperations()) stopped += runStopped(e) ? 1 : 0;
  EXPECT_GT(stopped, 30);  // the sample gives most items something to remove
}

// A stop the owner took while the worker waited for it to set up the next item: that item
// does not start.
TEST(StopBetweenItems, TheNextItemDoesNotStart) {
  memory::MemoryTarget target;
  testing::TCleanJobHarness h(target);
  TInlineOwner owner;
  testing::TJobEvents events;
  std::atomic<bool> fast{false};
  auto job = std::make_shared<TClearTaskThread>(h.Context(), owner, events, DirectClean,
                                                std::vector<std::string>{"first", "second"}, fast);
  std::vector<std::string> ran;
  job->Dispatcher = [&ran](const std::string& name) -> TItemOperation {
    return [&ran, name](TClearTaskThread&) { ran.push_back(name); };
  };
  int sends = 0;
  // The first send sets up "first", the second sums it up, the third sets up "second".
  owner.AfterSend = [&] {
    if (++sends == 3) job->Terminate();
  };
  job->Execute();
  EXPECT_EQ(ran, std::vector<std::string>{"first"});
  EXPECT_FALSE(events.Completed);
}

// A stop while the bins are emptied: the file being removed goes, nothing after it, and the
// index of what is left in the bin is not cut back.
TEST(StopWhileBinsAreEmptied, NothingMoreGoes) {
  memory::MemoryTarget target;
  const std::string info2(100, 'i');
  for (const char* name : {"C:\\Recycled\\Dc1.txt", "C:\\Recycled\\Dc2\\a.txt", "C:\\Recycled\\Dc3.txt",
                           "C:\\$Recycle.Bin\\S-1-5-21-0-0-0-1000\\$RABC.txt"})
    target.WriteFile(name, "deleted");
  target.WriteFile("C:\\Recycled\\INFO2", info2);
  target.WriteFile("C:\\Recycled\\desktop.ini", "[.ShellClassInfo]");
  bool stopped = false;
  struct TStopAtFirstUnlink : TChangesAfterStop {
    bool* Stop = nullptr;
    int UnlinkAt(int folderFd, const char* name, int flags) override {
      const int rc = TChangesAfterStop::UnlinkAt(folderFd, name, flags);
      if (rc == 0) *Stop = true;
      return rc;
    }
  };
  auto stopping = std::make_shared<TStopAtFirstUnlink>();
  stopping->Stop = &stopped;
  stopping->Stopped = [] { return true; };  // counts every change
  target.SetFileOps(stopping);
  EXPECT_EQ(EmptyRecycleBins(target, [&stopped] { return stopped; }), 1u);
  EXPECT_EQ(stopping->FilesRemoved + stopping->FoldersRemoved, 1);
  EXPECT_EQ(stopping->OpenedForWriting, 0);
  target.SetFileOps(TFileOps::Posix());
  EXPECT_EQ(fs::file_size(*target.HostPath("C:\\Recycled\\INFO2")), info2.size());
}

}  // namespace
}  // namespace kestrove
