#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ScanTestSupport.h"
#include "platform/TargetSystem.h"
#include "platform/wine/WineSample.h"
#include "regscan/ShellLink.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::LinkWriter;
using Data = std::vector<std::uint8_t>;

fs::path LinkData() { return fs::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata" / "lnk"; }

Data ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Data(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<TShellLinkInfo> Parse(const Data& d) { return ParseShellLink(d.data(), d.size()); }

std::string Target(const Data& d, const EnvironmentBlock& env = {}) {
  auto link = Parse(d);
  if (!link) return "<not a link>";
  return ShellLinkTargetPath(*link, [&](std::string_view s) { return ExpandEnvironmentStrings(s, env); });
}

// Every shorter copy of a file parses without reading past its end (the sanitizer builds
// would see it), and names no target but one the whole file names too: a cut-off path is
// never passed off as a path.
void ExpectTruncationsAreSafe(const Data& whole) {
  const std::string full = Target(whole);
  const std::string idList = Parse(whole) ? Parse(whole)->IdListPath : "";
  for (std::size_t n = 0; n < whole.size(); ++n) {
    const Data part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
    const std::string got = Target(part);
    if (n < 0x4C) {
      EXPECT_EQ(got, "<not a link>") << n;
    } else {
      EXPECT_TRUE(got.empty() || got == full || got == idList) << n << ": " << got;
    }
  }
}

class ShellLinkFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_directory(LinkData())) GTEST_SKIP() << "no shortcut test data at " << LinkData();
  }
};

TEST_F(ShellLinkFiles, LinkInfoPathOfAWindowsShortcut) {
  const Data d = ReadFile(LinkData() / "NeroInfoTool.lnk");
  auto link = Parse(d);
  ASSERT_TRUE(link);
  EXPECT_FALSE(link->Truncated);
  EXPECT_TRUE(link->HasLocalPath);
  EXPECT_EQ(link->LocalBasePath, "C:\\Program Files (x86)\\Nero\\Nero 9\\Nero InfoTool\\InfoTool.exe");
  EXPECT_EQ(Target(d), "C:\\Program Files (x86)\\Nero\\Nero 9\\Nero InfoTool\\InfoTool.exe");
  // The ID list spells the same path with the long names of its items.
  EXPECT_EQ(link->IdListPath, "C:\\Program Files (x86)\\Nero\\Nero 9\\Nero InfoTool\\InfoTool.exe");
  EXPECT_EQ(link->Name.rfind("Nero InfoTool provides you with information", 0), 0u) << link->Name;
  EXPECT_EQ(link->WorkingDir, "C:\\Program Files (x86)\\Nero\\Nero 9\\Nero InfoTool");
}

TEST_F(ShellLinkFiles, EnvironmentBlockTargetIsExpanded) {
  const Data d = ReadFile(LinkData() / "example.lnk");
  auto link = Parse(d);
  ASSERT_TRUE(link);
  EXPECT_FALSE(link->HasLocalPath);
  EXPECT_EQ(link->EnvironmentTarget, "%windir%\\system32\\migwiz\\migwiz.exe");
  EnvironmentBlock env;
  env.Set("windir", "C:\\Windows");
  EXPECT_EQ(Target(d, env), "C:\\Windows\\system32\\migwiz\\migwiz.exe");
  EXPECT_EQ(link->RelativePath, ".\\migwiz\\migwiz.exe");
}

TEST_F(ShellLinkFiles, UnpairedSurrogateIsReadSafely) {
  const Data d = ReadFile(LinkData() / "unpaired_surrogate.lnk");
  auto link = Parse(d);
  ASSERT_TRUE(link);
  const std::string target = Target(d);
  EXPECT_EQ(target.rfind("C:\\test\\unicode_U+0000d800_", 0), 0u) << target;
  EXPECT_NE(target.find("\xEF\xBF\xBD"), std::string::npos) << "the lone surrogate reads as U+FFFD";
  EXPECT_EQ(target.substr(target.size() - 4), ".exe");
}

