// Fix Errors on a memory target: every kind of row, the backup that gives back what was
// removed, and the ways a Fix stops without losing anything.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "../cleaner/CleanerTestSupport.h"
#include "app/Helpers.h"
#include "platform/TRegistry.h"
#include "platform/memory/MemoryTarget.h"
#include "regscan/RegFile.h"
#include "regscan/RegistryFix.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using memory::MemoryTarget;

TScanResult Row(const std::string& location, TLocationKind kind, const std::string& data = "", bool selected = true) {
  return {"problem", data, location, kind, selected};
}

class RegistryFixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.BackupFolder = t.Folder() / "Backup";
    // Every type of data, names with quotes and backslashes, text beyond ASCII.
    const std::string app = "Software\\Gone App";
    t.SetString(HKEY_CURRENT_USER, app, "Path", "C:\\gone\\app.exe");
    t.SetExpandString(HKEY_CURRENT_USER, app, "Expand", "%ProgramFiles%\\gone");
    t.SetValue(HKEY_CURRENT_USER, app, "Multi", REG_MULTI_SZ, Utf8ToUtf16Le(std::string("a\0b\0\0", 5), false));
    t.SetDword(HKEY_CURRENT_USER, app + "\\Sub", "Count", 10);
    t.SetValue(HKEY_CURRENT_USER, app + "\\Sub", "Q\"uo\\te", REG_QWORD, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    t.SetValue(HKEY_CURRENT_USER, app + "\\Sub", "None", REG_NONE, Bytes{});
    t.SetValue(HKEY_CURRENT_USER, app + "\\Sub", "Empty", REG_BINARY, Bytes{});
    t.SetString(HKEY_CURRENT_USER, app + "\\Sub", "Grüße", "日本語");
    t.SetString(HKEY_LOCAL_MACHINE, "Software\\Run", "Gone", "C:\\gone.exe");
    t.SetString(HKEY_LOCAL_MACHINE, "Software\\Run", "", "C:\\default.exe");
    t.SetString(HKEY_LOCAL_MACHINE, "Software\\Run", "Kept", "C:\\kept.exe");
    t.SetString(HKEY_CURRENT_USER, "Software\\Assist", ROT13("UEME_RUNPATH:C:\\gone.exe"), "x");
    t.SetString(HKEY_CURRENT_USER, "Software\\Classes\\.gone", "", "gonefile");
    t.WriteFile("C:\\users\\user\\Desktop\\Gone.lnk", "L");
  }

  // Every value below the keys a Fix here touches, as "root\key\name=type:hex".
  std::vector<std::string> Snapshot() {
    std::vector<std::string> out;
    for (auto [root, key] : {std::pair{HKEY_CURRENT_USER, std::string("Software")},
                             std::pair{HKEY_LOCAL_MACHINE, std::string("Software\\Run")}}) {
      for (const TRegFileEntry& e : CollectRegSection(*t.Registry(), root, true, "", key)) {
        std::ostringstream line;
        if (e.kind == TRegFileEntry::kKey) line << "[" << e.path << "]";
        else line << e.name << "=" << e.type << ":" << std::string(e.data.begin(), e.data.end());
        out.push_back(line.str());
      }
    }
    return out;
  }

  MemoryTarget t;
  testing::TScriptedPrompt prompt;
  TFixSettings settings;
  const std::chrono::system_clock::time_point start = std::chrono::system_clock::now();
};

