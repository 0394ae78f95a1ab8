#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "CleanJobTestSupport.h"
#include "cleaner/FileRemoval.h"
#include "platform/FileServices.h"
#include "platform/TRegistry.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::LinesWith;

// A folder on the host outside every target.
class OutsideFolder {
 public:
  OutsideFolder() {
    std::string pattern = (fs::temp_directory_path() / "kestrove-outside-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~OutsideFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path Write(const std::string& rel, const std::string& contents) const {
    fs::create_directories((path_ / rel).parent_path());
    std::ofstream(path_ / rel, std::ios::binary) << contents;
    return path_ / rel;
  }

 private:
  fs::path path_;
};

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file that no one may remove or change while it is set, as a file held open by a program
// is on Windows; root cannot remove it either. Cleared when the guard goes.
class ImmutableFile {
 public:
  explicit ImmutableFile(fs::path p) : path_(std::move(p)) { set_ = Set(true); }
  ~ImmutableFile() {
    if (set_) Set(false);
  }
  bool IsSet() const { return set_; }

 private:
  bool Set(bool on) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
  }
  fs::path path_;
  bool set_ = false;
};

class FileRemoval : public ::testing::Test {
 protected:
  bool Exists(const std::string& windowsPath) {
    const auto host = target.HostPath(windowsPath);
    std::error_code ec;
    return host && fs::exists(fs::symlink_status(*host, ec));
  }
  // The small tree most tests clear: 3 files and a subfolder with 2 (150 bytes in all).
  void SmallTree(const std::string& folder) {
    target.WriteFile(folder + "\\a.txt", std::string(10, 'a'));
    target.WriteFile(folder + "\\b.txt", std::string(20, 'b'));
    target.WriteFile(folder + "\\c.txt", std::string(30, 'c'));
    target.WriteFile(folder + "\\sub\\d.txt", std::string(40, 'd'));
    target.WriteFile(folder + "\\sub\\e.txt", std::string(50, 'e'));
  }

  memory::MemoryTarget target;
  testing::TCleanJobHarness h{target};
};

// ---- clearing folders --------------------------------------------------------------------

TEST_F(FileRemoval, TestCountsTheTreeAsksNothingAndRemovesNothing) {
  SmallTree("C:\\work");
  auto job = h.MakeJob(TestRun);
  int counter = 0;
  EXPECT_EQ(ClearFolder(*job, "C:\\work", true, true, "", counter), 150u);
  EXPECT_EQ(counter, 5);
  EXPECT_EQ(h.TakeLines(), (std::vector<std::string>{
                               "Test: deleting C:\\work\\a.txt", "Test: deleting C:\\work\\b.txt",
                               "Test: deleting C:\\work\\c.txt", "Test: deleting C:\\work\\sub\\d.txt",
                               "Test: deleting C:\\work\\sub\\e.txt"}));
  EXPECT_TRUE(Exists("C:\\work\\sub\\e.txt"));
  EXPECT_TRUE(Exists("C:\\work\\a.txt"));
  EXPECT_TRUE(h.Prompt.Asked().empty());
}

TEST_F(FileRemoval, CleanEmptiesTheTreeAndKeepsTheTopUnlessAsked) {
  SmallTree("C:\\keep");
  SmallTree("C:\\drop");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_EQ(ClearFolder(*job, "C:\\keep\\", false, true, "", counter), 150u);
  EXPECT_EQ(counter, 5);
  ASSERT_TRUE(Exists("C:\\keep"));
  EXPECT_TRUE(fs::is_empty(*target.HostPath("C:\\keep")));
  EXPECT_EQ(ClearFolder(*job, "c:\\DROP", true, true, "", counter), 150u);
  EXPECT_EQ(counter, 10);
  EXPECT_FALSE(Exists("C:\\drop"));
  // The log names the files as the caller spelt the folder and the listing spells the names.
  EXPECT_EQ(LinesWith(h.TakeLines(), "c:\\DROP\\sub\\d.txt").size(), 1u);
}

TEST_F(FileRemoval, ClearSubfolderRemovesTheFolderItself) {
  SmallTree("C:\\cache\\Content");
  target.WriteFile("C:\\cache\\keep.txt", "x");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_EQ(ClearSubfolder(*job, "C:\\cache\\Content", counter, false, ""), 150u);
  EXPECT_EQ(counter, 5);
  EXPECT_FALSE(Exists("C:\\cache\\Content"));
  EXPECT_TRUE(Exists("C:\\cache\\keep.txt"));
  EXPECT_TRUE(h.TakeLines().empty());  // log flag off
}

