// Removal stays inside the Windows system whatever layout it meets: drives that lead out,
// links out, hard links to outside files, folders swapped for links during a clean, bind
// mounts. Every outside file must survive byte for byte.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
using testing::LinesWith;

const char kOutsideText[] = "(outside the Windows system)";

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Somebody else's files on the host: a few files in a few folders, checked to be unchanged.
class OutsideTree {
 public:
  OutsideTree() {
    std::string pattern = (fs::temp_directory_path() / "kestrove-outside-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (const char* rel : {"tmp/x/a.tmp", "tmp/x/sub/b.tmp", "recent/doc.lnk", "data/keep.txt", "INFO2", "keep.txt"})
      Write(rel, std::string(200, 'k') + rel);
  }
  ~OutsideTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& path() const { return root_; }
  void Write(const std::string& rel, const std::string& text) {
    fs::create_directories((root_ / rel).parent_path());
    std::ofstream(root_ / rel, std::ios::binary) << text;
    files_[rel] = text;
  }
  // Every file as it was written, and nothing gone.
  void ExpectUntouched() const {
    for (const auto& [rel, text] : files_) EXPECT_EQ(ReadAll(root_ / rel), text) << rel;
  }

 private:
  fs::path root_;
  std::map<std::string, std::string> files_;
};

class Confinement : public ::testing::Test {
 protected:
  void SetUp() override { h.Prompt.Rule = [](const TMessageRequest&) { return TMsgResult::Yes; }; }
  fs::path Host(const std::string& windowsPath) { return *target.HostPath(windowsPath); }
  bool Exists(const std::string& windowsPath) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(Host(windowsPath), ec));
  }

  memory::MemoryTarget target;
  testing::TCleanJobHarness h{target};
  OutsideTree outside;
};

// Wine's Z: is the host's "/": TEMP, the Recent folder and definition lines may all lead
// there. Each refused place gets one line, in a test as in a clean; nothing there counts.
TEST_F(Confinement, NothingReachedThroughAnOutsideDriveIsRemoved) {
  target.AddDrive('Z', outside.path(), DRIVE_REMOTE, false);
  for (const char* name : {"TEMP", "TMP"}) target.SetString(HKEY_CURRENT_USER, "Environment", name, "Z:\\tmp\\x");
  const std::string explorer = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
  target.SetString(HKEY_CURRENT_USER, explorer + "Shell Folders", "Recent", "Z:\\recent");
  target.SetString(HKEY_CURRENT_USER, explorer + "User Shell Folders", "Recent", "Z:\\recent");
  fs::create_directories(h.ProgramFolder);
  std::ofstream(h.ProgramFolder + "Custom.dat") << "[<New List>]\nDelFile1=Z:\\data\n";
  const std::vector<std::string> items{"Windows - Temporary Files", "Windows - Recent Documents",
                                       "Custom Lists - <New List>"};
  h.Options.IsWipeFile = true;

  for (TRunMode mode : {TestRun, DirectClean}) {
    const auto run = h.Run(mode, items);
    for (const char* item : {"Windows - Temporary Files", "Custom Lists - <New List>"})
      EXPECT_EQ(run.Summary(item).Count, 0) << item;
    const std::string prefix = mode == TestRun ? "Test: " : "Clean: ";
    EXPECT_EQ(LinesWith(run.Lines, kOutsideText),
              (std::vector<std::string>{prefix + "skipped Z:\\tmp\\x\\ " + kOutsideText,
                                        prefix + "skipped Z:\\recent\\ " + kOutsideText,
                                        prefix + "skipped Z:\\data\\ " + kOutsideText}));
    EXPECT_TRUE(run.Deleting().empty());
  }
  outside.ExpectUntouched();

  // The operations called one by one refuse the same way, the drive's root included.
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_FALSE(RemoveFile(*job, "Z:\\keep.txt", true));
  EXPECT_EQ(ClearFolder(*job, "Z:\\", false, true, "", counter), 0u);
  EXPECT_EQ(RemoveMatchingFiles(*job, "Z:\\tmp", "*", counter, true), 0u);
  RemoveAtNextStart(*job, "Z:\\data\\keep.txt");
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(LinesWith(h.TakeLines(), kOutsideText).size(), 4u);
  EXPECT_TRUE(PendingFileRenameOperations(target).empty());
  EXPECT_TRUE(h.Prompt.Asked().empty());
  outside.ExpectUntouched();
}

