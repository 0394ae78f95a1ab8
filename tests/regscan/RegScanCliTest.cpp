// kestrove-cli scan, run as a process on the sample prefix.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/wine/WineSample.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

struct CliRun {
  int status = -1;
  std::vector<std::string> out;
  std::string err;
};

class RegScanCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "kestrove-scancli-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return;
    dir_ = pattern;
    wine::WriteSamplePrefix(dir_ / "prefix", fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    home_ = dir_ / ("home-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(home_);
  }

  CliRun Scan(const std::vector<std::string>& args, const fs::path& root = {}, const std::string& command = "scan") {
    std::string cmd = "KESTROVE_HOME=" + ShellQuote(home_.string()) + " " + ShellQuote(KESTROVE_CLI_PATH) +
                      " --root " + ShellQuote((root.empty() ? dir_ / "prefix" : root).string()) + " " + command;
    for (const auto& a : args) cmd += " " + ShellQuote(a);
    cmd += " >" + ShellQuote((home_ / "out.txt").string()) + " 2>" + ShellQuote((home_ / "err.txt").string());
    CliRun r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = Lines(ReadFile(home_ / "out.txt"));
    r.err = ReadFile(home_ / "err.txt");
    return r;
  }
  void Options(const std::string& text) { std::ofstream(home_ / "options.ini") << text; }

  static fs::path dir_;
  fs::path home_;
};

fs::path RegScanCli::dir_;

TEST_F(RegScanCli, PrintsRowsAsTextLinesThenTheStatus) {
  CliRun r = Scan({"Windows Services", "shared dlls"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Not a terminal: no progress display.
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.out.size(), 4u);
  // Tree order, whatever the order on the command line.
  EXPECT_EQ(r.out[0], "Non-existent Shared Dlls  ^^^  C:\\Program Files\\Kestrel Paint\\kpfilter.dll  ^^^  "
                      "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls");
  EXPECT_EQ(r.out[2], "Windows Service Issue  ^^^  C:\\Program Files\\Old Tracker\\trsvc.exe -service  ^^^  "
                      "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OldTrackerSvc\\ImagePath");
  EXPECT_EQ(r.out[3], " 3 Errors Found,  3 Errors Selected.");

  CliRun byNumber = Scan({"17", "7"});
  EXPECT_EQ(byNumber.out, r.out);
}

TEST_F(RegScanCli, StoredSectionsAndIgnoreListsFromTheOptions) {
  // Only "Windows Services" and "Installer" ticked; an ignored key and an ignored value.
  std::string ini = "[TreeViewNodeCheck]\n";
  for (int i = 1; i <= 22; ++i) ini += std::to_string(i) + "=" + (i == 17 || i == 21 ? "1" : "0") + "\n";
  ini +=
      "[IgnoreKey]\nCount=1\nKey1=HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OldTrackerSvc\n"
      "[IgnoreValue]\nCount=1\n"
      "Value1=HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OldTracker\\DisplayIcon\n";
  Options(ini);
  CliRun r = Scan({});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.size(), 3u) << r.err;
  EXPECT_NE(r.out[0].find("UninstallString"), std::string::npos) << r.out[0];
  EXPECT_NE(r.out[1].find("Installer\\Folders"), std::string::npos) << r.out[1];
  EXPECT_EQ(r.out[2], " 2 Errors Found,  2 Errors Selected.");
}