TEST_F(FileRemoval, DeletingLinesNeedTheLogFlagAndFastModeOff) {
  SmallTree("C:\\one");
  SmallTree("C:\\two");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  h.FastMode = true;
  ClearFolder(*job, "C:\\one", false, true, "", counter);
  EXPECT_EQ(counter, 5);
  EXPECT_TRUE(h.TakeLines().empty());
  h.FastMode = false;
  ClearFolder(*job, "C:\\two", false, true, "", counter);
  EXPECT_EQ(counter, 10);
  const auto lines = h.TakeLines();
  ASSERT_EQ(lines.size(), 5u);
  for (const std::string& l : lines) EXPECT_EQ(l.rfind("Clean: deleting C:\\two\\", 0), 0u) << l;
}

TEST_F(FileRemoval, ExcludedNameStaysInEveryFolderWhateverItsCase) {
  target.WriteFile("C:\\ie\\INDEX.DAT", std::string(100, 'i'));
  target.WriteFile("C:\\ie\\page.htm", "p");
  target.WriteFile("C:\\ie\\sub\\Index.dat", std::string(100, 'i'));
  target.WriteFile("C:\\ie\\sub\\img.gif", "gg");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_EQ(ClearFolder(*job, "C:\\ie", false, true, "index.dat", counter), 3u);
  EXPECT_EQ(counter, 2);
  EXPECT_TRUE(Exists("C:\\ie\\INDEX.DAT"));
  EXPECT_TRUE(Exists("C:\\ie\\sub\\Index.dat"));  // and so its folder stays
  EXPECT_FALSE(Exists("C:\\ie\\sub\\img.gif"));
  EXPECT_TRUE(LinesWith(h.TakeLines(), "dat").empty());
}

// A file that cannot be removed keeps its folder: the rest of the tree goes and only what
// was removed is counted. (As root, permissions lock nothing; the immutable attribute does.)
TEST_F(FileRemoval, LockedSubfolderSurvivesAClear) {
  const std::string temp = "C:\\users\\user\\AppData\\Local\\Temp";
  target.WriteFile(temp + "\\a.tmp", std::string(100, 'a'));
  target.WriteFile(temp + "\\gone\\b.tmp", std::string(200, 'b'));
  target.WriteFile(temp + "\\locked\\other.tmp", std::string(300, 'o'));
  ImmutableFile held(target.WriteFile(temp + "\\locked\\held.tmp", std::string(400, 'h')));
  if (!held.IsSet()) GTEST_SKIP() << "this file system cannot make a file immutable";

  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_EQ(ClearFolder(*job, temp, false, true, "", counter), 600u);
  EXPECT_EQ(counter, 3);
  EXPECT_TRUE(Exists(temp + "\\locked\\held.tmp"));
  EXPECT_EQ(ReadAll(*target.HostPath(temp + "\\locked\\held.tmp")), std::string(400, 'h'));
  EXPECT_FALSE(Exists(temp + "\\locked\\other.tmp"));
  EXPECT_FALSE(Exists(temp + "\\gone"));
  EXPECT_FALSE(Exists(temp + "\\a.tmp"));
  // Its line was written before the attempt, as for every file.
  EXPECT_EQ(LinesWith(h.TakeLines(), "held.tmp").size(), 1u);
}

TEST_F(FileRemoval, FolderLinkToOutsideIsRemovedAsItselfAndItsTargetStays) {
  OutsideFolder outside;
  outside.Write("precious.txt", "keep me");
  outside.Write("deep/x.txt", "and me");
  const std::string temp = "C:\\tmp";
  target.WriteFile(temp + "\\a.tmp", "a");
  fs::create_symlink(outside.path(), *target.HostPath(temp) / "link");
  fs::create_symlink(outside.path() / "precious.txt", *target.HostPath(temp) / "filelink");

  // A test lists each link as one entry and nothing behind it.
  auto test = h.MakeJob(TestRun);
  int counter = 0;
  ClearFolder(*test, temp, false, true, "", counter);
  EXPECT_EQ(counter, 3);
  const auto lines = h.TakeLines();
  EXPECT_EQ(LinesWith(lines, "precious").size(), 0u);
  EXPECT_EQ(LinesWith(lines, "C:\\tmp\\link").size(), 1u);

  auto clean = h.MakeJob(DirectClean);
  counter = 0;
  ClearFolder(*clean, temp, false, true, "", counter);
  EXPECT_EQ(counter, 3);
  EXPECT_FALSE(fs::exists(fs::symlink_status(*target.HostPath(temp) / "link")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(*target.HostPath(temp) / "filelink")));
  EXPECT_EQ(ReadAll(outside.path() / "precious.txt"), "keep me");
  EXPECT_EQ(ReadAll(outside.path() / "deep/x.txt"), "and me");
}

