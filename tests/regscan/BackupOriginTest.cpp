// Backups and restore points of several Windows systems in one backup folder: each says which
// system it was taken of, lists put the current system's first, and nothing of one system is
// put into another unless the user says so.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/wine/WineSample.h"
#include "regscan/BackupOrigin.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

TEST(BackupOrigin, WhichSystemAFileBelongsTo) {
  const std::string gone = "/nonexistent/kestrove-moved-away";
  const std::string here = fs::temp_directory_path().string();  // a folder that exists
  const TTargetIdentity current{"Wine prefix", "/home/u/.wine", "S-1-5-21-0-0-0-1000", "aaaa"};
  struct Case {
    const char* what;
    std::optional<TTargetIdentity> origin;
    TOriginMatch expected;
  } cases[] = {
      {"written before origins were kept", std::nullopt, TOriginMatch::Unknown},
      {"the same system", current, TOriginMatch::ThisSystem},
      {"moved here from a folder that is gone", TTargetIdentity{"Wine prefix", gone, current.UserSid, "aaaa"},
       TOriginMatch::ThisSystem},
      {"a copy whose original is still there", TTargetIdentity{"Wine prefix", here, current.UserSid, "aaaa"},
       TOriginMatch::OtherSystem},
      {"made anew in the same folder", TTargetIdentity{"Wine prefix", current.Folder, current.UserSid, "bbbb"},
       TOriginMatch::OtherSystem},
      {"same folder, no machine GUID then", TTargetIdentity{"Wine prefix", current.Folder, current.UserSid, ""},
       TOriginMatch::ThisSystem},
      {"another machine", TTargetIdentity{"Wine prefix", "/other", current.UserSid, "bbbb"}, TOriginMatch::OtherSystem},
      {"another user", TTargetIdentity{"Wine prefix", current.Folder, "S-1-5-21-1-2-3-1001", "aaaa"},
       TOriginMatch::OtherSystem},
      {"another kind", TTargetIdentity{"Offline Windows", current.Folder, current.UserSid, "aaaa"},
       TOriginMatch::OtherSystem},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchOrigin(c.origin, current), c.expected) << c.what;

  // The line survives any folder name, and other lines are not taken for it.
  const TTargetIdentity odd{"Wine prefix", "/tmp/a b;c=%d\n\xC3\xA9", "S-1", ""};
  const std::string line = OriginLine(odd);
  EXPECT_EQ(line.find_first_of(" \n", line.find("folder=")), line.find(" user="));
  const auto back = ParseOriginLine(";" + line + "\r");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Folder, odd.Folder);
  EXPECT_EQ(back->MachineId, "");
  for (const char* other : {"; a comment", ";Kestrove-Origin: folder=/x", ";Kestrove-Origin: kind=W folder=%4"})
    EXPECT_FALSE(ParseOriginLine(other)) << other;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct CliRun {
  int status = -1;
  std::string out, err;
};

// Two sample systems A and B whose backups and restore points share one backup folder.
class TwoSystems : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrove-origin-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    dir_ = pattern;
    for (const char* name : {"A", "B"}) wine::WriteSamplePrefix(dir_ / name, fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
    fs::create_directories(dir_ / "home");
    std::ofstream(dir_ / "home" / "options.ini") << "[Options]\nRestorePoint=1\nDeleteBackupFile=1\n";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  CliRun Cli(const std::string& system, const std::string& args) {
    const std::string cmd = "KESTROVE_HOME=" + Quote((dir_ / "home").string()) + " " + Quote(KESTROVE_CLI_PATH) +
                            " --root " + Quote((dir_ / system).string()) + " " + args + " >" +
                            Quote((dir_ / "out").string()) + " 2>" + Quote((dir_ / "err").string()) + " </dev/null";
    CliRun r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadAll(dir_ / "out");
    r.err = ReadAll(dir_ / "err");
    return r;
  }
  std::map<std::string, std::string> Hives(const std::string& system) {
    std::map<std::string, std::string> out;
    for (const char* h : {"system.reg", "user.reg", "userdef.reg"}) out[h] = ReadAll(dir_ / system / h);
    return out;
  }
  // The first field of each line that ends with `tail`.
  static std::vector<std::string> Names(const std::string& text, const std::string& tail) {
    std::vector<std::string> names;
    std::size_t at = 0;
    for (std::size_t eol; (eol = text.find('\n', at)) != std::string::npos; at = eol + 1) {
      const std::string line = text.substr(at, eol - at);
      if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
        names.push_back(line.substr(0, line.find('\t')));
    }
    return names;
  }

  fs::path dir_;
  const std::string sections_ = "'Startup Programs' 'Shared DLLs' 'Fonts Section'";
};

