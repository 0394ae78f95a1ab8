// The Firefox, Netscape, Opera and Chrome items: their folders and file rules, the database
// steps of a clean, the end of a run on a database failure, confinement to the target, and
// how a running Firefox of the target is recognised.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "CleanJobTestSupport.h"
#include "CleanerTestSupport.h"
#include "../platform/ProcessInFolder.h"
#include "cleaner/BrowserItems.h"
#include "cleaner/ItemOperations.h"
#include "platform/memory/MemoryTarget.h"
#include "platform/wine/WineProcess.h"
#include "platform/wine/WineSample.h"
#include "sqlite/SQLite.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::LinesWith;

const std::string kRoaming = "C:\\users\\user\\AppData\\Roaming\\";
const std::string kLocal = "C:\\users\\user\\AppData\\Local\\";
const std::string kFirefox = kRoaming + "Mozilla\\Firefox\\Profiles\\";
const std::string kChrome = kLocal + "Google\\Chrome\\User Data\\Default\\";
const char kHistory[] = "Mozilla Firefox - Visited URL History";
const char kPasswords[] = "Google Chrome - Stored passwords in Forms";

std::vector<std::string> BrowserItemNames() {
  std::vector<std::string> names;
  for (const TItemEntry& e : BrowserItemOperations()) names.push_back(e.Name);
  return names;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void MakeDatabase(const fs::path& file, const std::string& statements) {
  fs::create_directories(file.parent_path());
  TSQLiteDatabase db(file.string(), TSQLiteOpenMode::Create);
  db.RunStatement(statements);
}

std::int64_t Rows(const fs::path& file, const std::string& table) {
  TSQLiteDatabase db(file.string(), TSQLiteOpenMode::ReadOnly);
  auto t = db.QueryTable("SELECT count(*) FROM " + table);
  return std::get<std::int64_t>(t->Cell(0, 0));
}

std::string Integrity(const fs::path& file) {
  TSQLiteDatabase db(file.string(), TSQLiteOpenMode::ReadOnly);
  auto t = db.QueryTable("PRAGMA integrity_check");
  return std::get<std::string>(t->Cell(0, 0));
}

const char kPlaces[] =
    "CREATE TABLE moz_places (id INTEGER PRIMARY KEY, url LONGVARCHAR, visit_count INTEGER);"
    "CREATE TABLE moz_historyvisits (id INTEGER PRIMARY KEY, place_id INTEGER, visit_date INTEGER);"
    "CREATE INDEX moz_historyvisits_placedateindex ON moz_historyvisits (place_id, visit_date);"
    "INSERT INTO moz_places VALUES (1, 'http://a/', 2), (2, 'http://b/', 1);"
    "INSERT INTO moz_historyvisits VALUES (1, 1, 10), (2, 1, 20), (3, 2, 30);";
const char kWebData[] =
    "CREATE TABLE logins (origin_url VARCHAR NOT NULL, username_value VARCHAR, password_value BLOB);"
    "CREATE TABLE autofill (name VARCHAR, value VARCHAR);"
    "INSERT INTO logins VALUES ('https://a/', 'me', X'0102'), ('https://b/', 'you', X'0304');"
    "INSERT INTO autofill VALUES ('q', 'wine');";

class BrowserItems : public ::testing::Test {
 protected:
  fs::path Host(const std::string& windowsPath) { return *target.HostPath(windowsPath); }
  fs::path File(const std::string& windowsPath, std::string_view text = "data") {
    return target.WriteFile(windowsPath, text);
  }
  fs::path Database(const std::string& windowsPath, const std::string& statements) {
    target.MakeFolder(windowsPath.substr(0, windowsPath.rfind('\\')));
    const fs::path host = Host(windowsPath);
    MakeDatabase(host, statements);
    return host;
  }
  bool Exists(const std::string& windowsPath) {
    const auto host = target.HostPath(windowsPath);
    std::error_code ec;
    return host && fs::exists(fs::symlink_status(*host, ec));
  }
  testing::TJobResult Run(TRunMode mode, std::vector<std::string> items) { return h.Run(mode, std::move(items)); }

  memory::MemoryTarget target;
  testing::TCleanJobHarness h{target};
};

TEST_F(BrowserItems, EveryItemOfTheFourCategoriesHasItsOperation) {
  const auto names = BrowserItemNames();
  EXPECT_EQ(names.size(), 22u);
  const auto& builtIn = BuiltInItemNames();
  for (const std::string& name : names)
    EXPECT_NE(std::find(builtIn.begin(), builtIn.end(), name), builtIn.end()) << name;
}

TEST_F(BrowserItems, DatabasesAreEmptiedInACleanOnlyAndOnlyInDefaultProfiles) {
  const fs::path def = Database(kFirefox + "abcd.default\\places.sqlite", kPlaces);
  const fs::path work = Database(kFirefox + "abcd.work\\places.sqlite", kPlaces);
  File(kFirefox + "abcd.work\\history.dat", std::string(1500, 'h'));
  const fs::path web = Database(kChrome + "Web Data", kWebData);
  const std::string defBytes = ReadAll(def), webBytes = ReadAll(web);

  const auto test = Run(TestRun, {kHistory, kPasswords});
  ASSERT_TRUE(test.Completed) << test.Error;
  EXPECT_EQ(test.Summary(kHistory).Count, 1);
  EXPECT_EQ(test.Summary(kHistory).KB, "2");
  EXPECT_EQ(test.Summary(kPasswords).Count, 0);
  EXPECT_EQ(test.Summary(kPasswords).KB, "0");
  EXPECT_EQ(ReadAll(def), defBytes) << "a test opens no database";
  EXPECT_EQ(ReadAll(web), webBytes);
  EXPECT_TRUE(Exists(kFirefox + "abcd.work\\history.dat"));

  const auto clean = Run(DirectClean, {kHistory, kPasswords});
  ASSERT_TRUE(clean.Completed) << clean.Error;
  EXPECT_FALSE(Exists(kFirefox + "abcd.work\\history.dat"));
  EXPECT_EQ(Rows(def, "moz_historyvisits"), 0);
  EXPECT_EQ(Rows(def, "moz_places"), 2);
  EXPECT_EQ(Rows(work, "moz_historyvisits"), 3) << "only profiles named .default lose their visits";
  EXPECT_EQ(Rows(web, "logins"), 0);
  EXPECT_EQ(Rows(web, "autofill"), 1);
  EXPECT_EQ(clean.Summary(kPasswords).KB, "0");
  for (const fs::path& db : {def, work, web}) EXPECT_EQ(Integrity(db), "ok") << db;
  EXPECT_TRUE(LinesWith(clean.Lines, "places.sqlite").empty()) << "rows removed are not logged";
}

TEST_F(BrowserItems, DatabasesWithoutTheTableOrWithACapitalDefaultAreLeftAlone) {
  const fs::path other = Database(kFirefox + "x.default\\places.sqlite", "CREATE TABLE moz_places (id INTEGER);");
  const fs::path upper = Database(kFirefox + "y.DEFAULT\\places.sqlite", kPlaces);
  const fs::path web = Database(kChrome + "Web Data", "CREATE TABLE autofill (name VARCHAR);");
  // Windows finds a database whatever the letter case of its name.
  const fs::path capitals = Database(kFirefox + "z.default\\PLACES.SQLITE", kPlaces);
  const std::string otherBytes = ReadAll(other), webBytes = ReadAll(web);
  const auto clean = Run(DirectClean, {kHistory, kPasswords});
  ASSERT_TRUE(clean.Completed) << clean.Error;
  EXPECT_EQ(ReadAll(other), otherBytes);
  EXPECT_EQ(ReadAll(web), webBytes);
  EXPECT_EQ(Rows(upper, "moz_historyvisits"), 3);
  EXPECT_EQ(Rows(capitals, "moz_historyvisits"), 0);
}

// A user named "me.default": only a profile's own folder name makes it the default one.
TEST(BrowserItemsUser, ADefaultInTheUsersPathMakesNoProfileTheDefault) {
  memory::MemoryTarget target(memory::MemoryTarget::Options{.userName = "me.default"});
  testing::TCleanJobHarness h(target);
  const std::string roaming = *target.ShellFolder("AppData") + "\\";
  ASSERT_NE(roaming.find(".default"), std::string::npos);
  const std::string firefox = roaming + "Mozilla\\Firefox\\Profiles\\";
  target.MakeFolder(firefox + "abcd.default");
  target.MakeFolder(firefox + "abcd.work");
  const fs::path def = *target.HostPath(firefox + "abcd.default");
  const fs::path work = *target.HostPath(firefox + "abcd.work");
  MakeDatabase(def / "places.sqlite", kPlaces);
  MakeDatabase(work / "places.sqlite", kPlaces);
  target.WriteFile(roaming + "Netscape\\NSB\\Profiles\\aaaa.work\\cookies.txt", "c");

  const auto clean = h.Run(DirectClean, {kHistory, "Netscape - Cookies"});
  ASSERT_TRUE(clean.Completed) << clean.Error;
  EXPECT_EQ(Rows(def / "places.sqlite", "moz_historyvisits"), 0);
  EXPECT_EQ(Rows(work / "places.sqlite", "moz_historyvisits"), 3);
  EXPECT_EQ(clean.Summary("Netscape - Cookies").Count, 0) << "no Netscape profile is a default one";
}

TEST_F(BrowserItems, ADatabaseFailureEndsTheRunAndNamesTheFile) {
  File(kFirefox + "abcd.default\\places.sqlite", std::string(4096, 'x'));
  File(kFirefox + "abcd.default\\prefs.js");
  auto run = Run(DirectClean, {kHistory, "Mozilla Firefox - Preferences"});
  EXPECT_FALSE(run.Completed);
  EXPECT_NE(run.Error.find(kFirefox + "abcd.default\\places.sqlite"), std::string::npos) << run.Error;
  EXPECT_NE(run.Error.find("not a database"), std::string::npos) << run.Error;
  EXPECT_EQ(run.Error.find('\r'), std::string::npos);
  EXPECT_FALSE(run.Done.has_value());
  EXPECT_TRUE(Exists(kFirefox + "abcd.default\\prefs.js")) << "no item runs after the failure";

  // A browser holding its database: the run ends, the database keeps every row.
  const fs::path web = Database(kChrome + "Web Data", kWebData);
  TSQLiteDatabase browser(web.string());
  browser.RunStatement("BEGIN EXCLUSIVE");
  run = Run(DirectClean, {kPasswords});
  EXPECT_FALSE(run.Completed);
  EXPECT_NE(run.Error.find("Web Data"), std::string::npos) << run.Error;
  EXPECT_NE(run.Error.find("locked"), std::string::npos) << run.Error;
  browser.RunStatement("COMMIT");
  EXPECT_EQ(Rows(web, "logins"), 2);
  EXPECT_EQ(Integrity(web), "ok");
}

// A database the library cannot open at all (its host path is longer than the library takes)
// is named by its Windows path, never by the descriptor path the library was handed.
TEST_F(BrowserItems, ADatabaseThatCannotBeOpenedIsNamedByItsWindowsPath) {
  const std::string deep = "C:\\" + std::string(200, 'a') + "\\" + std::string(200, 'b') + "\\" + std::string(200, 'c');
  for (const char* key : {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders"})
    target.SetString(HKEY_CURRENT_USER, key, "Local AppData", deep);
  target.Refresh();
  // Made at a short path, then moved in place: the library could not make it there either.
  Database("C:\\short\\Google\\Chrome\\User Data\\Default\\Web Data", kWebData);
  target.MakeFolder(deep);
  fs::rename(Host("C:\\short\\Google"), Host(deep) / "Google");
  target.Refresh();

  const auto run = Run(DirectClean, {kPasswords});
  EXPECT_FALSE(run.Completed);
  const std::string file = deep + "\\Google\\Chrome\\User Data\\Default\\Web Data";
  EXPECT_EQ(run.Error.rfind(file + ": Failed to open database \"" + file + "\" : ", 0), 0u) << run.Error;
  EXPECT_EQ(run.Error.find("/proc/"), std::string::npos) << run.Error;
}

TEST_F(BrowserItems, NetscapeUsesItsDefaultProfile) {
  const std::string base = kRoaming + "Netscape\\NSB\\Profiles\\";
  File(base + "aaaa.work\\cookies.txt");
  File(base + "x1y2.default\\cookies.txt");
  File(base + "x1y2.default\\cookies2.TXT");
  File(base + "x1y2.default\\sub\\cookies.txt");
  EXPECT_EQ(Run(TestRun, {"Netscape - Cookies"}).Summary("Netscape - Cookies").Count, 2) << "not recursive";
  File(base + "pbzik8cu.default\\cookies.txt");
  EXPECT_EQ(Run(TestRun, {"Netscape - Cookies"}).Summary("Netscape - Cookies").Count, 1);
  fs::remove_all(Host(base + "pbzik8cu.default"));
  fs::rename(Host(base + "x1y2.default"), Host(base) / "x1y2.Default");
  EXPECT_EQ(Run(TestRun, {"Netscape - Cookies"}).Summary("Netscape - Cookies").Count, 0) << "exact case";
}

TEST_F(BrowserItems, ChromeFileRules) {
  File(kChrome + "History Index 2010-01");
  File(kChrome + "History Index 2010-02");
  File(kChrome + "History");
  File(kChrome + "Extensions\\History");
  File(kChrome + "Other\\history");
  File(kChrome + "cookies");
  File(kChrome + "Sub\\Cookies");
  auto run = Run(TestRun, {"Google Chrome - Visited URL History", "Google Chrome - Cookies"});
  EXPECT_EQ(run.Summary("Google Chrome - Visited URL History").Count, 4);
  EXPECT_EQ(run.Summary("Google Chrome - Cookies").Count, 1) << "a name without * keeps its case";
  run = Run(DirectClean, {"Google Chrome - Visited URL History", "Google Chrome - Cookies"});
  EXPECT_TRUE(Exists(kChrome + "cookies"));
  EXPECT_TRUE(fs::exists(Host(kChrome + "Other") / "history"));
  EXPECT_FALSE(Exists(kChrome + "History Index 2010-02"));
  EXPECT_FALSE(Exists(kChrome + "Sub\\Cookies"));
}

// A database's newest rows may lie in its write-ahead log: the log, the shared memory and the
// rollback journal go with a database, and only with a file that is one.
TEST_F(BrowserItems, ADatabaseGoesWithItsSideFilesAndNothingElseDoes) {
  Database(kFirefox + "a.default\\cookies.sqlite", "CREATE TABLE moz_cookies (name TEXT);");
  for (const char* side : {"-wal", "-shm", "-journal"}) File(kFirefox + "a.default\\cookies.sqlite" + side, "recent");
  File(kChrome + "Cookies", "not a database");
  File(kChrome + "Cookies-journal", "some other program's file");
  const std::vector<std::string> items = {"Mozilla Firefox - Cookies", "Google Chrome - Cookies"};
  const auto test = Run(TestRun, items);
  EXPECT_EQ(test.Summary("Mozilla Firefox - Cookies").Count, 4);
  EXPECT_EQ(test.Summary("Google Chrome - Cookies").Count, 1);
  const auto clean = Run(DirectClean, items);
  EXPECT_EQ(clean.Deleting(), test.Deleting());
  for (const char* side : {"", "-wal", "-shm", "-journal"})
    EXPECT_FALSE(Exists(kFirefox + "a.default\\cookies.sqlite" + side)) << side;
  EXPECT_FALSE(Exists(kChrome + "Cookies"));
  EXPECT_TRUE(Exists(kChrome + "Cookies-journal"));
}

// A database left alone is said to be, whatever kept it: a link as well as a second name.
TEST_F(BrowserItems, ALinkedOrHardLinkedDatabaseIsSkippedWithALine) {
  const fs::path real = Database(kFirefox + "real\\places.sqlite", kPlaces);
  target.MakeFolder(kFirefox + "a.default");
  fs::create_symlink(real, Host(kFirefox + "a.default") / "places.sqlite");
  target.MakeFolder(kFirefox + "b.default");
  fs::create_hard_link(real, Host(kFirefox + "b.default") / "places.sqlite");
  const auto run = Run(DirectClean, {kHistory});
  EXPECT_EQ(LinesWith(run.Lines, "a.default\\places.sqlite (it is a link)").size(), 1u);
  EXPECT_EQ(LinesWith(run.Lines, "b.default\\places.sqlite (it has more than one name)").size(), 1u);
  EXPECT_EQ(Rows(real, "moz_historyvisits"), 3);
}

TEST_F(BrowserItems, OperaCacheNeedsTheRoamingOperaFolder) {
  File(kLocal + "Opera\\Opera\\profile\\cache4\\opr0001.tmp");
  File(kLocal + "Opera\\Opera\\profile\\cache4\\sub\\opr0002.tmp");
  const char item[] = "Opera - Temporary Internet Files";
  EXPECT_EQ(Run(TestRun, {item}).Summary(item).Count, 0);
  target.MakeFolder(kRoaming + "Opera");
  EXPECT_EQ(Run(TestRun, {item}).Summary(item).Count, 2);
}

TEST_F(BrowserItems, CacheItemsSayPleaseWaitInACleanUnlessEveryFileIsLogged) {
  const char item[] = "Mozilla Firefox - Temporary Internet Files";
  File(kFirefox + "a.default\\Cache\\1.d01");
  File(kLocal + "Mozilla\\Firefox\\Profiles\\a.default\\Cache\\2.d01");
  File(kLocal + "Mozilla\\Firefox\\Profiles\\a.default\\Cache\\3.d01");
  auto run = Run(TestRun, {item});
  EXPECT_EQ(run.Summary(item).Count, 3);
  EXPECT_TRUE(LinesWith(run.Lines, "please wait").empty());
  EXPECT_TRUE(run.Deleting().empty()) << "files are not logged one by one";
  run = Run(DirectClean, {item});
  EXPECT_EQ(LinesWith(run.Lines, "Clearing, please wait...").size(), 1u);
  EXPECT_EQ(run.Summary(item).Count, 3);
  EXPECT_TRUE(Exists(kFirefox + "a.default\\Cache"));
  File(kFirefox + "a.default\\Cache\\4.d01");
  h.Options.ShowLogTempInternetFiles = true;
  run = Run(DirectClean, {item});
  EXPECT_TRUE(LinesWith(run.Lines, "please wait").empty());
  EXPECT_EQ(run.Deleting().size(), 1u);
}

// Profiles that lead out of the Windows system: linked folders, a linked database, a database
// with a second name outside. Nothing outside changes.
TEST_F(BrowserItems, NothingOutsideTheTargetIsTouched) {
  std::string pattern = (fs::temp_directory_path() / "kestrove-browsers-outside-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path outside = pattern;
  MakeDatabase(outside / "profile" / "places.sqlite", kPlaces);
  MakeDatabase(outside / "linked.sqlite", kPlaces);
  MakeDatabase(outside / "web.sqlite", kWebData);
  for (const char* name : {"profile/prefs.js", "profile/cookies.txt", "profile/Cache/1.d01", "chrome/History"}) {
    fs::create_directories((outside / name).parent_path());
    std::ofstream(outside / name) << "keep " << name;
  }
  std::map<fs::path, std::string> before;
  for (const auto& e : fs::recursive_directory_iterator(outside))
    if (e.is_regular_file()) before[e.path()] = ReadAll(e.path());

  target.MakeFolder(kFirefox);
  fs::create_directory_symlink(outside / "profile", Host(kFirefox) / "abcd.default");
  target.MakeFolder(kFirefox + "b.default");
  fs::create_symlink(outside / "linked.sqlite", Host(kFirefox + "b.default") / "places.sqlite");
  target.MakeFolder(kLocal + "Google\\Chrome\\User Data");
  fs::create_directory_symlink(outside / "chrome", Host(kLocal + "Google\\Chrome\\User Data") / "Default");
  target.MakeFolder(kFirefox + "c.default");
  std::error_code ec;
  fs::create_hard_link(outside / "web.sqlite", Host(kFirefox + "c.default") / "places.sqlite", ec);

  // A journal beside a database inside the target that is a second name of a file outside:
  // the library would write its journal into that file.
  const fs::path journaled = Database(kFirefox + "d.default\\places.sqlite", kPlaces);
  std::ofstream(outside / "journal", std::ios::binary) << std::string(1, '\0') << "keep journal";
  before[outside / "journal"] = ReadAll(outside / "journal");
  std::error_code journalEc;
  fs::create_hard_link(outside / "journal", journaled.string() + "-journal", journalEc);

  std::vector<std::string> items = BrowserItemNames();
  const auto run = Run(DirectClean, items);
  EXPECT_TRUE(run.Completed) << run.Error;
  for (const auto& [path, text] : before) EXPECT_EQ(ReadAll(path), text) << path;
  EXPECT_FALSE(LinesWith(run.Lines, "(outside the Windows system)").empty());
  if (!ec) {
    EXPECT_FALSE(LinesWith(run.Lines, "more than one name").empty());
  }
  if (!journalEc) {
    EXPECT_EQ(Rows(journaled, "moz_historyvisits"), 3);
    EXPECT_FALSE(LinesWith(run.Lines, "places.sqlite-journal beside it is no plain file of its own").empty());
  }
  fs::remove_all(outside);
}

// ---- a running Firefox -------------------------------------------------------------------

// A child process that holds a write lock on a file, as a running Firefox holds its profile's
// parent.lock.
class LockHolder : public testing::ChildProcess {
 public:
  explicit LockHolder(const fs::path& file)
      : ChildProcess([&file] {
          const int fd = ::open(file.c_str(), O_RDWR);
          struct flock fl {};
          fl.l_type = F_WRLCK;
          fl.l_whence = SEEK_SET;
          return fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0;
        }) {}
  bool Held() const { return Ready(); }
};

// A process that looks as Wine shows a Windows program: its first argument the program's
// Windows path, WINEPREFIX naming the prefix.
class FakeWineProgram {
 public:
  FakeWineProgram(const std::string& windowsPath, const fs::path& prefix) {
    int started[2];
    EXPECT_EQ(::pipe2(started, O_CLOEXEC), 0);
    const std::string env = "WINEPREFIX=" + prefix.string();
    pid_ = ::fork();
    if (pid_ == 0) {
      std::string arg0 = windowsPath, arg1 = "600";
      char* argv[] = {arg0.data(), arg1.data(), nullptr};
      std::string e = env;
      char* envp[] = {e.data(), nullptr};
      ::execve("/bin/sleep", argv, envp);
      ::_exit(127);
    }
    ::close(started[1]);
    char c;
    (void)!::read(started[0], &c, 1);  // end of file once the program runs
    ::close(started[0]);
  }
  ~FakeWineProgram() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

TEST_F(BrowserItems, AHeldParentLockMeansFirefoxRuns) {
  const fs::path lock = File(kFirefox + "abcd.default\\parent.lock", "");
  EXPECT_FALSE(FirefoxOfTargetRunning(target)) << "a lock file alone is no running Firefox";
  LockHolder firefox(lock);
  ASSERT_TRUE(firefox.Held());
  EXPECT_TRUE(FirefoxOfTargetRunning(target));

  // The clean is refused before it starts; a test still runs.
  TNoDesktop desktop;
  testing::TScriptedPrompt prompt;
  testing::TRecordingView view;
  TMessageQueue queue;
  TOptionsSetting options;
  options.IsAskBeforeClear = false;
  TCleanerController c({&target, "", &prompt, &desktop, &options}, queue, view, options);
  view.selection = {kHistory};
  view.firefox = true;
  c.bCleanClick();
  ASSERT_EQ(prompt.asked.size(), 1u);
  EXPECT_EQ(prompt.asked[0].Text, kCloseFirefoxMessage);
  EXPECT_FALSE(c.Busy);

  firefox.Stop();
  EXPECT_FALSE(FirefoxOfTargetRunning(target));
}

TEST(WineProcess, CommandLinesThatRunAProgram) {
  using wine::CommandLineRunsProgram;
  using namespace std::string_literals;
  EXPECT_TRUE(CommandLineRunsProgram("C:\\Program Files\\Mozilla Firefox\\firefox.exe\0-osint\0"s, "firefox.exe"));
  EXPECT_TRUE(CommandLineRunsProgram("C:\\PROGRA~1\\MOZILL~1\\FIREFOX.EXE\0"s, "firefox.exe"));
  EXPECT_TRUE(CommandLineRunsProgram("wine64-preloader\0/usr/bin/wine64\0firefox.exe\0"s, "firefox.exe"));
  EXPECT_FALSE(CommandLineRunsProgram("/usr/lib/firefox/firefox\0"s, "firefox.exe"));
  EXPECT_FALSE(CommandLineRunsProgram("C:\\windows\\notepad.exe\0firefox.exe\0"s, "firefox.exe"));
  EXPECT_FALSE(CommandLineRunsProgram("C:\\x\\myfirefox.exe\0"s, "firefox.exe"));
  EXPECT_EQ(wine::PrefixOfEnvironment("HOME=/home/u\0WINEPREFIX=/p\0"s), fs::path("/p"));
  EXPECT_EQ(wine::PrefixOfEnvironment("WINEPREFIX=\0HOME=/home/u\0"s), fs::path("/home/u/.wine"));
  EXPECT_TRUE(wine::PrefixOfEnvironment("PATH=/bin\0"s).empty());
}

TEST(WineProcess, FirefoxUnderTheTargetsWineIsFound) {
  memory::MemoryTarget prefix, other;
  FakeWineProgram firefox("C:\\Program Files\\Mozilla Firefox\\firefox.exe", prefix.Folder());
  EXPECT_EQ(wine::WineProgramProcess(prefix.Folder(), "firefox.exe"), firefox.Pid());
  EXPECT_FALSE(wine::WineProgramProcess(other.Folder(), "firefox.exe")) << "another prefix's Firefox";
  EXPECT_FALSE(wine::WineProgramProcess(prefix.Folder(), "thunderbird.exe"));
}

// ---- the sample target ---------------------------------------------------------------------

class BrowserItemsSample : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path templateFolder = fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample";
    if (!fs::exists(templateFolder / "system.reg")) GTEST_SKIP() << "no sample template in " << templateFolder;
    std::string pattern = (fs::temp_directory_path() / "kestrove-sample-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    wine::WriteSamplePrefix(dir / "prefix", templateFolder);
    target = OpenTarget(TargetChoice{dir / "prefix", "--root"});
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  fs::path Host(const std::string& windowsPath) { return *target->HostPath(windowsPath); }
  fs::path dir;
  std::unique_ptr<TargetSystem> target;
};

TEST_F(BrowserItemsSample, TestListsWhatACleanRemovesAndTheDatabasesStaySound) {
  const std::string roaming = *target->ShellFolder("AppData") + "\\Mozilla\\Firefox\\Profiles\\";
  const std::string chrome = *target->ShellFolder("Local AppData") + "\\Google\\Chrome\\User Data\\Default\\";
  const fs::path def = Host(roaming + "abcd.default\\places.sqlite");
  const fs::path work = Host(roaming + "abcd.work\\places.sqlite");
  const fs::path web = Host(chrome + "Web Data");
  const auto items = BrowserItemNames();

  testing::TCleanJobHarness h(*target);
  h.Options.ShowLogTempInternetFiles = true;  // every file on its own line, in both runs
  const auto test = h.Run(TestRun, items);
  ASSERT_TRUE(test.Completed) << test.Error;
  for (const std::string& item : items)
    if (item != kPasswords) {
      EXPECT_GT(test.Summary(item).Count, 0) << item;
    }
  const auto clean = h.Run(DirectClean, items);
  ASSERT_TRUE(clean.Completed) << clean.Error;
  const auto listed = test.Deleting(), removed = clean.Deleting();
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), std::set<std::string>(removed.begin(), removed.end()));
  for (const std::string& line : removed) {
    const std::string path = line.substr(std::string("deleting ").size());
    EXPECT_FALSE(fs::exists(fs::symlink_status(Host(path)))) << path;
  }

  for (const fs::path& db : {def, work, web}) EXPECT_EQ(Integrity(db), "ok") << db;
  EXPECT_EQ(Rows(def, "moz_historyvisits"), 0);
  EXPECT_EQ(Rows(work, "moz_historyvisits"), 6);
  EXPECT_EQ(Rows(web, "logins"), 0);
  for (const char* table : {"moz_places", "moz_bookmarks", "moz_inputhistory"})
    EXPECT_EQ(Rows(def, table), Rows(work, table)) << table;
  EXPECT_GT(Rows(def, "moz_places"), 0);
  for (const char* table : {"autofill", "keywords", "meta"}) EXPECT_GT(Rows(web, table), 0) << table;

  const auto after = h.Run(TestRun, items);
  for (const std::string& item : items) EXPECT_EQ(after.Summary(item).Count, 0) << item;
}

TEST_F(BrowserItemsSample, FirefoxExeOnThisPrefixMeansFirefoxRuns) {
  EXPECT_FALSE(FirefoxOfTargetRunning(*target));
  FakeWineProgram firefox("C:\\Program Files\\Mozilla Firefox\\firefox.exe", dir / "prefix");
  EXPECT_TRUE(FirefoxOfTargetRunning(*target));
}

}  // namespace
}  // namespace kestrove