// A folder named by its caller is cleared where it lies on its drive; the link that leads
// there stays, as a junction does on Windows.
TEST_F(FileRemoval, NamedFolderBehindALinkOnTheDriveIsClearedAndTheLinkStays) {
  target.WriteFile("C:\\real\\inside.txt", "go");
  fs::create_symlink(*target.HostPath("C:\\real"), target.DriveC() / "alias");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  ClearSubfolder(*job, "C:\\alias", counter, true, "");
  EXPECT_EQ(counter, 1);
  EXPECT_TRUE(fs::is_symlink(target.DriveC() / "alias"));
  EXPECT_FALSE(Exists("C:\\real\\inside.txt"));
}

// Wine links the user's Documents, Pictures... into the home folder: such a folder leaves its
// drive and is nobody's to clear from here.
TEST_F(FileRemoval, FolderThatLeadsOutOfItsDriveIsLeftAlone) {
  OutsideFolder home;
  home.Write("letter.txt", "dear");
  const fs::path docs = *target.HostPath("C:\\users\\user\\Documents");
  fs::remove_all(docs);
  fs::create_symlink(home.path(), docs);
  h.Prompt.Rule = [](const TMessageRequest&) { return TMsgResult::Yes; };

  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_EQ(ClearFolder(*job, "C:\\users\\user\\Documents", false, true, "", counter), 0u);
  EXPECT_EQ(RemoveMatchingFiles(*job, "C:\\users\\user\\Documents", "*.*", counter, true), 0u);
  EXPECT_EQ(ClearSubfolder(*job, "C:\\users\\user\\Documents\\", counter, true, ""), 0u);
  EXPECT_FALSE(RemoveFile(*job, "C:\\users\\user\\Documents\\letter.txt", true));
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(ReadAll(home.path() / "letter.txt"), "dear");
  EXPECT_TRUE(fs::is_symlink(docs));
  EXPECT_TRUE(h.Prompt.Asked().empty());
}

TEST_F(FileRemoval, WholeDriveOutsideTheTargetIsNeverCleared) {
  OutsideFolder host;
  host.Write("etc/passwd", "root");
  host.Write("tmp/junk.tmp", "junk");
  target.AddDrive('Z', host.path(), DRIVE_REMOTE, false);
  h.Prompt.Rule = [](const TMessageRequest&) { return TMsgResult::Yes; };
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_EQ(ClearFolder(*job, "Z:\\", false, true, "", counter), 0u);
  EXPECT_EQ(RemoveMatchingFiles(*job, "Z:\\", "*", counter, true), 0u);
  EXPECT_EQ(counter, 0);
  EXPECT_TRUE(h.Prompt.Asked().empty());
  EXPECT_EQ(ReadAll(host.path() / "etc/passwd"), "root");
  // Nor is a folder on it named by its path.
  ClearFolder(*job, "Z:\\tmp", false, true, "", counter);
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(ReadAll(host.path() / "tmp/junk.tmp"), "junk");
}

TEST_F(FileRemoval, FoldersThatAreNotThereYieldNothing) {
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  for (const char* folder : {"\\", "", "relative\\temp", "\\\\server\\share", "Q:\\temp", "C:\\missing"}) {
    EXPECT_EQ(ClearFolder(*job, folder, true, true, "", counter), 0u) << folder;
    EXPECT_EQ(ClearSubfolder(*job, folder, counter, true, ""), 0u) << folder;
    EXPECT_EQ(RemoveMatchingFiles(*job, folder, "*", counter, true), 0u) << folder;
  }
  EXPECT_EQ(counter, 0);
  EXPECT_TRUE(h.Prompt.Asked().empty());
  EXPECT_TRUE(Exists("C:\\users\\user"));
}