TEST_F(RegistryFixTest, EveryKindIsRemovedAndTheBackupGivesItBack) {
  const auto before = Snapshot();
  std::vector<TScanResult> rows = {
      Row("HKEY_CURRENT_USER\\Software\\Gone App", TLocationKind::lkKey),
      Row("HKEY_LOCAL_MACHINE\\Software\\Run\\Gone", TLocationKind::lkPathValue),
      Row("HKEY_LOCAL_MACHINE\\Software\\Run", TLocationKind::lkDefaultValue),
      Row("HKEY_LOCAL_MACHINE\\Software\\Run", TLocationKind::lkDataValue, "Kept", false),  // not selected
      Row("HKEY_CURRENT_USER\\Software\\Assist", TLocationKind::lkEncodedDataValue, "UEME_RUNPATH:C:\\gone.exe"),
      Row("HKEY_CURRENT_USER\\Software\\Classes", TLocationKind::lkDataSubkey, ".gone"),
      Row("C:\\users\\user\\Desktop\\Gone.lnk", TLocationKind::lkShortcutFile),
      Row("HKEY_CURRENT_USER\\Software\\No Such Key", TLocationKind::lkKey),  // gone already
      Row("HKCU\\Software\\Run", TLocationKind::lkKey),                        // not a root name here
      Row("HKEY_USERS\\", TLocationKind::lkDataSubkey, t.Registry()->UserSid()),  // a hive's root
      Row("NoBackslash", TLocationKind::lkKey),                                // names nothing: stays
  };
  TRegistryFix fix(t, prompt);
  const TFixResult r = fix.Run(rows, settings, start);
  EXPECT_EQ(r.Outcome, TFixOutcome::Fixed) << r.Error;
  EXPECT_EQ(r.Removed, 6);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].Data, "Kept");
  EXPECT_EQ(rows[1].Location, "NoBackslash");
  EXPECT_TRUE(prompt.asked.size() == 1 && prompt.asked[0].Text.find("can not find the backup folder.") != std::string::npos);
  EXPECT_FALSE(t.Registry()->KeyExists(HKEY_CURRENT_USER, "Software\\Gone App"));
  EXPECT_TRUE(t.Registry()->QueryValue(HKEY_LOCAL_MACHINE, "Software\\Run", "Kept"));
  EXPECT_TRUE(t.Registry()->KeyExists(HKEY_CURRENT_USER, "Software"));
  EXPECT_FALSE(fs::exists(*t.HostPath("C:\\users\\user\\Desktop\\Gone.lnk")));
  EXPECT_EQ(r.BackupFile.parent_path(), settings.BackupFolder);
  EXPECT_EQ(r.BackupFile.extension(), ".reg");

  // What was removed comes back, with its types and data, from the backup alone.
  std::ifstream in(r.BackupFile, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<TRegFileProblem> problems;
  const auto contents = ParseRegFile(bytes, problems);
  ASSERT_TRUE(contents) << (problems.empty() ? "" : problems[0].text);
  EXPECT_FALSE(ApplyRegFile(*t.Registry(), *contents));
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(RegistryFixTest, AFixThatCannotBackUpStopsAtThatRowAndKeepsIt) {
  std::vector<TScanResult> rows = {Row("HKEY_LOCAL_MACHINE\\Software\\Run\\Kept", TLocationKind::lkPathValue),
                                   Row("HKEY_LOCAL_MACHINE\\Software\\Run\\Gone", TLocationKind::lkPathValue)};
  fs::create_directories(MakeBackupFileName(settings.BackupFolder, start));  // the file cannot be made
  TRegistryFix fix(t, prompt);
  const TFixResult r = fix.Run(rows, settings, start);
  EXPECT_EQ(r.Outcome, TFixOutcome::StoppedAtRow);
  ASSERT_EQ(rows.size(), 2u);  // the last row is handled first, and the Fix ends there
  EXPECT_TRUE(t.Registry()->QueryValue(HKEY_LOCAL_MACHINE, "Software\\Run", "Gone"));
  EXPECT_TRUE(t.Registry()->QueryValue(HKEY_LOCAL_MACHINE, "Software\\Run", "Kept"));
}

TEST_F(RegistryFixTest, TheBackupFolderQuestionAndAnEmptyList) {
  std::vector<TScanResult> rows = {Row("HKEY_LOCAL_MACHINE\\Software\\Run\\Gone", TLocationKind::lkPathValue)};
  prompt.answers = {TMsgResult::No};
  EXPECT_EQ(TRegistryFix(t, prompt).Run(rows, settings, start).Outcome, TFixOutcome::FolderDeclined);
  EXPECT_FALSE(fs::exists(settings.BackupFolder));
  std::ofstream(t.Folder() / "plainfile") << "x";
  settings.BackupFolder = t.Folder() / "plainfile" / "Backup";  // below a file: cannot be made
  const TFixResult notMade = TRegistryFix(t, prompt).Run(rows, settings, start);
  EXPECT_EQ(notMade.Outcome, TFixOutcome::FolderNotCreated);
  EXPECT_EQ(notMade.Error, "Cannot create " + settings.BackupFolder.string());
  EXPECT_EQ(rows.size(), 1u);
  std::vector<TScanResult> none;
  settings.BackupFolder = t.Folder();
  EXPECT_EQ(TRegistryFix(t, prompt).Run(none, settings, start).Outcome, TFixOutcome::NoRows);
  EXPECT_TRUE(t.Registry()->QueryValue(HKEY_LOCAL_MACHINE, "Software\\Run", "Gone"));
}

// The restore-point dialog is asked only with the setting on and on Windows versions 9 to 12;
// its Cancel (a refused restore point answered No) ends Fix before anything is changed.
TEST_F(RegistryFixTest, ACancelledRestorePointStopsFixBeforeAnyChange) {
  class TAnswer : public IRestorePointDialog {
   public:
    bool Run() override {
      ++asked;
      return answer;
    }
    bool answer = false;
    int asked = 0;
  } dialog;
  const auto before = Snapshot();
  std::vector<TScanResult> rows = {Row("HKEY_LOCAL_MACHINE\\Software\\Run\\Gone", TLocationKind::lkPathValue),
                                   Row("HKEY_CURRENT_USER\\Software\\Gone App", TLocationKind::lkKey)};
  settings.RestorePoint = true;
  for (int version : {9, 12}) {
    settings.WindowsVersion = version;
    TRegistryFix fix(t, prompt, &dialog);
    const TFixResult r = fix.Run(rows, settings, start);
    EXPECT_EQ(r.Outcome, TFixOutcome::RestorePointCancelled);
    EXPECT_EQ(rows.size(), 2u);
  }
  EXPECT_TRUE(!fs::exists(settings.BackupFolder) || fs::is_empty(settings.BackupFolder));
  EXPECT_EQ(dialog.asked, 2);
  EXPECT_EQ(Snapshot(), before);
  // Below 9 (8 is Windows Me) the dialog is not asked, and Fix goes on.
  settings.WindowsVersion = 8;
  EXPECT_EQ(TRegistryFix(t, prompt, &dialog).Run(rows, settings, start).Outcome, TFixOutcome::Fixed);
  EXPECT_EQ(dialog.asked, 2);
  EXPECT_TRUE(rows.empty());
}

TEST(RegistryFixName, BackupFileNameIsTheRunsDateAndTime) {
  std::tm tm{};
  tm.tm_year = 2010 - 1900;
  tm.tm_mon = 2;
  tm.tm_mday = 7;
  tm.tm_hour = 9;
  tm.tm_min = 15;
  tm.tm_sec = 5;
  tm.tm_isdst = -1;
  const auto when = std::chrono::system_clock::from_time_t(std::mktime(&tm));
  EXPECT_EQ(MakeBackupFileName("/b", when), fs::path("/b/2010_03_07_091505.reg"));
}

}  // namespace
}  // namespace kestrove
