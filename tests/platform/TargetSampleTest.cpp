#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

#include "TargetTestSupport.h"
#include "platform/TRegistry.h"
#include "platform/TargetSystem.h"
#include "platform/UrlCache.h"
#include "platform/wine/WinePrefixTarget.h"
#include "platform/wine/WineSample.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

fs::path TemplateFolder() { return fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample"; }

std::size_t EntriesIn(const fs::path& folder) {
  std::size_t n = 0;
  for (auto it = fs::directory_iterator(folder); it != fs::directory_iterator(); ++it) ++n;
  return n;
}

std::uint32_t U32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

class SampleWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = tmp / "out" / "sample-target";
    wine::WriteSamplePrefix(dir, TemplateFolder());
    target = OpenTarget(TargetChoice{dir, "--root"});
  }
  std::string UserString(const char* key, const char* name) {
    TRegistry reg(target->Registry());
    reg.SetRootKey(HKEY_CURRENT_USER);
    if (!reg.OpenKeyReadOnly(key)) return "<no key>";
    return reg.ReadString(name);
  }
  TempFolder tmp;
  fs::path dir;
  std::unique_ptr<TargetSystem> target;
};

TEST_F(SampleWrite, IsAWinePrefixWithItsDrives) {
  EXPECT_TRUE(wine::IsWinePrefix(dir));
  EXPECT_EQ(fs::read_symlink(dir / "dosdevices/c:"), "../drive_c");
  EXPECT_EQ(fs::read_symlink(dir / "dosdevices/z:"), "/");
  EXPECT_EQ(target->DriveType('C'), DRIVE_FIXED);
  EXPECT_EQ(target->DriveType('Z'), DRIVE_FIXED);  // Wine's type; outside all the same
  EXPECT_FALSE(target->Drive('Z')->insideTarget);
  EXPECT_TRUE(fs::is_regular_file(dir / ".update-timestamp"));
  EXPECT_EQ(target->WindowsVersion(), 12);
  // Built beside the folder and renamed into place: nothing else is left there.
  EXPECT_EQ(EntriesIn(tmp / "out"), 1u);
}

TEST_F(SampleWrite, RunHistoryAndTypedUrls) {
  const char* runMru = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU";
  EXPECT_EQ(UserString(runMru, "MRUList"), "cba");
  EXPECT_EQ(UserString(runMru, "a"), "notepad\\1");
  EXPECT_EQ(UserString(runMru, "c"), "regedit\\1");
  EXPECT_EQ(UserString("Software\\Microsoft\\Internet Explorer\\TypedURLs", "url1"), "http://www.winehq.org/");
  // Written in Wine's own format, where a reader of the file finds it.
  const std::string userReg = testing::ReadAll(dir / "user.reg");
  EXPECT_NE(userReg.find("[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\RunMRU]"),
            std::string::npos);
  EXPECT_NE(userReg.find("\"MRUList\"=\"cba\""), std::string::npos);
}

// The key blocks of a hive file in Wine's format: "[key] time" -> the block's other lines,
// without the "#time=" line that changes when a key gains a value or a subkey.
std::map<std::string, std::vector<std::string>> KeyBlocks(const std::string& text) {
  std::map<std::string, std::vector<std::string>> blocks;
  std::vector<std::string>* current = nullptr;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line[0] == '[') {
      current = &blocks[line.substr(0, line.find(']') + 1)];
    } else if (current && !line.empty() && line.rfind("#time=", 0) != 0) {
      current->push_back(line);
    }
  }
  return blocks;
}

TEST_F(SampleWrite, MachineHivesKeepTheTemplate) {
  EXPECT_EQ(testing::ReadAll(dir / "userdef.reg"), testing::ReadAll(TemplateFolder() / "userdef.reg"));
  // The machine hive gains the registry scan's traces; every key and value of the template
  // stays as it was, in its order, but the machine GUID: each sample is a machine of its own.
  const auto before = KeyBlocks(testing::ReadAll(TemplateFolder() / "system.reg"));
  const auto after = KeyBlocks(testing::ReadAll(dir / "system.reg"));
  const std::string guid = "\"MachineGuid\"=";
  for (const auto& [key, lines] : before) {
    auto it = after.find(key);
    ASSERT_NE(it, after.end()) << key;
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
      if (line.rfind(guid, 0) != 0) kept.push_back(line);
      else EXPECT_EQ(std::count(it->second.begin(), it->second.end(), line), 0) << "the template's GUID was kept";
    }
    std::size_t at = 0;
    for (const std::string& line : it->second) {
      if (at < kept.size() && line == kept[at]) ++at;
    }
    EXPECT_EQ(at, kept.size()) << key;
  }
}