TEST_F(FileRemoval, MountedFileSystemInsideIsNotEntered) {
  target.WriteFile("C:\\tmp\\a.tmp", "a");
  const fs::path mountPoint = target.MakeFolder("C:\\tmp\\mounted");
  if (::mount("kestrove-test", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a file system here";
  struct Unmount {
    fs::path p;
    ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
  } unmount{mountPoint};
  std::ofstream(mountPoint / "other.txt") << "another file system";
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  ClearFolder(*job, "C:\\tmp", false, true, "", counter);
  EXPECT_EQ(counter, 1);
  EXPECT_EQ(ReadAll(mountPoint / "other.txt"), "another file system");
}

// ---- the guard questions -----------------------------------------------------------------

TEST_F(FileRemoval, DriveRootAsksFirstAndNoLeavesTheDriveAlone) {
  target.WriteFile("C:\\pagefile.sys", "p");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_EQ(ClearFolder(*job, "C:", false, true, "", counter), 0u);
  EXPECT_EQ(counter, 0);
  const auto asked = h.Prompt.Asked();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].Text, "Do you want to delete all files and folders under C:\\?");
  EXPECT_EQ(asked[0].Caption, "Kestrove");
  EXPECT_EQ(asked[0].Buttons, TMsgButtons::YesNo);
  EXPECT_EQ(asked[0].Icon, TMsgIcon::Information);
  EXPECT_EQ(asked[0].DefaultButton, 1);
  EXPECT_TRUE(Exists("C:\\pagefile.sys"));
  EXPECT_TRUE(h.TakeLines().empty());

  // A test asks nothing.
  auto test = h.MakeJob(TestRun);
  ClearFolder(*test, "C:\\", false, true, "", counter);
  EXPECT_GT(counter, 0);
  EXPECT_EQ(h.Prompt.Asked().size(), 1u);
}

TEST_F(FileRemoval, NoSkipsExactlyThatFolder) {
  const std::string profile = "C:\\users\\user";
  target.WriteFile(profile + "\\Documents\\letter.txt", "dear");
  target.WriteFile(profile + "\\Documents\\old\\draft.txt", "draft");
  target.WriteFile(profile + "\\Desktop\\todo.txt", "todo");
  target.WriteFile(profile + "\\Pictures\\cat.jpg", "cat");
  h.Prompt.NoTo("\\Documents\\?");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  ClearFolder(*job, profile, false, true, "", counter);
  EXPECT_EQ(h.Prompt.Texts(),
            (std::vector<std::string>{"Do you want to delete all files and folders under C:\\users\\user\\Documents\\?",
                                      "Do you want to delete all files and folders under C:\\users\\user\\Pictures\\?"}));
  EXPECT_TRUE(Exists(profile + "\\Documents\\letter.txt"));
  EXPECT_TRUE(Exists(profile + "\\Documents\\old\\draft.txt"));
  EXPECT_FALSE(Exists(profile + "\\Desktop"));
  EXPECT_FALSE(Exists(profile + "\\Pictures"));  // answered Yes
  EXPECT_EQ(counter, 2);
  EXPECT_TRUE(LinesWith(h.TakeLines(), "Documents").empty());
}

TEST_F(FileRemoval, PicturesBelowDocumentsAreGuardedToo) {
  target.WriteFile("C:\\users\\user\\Documents\\My Pictures\\cat.jpg", "cat");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  ClearFolder(*job, "c:\\users\\USER\\documents\\my pictures", false, true, "", counter);
  EXPECT_EQ(h.Prompt.Texts(), (std::vector<std::string>{"Do you want to delete all files and folders under "
                                                        "c:\\users\\USER\\documents\\my pictures\\?"}));
  EXPECT_TRUE(Exists("C:\\users\\user\\Documents\\My Pictures\\cat.jpg"));
}

