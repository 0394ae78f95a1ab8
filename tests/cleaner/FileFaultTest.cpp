// Removal under failing file operations: the target's TFileOps is wrapped so that chosen
// calls fail as a sick disk, a busy file or a refused permission makes them fail. Nothing
// outside what was asked may go, the counts of a test and a clean must agree with what the
// clean could do, and the job must end normally.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>

#include "CleanJobTestSupport.h"
#include "cleaner/FileRemoval.h"
#include "platform/FileServices.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

const char kTempItem[] = "Windows - Temporary Files";

// Fails the calls the test names; everything else reaches the host.
class TFaultyFileOps : public TFileOpsWrapper {
 public:
  std::map<std::string, int> UnlinkFails;  // entry name -> errno
  std::map<std::string, int> StatFails;    // entry name -> errno
  std::map<std::string, int> ListFails;    // folder name -> errno
  int PWriteFails = 0;                     // errno of every pwrite, 0 for none
  int FSyncFails = 0;
  bool NoMountIds = false;
  std::atomic<int> PWrites{0};

  int UnlinkAt(int folderFd, const char* name, int flags) override {
    if (auto e = Fault(UnlinkFails, name)) return Fail(e);
    return TFileOpsWrapper::UnlinkAt(folderFd, name, flags);
  }
  int StatAt(int folderFd, const char* name, struct stat& st, int flags) override {
    if (folderFd != AT_FDCWD)
      if (auto e = Fault(StatFails, name)) return Fail(e);
    return TFileOpsWrapper::StatAt(folderFd, name, st, flags);
  }
  bool ReadFolder(int folderFd, std::vector<TFolderEntry>& out) override {
    if (auto e = Fault(ListFails, FolderName(folderFd))) return Fail(e) == 0;
    return TFileOpsWrapper::ReadFolder(folderFd, out);
  }
  ssize_t PWrite(int fd, const void* data, std::size_t size, off_t offset) override {
    ++PWrites;
    if (PWriteFails) return Fail(PWriteFails);
    return TFileOpsWrapper::PWrite(fd, data, size, offset);
  }
  int FSync(int fd) override {
    if (FSyncFails) return Fail(FSyncFails);
    return TFileOpsWrapper::FSync(fd);
  }
  std::optional<std::uint64_t> MountId(int fd) override {
    if (NoMountIds) return std::nullopt;
    return TFileOpsWrapper::MountId(fd);
  }

 private:
  static int Fault(const std::map<std::string, int>& rules, const std::string& name) {
    const auto it = rules.find(name);
    return it == rules.end() ? 0 : it->second;
  }
  static int Fail(int error) {
    errno = error;
    return -1;
  }
  static std::string FolderName(int fd) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
    return n > 0 ? fs::path(std::string(buf, static_cast<std::size_t>(n))).filename().string() : "";
  }
};

class FileFault : public ::testing::Test {
 protected:
  void SetUp() override {
    target.SetFileOps(ops);
    temp = target.TempFolder();
    // The temporary folder's parent holds files of its own that no clear of it may touch.
    target.WriteFile(temp + "..\\keep.txt", "keep");
  }
  // The temporary folder as most tests clear it: 5 files, 2 in a subfolder.
  void Tree() {
    for (const auto& [name, size] : std::map<std::string, int>{
             {"a.txt", 10}, {"b.txt", 20}, {"c.txt", 30}, {"sub\\d.txt", 40}, {"sub\\e.txt", 50}})
      target.WriteFile(temp + name, std::string(static_cast<std::size_t>(size), 'x'));
  }
  bool Exists(const std::string& rel) {
    const auto host = target.HostPath(temp + rel);
    std::error_code ec;
    return host && fs::exists(fs::symlink_status(*host, ec));
  }
  // The names of the tree still there, in a fixed order.
  std::string Left() {
    std::string out;
    for (const char* rel : {"a.txt", "b.txt", "c.txt", "sub", "sub\\d.txt", "sub\\e.txt"})
      if (Exists(rel)) out += std::string(out.empty() ? "" : " ") + rel;
    return out;
  }
  // Runs a test and then a clean of the temporary files; every run must end normally and
  // leave what lies beside the folder.
  std::pair<testing::TJobResult, testing::TJobResult> TestThenClean() {
    auto test = h.Run(TestRun, {kTempItem});
    auto clean = h.Run(DirectClean, {kTempItem});
    for (const auto* run : {&test, &clean}) {
      EXPECT_TRUE(run->Completed) << run->Error;
      EXPECT_TRUE(run->Error.empty()) << run->Error;
    }
    EXPECT_EQ(test.Failed, 0);
    EXPECT_TRUE(Exists("..\\keep.txt"));
    return {std::move(test), std::move(clean)};
  }

  memory::MemoryTarget target;
  testing::TCleanJobHarness h{target};
  std::shared_ptr<TFaultyFileOps> ops = std::make_shared<TFaultyFileOps>();
  std::string temp;
};