TEST_F(SampleWrite, RecentDocumentsListAndShortcuts) {
  TRegistry reg(target->Registry());
  reg.SetRootKey(HKEY_CURRENT_USER);
  ASSERT_TRUE(reg.OpenKeyReadOnly("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RecentDocs"));
  auto order = reg.ReadRaw("MRUListEx");
  ASSERT_TRUE(order);
  ASSERT_EQ(order->data.size(), 16u);
  EXPECT_EQ(U32(order->data, 0), 2u);  // most recent first
  EXPECT_EQ(U32(order->data, 12), 0xFFFFFFFFu);
  auto first = reg.ReadRaw("0");
  ASSERT_TRUE(first);
  EXPECT_EQ(Utf16LeToUtf8(first->data.data(), 20), "report.txt");
  EXPECT_TRUE(reg.KeyExists("\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RecentDocs\\.txt"));

  const std::string recent = *target->ShellFolder("Recent");
  auto link = target->HostPath(recent + "\\report.lnk");
  ASSERT_TRUE(link && fs::is_regular_file(*link));
  const std::string bytes = testing::ReadAll(*link);
  EXPECT_NE(bytes.find("C:\\users\\root\\Documents\\report.txt"), std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(*target->HostPath("C:\\users\\root\\Documents\\report.txt")));
  // One shortcut points at a document that is gone.
  EXPECT_TRUE(fs::is_regular_file(*target->HostPath(recent + "\\old_letter.lnk")));
  EXPECT_FALSE(fs::exists(*target->HostPath("C:\\users\\root\\Documents\\old_letter.doc")));
}

TEST_F(SampleWrite, EveryShellFolderAndTempFolderExists) {
  for (const auto& [name, path] : target->ShellFolders()) {
    auto host = target->HostPath(path);
    ASSERT_TRUE(host) << name;
    EXPECT_TRUE(fs::is_directory(*host)) << name << " = " << path;
  }
  for (const std::string& folder : {target->TempFolder(), target->SystemFolder(), target->ProgramFilesFolder(),
                                    std::string("C:\\windows\\temp")}) {
    EXPECT_TRUE(fs::is_directory(*target->HostPath(folder))) << folder;
  }
  // The cache folders the cache's index names, empty ones too: wininet needs every one.
  const std::string content = target->ShellFolder("Cache").value_or("") + "\\Content.IE5\\";
  const auto index = TUrlCacheFile::Open(*target, content + "index.dat");
  ASSERT_TRUE(index);
  ASSERT_EQ(index->Folders().size(), 4u);
  for (const std::string& name : index->Folders()) EXPECT_TRUE(fs::is_directory(*target->HostPath(content + name))) << name;
}

TEST_F(SampleWrite, TemporaryFilesAreDatedBack) {
  auto host = target->HostPath(target->TempFolder() + "~DF3A1C.tmp");
  ASSERT_TRUE(host && fs::is_regular_file(*host));
  EXPECT_EQ(fs::file_size(*host), 2048u);
  const auto age = fs::file_time_type::clock::now() - fs::last_write_time(*host);
  EXPECT_GT(age, std::chrono::hours(48));
}

TEST(SampleRefuse, NonEmptyFolderIsLeftAlone) {
  TempFolder tmp;
  tmp.Write("busy/keep.txt", "mine");
  EXPECT_THROW(wine::WriteSamplePrefix(tmp / "busy", TemplateFolder()), wine::SampleError);
  EXPECT_EQ(EntriesIn(tmp / "busy"), 1u);
  EXPECT_EQ(testing::ReadAll(tmp / "busy/keep.txt"), "mine");
  EXPECT_EQ(EntriesIn(tmp.path()), 1u);
}

TEST(SampleRefuse, FileInTheWay) {
  TempFolder tmp;
  tmp.Write("file", "x");
  EXPECT_THROW(wine::WriteSamplePrefix(tmp / "file", TemplateFolder()), wine::SampleError);
  EXPECT_EQ(testing::ReadAll(tmp / "file"), "x");
}

TEST(SampleRefuse, EmptyFolderIsFilled) {
  TempFolder tmp;
  tmp.Mkdir("empty");
  wine::WriteSamplePrefix(tmp / "empty", TemplateFolder());
  EXPECT_TRUE(wine::IsWinePrefix(tmp / "empty"));
  EXPECT_EQ(EntriesIn(tmp.path()), 1u);
}

TEST(SampleRefuse, IncompleteTemplateLeavesNothing) {
  TempFolder tmp;
  tmp.Write("template/system.reg", "WINE REGISTRY Version 2\n");
  EXPECT_THROW(wine::WriteSamplePrefix(tmp / "out", tmp / "template"), wine::SampleError);
  EXPECT_FALSE(fs::exists(tmp / "out"));
  EXPECT_EQ(EntriesIn(tmp.path()), 1u);
}