TEST_F(FileRemoval, PatternRemovalAsksItsOwnQuestions) {
  target.WriteFile("C:\\users\\user\\Documents\\a.txt", "a");
  target.WriteFile("C:\\b.tmp", "b");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  RemoveMatchingFiles(*job, "C:\\users\\user\\Documents", "*.txt", counter, false);
  RemoveMatchingFiles(*job, "C:\\", "*.tmp", counter, false);
  RemoveMatchingFiles(*job, "C:\\", "pagefile.sys", counter, false);  // one file by name: no question
  EXPECT_EQ(h.Prompt.Texts(),
            (std::vector<std::string>{"Do you want to delete the files on C:\\users\\user\\Documents\\?",
                                      "Do you want to delete all files and folders under C:\\?"}));
  EXPECT_EQ(counter, 0);
  EXPECT_TRUE(Exists("C:\\users\\user\\Documents\\a.txt"));
  EXPECT_TRUE(Exists("C:\\b.tmp"));
}

TEST_F(FileRemoval, StopRequestEndsTheWalkBetweenEntries) {
  const std::string profile = "C:\\users\\user";
  target.WriteFile(profile + "\\AppData\\Local\\Temp\\early.tmp", "e");
  target.WriteFile(profile + "\\Documents\\mine.txt", "m");
  target.WriteFile(profile + "\\Videos\\late.avi", "l");
  auto job = h.MakeJob(DirectClean);
  // The question comes in the middle of the walk: stop there, answering Yes.
  h.Prompt.Rule = [&job](const TMessageRequest&) {
    job->Terminate();
    return TMsgResult::Yes;
  };
  int counter = 0;
  ClearFolder(*job, profile, false, true, "", counter);
  EXPECT_EQ(counter, 1);
  EXPECT_FALSE(Exists(profile + "\\AppData\\Local\\Temp\\early.tmp"));
  EXPECT_TRUE(Exists(profile + "\\Documents\\mine.txt"));
  EXPECT_TRUE(Exists(profile + "\\Videos\\late.avi"));
  // Once stopped, nothing more starts.
  EXPECT_EQ(ClearFolder(*job, profile + "\\Videos", false, true, "", counter), 0u);
  EXPECT_TRUE(Exists(profile + "\\Videos\\late.avi"));
}

// ---- patterns ----------------------------------------------------------------------------

class FileRemovalPattern : public FileRemoval {
 protected:
  void SetUp() override {
    for (const char* name : {"memory.dmp", "MEMORY.DMP", "Mini1.Dmp", "FILE0000.CHK", "file0001.chk", "File0002.chk.bak",
                             "xFile.chk", "README", "axb*", "axb", "a.b.c"})
      std::ofstream(target.MakeFolder("C:\\p") / name) << "x";
  }
  std::vector<std::string> Matched(const std::string& pattern) {
    auto job = h.MakeJob(TestRun);
    int counter = 0;
    RemoveMatchingFiles(*job, "C:\\p", pattern, counter, false);
    std::vector<std::string> names;
    for (const std::string& l : h.TakeLines()) names.push_back(l.substr(l.rfind('\\') + 1));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(counter, static_cast<int>(names.size()));
    return names;
  }
  using V = std::vector<std::string>;
};

TEST_F(FileRemovalPattern, NameWithoutStarTakesOnlyThatSpelling) {
  EXPECT_EQ(Matched("memory.dmp"), V{"memory.dmp"});
  EXPECT_EQ(Matched("README"), V{"README"});
  EXPECT_EQ(Matched("readme"), V{});
  EXPECT_EQ(Matched(""), V{});
}

TEST_F(FileRemovalPattern, StarTakesPrefixAndSuffixInAnyCase) {
  EXPECT_EQ(Matched("*.dmp"), (V{"MEMORY.DMP", "Mini1.Dmp", "memory.dmp"}));
  EXPECT_EQ(Matched("File*.chk"), (V{"FILE0000.CHK", "file0001.chk"}));
  // A second star is an ordinary character of the suffix.
  EXPECT_EQ(Matched("a*b*"), V{"axb*"});
  EXPECT_EQ(Matched("*").size(), 11u);
  EXPECT_EQ(Matched("*.*").size(), 11u);
}