// Links out of the prefix, absolute and relative, as a folder to clear and as entries met in
// a clear; a second name (hard link) of an outside file in Temp. Wiping is on, so a write
// through any of them would show.
TEST_F(Confinement, LinksAndHardLinksOutLeaveTheOutsideAlone) {
  h.Options.IsWipeFile = true;
  h.Options.WipeNumber = 2;
  const fs::path temp = Host("C:\\tmp");
  fs::create_directories(temp);
  fs::create_symlink(outside.path() / "tmp", temp / "abs");
  fs::create_symlink(fs::relative(outside.path() / "data", temp), temp / "rel");
  fs::create_symlink(outside.path() / "keep.txt", temp / "file.lnk");
  fs::create_hard_link(outside.path() / "keep.txt", temp / "hard.tmp");
  target.WriteFile("C:\\tmp\\own.tmp", "mine");
  fs::create_symlink(outside.path() / "tmp" / "x", Host("C:\\linked"));

  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_EQ(ClearFolder(*job, "C:\\linked", true, true, "", counter), 0u);
  EXPECT_EQ(ClearFolder(*job, "C:\\tmp\\rel", true, true, "", counter), 0u);
  EXPECT_FALSE(RemoveFile(*job, "C:\\tmp\\abs\\x\\a.tmp", true));
  EXPECT_EQ(counter, 0);
  const auto refused = LinesWith(h.TakeLines(), kOutsideText);
  EXPECT_EQ(refused, (std::vector<std::string>{"Clean: skipped C:\\linked\\ " + std::string(kOutsideText),
                                               "Clean: skipped C:\\tmp\\rel\\ " + std::string(kOutsideText),
                                               "Clean: skipped C:\\tmp\\abs\\x\\a.tmp " + std::string(kOutsideText)}));

  // Inside a clear the links and the second name go as themselves.
  ClearFolder(*job, "C:\\tmp", false, true, "", counter);
  EXPECT_EQ(counter, 5);
  EXPECT_TRUE(fs::is_empty(temp));
  EXPECT_TRUE(fs::is_symlink(Host("C:\\linked")));
  outside.ExpectUntouched();
}

// The recycle bin's index cut back to its header, the rename list rewritten: neither may
// write into a file that has another name outside.
TEST_F(Confinement, NoInPlaceWriteIntoAFileWithAnotherName) {
  target.WriteFile("C:\\Recycled\\desktop.ini", "[.ShellClassInfo]");
  target.WriteFile("C:\\Recycled\\Dc1.txt", "deleted");
  fs::create_hard_link(outside.path() / "INFO2", Host("C:\\Recycled") / "INFO2");
  const fs::path userBin = Host("C:\\") / "$Recycle.Bin" / "S-1-5-21-0-0-0-1000";
  fs::create_directories(userBin);
  fs::create_hard_link(outside.path() / "keep.txt", userBin / "INFO");
  EXPECT_EQ(EmptyRecycleBins(target), 1u);
  EXPECT_FALSE(Exists("C:\\Recycled\\Dc1.txt"));

  // A leftover temporary file of the rename list that is another name of an outside file.
  const std::string windows = target.WindowsFolder();
  fs::create_hard_link(outside.path() / "data" / "keep.txt",
                       Host(windows) / (".Wininit.ini.kestrove-" + std::to_string(::getpid()) + ".tmp"));
  EXPECT_TRUE(AddToWininitRename(target, {"NUL=C:\\x.dat"}));
  EXPECT_EQ(ReadAll(Host(windows + "\\Wininit.ini")), "[rename]\r\nNUL=C:\\x.dat\r\n");
  outside.ExpectUntouched();
}