TEST_F(TwoSystems, NothingOfOneSystemReachesAnotherUnlessTheUserSaysSo) {
  const std::string a = (dir_ / "A").string(), b = (dir_ / "B").string();
  // A Fix on each takes a restore point first (RestorePoint=1) and writes a backup.
  const auto aBefore = Hives("A"), bBefore = Hives("B");
  const std::string aScan = Cli("A", "scan " + sections_).out;
  for (const char* system : {"A", "B"}) {
    const CliRun fixed = Cli(system, "fix --yes " + sections_);
    ASSERT_EQ(fixed.status, 0) << fixed.err;
    EXPECT_NE(fixed.out.find("Restore point "), std::string::npos) << fixed.out;
  }
  ASSERT_NE(Hives("A"), aBefore);
  const auto bFixed = Hives("B");

  // Each system lists its own files first and names the other's by its folder.
  const CliRun aBackups = Cli("A", "backups"), bBackups = Cli("B", "backups");
  const CliRun aPoints = Cli("A", "restore-point list"), bPoints = Cli("B", "restore-point list");
  const std::vector<std::string> aBackup = Names(aBackups.out, "\tthis system"), aPoint = Names(aPoints.out, "\tthis system");
  const std::vector<std::string> bPoint = Names(bPoints.out, "\tthis system");
  ASSERT_EQ(aBackup.size(), 1u) << aBackups.out;
  ASSERT_EQ(aPoint.size(), 1u) << aPoints.out;
  ASSERT_EQ(bPoint.size(), 1u) << bPoints.out;
  EXPECT_EQ(bPoints.out.rfind(bPoint[0] + "\t", 0), 0u) << bPoints.out;
  EXPECT_EQ(aPoints.out.rfind(aPoint[0] + "\t", 0), 0u) << aPoints.out;
  EXPECT_NE(bPoints.out.find(aPoint[0] + "\t"), std::string::npos);
  EXPECT_NE(bPoints.out.find("\tWine prefix " + a + " (machine "), std::string::npos) << bPoints.out;
  EXPECT_NE(bBackups.out.find(aBackup[0] + "\t"), std::string::npos);
  EXPECT_NE(bBackups.out.find("\tWine prefix " + a + " (machine "), std::string::npos) << bBackups.out;

  // A's backup and A's restore point are refused in B, naming both systems; B stays as it was
  // and the backup is kept, though the setting deletes a backup after its restore.
  for (const std::string& args : {"restore " + aBackup[0], "restore-point restore " + aPoint[0]}) {
    const CliRun refused = Cli("B", args);
    EXPECT_EQ(refused.status, 1) << args;
    EXPECT_NE(refused.err.find(a), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find(b), std::string::npos) << refused.err;
    EXPECT_EQ(Hives("B"), bFixed) << args;
  }
  EXPECT_EQ(Cli("A", "restore-point restore " + bPoint[0]).status, 1);
  const fs::path aBackupFile = dir_ / "home" / "Backup" / aBackup[0];
  EXPECT_TRUE(fs::exists(aBackupFile));

  // The user may say so: then it goes in, and the other system's backup is still kept.
  const CliRun forced = Cli("B", "restore --into-other-system " + aBackup[0]);
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_NE(Hives("B"), bFixed);
  EXPECT_TRUE(fs::exists(aBackupFile));

  // Each system's own files give it back: the backup what A's Fix removed (and is deleted, as
  // the setting says), each restore point its system byte for byte.
  const CliRun restored = Cli("A", "restore " + aBackup[0]);
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(Cli("A", "scan " + sections_).out, aScan);
  EXPECT_FALSE(fs::exists(aBackupFile));
  ASSERT_EQ(Cli("A", "restore-point restore " + aPoint[0]).status, 0);
  EXPECT_EQ(Hives("A"), aBefore);
  ASSERT_EQ(Cli("B", "restore-point restore " + bPoint[0]).status, 0);
  EXPECT_EQ(Hives("B"), bBefore);

  // --no-restore-point: a Fix that takes none.
  const std::size_t points = Names(Cli("A", "restore-point list").out, "\tthis system").size();
  const CliRun quick = Cli("A", "fix --yes --no-restore-point " + sections_);
  ASSERT_EQ(quick.status, 0) << quick.err;
  EXPECT_EQ(quick.out.find("Restore point "), std::string::npos) << quick.out;
  EXPECT_EQ(Names(Cli("A", "restore-point list").out, "\tthis system").size(), points);
}

// A backup written before origins were kept lists as "origin unknown" and still goes back.
TEST_F(TwoSystems, OldBackupsOfUnknownOriginStayRestorable) {
  fs::create_directories(dir_ / "home" / "Backup");
  std::ofstream(dir_ / "home" / "Backup" / "2020_01_02_030405.reg", std::ios::binary)
      << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Old Backup]\r\n\"V\"=\"1\"\r\n";
  const CliRun list = Cli("B", "backups");
  EXPECT_NE(list.out.find("2020_01_02_030405.reg\t"), std::string::npos);
  EXPECT_NE(list.out.find("\torigin unknown\n"), std::string::npos) << list.out;
  const CliRun restored = Cli("B", "restore 2020_01_02_030405.reg");
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(Cli("B", "reg query 'HKCU\\Software\\Old Backup' /v V").status, 0);
}

}  // namespace
}  // namespace kestrove
