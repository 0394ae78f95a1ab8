// kestrove-cli and kestrove-regedit on an offline Windows installation: the sample one made by
// our hive writer, read back by the reference readers where they are installed.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "CliTestSupport.h"
#include "platform/FileServices.h"
#include "platform/PathResolver.h"
#include "platform/TargetSystem.h"
#include "platform/RegistryTypes.h"
#include "platform/regf/RegfFormat.h"

namespace {

namespace fs = std::filesystem;
using kestrove::testing::CliRun;
using kestrove::testing::Quote;
using kestrove::testing::RunCli;
using kestrove::testing::Slurp;

class OfflineWindowsCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrove-offline-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    root = dir / "win7";
    env = "KESTROVE_HOME=" + Quote((dir / "home").string());
    ASSERT_EQ(std::system((Quote(KESTROVE_CLI_PATH) + " sample --offline " + Quote(root.string()) + " >/dev/null").c_str()), 0);
  }
  void TearDown() override { fs::remove_all(dir); }

  CliRun Run(const std::vector<std::string>& args, const std::string& extraEnv = "") {
    return RunCli(dir, env + " " + extraEnv, root, args);
  }
  fs::path Config() const { return root / "Windows" / "System32" / "config"; }
  static bool Have(const char* tool) {
    return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0;
  }

  fs::path dir, root;
  std::string env;
};