TEST_F(ShellLinkFiles, CutOffCopiesAreReadSafely) {
  for (const char* name : {"NeroInfoTool.lnk", "example.lnk", "unpaired_surrogate.lnk"}) {
    SCOPED_TRACE(name);
    ExpectTruncationsAreSafe(ReadFile(LinkData() / name));
  }
}

TEST(ShellLinkParse, NotAShortcut) {
  EXPECT_FALSE(Parse(Data{}));
  EXPECT_FALSE(Parse(Data(0x4C, 0)));
  Data d = LinkWriter().Build();
  d[4] ^= 1;  // another class
  EXPECT_FALSE(Parse(d));
  d = LinkWriter().Build();
  d[0] = 0x4D;
  EXPECT_FALSE(Parse(d));
  EXPECT_EQ(Target(LinkWriter().Build()), "");
}

TEST(ShellLinkParse, NetworkFormIsPreferred) {
  LinkWriter w;
  w.hasLinkInfo = true;
  w.localBasePath = "Z:\\";
  w.netName = "\\\\server\\share";
  w.deviceName = "Z:";
  w.commonPathSuffix = "docs\\plan.txt";
  EXPECT_EQ(Target(w.Build()), "\\\\server\\share\\docs\\plan.txt");
  w.netName.clear();
  EXPECT_EQ(Target(w.Build()), "Z:\\docs\\plan.txt");
  w.localBasePath = "C:\\Program Files\\App\\app.exe";
  w.commonPathSuffix.clear();
  EXPECT_EQ(Target(w.Build()), "C:\\Program Files\\App\\app.exe");
}

TEST(ShellLinkParse, IdListIsTheFallback) {
  LinkWriter w;
  w.idItems = {LinkWriter::MyComputer(), LinkWriter::Drive('D'), LinkWriter::Entry(true, "PROGRA~1", "Program Files"),
               LinkWriter::Entry(false, "TOOL.EXE", "")};
  EXPECT_EQ(Target(w.Build()), "D:\\Program Files\\TOOL.EXE");
  // A LinkInfo path wins over the ID list, unless the link says not to use it.
  w.hasLinkInfo = true;
  w.localBasePath = "C:\\other.exe";
  EXPECT_EQ(Target(w.Build()), "C:\\other.exe");
  w.flags |= kSlForceNoLinkInfo;
  EXPECT_EQ(Target(w.Build()), "D:\\Program Files\\TOOL.EXE");

  // Lists that name no file system path give nothing.
  LinkWriter control;
  static const std::uint8_t kControlPanel[16] = {0xEC, 0x21, 0xEA, 0x20, 0x6A, 0xA8, 0x10, 0x10,
                                                 0xA2, 0xD9, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};
  control.idItems = {LinkWriter::RootItem(kControlPanel), LinkWriter::Drive('C')};
  EXPECT_EQ(Target(control.Build()), "");
  LinkWriter dotdot;
  dotdot.idItems = {LinkWriter::MyComputer(), LinkWriter::Drive('C'), LinkWriter::Entry(true, "..", "")};
  EXPECT_EQ(Target(dotdot.Build()), "");
}

TEST(ShellLinkParse, EnvironmentBlockOnlyWithItsFlag) {
  LinkWriter w;
  w.envTarget = "%ProgramFiles%\\App\\app.exe";
  w.hasLinkInfo = true;
  w.localBasePath = "C:\\Program Files\\App\\old.exe";
  EnvironmentBlock env;
  env.Set("ProgramFiles", "C:\\Program Files");
  EXPECT_EQ(Target(w.Build(), env), "C:\\Program Files\\App\\app.exe");
  Data d = w.Build();
  d[21] &= static_cast<std::uint8_t>(~0x02);  // HasExpString off
  EXPECT_EQ(Target(d, env), "C:\\Program Files\\App\\old.exe");
}