// A folder is swapped for a link out while the clear runs (here while a guard question is
// open): neither the walk under way nor anything after it may follow the link. The same for
// a drive's folder swapped for a link out of the target.
TEST_F(Confinement, FolderSwappedForALinkDuringTheCleanIsNotFollowed) {
  target.AddDrive('D', target.Folder() / "drive_d", DRIVE_FIXED, true);
  target.WriteFile("D:\\tmp\\d.tmp", "d");
  const std::string profile = target.UserProfileFolder();
  target.WriteFile(profile + "\\Documents\\letter.doc", "letter");
  target.WriteFile(profile + "\\Temp\\t.tmp", "t");
  const fs::path temp = Host(profile + "\\Temp");
  const fs::path driveD = target.Folder() / "drive_d";
  bool swapped = false;
  h.Prompt.Rule = [&](const TMessageRequest&) {
    if (swapped) return TMsgResult::No;
    swapped = true;
    fs::rename(temp, temp.string() + ".old");
    fs::create_symlink(outside.path() / "tmp" / "x", temp);
    fs::rename(driveD, driveD.string() + ".old");
    fs::create_symlink(outside.path(), driveD);
    return TMsgResult::No;
  };
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  ClearFolder(*job, profile, false, true, "", counter);
  ASSERT_TRUE(swapped);  // at Documents, listed before Temp
  EXPECT_TRUE(fs::is_symlink(temp));

  // After the swap the drive's folder leads out: nothing on it is had any more.
  EXPECT_EQ(ClearFolder(*job, "D:\\tmp", false, true, "", counter), 0u);
  EXPECT_FALSE(RemoveFile(*job, "D:\\keep.txt", true));
  EXPECT_EQ(ClearFolder(*job, profile + "\\Temp", false, true, "", counter), 0u);
  outside.ExpectUntouched();
  EXPECT_EQ(ReadAll(Host(profile + "\\Documents\\letter.doc")), "letter");
}

// Bind mounts share the device number of what they show: only the mount id tells them apart.
TEST_F(Confinement, BindMountInsideTempIsNotEntered) {
  target.WriteFile("C:\\tmp\\own.tmp", "mine");
  const fs::path bound = target.MakeFolder("C:\\tmp\\bound");
  const fs::path boundTemp = target.MakeFolder("C:\\boundtemp");
  if (::mount(outside.path().c_str(), bound.c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "bind mounts cannot be made here: " << std::strerror(errno);
  struct Unmount {
    std::vector<fs::path> points;
    ~Unmount() {
      for (auto p = points.rbegin(); p != points.rend(); ++p) ::umount2(p->c_str(), MNT_DETACH);
    }
  } unmount{{bound}};
  ASSERT_EQ(::mount((outside.path() / "tmp").c_str(), boundTemp.c_str(), nullptr, MS_BIND, nullptr), 0);
  unmount.points.push_back(boundTemp);
  // Single files shown through bind mounts: one to be wiped, one recycle bin index.
  const fs::path over = target.WriteFile("C:\\tmp\\over.tmp", "x");
  ASSERT_EQ(::mount((outside.path() / "keep.txt").c_str(), over.c_str(), nullptr, MS_BIND, nullptr), 0);
  unmount.points.push_back(over);
  target.WriteFile("C:\\Recycled\\desktop.ini", "[.ShellClassInfo]");
  const fs::path info2 = target.WriteFile("C:\\Recycled\\INFO2", "i");
  ASSERT_EQ(::mount((outside.path() / "INFO2").c_str(), info2.c_str(), nullptr, MS_BIND, nullptr), 0);
  unmount.points.push_back(info2);
  h.Options.IsWipeFile = true;

  UniqueFd inside(::open(Host("C:\\tmp").c_str(), O_RDONLY | O_DIRECTORY));
  UniqueFd mounted(::open(bound.c_str(), O_RDONLY | O_DIRECTORY));
  UniqueFd source(::open(outside.path().c_str(), O_RDONLY | O_DIRECTORY));
  struct stat a {}, b {};
  ASSERT_EQ(::fstat(mounted.Get(), &a), 0);
  ASSERT_EQ(::fstat(source.Get(), &b), 0);
  ASSERT_EQ(a.st_ino, b.st_ino);
  ASSERT_TRUE(MountIdOf(inside.Get()) && MountIdOf(mounted.Get()));
  EXPECT_NE(*MountIdOf(inside.Get()), *MountIdOf(mounted.Get()));
  EXPECT_EQ(MountIdOf(mounted.Get()), MountIdOf(mounted.Get()));

  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  ClearFolder(*job, "C:\\tmp", false, true, "", counter);
  EXPECT_EQ(ClearFolder(*job, "C:\\boundtemp", false, true, "", counter), 0u);
  EXPECT_EQ(RemoveMatchingFiles(*job, "C:\\tmp", "*", counter, true), 0u);
  EmptyRecycleBins(target);
  EXPECT_EQ(counter, 1);
  EXPECT_EQ(LinesWith(h.TakeLines(), kOutsideText),
            (std::vector<std::string>{"Clean: skipped C:\\tmp\\bound\\ " + std::string(kOutsideText),
                                      "Clean: skipped C:\\boundtemp\\ " + std::string(kOutsideText),
                                      "Clean: skipped C:\\tmp\\bound\\ " + std::string(kOutsideText)}));
  outside.ExpectUntouched();
}

}  // namespace
}  // namespace kestrove