// One pass through every job as a user takes it: look, scan, fix, restore, test, clean.
TEST_F(OfflineWindowsCli, EveryJobWorksOnTheSampleInstallation) {
  CliRun info = Run({"info"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Target: offline Windows"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("(Windows 7; NT 6.1 build 7601"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("* Alice"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("User profile: C:\\Users\\Alice"), std::string::npos) << info.out;

  // The service row is found through CurrentControlSet, the link Windows makes from
  // Select\Current, which our writer must not store in SYSTEM.
  CliRun scan = Run({"scan", "--format", "tsv"});
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_NE(scan.out.find("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OldTrackerSvc\\ImagePath"),
            std::string::npos) << scan.out;
  const auto rows = [](const std::string& out) { return std::count(out.begin(), out.end(), '\n') - 1; };
  const long found = rows(scan.out);
  EXPECT_GT(found, 50);

  CliRun fix = Run({"fix", "--yes", "--no-restore-point"});
  ASSERT_EQ(fix.status, 0) << fix.out << fix.err;
  EXPECT_LE(rows(Run({"scan", "--format", "tsv"}).out), 1);
  if (Have("regfexport")) {
    ASSERT_EQ(std::system(("regfexport " + Quote((Config() / "SYSTEM").string()) + " >" +
                           Quote((dir / "system.txt").string()) + " 2>&1").c_str()), 0);
    const std::string exported = Slurp(dir / "system.txt");
    EXPECT_EQ(exported.find("\\CurrentControlSet"), std::string::npos);
    EXPECT_NE(exported.find("\\ControlSet001\\Services"), std::string::npos);
    EXPECT_NE(exported.find("OldTrackerSvc"), std::string::npos);  // the key stays, its broken ImagePath goes
    EXPECT_EQ(exported.find("trsvc.exe"), std::string::npos);
  }

  // The backup puts every removed entry back.
  CliRun backups = Run({"backups", "--format", "tsv"});
  ASSERT_EQ(backups.status, 0) << backups.err;
  const std::string name = backups.out.substr(backups.out.find('\n') + 1, backups.out.find('\t', backups.out.find('\n')) - backups.out.find('\n') - 1);
  CliRun restore = Run({"restore", name});
  ASSERT_EQ(restore.status, 0) << restore.out << restore.err;
  // Shortcut files are removed without a backup: their targets are gone for good.
  std::size_t shortcuts = 0;
  for (std::size_t at = scan.out.find("Missing ShortCut reference"); at != std::string::npos;
       at = scan.out.find("Missing ShortCut reference", at + 1))
    ++shortcuts;
  EXPECT_EQ(rows(Run({"scan", "--format", "tsv"}).out), found - static_cast<long>(shortcuts));

  // The cleaner finds and removes the user's traces on the installation's own C:.
  const fs::path tempFile = root / "Users" / "Alice" / "AppData" / "Local" / "Temp" / "msi4c21.tmp";
  ASSERT_TRUE(fs::exists(tempFile));
  CliRun clean = Run({"clean", "--yes", "Windows"});
  ASSERT_EQ(clean.status, 0) << clean.out << clean.err;
  EXPECT_FALSE(fs::exists(tempFile));

  // kestrove-regedit reads the same registry.
  const std::string regedit = KESTROVE_REGEDIT_PATH;
  const fs::path exported = dir / "version.reg";
  ASSERT_EQ(std::system((env + " " + Quote(regedit) + " --root " + Quote(root.string()) + " /e " +
                         Quote(exported.string()) + " 'HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion'")
                            .c_str()),
            0);
  EXPECT_NE(Slurp(exported).find("\"ProductName\"=\"Windows 7 Professional\""), std::string::npos);
}

// A restore point is a copy of the hive files; putting it back checks each copy is a whole hive,
// and the very hive it replaces.
TEST_F(OfflineWindowsCli, RestorePointsPutTheHivesBackAndRefuseAnotherHive) {
  fs::create_directories(dir / "home");
  std::ofstream(dir / "home" / "options.ini") << "[Options]\nRestorePoint=1\n";
  ASSERT_EQ(Run({"fix", "--yes"}).status, 0);
  CliRun points = Run({"restore-point", "list", "--format", "tsv"});
  ASSERT_EQ(points.status, 0) << points.err;
  const std::size_t eol = points.out.find('\n');
  const std::string name = points.out.substr(eol + 1, points.out.find('\t', eol) - eol - 1);
  EXPECT_NE(points.out.find("NTUSER.DAT"), std::string::npos) << points.out;
  const std::size_t before = Run({"scan", "--format", "tsv"}).out.size();

  // SYSTEM's copy in place of SOFTWARE's: refused, nothing changed.
  const fs::path point = dir / "home" / "Backup" / "Restore Points" / name;
  ASSERT_TRUE(fs::exists(point / "SOFTWARE")) << point;
  const std::string software = Slurp(point / "SOFTWARE");
  fs::copy_file(point / "SYSTEM", point / "SOFTWARE", fs::copy_options::overwrite_existing);
  const std::string live = Slurp(Config() / "SOFTWARE");
  CliRun refused = Run({"restore-point", "restore", name});
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.err.find("not SOFTWARE"), std::string::npos) << refused.err;
  EXPECT_EQ(Slurp(Config() / "SOFTWARE"), live);

  std::ofstream(point / "SOFTWARE", std::ios::binary | std::ios::trunc) << software;
  CliRun restored = Run({"restore-point", "restore", name});
  ASSERT_EQ(restored.status, 0) << restored.err;
  EXPECT_GT(Run({"scan", "--format", "tsv"}).out.size(), before);
}

// Whose hive is HKEY_CURRENT_USER: the one named, else the one who used the system last.
TEST_F(OfflineWindowsCli, TheUserIsChosenByNameOrByLastUse) {
  const std::string bobSid = "S-1-5-21-3623811015-3361044348-30300820-1002";
  ASSERT_EQ(Run({"reg", "add", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + bobSid, "/v",
                 "ProfileImagePath", "/t", "REG_EXPAND_SZ", "/d", "%SystemDrive%\\Users\\Bob", "/f"})
                .status,
            0);
  fs::create_directories(root / "Users" / "Bob");
  fs::copy_file(root / "Users" / "Alice" / "NTUSER.DAT", root / "Users" / "Bob" / "NTUSER.DAT");
  fs::last_write_time(root / "Users" / "Alice" / "NTUSER.DAT",
                      fs::last_write_time(root / "Users" / "Bob" / "NTUSER.DAT") - std::chrono::hours(1));
  struct Case {
    std::string user;
    int status;
    std::string expected;
  };
  const Case cases[] = {{"", 0, "* Bob"}, {"alice", 0, "* Alice"}, {bobSid, 0, "* Bob"}, {"carol", 1, "Alice (S-1-5-21"}};
  for (const Case& c : cases) {
    CliRun info = Run({"info"}, c.user.empty() ? "" : "KESTROVE_USER=" + Quote(c.user));
    EXPECT_EQ(info.status, c.status) << c.user << info.err;
    EXPECT_NE((info.out + info.err).find(c.expected), std::string::npos) << c.user << info.out << info.err;
  }
  // A profile path that climbs out of the installation names no hive, however new the file there.
  ASSERT_EQ(Run({"reg", "add", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + bobSid + "9", "/v",
                 "ProfileImagePath", "/d", "C:\\Users\\..\\..\\outside", "/f"})
                .status,
            0);
  fs::create_directories(dir / "outside");
  fs::copy_file(root / "Users" / "Bob" / "NTUSER.DAT", dir / "outside" / "NTUSER.DAT");
  CliRun climbing = Run({"info"});
  EXPECT_NE(climbing.out.find("* Bob"), std::string::npos) << climbing.out;
  EXPECT_NE(climbing.out.find("(no NTUSER.DAT)"), std::string::npos) << climbing.out;
  // --user is the same choice, made on the command line.
  std::string cmd = env + " " + Quote(KESTROVE_CLI_PATH) + " --user ALICE --root " + Quote(root.string()) +
                    " info >" + Quote((dir / "out.txt").string());
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_NE(Slurp(dir / "out.txt").find("* Alice"), std::string::npos);
}

// A hibernated Windows, or one whose hive Windows did not finish writing, is read but never
// written; the files stay byte for byte as they were.
TEST_F(OfflineWindowsCli, WritesAreRefusedWhereWindowsStillHoldsTheSystem) {
  const fs::path ntuser = root / "Users" / "Alice" / "NTUSER.DAT";
  const std::vector<std::string> add = {"reg", "add", "HKCU\\Software\\Kestrove", "/v", "x", "/d", "1", "/f"};
  {
    std::ofstream(root / "hiberfil.sys", std::ios::binary) << std::string("HIBR") + std::string(4092, '\0');
    const std::string before = Slurp(ntuser);
    CliRun refused = Run(add);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("hibernated"), std::string::npos) << refused.err;
    EXPECT_EQ(Slurp(ntuser), before);
    EXPECT_EQ(Run({"reg", "query", "HKCU\\Environment"}).status, 0);
    // Resumed: the file says "wake" and writing is allowed again.
    std::ofstream(root / "hiberfil.sys", std::ios::binary) << std::string("wake") + std::string(4092, '\0');
    const std::string software = Slurp(Config() / "SOFTWARE");
    EXPECT_EQ(Run(add).status, 0);
    EXPECT_NE(Slurp(ntuser), before);
    EXPECT_EQ(Slurp(Config() / "SOFTWARE"), software);  // a hive nothing changed in is not written
  }
  {
    // Dirty: the two sequence numbers differ and there is no log to finish the write with.
    std::string data = Slurp(ntuser);
    auto* block = reinterpret_cast<unsigned char*>(data.data());
    kestrove::regf::Put32(block + kestrove::regf::kOffSecondarySeq, kestrove::regf::Get32(block + 4) - 1);
    kestrove::regf::Put32(block + kestrove::regf::kOffChecksum, kestrove::regf::BaseBlockChecksum(block));
    std::ofstream(ntuser, std::ios::binary | std::ios::trunc) << data;
    std::vector<std::string> change = add;
    change[6] = "2";  // a change: setting what is there already writes nothing
    CliRun refused = Run(change);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("boot Windows once, then try again"), std::string::npos) << refused.err;
    EXPECT_EQ(Slurp(ntuser), data);
    CliRun query = Run({"reg", "query", "HKCU\\Software\\Kestrove", "/v", "x"});
    EXPECT_EQ(query.status, 0) << query.err;
  }
}

