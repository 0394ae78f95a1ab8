#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "CleanJobTestSupport.h"
#include "cleaner/FileRemoval.h"
#include "platform/FileServices.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadFd(int fd) {
  std::string out;
  char buf[4096];
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return out;
}

bool AllBytesAre(const std::string& data, char value) {
  return data.find_first_not_of(value) == std::string::npos;
}

// Text no single pass could have written.
std::string Varied(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

class Overwrite : public ::testing::Test {
 protected:
  void SetUp() override {
    h.Options.IsWipeFile = true;
    h.Options.WipeNumber = 3;
  }
  memory::MemoryTarget target;
  testing::TCleanJobHarness h{target};
};

TEST_F(Overwrite, EachPassCoversTheWholeFileWithOneByteValue) {
  const fs::path file = target.WriteFile("C:\\w\\secret.txt", Varied(10000));
  UniqueFd folder(::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY));
  std::vector<int> values;
  TFileOps& ops = *TFileOps::Posix();
  const bool ok = OverwriteFileAt(ops, folder.Get(), "secret.txt", 3, [&](int pass, std::uint8_t value, std::uint64_t written) {
    EXPECT_EQ(pass, static_cast<int>(values.size()) + 1);
    EXPECT_EQ(written, 10000u);
    EXPECT_LE(value, 254);
    const std::string now = ReadAll(file);
    EXPECT_EQ(now.size(), 10000u);
    EXPECT_TRUE(AllBytesAre(now, static_cast<char>(value))) << "pass " << pass;
    values.push_back(value);
  });
  EXPECT_TRUE(ok);
  EXPECT_EQ(values.size(), 3u);
  EXPECT_EQ(fs::file_size(file), 10000u);
}

// Sizes past 2 GiB once made the overwrite give up silently while the file was reported
// removed: the whole size is written, in 64 bits.
TEST_F(Overwrite, FilesOf2GiBAndMoreAreOverwrittenToo) {
  const fs::path file = target.WriteFile("C:\\w\\huge.bin", "");
  struct statvfs vfs {};
  const std::uint64_t size = (std::uint64_t{1} << 31) + 4096 + 7;
  if (::statvfs(file.parent_path().c_str(), &vfs) != 0 || vfs.f_bavail * vfs.f_frsize < 3 * size)
    GTEST_SKIP() << "not enough free space for a file of 2 GiB";
  fs::resize_file(file, size);  // sparse: only the overwrite fills it
  UniqueFd folder(::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY));
  int value = -1;
  TFileOps& ops = *TFileOps::Posix();
  EXPECT_TRUE(OverwriteFileAt(ops, folder.Get(), "huge.bin", 1, [&](int, std::uint8_t v, std::uint64_t written) {
    EXPECT_EQ(written, size);
    value = v;
  }));
  ASSERT_GE(value, 0);
  EXPECT_EQ(fs::file_size(file), size);
  UniqueFd fd(::open(file.c_str(), O_RDONLY));
  for (std::uint64_t at : {std::uint64_t{0}, (std::uint64_t{1} << 31) - 1, std::uint64_t{1} << 31, size - 1}) {
    unsigned char byte = 0;
    ASSERT_EQ(::pread(fd.Get(), &byte, 1, static_cast<off_t>(at)), 1);
    EXPECT_EQ(byte, value) << "at " << at;
  }
}

TEST_F(Overwrite, CleanOverwritesBeforeItRemoves) {
  const fs::path file = target.WriteFile("C:\\w\\secret.txt", Varied(10000));
  UniqueFd reader(::open(file.c_str(), O_RDONLY));  // open, but holding no lock
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  EXPECT_EQ(ClearFolder(*job, "C:\\w", false, false, "", counter), 10000u);
  EXPECT_EQ(counter, 1);
  EXPECT_FALSE(fs::exists(file));
  const std::string left = ReadFd(reader.Get());
  ASSERT_EQ(left.size(), 10000u);
  EXPECT_TRUE(AllBytesAre(left, left[0]));
}

TEST_F(Overwrite, FileInUseIsNotOverwrittenButStillRemoved) {
  const fs::path file = target.WriteFile("C:\\w\\busy.log", Varied(5000));
  UniqueFd holder(::open(file.c_str(), O_RDONLY));
  ASSERT_EQ(::flock(holder.Get(), LOCK_SH), 0);
  auto job = h.MakeJob(DirectClean);
  EXPECT_TRUE(RemoveFile(*job, "C:\\w\\busy.log", false));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(ReadFd(holder.Get()), Varied(5000));
}

// Another name of the same data may lie outside the target: it keeps its contents.
TEST_F(Overwrite, HardLinkedFileKeepsItsDataElsewhere) {
  const fs::path file = target.WriteFile("C:\\w\\shared.dat", Varied(3000));
  const fs::path other = target.Folder() / "outside-name.dat";
  fs::create_hard_link(file, other);
  auto job = h.MakeJob(DirectClean);
  EXPECT_TRUE(RemoveFile(*job, "C:\\w\\shared.dat", false));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(ReadAll(other), Varied(3000));
}

TEST_F(Overwrite, LinkIsRemovedNeverWrittenThrough) {
  const fs::path outside = target.Folder() / "outside.dat";
  std::ofstream(outside) << Varied(2000);
  target.MakeFolder("C:\\w");
  fs::create_symlink(outside, *target.HostPath("C:\\w") / "link.dat");
  auto job = h.MakeJob(DirectClean);
  int counter = 0;
  ClearFolder(*job, "C:\\w", false, false, "", counter);
  EXPECT_EQ(counter, 1);
  EXPECT_FALSE(fs::exists(fs::symlink_status(*target.HostPath("C:\\w") / "link.dat")));
  EXPECT_EQ(ReadAll(outside), Varied(2000));
  OverwriteFile(*job, "C:\\w\\link.dat", 2);
  EXPECT_EQ(ReadAll(outside), Varied(2000));
}

TEST_F(Overwrite, TestModeWritesNothingAndMissingFilesAreNoError) {
  const fs::path file = target.WriteFile("C:\\w\\secret.txt", Varied(700));
  auto job = h.MakeJob(TestRun);
  int counter = 0;
  ClearFolder(*job, "C:\\w", false, false, "", counter);
  EXPECT_EQ(counter, 1);
  EXPECT_EQ(ReadAll(file), Varied(700));
  OverwriteFile(*job, "C:\\w\\missing.txt", 3);
  EXPECT_FALSE(fs::exists(file.parent_path() / "missing.txt"));
  // The operation itself overwrites when called, also from a test (callers decide).
  OverwriteFile(*job, "C:\\W\\SECRET.TXT", 2);
  const std::string now = ReadAll(file);
  EXPECT_EQ(now.size(), 700u);
  EXPECT_TRUE(AllBytesAre(now, now[0]));
}

}  // namespace
}  // namespace kestrove
