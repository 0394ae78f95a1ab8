// The restore list, restoring and deleting Fix's backups, and the full registry backup, with a
// stand-in editor that records its arguments; and a real export and import between two
// copies of the sample prefix through kestrove-cli.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/wine/WineSample.h"
#include "regscan/Restore.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class TRecordingPrompt : public IPrompt {
 public:
  std::vector<TMessageRequest> asked;
  TMsgResult answer = TMsgResult::Yes;
  TMsgResult Ask(const TMessageRequest& r) override {
    asked.push_back(r);
    return r.Buttons == TMsgButtons::YesNo ? answer : TMsgResult::Ok;
  }
};

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrove-restore-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    dir_ = pattern;
    // Records its arguments, one a line, and exits with the status in the file "status".
    Write(dir_ / "editor" / "regedit",
          "#!/bin/sh\nd=$(dirname \"$0\")\nprintf '%s\\n' \"$@\" > \"$d/args.txt\"\n"
          "exit $(cat \"$d/status\" 2>/dev/null || echo 0)\n");
    fs::permissions(dir_ / "editor" / "regedit", fs::perms::owner_all);
    runner_.Program = dir_ / "editor" / "regedit";
    runner_.Root = dir_ / "prefix";
    runner_.Prompt = &prompt_;
    backups_ = (dir_ / "Backup").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string EditorArgs() const { return ReadAll(dir_ / "editor" / "args.txt"); }

  fs::path dir_;
  std::string backups_;
  TRecordingPrompt prompt_;
  TRegeditRunner runner_;
};

TEST_F(RestoreTest, ListsRegFilesByNameDescendingAnyCaseWithKBSizes) {
  EXPECT_FALSE(ListBackupFiles(backups_).has_value());
  Write(fs::path(backups_) / "a.reg", "");
  Write(fs::path(backups_) / "B.REG", std::string(1048577, 'x'));
  Write(fs::path(backups_) / "c.txt", "x");
  fs::create_directories(fs::path(backups_) / "folder.reg");
  auto files = ListBackupFiles(backups_);
  ASSERT_TRUE(files.has_value());
  ASSERT_EQ(files->size(), 2u);
  EXPECT_EQ((*files)[0].FileName, "B.REG");
  EXPECT_EQ(BackupSizeText((*files)[0].Size), "1,025 KB");
  EXPECT_EQ((*files)[1].FileName, "a.reg");
  EXPECT_EQ(BackupSizeText((*files)[1].Size), "0 KB");
  EXPECT_FALSE(BackupDateText((*files)[1].Modified).empty());
}

TEST_F(RestoreTest, RestoreImportsThenDeletesOnlyWhenTheSettingIsOnAndTheImportSucceeded) {
  Write(fs::path(backups_) / "2026_01_02_030405.reg", "REGEDIT4\n");
  RestoreBackupFile(runner_, backups_, "2026_01_02_030405.reg", false, TTargetIdentity{});
  EXPECT_EQ(EditorArgs(), "--root\n" + (dir_ / "prefix").string() + "\n/s\n" + backups_ + "/2026_01_02_030405.reg\n");
  EXPECT_TRUE(fs::exists(fs::path(backups_) / "2026_01_02_030405.reg"));

  // A failed import keeps the only copy, whatever the setting says.
  Write(dir_ / "editor" / "status", "1\n");
  TRestoreOutcome failed = RestoreBackupFile(runner_, backups_, "2026_01_02_030405.reg", true, TTargetIdentity{});
  EXPECT_TRUE(failed.Ran);
  EXPECT_FALSE(failed.Deleted);
  EXPECT_TRUE(fs::exists(fs::path(backups_) / "2026_01_02_030405.reg"));

  fs::remove(dir_ / "editor" / "status");
  TRestoreOutcome done = RestoreBackupFile(runner_, backups_ + "/", "2026_01_02_030405.reg", true, TTargetIdentity{});
  EXPECT_TRUE(done.Deleted);
  EXPECT_FALSE(fs::exists(fs::path(backups_) / "2026_01_02_030405.reg"));
  EXPECT_TRUE(prompt_.asked.empty());
}

TEST_F(RestoreTest, AnEditorThatCannotStartIsReportedAndNothingIsDeleted) {
  Write(fs::path(backups_) / "x.reg", "");
  runner_.Program = dir_ / "no-such-editor";
  TRestoreOutcome outcome = RestoreBackupFile(runner_, backups_, "x.reg", true, TTargetIdentity{});
  EXPECT_FALSE(outcome.Ran);
  EXPECT_TRUE(fs::exists(fs::path(backups_) / "x.reg"));
  ASSERT_EQ(prompt_.asked.size(), 1u);
  EXPECT_EQ(prompt_.asked[0].Text, "Please check if Regedit.exe exists.");
  EXPECT_EQ(prompt_.asked[0].Caption, "Kestrove");
}