// A user's folder linked out of the installation: its hive is read, never written through the link.
TEST_F(OfflineWindowsCli, AHiveReachedThroughALinkIsNeverWritten) {
  const fs::path profile = root / "Users" / "Alice";
  fs::rename(profile, dir / "elsewhere");
  fs::create_directory_symlink(dir / "elsewhere", profile);
  const std::string before = Slurp(dir / "elsewhere" / "NTUSER.DAT");
  CliRun refused = Run({"reg", "add", "HKCU\\Software\\Kestrove", "/v", "x", "/d", "1", "/f"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("lies outside the Windows installation"), std::string::npos) << refused.err;
  EXPECT_EQ(Slurp(dir / "elsewhere" / "NTUSER.DAT"), before);
  EXPECT_EQ(Run({"reg", "query", "HKCU\\Environment"}).status, 0);
  // Nor does a clean remove anything there.
  const fs::path temp = dir / "elsewhere" / "AppData" / "Local" / "Temp" / "msi4c21.tmp";
  ASSERT_TRUE(fs::exists(temp));
  Run({"clean", "--yes", "Windows"});
  EXPECT_TRUE(fs::exists(temp));
}

// Windows XP keeps profiles in "Documents and Settings" and the user's classes under "Local
// Settings"; the profile list says where, and that is where they are looked for.
TEST_F(OfflineWindowsCli, AnXpLayoutIsFoundThroughTheProfileList) {
  const std::string sid = "S-1-5-21-3623811015-3361044348-30300820-1001";
  ASSERT_EQ(Run({"reg", "add", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sid, "/v",
                 "ProfileImagePath", "/t", "REG_EXPAND_SZ", "/d", "%SystemDrive%\\Documents and Settings\\Alice", "/f"})
                .status,
            0);
  const fs::path xp = root / "Documents and Settings" / "Alice";
  fs::create_directories(xp.parent_path());
  fs::rename(root / "Users" / "Alice", xp);
  fs::create_directories(xp / "Local Settings" / "Application Data" / "Microsoft");
  fs::rename(xp / "AppData" / "Local" / "Microsoft" / "Windows", xp / "Local Settings" / "Application Data" / "Microsoft" / "Windows");
  CliRun info = Run({"info"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("* Alice"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("C:\\Documents and Settings\\Alice"), std::string::npos) << info.out;
  // The classes hive was found in its XP place: HKEY_CLASSES_ROOT shows what is written there.
  ASSERT_EQ(Run({"reg", "add", "HKCU\\Software\\Classes\\.kvxp", "/ve", "/d", "xp", "/f"}).status, 0);
  EXPECT_NE(Run({"reg", "query", "HKCR\\.kvxp", "/ve"}).out.find("xp"), std::string::npos);
}

// Delete at the next start goes into SYSTEM's current control set, where Windows reads it at boot;
// CurrentControlSet itself, which Windows makes at boot, is never written.
TEST_F(OfflineWindowsCli, DeleteAtTheNextStartIsWrittenIntoTheCurrentControlSet) {
  const fs::path file = root / "Users" / "Alice" / "AppData" / "Local" / "Temp" / "locked.tmp";
  std::ofstream(file) << "in use";
  {
    auto target = kestrove::OpenTarget(kestrove::TargetChoice{root, "--root"});
    ASSERT_TRUE(kestrove::ScheduleDeleteAtNextStart(*target, "C:\\Users\\Alice\\AppData\\Local\\Temp\\locked.tmp"));
    target->Registry()->Commit();
  }
  if (!Have("regfexport")) GTEST_SKIP() << "regfexport (libregf-utils) reads the SYSTEM hive back";
  ASSERT_EQ(std::system(("regfexport " + Quote((Config() / "SYSTEM").string()) + " >" + Quote((dir / "system.txt").string()) +
                         " 2>&1").c_str()),
            0);
  const std::string text = Slurp(dir / "system.txt");
  const std::size_t key = text.find("\\ControlSet001\\Control\\Session Manager\n");
  ASSERT_NE(key, std::string::npos);
  const std::size_t value = text.find("PendingFileRenameOperations", key);
  ASSERT_NE(value, std::string::npos);
  EXPECT_LT(value, text.find("Key path:", key + 1));
  EXPECT_EQ(text.find("\\CurrentControlSet"), std::string::npos);
  CliRun query = Run({"reg", "query", "HKLM\\System\\ControlSet001\\Control\\Session Manager", "/v",
                      "PendingFileRenameOperations"});
  EXPECT_NE(query.out.find("\\??\\C:\\Users\\Alice\\AppData\\Local\\Temp\\locked.tmp"), std::string::npos) << query.out;
}

// Damaged or strange hive files: a message that names the file, no hang, nothing written.
TEST_F(OfflineWindowsCli, BadHiveFilesAreRefusedByName) {
  struct Case {
    const char* name;
    fs::path file;
    std::function<void(const fs::path&)> spoil;
  };
  const fs::path ntuser = root / "Users" / "Alice" / "NTUSER.DAT";
  const Case cases[] = {
      {"truncated", Config() / "SOFTWARE", [](const fs::path& f) { fs::resize_file(f, fs::file_size(f) / 2); }},
      {"zero-filled", ntuser,
       [](const fs::path& f) { std::ofstream(f, std::ios::binary | std::ios::trunc) << std::string(16384, '\0'); }},
      {"a FIFO", Config() / "SYSTEM", [](const fs::path& f) { fs::remove(f); ::mkfifo(f.c_str(), 0644); }},
      {"a link", ntuser, [&](const fs::path& f) {
         fs::rename(f, dir / "ntuser-elsewhere");
         fs::create_symlink(dir / "ntuser-elsewhere", f);
       }},
  };
  const fs::path pristine = dir / "pristine";
  fs::copy(root, pristine, fs::copy_options::recursive);
  for (const Case& c : cases) {
    fs::remove_all(root);
    fs::copy(pristine, root, fs::copy_options::recursive);
    c.spoil(c.file);
    const auto stamp = [&](const fs::path& f) { return fs::exists(f) ? fs::last_write_time(f) : fs::file_time_type{}; };
    const auto others = stamp(Config() / "DEFAULT");
    CliRun run = RunCli(dir, env + " timeout 60", root, {"reg", "add", "HKCU\\Software\\Kestrove", "/v", "x", "/d", "1", "/f"});
    EXPECT_EQ(run.status, 1) << c.name << run.out << run.err;
    EXPECT_NE(run.err.find(c.file.filename().string()), std::string::npos) << c.name << ": " << run.err;
    EXPECT_EQ(stamp(Config() / "DEFAULT"), others) << c.name;
  }
}

// HKEY_CLASSES_ROOT shows the user's classes over the machine's, as Windows does.
TEST_F(OfflineWindowsCli, ClassesRootMergesTheUsersClassesOverTheMachines) {
  const std::string sid = "S-1-5-21-3623811015-3361044348-30300820-1001";
  for (const std::vector<std::string>& add :
       {std::vector<std::string>{"reg", "add", "HKU\\" + sid + "_Classes\\.kvboth", "/ve", "/d", "user", "/f"},
        {"reg", "add", "HKLM\\Software\\Classes\\.kvboth", "/ve", "/d", "machine", "/f"},
        {"reg", "add", "HKLM\\Software\\Classes\\.kvmachine", "/ve", "/d", "machine", "/f"},
        {"reg", "add", "HKCU\\Software\\Classes\\.kvuser", "/ve", "/d", "user", "/f"}})
    ASSERT_EQ(Run(add).status, 0) << add[2];
  CliRun both = Run({"reg", "query", "HKCR\\.kvboth", "/ve"});
  EXPECT_NE(both.out.find("user"), std::string::npos) << both.out;
  EXPECT_EQ(both.out.find("machine"), std::string::npos) << both.out;
  CliRun list = Run({"reg", "query", "HKCR"});
  for (const char* key : {"HKEY_CLASSES_ROOT\\.kvboth\n", "HKEY_CLASSES_ROOT\\.kvmachine\n", "HKEY_CLASSES_ROOT\\.kvuser\n"}) {
    const std::size_t at = list.out.find(key);
    EXPECT_NE(at, std::string::npos) << key;
    EXPECT_EQ(list.out.find(key, at + 1), std::string::npos) << key << " twice";
  }
  // Deleting through the merged view removes it from both hives.
  ASSERT_EQ(Run({"reg", "delete", "HKCR\\.kvboth", "/f"}).status, 0);
  EXPECT_NE(Run({"reg", "query", "HKLM\\Software\\Classes\\.kvboth"}).status, 0);
  EXPECT_NE(Run({"reg", "query", "HKU\\" + sid + "_Classes\\.kvboth"}).status, 0);
}

}  // namespace

namespace {

// (key below `under`, value name, text) of every string value a listing shows.
using TStringValues = std::set<std::tuple<std::string, std::string, std::string>>;

// regfexport's listing: "Key path: ROOT\..." then "Value: N NAME", "Type: ... (REG_SZ)", "Data: TEXT".
TStringValues FromRegfexport(const std::string& text, const std::string& under) {
  TStringValues out;
  std::istringstream in(text);
  std::string line, key, name;
  bool inside = false, isString = false;
  while (std::getline(in, line)) {
    if (line.rfind("Key path: ", 0) == 0) {
      const std::string path = line.substr(10);
      const std::size_t at = path.find('\\');
      key = at == std::string::npos ? "" : path.substr(at + 1);
      inside = key.size() >= under.size() && kestrove::SameName(key.substr(0, under.size()), under);
      if (inside) key = key.substr(under.size());
    } else if (inside && line.rfind("Value: ", 0) == 0) {
      const std::size_t space = line.find(' ', 7);
      name = space == std::string::npos ? "" : line.substr(space + 1);
      if (name == "(default)") name.clear();  // how it names a key's unnamed value
    } else if (inside && line.rfind("Type: ", 0) == 0) {
      isString = line.find("(REG_SZ)") != std::string::npos || line.find("(REG_EXPAND_SZ)") != std::string::npos;
    } else if (inside && isString && line.rfind("Data:", 0) == 0) {
      out.insert({kestrove::FoldName(key), name, line.size() > 6 ? line.substr(6) : ""});  // "Data:" alone when empty
      isString = false;
    }
  }
  return out;
}

// reg query /s: a key's full name on a line of its own, its values indented by four spaces.
TStringValues FromRegQuery(const std::string& text, const std::string& root) {
  TStringValues out;
  std::istringstream in(text);
  std::string line, key;
  while (std::getline(in, line)) {
    if (line.rfind(root, 0) == 0) {
      key = line.substr(root.size());
    } else if (line.rfind("    ", 0) == 0) {
      const std::size_t typeAt = line.find("    REG_", 4);
      if (typeAt == std::string::npos) continue;
      const std::string name = line.substr(4, typeAt - 4);
      const std::size_t dataAt = line.find("    ", typeAt + 4);
      const std::string type = line.substr(typeAt + 4, dataAt == std::string::npos ? std::string::npos : dataAt - typeAt - 4);
      if (type != "REG_SZ" && type != "REG_EXPAND_SZ") continue;
      out.insert({kestrove::FoldName(key), name == "(Default)" ? "" : name,
                  dataAt == std::string::npos ? "" : line.substr(dataAt + 4)});
    }
  }
  return out;
}

}  // namespace

// Real hives of Windows 7-10 machines (a user's, with its classes and their transaction logs,
// and a SYSTEM hive) in the sample's places: read as regfexport reads them, written so that it
// still reads them, and the logs emptied once their entries are in the new file.
TEST_F(OfflineWindowsCli, RealWindowsHivesAreReadAndWrittenAsWindowsKeepsThem) {
  const fs::path regipy = fs::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata" / "regf" / "regipy";
  if (!fs::exists(regipy) || !Have("xz") || !Have("regfexport"))
    GTEST_SKIP() << "needs ../shared/testdata/regf/regipy, xz and regfexport (libregf-utils)";
  const fs::path user = root / "Users" / "Alice";
  const fs::path classes = user / "AppData" / "Local" / "Microsoft" / "Windows";
  const std::pair<const char*, fs::path> files[] = {
      {"NTUSER.DAT.xz", user / "NTUSER.DAT"},          {"UsrClass.dat.xz", classes / "UsrClass.dat"},
      {"UsrClass.dat.LOG1.xz", classes / "UsrClass.dat.LOG1"}, {"UsrClass.dat.LOG2.xz", classes / "UsrClass.dat.LOG2"},
      {"SYSTEM.xz", Config() / "SYSTEM"}};
  for (const auto& [packed, to] : files)
    ASSERT_EQ(std::system(("xz -dc " + Quote((regipy / packed).string()) + " >" + Quote(to.string())).c_str()), 0);

  const std::string explorer = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer";
  ASSERT_EQ(std::system(("regfexport " + Quote((user / "NTUSER.DAT").string()) + " >" + Quote((dir / "ntuser.txt").string()) +
                         " 2>/dev/null").c_str()),
            0);
  const TStringValues expected = FromRegfexport(Slurp(dir / "ntuser.txt"), explorer);
  CliRun query = Run({"reg", "query", "HKCU\\" + explorer, "/s"});
  ASSERT_EQ(query.status, 0) << query.err;
  const TStringValues seen = FromRegQuery(query.out, "HKEY_CURRENT_USER\\" + explorer);
  EXPECT_GT(expected.size(), 20u);
  for (const auto& [key, name, data] : expected)
    EXPECT_TRUE(seen.count({key, name, data})) << "missing: " << key << " [" << name << "] " << data;
  for (const auto& [key, name, data] : seen)
    EXPECT_TRUE(expected.count({key, name, data})) << "extra: " << key << " [" << name << "] " << data;

  EXPECT_EQ(Run({"info"}).status, 0);
  EXPECT_EQ(Run({"scan", "--format", "tsv"}).status, 0);

  // A change to the user's classes: the new file holds it, the logs are emptied.
  ASSERT_GT(fs::file_size(classes / "UsrClass.dat.LOG1"), 0u);
  CliRun add = Run({"reg", "add", "HKCR\\.kvoffline", "/ve", "/d", "kestrove", "/f"});
  ASSERT_EQ(add.status, 0) << add.err;
  // HKEY_CLASSES_ROOT creates new keys in the machine's classes, as an administrator's do.
  ASSERT_EQ(Run({"reg", "add", "HKCU\\Software\\Classes\\.kvuser", "/ve", "/d", "kestrove", "/f"}).status, 0);
  EXPECT_EQ(fs::file_size(classes / "UsrClass.dat.LOG1"), 0u);
  EXPECT_EQ(fs::file_size(classes / "UsrClass.dat.LOG2"), 0u);
  ASSERT_EQ(std::system(("regfexport " + Quote((classes / "UsrClass.dat").string()) + " >" +
                         Quote((dir / "classes.txt").string()) + " 2>&1").c_str()),
            0);
  EXPECT_NE(Slurp(dir / "classes.txt").find("\\.kvuser"), std::string::npos);
  CliRun back = Run({"reg", "query", "HKCR\\.kvuser", "/ve"});
  EXPECT_NE(back.out.find("kestrove"), std::string::npos) << back.out << back.err;
}