TEST(SampleRefuse, BrokenTemplateLeavesNothing) {
  TempFolder tmp;
  for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) {
    tmp.Write(fs::path("template") / name, "this is no registry file\n[unterminated\n");
  }
  EXPECT_THROW(wine::WriteSamplePrefix(tmp / "out", tmp / "template"), std::exception);
  EXPECT_FALSE(fs::exists(tmp / "out"));
  EXPECT_EQ(EntriesIn(tmp.path()), 1u);
}

TEST(SampleTemplate, FoundFromABuildFolder) {
  auto found = wine::FindSampleTemplate(fs::path(KESTROVE_SOURCE_DIR) / "build-somewhere");
  ASSERT_TRUE(found);
  EXPECT_TRUE(fs::is_regular_file(*found / "user.reg"));
  TempFolder tmp;
  EXPECT_FALSE(wine::FindSampleTemplate(tmp.path()));
}

TEST(SampleShellLink, HeaderAndLinkInfo) {
  const std::string target = "C:\\users\\root\\Documents\\report.txt";
  const Bytes link = wine::MakeShellLink(target);
  ASSERT_GE(link.size(), 0x4Cu + 0x1Cu);
  EXPECT_EQ(U32(link, 0), 0x4Cu);
  EXPECT_EQ(link[4], 0x01);
  EXPECT_EQ(link[5], 0x14);
  EXPECT_EQ(link[19], 0x46);
  EXPECT_EQ(U32(link, 0x14) & 0x02u, 0x02u);  // HasLinkInfo
  const std::size_t info = 0x4C;
  const std::uint32_t infoSize = U32(link, info);
  EXPECT_EQ(info + infoSize + 4, link.size());  // LinkInfo, then the terminal block
  EXPECT_EQ(U32(link, info + 8), 1u);           // VolumeIDAndLocalBasePath
  const std::uint32_t volume = U32(link, info + 12);
  EXPECT_EQ(U32(link, info + volume + 4), 3u);  // fixed drive
  const std::uint32_t base = U32(link, info + 16);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&link[info + base])), target);
  const std::uint32_t suffix = U32(link, info + 24);
  EXPECT_EQ(link[info + suffix], 0);
  EXPECT_EQ(U32(link, link.size() - 4), 0u);
}

// Runs the command-line tool; returns its exit status and what it printed.
int RunCli(const std::string& arguments, std::string& output) {
  const std::string command = std::string("'") + KESTROVE_CLI_PATH + "' " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  char buf[4096];
  std::size_t n;
  output.clear();
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) output.append(buf, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SampleCli, SampleThenInfo) {
  TempFolder tmp;
  const std::string dir = (tmp / "sample-target").string();
  std::string out;
  ASSERT_EQ(RunCli("sample '" + dir + "'", out), 0) << out;
  ASSERT_EQ(RunCli("--root '" + dir + "' info", out), 0) << out;
  EXPECT_NE(out.find("Target: Wine prefix " + dir), std::string::npos) << out;
  EXPECT_NE(out.find("Windows version: 12 (Windows 7; NT 6.1 build 7601"), std::string::npos) << out;
  EXPECT_NE(out.find("C:  fixed"), std::string::npos) << out;
  EXPECT_NE(out.find("Z:  fixed     /  (outside the Windows system"), std::string::npos) << out;
  EXPECT_NE(out.find("Personal = C:\\users\\root\\Documents"), std::string::npos) << out;
  EXPECT_NE(out.find("Temporary folder: C:\\users\\root\\Temp\\  (" + dir + "/drive_c/users/root/Temp)"),
            std::string::npos)
      << out;

  // Again into the same folder: refused, and the prefix stays as it was.
  const std::string before = testing::ReadAll(tmp / "sample-target/user.reg");
  EXPECT_EQ(RunCli("sample '" + dir + "'", out), 1);
  EXPECT_NE(out.find("not empty"), std::string::npos) << out;
  EXPECT_EQ(testing::ReadAll(tmp / "sample-target/user.reg"), before);
}

TEST(SampleCli, InfoOnAMissingTargetNamesIt) {
  TempFolder tmp;
  const std::string dir = (tmp / "nothing-here").string();
  std::string out;
  EXPECT_EQ(RunCli("--root '" + dir + "' info", out), 1);
  EXPECT_NE(out.find(dir), std::string::npos) << out;
  EXPECT_NE(out.find("--root"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir));
}

}  // namespace
}  // namespace kestrove