TEST_F(RestoreTest, FullBackupExtensionRuleAndOverwriteQuestion) {
  EXPECT_EQ(FullBackupFileName("/x/full"), "/x/full.reg");
  EXPECT_EQ(FullBackupFileName("/x/full.Reg"), "/x/full.Reg");
  EXPECT_EQ(FullBackupFileName("/x/full.reg.txt"), "/x/full.reg.txt.reg");

  const std::string chosen = (dir_ / "full").string();
  ASSERT_TRUE(BackupFullRegistry(runner_, prompt_, chosen));
  EXPECT_EQ(EditorArgs(), "--root\n" + (dir_ / "prefix").string() + "\n/e\n" + chosen + ".reg\n");
  EXPECT_TRUE(prompt_.asked.empty());

  // The file exists now: No leaves it untouched and starts nothing.
  Write(chosen + ".reg", "old");
  fs::remove(dir_ / "editor" / "args.txt");
  prompt_.answer = TMsgResult::No;
  EXPECT_FALSE(BackupFullRegistry(runner_, prompt_, chosen + ".reg"));
  ASSERT_EQ(prompt_.asked.size(), 1u);
  EXPECT_EQ(prompt_.asked[0].Text, chosen + ".reg has existed,overite it?");
  EXPECT_EQ(prompt_.asked[0].DefaultButton, 1);
  EXPECT_FALSE(fs::exists(dir_ / "editor" / "args.txt"));
  EXPECT_EQ(ReadAll(chosen + ".reg"), "old");
}

TEST_F(RestoreTest, StoppingKillsTheEditorAtOnce) {
  Write(dir_ / "editor" / "regedit", "#!/bin/sh\nexec sleep 60\n");
  struct TStopAtOnce : IRegeditProgress {
    pid_t pid = -1;
    bool WaitWithProgress(TChildProcess& child, const std::string&) override {
      pid = child.Pid();
      return false;
    }
  } stop;
  runner_.Progress = &stop;
  EXPECT_FALSE(runner_.RunRegeditWithProgress("Regedit /e \"x.reg\"", kBackupRegistryHint));
  ASSERT_GT(stop.pid, 0);
  EXPECT_NE(::kill(stop.pid, 0), 0);  // gone and reaped
}

// A change made on one copy of the sample, exported whole and imported into a fresh copy,
// gives both copies the same registry.
TEST_F(RestoreTest, FullBackupImportedIntoAFreshCopyGivesAnEqualRegistry) {
  const fs::path source = fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample";
  wine::WriteSamplePrefix(dir_ / "a", source);
  wine::WriteSamplePrefix(dir_ / "b", source);
  auto cli = [&](const fs::path& root, const std::string& args, const std::string& out = "/dev/null") {
    const std::string cmd = "KESTROVE_HOME=" + ShellQuote((dir_ / "home").string()) + " " +
                            ShellQuote(KESTROVE_CLI_PATH) + " --root " + ShellQuote(root.string()) + " " + args +
                            " >" + ShellQuote(out) + " 2>>" + ShellQuote((dir_ / "err.txt").string());
    const int raw = std::system(cmd.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  ASSERT_EQ(cli(dir_ / "a", "reg add 'HKLM\\Software\\Restored Test' /v Data /t REG_MULTI_SZ /d 'one\\0two' /f"), 0)
      << ReadAll(dir_ / "err.txt");
  ASSERT_EQ(cli(dir_ / "a", "reg add 'HKCU\\Software\\Restored Test' /v Number /t REG_DWORD /d 7 /f"), 0);
  const fs::path backup = dir_ / "full";
  ASSERT_EQ(cli(dir_ / "a", "backup-full " + ShellQuote(backup.string())), 0) << ReadAll(dir_ / "err.txt");
  ASSERT_EQ(cli(dir_ / "b", "restore " + ShellQuote(backup.string() + ".reg")), 0) << ReadAll(dir_ / "err.txt");
  for (const char* root : {"HKLM", "HKCU"}) {
    const std::string a = (dir_ / "a.txt").string(), b = (dir_ / "b.txt").string();
    ASSERT_EQ(cli(dir_ / "a", std::string("reg query ") + root + " /s", a), 0);
    ASSERT_EQ(cli(dir_ / "b", std::string("reg query ") + root + " /s", b), 0);
    EXPECT_NE(ReadAll(b).find("Restored Test"), std::string::npos) << root;
    EXPECT_EQ(ReadAll(a), ReadAll(b)) << root;
  }
  // The restore went through the dialog's path: DeleteBackupFile is on by default.
  EXPECT_FALSE(fs::exists(backup.string() + ".reg"));
}

}  // namespace
}  // namespace kestrove