// A refused unlink leaves that file and is counted as failed, once; the clean counts only
// what went, so the test's count is the clean's plus the failures. A file already gone is
// no failure.
TEST_F(FileFault, UnlinkThatFailsIsCountedAndTheRestStillGoes) {
  for (int error : {EIO, EBUSY, EACCES, EPERM}) {
    SCOPED_TRACE(error);
    Tree();
    ops->UnlinkFails = {{"b.txt", error}, {"d.txt", error}};
    const auto [test, clean] = TestThenClean();
    EXPECT_EQ(test.Summary(kTempItem).Count, 5);
    EXPECT_EQ(clean.Summary(kTempItem).Count, 3);
    EXPECT_EQ(clean.Failed, 2);
    EXPECT_EQ(Left(), "b.txt sub sub\\d.txt");
    ops->UnlinkFails.clear();
    h.Run(DirectClean, {kTempItem});
    EXPECT_EQ(Left(), "");
  }
  Tree();
  ops->UnlinkFails = {{"c.txt", ENOENT}};
  const auto [test, clean] = TestThenClean();
  EXPECT_EQ(clean.Summary(kTempItem).Count, 4);
  EXPECT_EQ(clean.Failed, 0);
}

// An overwrite that cannot write or cannot flush gives up on the overwriting, says so to its
// caller and reports no pass done; the file is removed all the same and counted once.
TEST_F(FileFault, OverwriteThatFailsStillRemovesTheFile) {
  h.Options.IsWipeFile = true;
  for (const bool failSync : {false, true}) {
    SCOPED_TRACE(failSync ? "fsync fails" : "pwrite fails");
    ops->PWriteFails = failSync ? 0 : ENOSPC;
    ops->FSyncFails = failSync ? EIO : 0;

    const fs::path file = target.WriteFile(temp + "secret.txt", "secret");
    UniqueFd folder(::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int passes = 0;
    const auto countPass = [&](int, std::uint8_t, std::uint64_t) { ++passes; };
    EXPECT_FALSE(OverwriteFileAt(*ops, folder.Get(), "secret.txt", 3, countPass));
    EXPECT_EQ(passes, 0);
    if (!failSync) {
      std::ifstream in(file);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "secret");
    }

    Tree();
    ops->PWrites = 0;
    const auto [test, clean] = TestThenClean();
    EXPECT_GT(ops->PWrites.load(), 0) << "the overwrite was never tried";
    EXPECT_EQ(test.Summary(kTempItem).Count, 6);
    EXPECT_EQ(clean.Summary(kTempItem).Count, 6);
    EXPECT_EQ(clean.Failed, 0);
    EXPECT_EQ(Left(), "");
    EXPECT_FALSE(Exists("secret.txt"));
  }
}

// A folder that cannot be listed is left whole and counts nothing, in a test as in a clean;
// the rest of the walk goes on. The cleared folder itself unlisted: nothing at all.
TEST_F(FileFault, FolderThatCannotBeListedIsLeftAndCountsNothing) {
  Tree();
  ops->ListFails = {{"sub", EACCES}};
  {
    const auto [test, clean] = TestThenClean();
    EXPECT_EQ(test.Summary(kTempItem).Count, 3);
    EXPECT_EQ(clean.Summary(kTempItem).Count, 3);
    EXPECT_EQ(clean.Failed, 0);
    EXPECT_EQ(Left(), "sub sub\\d.txt sub\\e.txt");
  }
  Tree();
  ops->ListFails = {{fs::canonical(*target.HostPath(temp)).filename().string(), EIO}};
  const auto [test, clean] = TestThenClean();
  EXPECT_EQ(test.Summary(kTempItem).Count, 0);
  EXPECT_EQ(clean.Summary(kTempItem).Count, 0);
  EXPECT_EQ(Left(), "a.txt b.txt c.txt sub sub\\d.txt sub\\e.txt");
}

// An entry whose stat fails in the middle of a walk is passed over as if gone: not counted,
// not removed, and a file named alone is no file removed.
TEST_F(FileFault, StatThatFailsMidWalkPassesTheEntryOver) {
  Tree();
  ops->StatFails = {{"c.txt", EIO}, {"e.txt", EACCES}};
  const auto [test, clean] = TestThenClean();
  EXPECT_EQ(test.Summary(kTempItem).Count, 3);
  EXPECT_EQ(clean.Summary(kTempItem).Count, 3);
  EXPECT_EQ(clean.Failed, 0);
  EXPECT_EQ(Left(), "c.txt sub sub\\e.txt");

  auto job = h.MakeJob(DirectClean);
  EXPECT_FALSE(RemoveFile(*job, temp + "c.txt", true));
  int counter = 0;
  EXPECT_EQ(RemoveMatchingFiles(*job, temp, "*.txt", counter, true), 0u);
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(Left(), "c.txt sub sub\\e.txt");
}

// When the system cannot say which mount a folder lies on, nothing may be removed through
// it: the confinement to the target's own mount cannot be checked.
TEST_F(FileFault, UnknownMountRemovesNothing) {
  Tree();
  ops->NoMountIds = true;
  const auto [test, clean] = TestThenClean();
  EXPECT_EQ(clean.Summary(kTempItem).Count, 0);
  EXPECT_TRUE(clean.Deleting().empty());
  auto job = h.MakeJob(DirectClean);
  EXPECT_FALSE(RemoveFile(*job, temp + "a.txt", false));
  EXPECT_EQ(Left(), "a.txt b.txt c.txt sub sub\\d.txt sub\\e.txt");
}

}  // namespace
}  // namespace kestrove