TEST_F(FileRemoval, PatternRecursesOnlyWhenAskedAndNeverRemovesFolders) {
  target.WriteFile("C:\\skype\\a.dbb", std::string(5, 'a'));
  target.WriteFile("C:\\skype\\user\\b.DBB", std::string(7, 'b'));
  target.WriteFile("C:\\skype\\user\\keep.xml", "k");
  target.WriteFile("C:\\skype\\empty\\c.dbb", "c");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_EQ(RemoveMatchingFiles(*job, "C:\\skype", "*.dbb", counter, false), 5u);
  EXPECT_EQ(counter, 1);
  EXPECT_TRUE(Exists("C:\\skype\\user\\b.DBB"));
  EXPECT_EQ(RemoveMatchingFiles(*job, "C:\\skype", "*.dbb", counter, true), 8u);
  EXPECT_EQ(counter, 3);
  EXPECT_FALSE(Exists("C:\\skype\\user\\b.DBB"));
  EXPECT_TRUE(Exists("C:\\skype\\user\\keep.xml"));
  EXPECT_TRUE(Exists("C:\\skype\\empty"));
  // Pattern removals log every file, whatever the caller.
  EXPECT_EQ(LinesWith(h.TakeLines(), "Clean: deleting C:\\skype\\").size(), 3u);
}

// ---- single files ------------------------------------------------------------------------

TEST_F(FileRemoval, RemoveFileCountsOnlyAFileThatIsThere) {
  target.WriteFile("C:\\work\\a.txt", "a");
  target.MakeFolder("C:\\work\\folder");
  auto test = h.MakeJob(TestRun);
  EXPECT_TRUE(RemoveFile(*test, "C:\\WORK\\A.TXT", true));
  EXPECT_FALSE(RemoveFile(*test, "C:\\work\\missing.txt", true));
  EXPECT_FALSE(RemoveFile(*test, "C:\\work\\folder", true));
  EXPECT_TRUE(Exists("C:\\work\\a.txt"));

  auto clean = h.MakeJob(DirectClean);
  EXPECT_FALSE(RemoveFile(*clean, "C:\\work\\folder", true));
  EXPECT_FALSE(RemoveFile(*clean, "C:\\", true));
  EXPECT_TRUE(Exists("C:\\work\\folder"));
  EXPECT_TRUE(RemoveFile(*clean, "C:\\work\\a.txt", false));
  EXPECT_FALSE(Exists("C:\\work\\a.txt"));
  EXPECT_FALSE(RemoveFile(*clean, "C:\\work\\a.txt", false));
  // The line comes first, whatever happens then.
  EXPECT_EQ(h.TakeLines(), (std::vector<std::string>{"Test: deleting C:\\WORK\\A.TXT",
                                                     "Test: deleting C:\\work\\missing.txt",
                                                     "Test: deleting C:\\work\\folder", "Clean: deleting C:\\work\\folder",
                                                     "Clean: deleting C:\\"}));
}

TEST_F(FileRemoval, FileInUseMeansLockedOrUnwritable) {
  const fs::path plain = target.WriteFile("C:\\f\\plain.dat", "p");
  const fs::path locked = target.WriteFile("C:\\f\\locked.dat", "l");
  const fs::path ranged = target.WriteFile("C:\\f\\ranged.dat", "r");
  auto job = h.MakeJob(TestRun);
  EXPECT_FALSE(FileInUse(*job, "C:\\f\\missing.dat"));
  EXPECT_FALSE(FileInUse(*job, "C:\\f\\plain.dat"));

  const int fd = ::open(locked.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);
  EXPECT_TRUE(FileInUse(*job, "C:\\f\\locked.dat"));
  ::close(fd);
  EXPECT_FALSE(FileInUse(*job, "C:\\f\\locked.dat"));

  const int rfd = ::open(ranged.c_str(), O_RDWR);
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_len = 1;
  ASSERT_EQ(::fcntl(rfd, F_OFD_SETLK, &range), 0);
  EXPECT_TRUE(FileInUse(*job, "C:\\f\\ranged.dat"));
  ::close(rfd);

  ImmutableFile immutable(plain);
  if (immutable.IsSet()) {
    EXPECT_TRUE(FileInUse(*job, "C:\\f\\plain.dat"));
  }
}

// ---- delayed removal ---------------------------------------------------------------------