TEST_F(RegScanCli, NothingTickedAndBadSectionsAreErrors) {
  std::string ini = "[TreeViewNodeCheck]\n";
  for (int i = 1; i <= 22; ++i) ini += std::to_string(i) + "=0\n";
  Options(ini);
  CliRun none = Scan({});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("no section is ticked"), std::string::npos) << none.err;
  EXPECT_TRUE(none.out.empty());

  CliRun bad = Scan({"Shared DLL"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("no section is called 'Shared DLL'"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("Shared DLLs"), std::string::npos) << "the list of sections is shown";

  CliRun noTarget = Scan({"7"}, dir_ / "no-such-prefix");
  EXPECT_EQ(noTarget.status, 1);
  EXPECT_NE(noTarget.err.find("no-such-prefix"), std::string::npos) << noTarget.err;
}

TEST_F(RegScanCli, AGroupTakesInItsSections) {
  CliRun all = Scan({"Files and Folders"});
  ASSERT_EQ(all.status, 0) << all.err;
  CliRun parts = Scan({"3", "4", "5", "6"});
  EXPECT_EQ(all.out, parts.out);
  EXPECT_GT(all.out.size(), 5u);
}

// fix: without a terminal it asks nothing and removes nothing; with --yes it removes what
// the scan found, each item first written to the backup, which kestrove-regedit puts back.
TEST_F(RegScanCli, FixRemovesWhatTheScanFoundAndTheBackupPutsItBack) {
  const fs::path prefix = home_ / "prefix";
  wine::WriteSamplePrefix(prefix, fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
  const std::vector<std::string> sections = {"Startup Programs", "Shared DLLs", "Fonts Section"};
  const CliRun before = Scan(sections, prefix);
  ASSERT_EQ(before.status, 0) << before.err;
  ASSERT_GT(before.out.size(), 3u);

  const CliRun refused = Scan(sections, prefix, "fix");
  EXPECT_EQ(refused.status, 3) << refused.err;
  EXPECT_NE(refused.err.find("nothing was removed"), std::string::npos) << refused.err;
  EXPECT_EQ(Scan(sections, prefix).out, before.out);

  std::vector<std::string> yes = sections;
  yes.push_back("--yes");
  const CliRun fixed = Scan(yes, prefix, "fix");
  ASSERT_EQ(fixed.status, 0) << fixed.err;
  ASSERT_GE(fixed.out.size(), 2u);
  const std::string backupLine = fixed.out[fixed.out.size() - 2];
  ASSERT_EQ(backupLine.rfind("Backup: ", 0), 0u) << backupLine;
  EXPECT_EQ(Scan(sections, prefix).out.back(), " 0 Errors Found,  0 Errors Selected.");

  const std::string restore = ShellQuote(KESTROVE_REGEDIT_PATH) + " --root " + ShellQuote(prefix.string()) + " /s " +
                              ShellQuote(backupLine.substr(8)) + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(restore.c_str()), 0);
  EXPECT_EQ(Scan(sections, prefix).out, before.out);
}

std::vector<std::string> Fields(const std::string& row) {
  std::vector<std::string> out;
  std::istringstream in(row);
  for (std::string field; std::getline(in, field, '\t');) out.push_back(field);
  if (!row.empty() && row.back() == '\t') out.emplace_back();
  return out;
}

// scan --format gives the rows Save as Text writes, field by field and without the status;
// backups and restore-point list give the files a Fix left, each of this system.
TEST_F(RegScanCli, RowsForScripts) {
  const CliRun text = Scan({"Windows Services", "shared dlls"});
  const CliRun tsv = Scan({"Windows Services", "shared dlls", "--format", "tsv"});
  ASSERT_EQ(tsv.status, 0) << tsv.err;
  ASSERT_EQ(tsv.out.size(), text.out.size());  // a header instead of the status
  EXPECT_EQ(tsv.out[0], "problem\tdata\tlocation\tlocation_kind");
  for (std::size_t i = 1; i < tsv.out.size(); ++i) {
    const std::vector<std::string> f = Fields(tsv.out[i]);
    ASSERT_EQ(f.size(), 4u) << tsv.out[i];
    EXPECT_EQ(f[0] + "  ^^^  " + f[1] + "  ^^^  " + f[2], text.out[i - 1]);
  }
  EXPECT_EQ(Fields(tsv.out[3])[3], "path-value") << "the service's ImagePath value";
  const CliRun json = Scan({"17", "--format=json"});
  ASSERT_EQ(json.status, 0) << json.err;
  ASSERT_FALSE(json.out.empty());
  EXPECT_EQ(json.out[0], "[");
  EXPECT_EQ(json.out.back(), "]");

  const fs::path prefix = home_ / "prefix";
  wine::WriteSamplePrefix(prefix, fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
  Options("[Options]\nRestorePoint=1\n");
  const CliRun fixed = Scan({"Shared DLLs", "--yes"}, prefix, "fix");
  ASSERT_EQ(fixed.status, 0) << fixed.err;
  const std::string backup = fixed.out[fixed.out.size() - 2].substr(8);  // after "Backup: "
  const CliRun backups = Scan({"--format", "tsv"}, prefix, "backups");
  ASSERT_EQ(backups.status, 0) << backups.err;
  ASSERT_EQ(backups.out.size(), 2u);
  EXPECT_EQ(backups.out[0], "name\tpath\tmodified\tbytes\torigin\tsystem");
  const std::vector<std::string> b = Fields(backups.out[1]);
  ASSERT_EQ(b.size(), 6u) << backups.out[1];
  EXPECT_EQ(b[0], fs::path(backup).filename().string());
  EXPECT_TRUE(fs::equivalent(b[1], backup)) << b[1];
  EXPECT_EQ(b[2].size(), 20u) << b[2];  // 2024-05-01T09:30:12Z
  EXPECT_EQ(b[3], std::to_string(fs::file_size(backup)));
  EXPECT_EQ(b[4], "this-system");
  EXPECT_NE(b[5].find(prefix.string()), std::string::npos) << b[5];

  const CliRun points = Scan({"list", "--format", "json"}, prefix, "restore-point");
  ASSERT_EQ(points.status, 0) << points.err;
  ASSERT_EQ(points.out.size(), 3u);
  EXPECT_NE(points.out[1].find("\"files\": [\""), std::string::npos) << points.out[1];
  EXPECT_NE(points.out[1].find("\"origin\": \"this-system\""), std::string::npos) << points.out[1];
}

}  // namespace
}  // namespace kestrove