TEST(ShellLinkParse, DamagedSizesAndOffsetsStayInsideTheFile) {
  LinkWriter w;
  w.hasLinkInfo = true;
  w.localBasePath = "C:\\App\\app.exe";
  w.name = "A shortcut";
  const Data good = w.Build();
  ASSERT_EQ(Target(good), "C:\\App\\app.exe");
  const std::size_t linkInfo = 0x4C;
  auto poke32 = [](Data d, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return d;
  };
  // LinkInfo larger than the file, and offsets far outside it.
  EXPECT_EQ(Target(poke32(good, linkInfo, 0xFFFFFFF0u)), "");
  EXPECT_TRUE(Parse(poke32(good, linkInfo, 0xFFFFFFF0u))->Truncated);
  EXPECT_EQ(Target(poke32(good, linkInfo + 16, 0x7FFFFFFFu)), "");
  EXPECT_EQ(Target(poke32(good, linkInfo + 24, 0xFFFFFFFFu)), "C:\\App\\app.exe");
  // A LinkInfo smaller than its own header is skipped.
  EXPECT_EQ(Target(poke32(good, linkInfo, 8)), "");
  // A local path without its terminating zero.
  Data noZero = good;
  const std::size_t end = linkInfo + 0x1C + 0x11 + std::string("C:\\App\\app.exe").size();
  ASSERT_EQ(noZero[end], 0);
  noZero[end] = 'x';
  noZero[end + 1] = 'x';  // the suffix's zero too
  EXPECT_EQ(Target(noZero).find("C:\\App\\app.exe"), std::string::npos);
  // Every byte flipped in turn: never a crash.
  for (std::size_t i = 0; i < good.size(); ++i) {
    Data d = good;
    d[i] ^= 0xFF;
    (void)Target(d);
  }
  ExpectTruncationsAreSafe(good);
}

TEST(ShellLinkParse, SampleShortcutsRoundTrip) {
  const Bytes link = wine::MakeShellLink("C:\\users\\user\\Documents\\report.txt");
  EXPECT_EQ(Target(Data(link.begin(), link.end())), "C:\\users\\user\\Documents\\report.txt");
}

TEST(ShellLinkResolve, ReadsFilesAndRefusesOthers) {
  const fs::path dir = fs::temp_directory_path() / ("kestrove-lnk-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  LinkWriter w;
  w.envTarget = "%windir%\\notepad.exe";
  const Data d = w.Build();
  std::ofstream(dir / "a.lnk", std::ios::binary).write(reinterpret_cast<const char*>(d.data()),
                                                       static_cast<std::streamsize>(d.size()));
  std::ofstream(dir / "text.lnk") << "not a shortcut";
  EnvironmentBlock env;
  env.Set("windir", "C:\\windows");
  EXPECT_EQ(ResolveShortcutTarget(dir / "a.lnk", env), "C:\\windows\\notepad.exe");
  EXPECT_EQ(ResolveShortcutTarget(dir / "text.lnk", env), "");
  EXPECT_EQ(ResolveShortcutTarget(dir / "missing.lnk", env), "");
  EXPECT_EQ(ResolveShortcutTarget(dir, env), "");
  // Neither waits for a writer nor reads without end.
  ASSERT_EQ(::mkfifo((dir / "fifo.lnk").c_str(), 0600), 0);
  EXPECT_EQ(ResolveShortcutTarget(dir / "fifo.lnk", env), "");
  fs::create_symlink("/dev/zero", dir / "zero.lnk");
  EXPECT_EQ(ResolveShortcutTarget(dir / "zero.lnk", env), "");
  fs::resize_file(dir / "a.lnk", (1u << 20) + 1);
  EXPECT_EQ(ResolveShortcutTarget(dir / "a.lnk", env), "");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kestrove
