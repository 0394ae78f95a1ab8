// Short (8.3) names as Wine derives them: the pairs in data/wine-short-names.tsv were written
// by GetShortPathNameW under Wine 8.0 (data/shortname.c); where Wine is installed, the live
// test asks it again for names made here.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/RegistryTypes.h"
#include "platform/memory/MemoryTarget.h"
#include "platform/wine/WineShortName.h"
#include "regscan/PathRules.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

std::string Leaf(const std::string& path) { return path.substr(path.rfind('\\') + 1); }

std::string ShortOf(const std::string& longName) {
  const std::u16string s = wine::HashedShortName(Utf8ToU16(longName));
  return s.empty() ? longName : U16ToUtf8(s);
}

std::vector<std::pair<std::string, std::string>> WinePairs() {
  std::ifstream in(fs::path(KESTROVE_SOURCE_DIR) / "tests" / "platform" / "data" / "wine-short-names.tsv");
  std::vector<std::pair<std::string, std::string>> out;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto tab = line.find('\t');
    out.emplace_back(line.substr(0, tab), line.substr(tab + 1));
  }
  return out;
}

TEST(WineShortName, EveryNameGetsTheShortNameWineGaveIt) {
  const auto pairs = WinePairs();
  ASSERT_GT(pairs.size(), 30u);
  for (const auto& [longPath, shortPath] : pairs) {
    const std::string name = Leaf(longPath), expected = Leaf(shortPath);
    EXPECT_EQ(ShortOf(name), expected) << name;
    EXPECT_EQ(wine::IsLegal8Dot3Name(Utf8ToU16(name)), name == expected) << name;
  }
}

// The scanner and the cleaner resolve a path written with short names to the long one; a
// short name that no long name of the folder has names nothing.
TEST(WineShortName, PathsWrittenWithShortNamesResolve) {
  memory::MemoryTarget t;
  // (in this order: once the long name exists, its short name opens it, as on Windows)
  t.WriteFile("C:\\lit\\ACME~NKN.EXE", "literal");
  t.WriteFile("C:\\lit\\AcmeWriter.exe", "long");
  for (const auto& [longPath, shortPath] : WinePairs())
    if (longPath != "C:\\sn\\Acme Writer") t.WriteFile(longPath, "x");
  TFileProbe probe(t);
  TPathRuleSettings settings;
  settings.ScanDrives = "c";
  TPathRules rules(t, probe, settings);
  for (const auto& [longPath, shortPath] : WinePairs()) {
    const auto host = t.HostPath(shortPath);
    ASSERT_TRUE(host) << shortPath;
    EXPECT_EQ(*host, *t.HostPath(longPath)) << shortPath;
    const bool folder = longPath == "C:\\sn\\Acme Writer";
    EXPECT_EQ(probe.Query(shortPath), folder ? TFileProbe::Kind::Folder : TFileProbe::Kind::File) << shortPath;
    EXPECT_FALSE(rules.IsMissingPath(shortPath, "", folder)) << shortPath;
  }
  EXPECT_EQ(probe.Query("C:\\sn\\ACME~JQI\\ACME~AAA.EXE"), TFileProbe::Kind::Missing);
  EXPECT_TRUE(rules.IsMissingPath("C:\\sn\\ACME~ZZZ\\AcmeWriter.exe", "", false));
  // A long name spelt like another file's short name is that file, not the other one.
  EXPECT_EQ(t.HostPath("C:\\lit\\ACME~NKN.EXE")->filename(), "ACME~NKN.EXE");
  EXPECT_EQ(probe.Query("C:\\lit\\acme~nkn.exe"), TFileProbe::Kind::File);
}

TEST(WineShortName, LiveWineAgrees) {
  if (std::system("command -v winepath >/dev/null 2>&1") != 0) GTEST_SKIP() << "Wine is not installed";
  const fs::path prefix = fs::temp_directory_path() / ("kestrove-shortnames-" + std::to_string(::getpid()));
  fs::create_directories(prefix);
  const std::string env = "WINEPREFIX='" + prefix.string() + "' WINEDEBUG=-all ";
  // The first command makes the prefix; then the files go into it.
  ASSERT_NE(std::system((env + "timeout 300 wineboot -i >/dev/null 2>&1").c_str()), -1);
  const std::vector<std::string> names = {"Program Files Extra", "report 2026.final.docx", "Çà et là.txt",
                                          "x+y=z.ini", ".profile", "README", "a.b"};
  std::string args;
  for (const std::string& n : names) {
    std::ofstream(prefix / "drive_c" / n) << "x";
    args += " 'C:\\" + n + "'";
  }
  const fs::path out = prefix / "short.txt";
  const int rc = std::system((env + "timeout 120 winepath -s" + args + " >'" + out.string() + "' 2>/dev/null").c_str());
  std::system((env + "timeout 60 wineserver -k >/dev/null 2>&1").c_str());
  std::ifstream in(out);
  std::vector<std::string> got;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    got.push_back(Leaf(line));
  }
  fs::remove_all(prefix);
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(got.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(ShortOf(names[i]), got[i]) << names[i];
}

}  // namespace
}  // namespace kestrove