class FileRemovalNextStart : public FileRemoval {
 protected:
  std::vector<std::string> Pending() { return PendingFileRenameOperations(target); }
  // Strings each ended by a zero, then the list's own zero.
  static Bytes MultiString(const std::vector<std::string>& strings) {
    Bytes data;
    for (const std::string& s : strings) {
      const Bytes one = Utf8ToUtf16Le(s, true);
      data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
  }
  void SetPending(std::uint32_t type, const Bytes& data) {
    target.SetValue(HKEY_LOCAL_MACHINE, kSessionManager, "PendingFileRenameOperations", type, data);
  }
  Bytes Raw() {
    TRegistry reg(target.Registry());
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(reg.OpenKeyReadOnly(kSessionManager));
    return reg.ReadRaw("PendingFileRenameOperations").value_or(RegValue{}).data;
  }
  static constexpr const char* kSessionManager = "System\\CurrentControlSet\\Control\\Session Manager";
};

TEST_F(FileRemovalNextStart, AppendsAPairAfterWhatIsPending) {
  target.WriteFile("C:\\users\\user\\index.dat", "in use");
  SetPending(REG_MULTI_SZ, MultiString({"\\??\\C:\\old.tmp", "", "\\??\\C:\\a", "\\??\\C:\\b"}));
  auto job = h.MakeJob(DirectClean);
  RemoveAtNextStart(*job, "c:/users/user/index.dat");
  EXPECT_EQ(Pending(), (std::vector<std::string>{"\\??\\C:\\old.tmp", "", "\\??\\C:\\a", "\\??\\C:\\b",
                                                 "\\??\\C:\\users\\user\\index.dat", ""}));
  const Bytes raw = Raw();
  ASSERT_GE(raw.size(), 6u);
  EXPECT_TRUE(std::all_of(raw.end() - 6, raw.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_NE(raw[raw.size() - 8], 0);  // the path's last character, then exactly three zeros
  EXPECT_TRUE(Exists("C:\\users\\user\\index.dat"));  // removed when the target next starts

  RemoveAtNextStart(*job, "C:\\users\\user\\INDEX.DAT");  // once is enough
  EXPECT_EQ(Pending().size(), 6u);
}

TEST_F(FileRemovalNextStart, StartsAListAndLeavesOthersAlone) {
  target.WriteFile("C:\\a.dat", "a");
  auto test = h.MakeJob(TestRun);
  RemoveAtNextStart(*test, "C:\\a.dat");
  EXPECT_TRUE(Pending().empty());
  auto clean = h.MakeJob(DirectClean);
  RemoveAtNextStart(*clean, "C:\\missing.dat");
  EXPECT_TRUE(Pending().empty());
  RemoveAtNextStart(*clean, "C:\\a.dat");
  EXPECT_EQ(Pending(), (std::vector<std::string>{"\\??\\C:\\a.dat", ""}));

  // A value of another type is somebody else's: it is not replaced.
  SetPending(REG_SZ, Utf8ToUtf16Le("not a list", true));
  target.WriteFile("C:\\b.dat", "b");
  RemoveAtNextStart(*clean, "C:\\b.dat");
  EXPECT_EQ(Raw().size(), 22u);
}

TEST_F(FileRemoval, RenameListGoesRightBelowTheHeaderLastFirst) {
  const fs::path ini = target.WriteFile("C:\\windows\\WININIT.INI", "[Settings]\r\nx=1\r\n[RENAME]\r\nNUL=C:\\old\r\n");
  AddToRenameList(*h.MakeJob(TestRun), {"NUL=C:\\a"});
  EXPECT_EQ(ReadAll(ini), "[Settings]\r\nx=1\r\n[RENAME]\r\nNUL=C:\\old\r\n");
  AddToRenameList(*h.MakeJob(DirectClean), {"NUL=C:\\a", "NUL=C:\\b"});
  EXPECT_EQ(ReadAll(ini), "[Settings]\r\nx=1\r\n[RENAME]\r\nNUL=C:\\b\r\nNUL=C:\\a\r\nNUL=C:\\old\r\n");
}

TEST_F(FileRemoval, RenameListWithoutAHeaderGetsItsSectionAtTheEnd) {
  AddToRenameList(*h.MakeJob(DirectClean), {"NUL=C:\\a", "NUL=C:\\b"});
  EXPECT_EQ(ReadAll(*target.HostPath("C:\\windows\\Wininit.ini")), "[rename]\r\nNUL=C:\\a\r\nNUL=C:\\b\r\n");
  AddToRenameList(*h.MakeJob(DirectClean), {"NUL=C:\\c"});
  EXPECT_EQ(ReadAll(*target.HostPath("C:\\windows\\Wininit.ini")), "[rename]\r\nNUL=C:\\c\r\nNUL=C:\\a\r\nNUL=C:\\b\r\n");
}

}  // namespace
}  // namespace kestrove
