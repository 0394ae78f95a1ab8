// The SQLite layer over real files: texts of failures, kinds and values of a result, and
// databases that are locked, damaged, not databases, read-only or left with a -wal file.
// Fixtures are written with the library itself, never through the layer under test.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "../app/AppTestSupport.h"
#include "sqlite/SQLite.h"

extern char** environ;

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

// A connection of the library's own, for making and checking fixtures.
class RawDb {
 public:
  explicit RawDb(const fs::path& file, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) ADD_FAILURE() << sqlite3_errmsg(db_);
  }
  ~RawDb() { sqlite3_close_v2(db_); }
  int Exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }
  void Must(const std::string& sql) { ASSERT_EQ(Exec(sql), SQLITE_OK) << sql << ": " << sqlite3_errmsg(db_); }
  std::string Text(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    std::string out = "<error>";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
      out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string Bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteBytes(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

// What a failing call raised, or "" when it raised nothing.
template <typename F>
std::string Raised(F&& call) {
  try {
    call();
  } catch (const ESQLiteException& e) {
    return e.what();
  }
  return "";
}

// A Firefox-like history database: places and their visits.
void MakePlaces(const fs::path& file, int visits = 50) {
  RawDb db(file);
  db.Must("CREATE TABLE moz_places (id INTEGER PRIMARY KEY, url LONGVARCHAR, title LONGVARCHAR)");
  db.Must("CREATE TABLE moz_historyvisits (id INTEGER PRIMARY KEY, place_id INTEGER, visit_date INTEGER)");
  db.Must("BEGIN");
  for (int i = 1; i <= visits; ++i) {
    db.Must("INSERT INTO moz_places VALUES (" + std::to_string(i) + ", 'http://example.org/" + std::to_string(i) +
            "', 'Page')");
    db.Must("INSERT INTO moz_historyvisits VALUES (NULL, " + std::to_string(i) + ", 1262304000000000)");
  }
  db.Must("COMMIT");
}

const std::string kHasVisits =
    "select [sql] from sqlite_master where [type] = 'table' and lower(name) = 'moz_historyvisits' ";

TEST(SQLiteLayer, ResultCodeTextsKeepTheirExactWording) {
  EXPECT_EQ(ResultCodeText(0), "Successful result");
  EXPECT_EQ(ResultCodeText(12), "(Internal Only) Table or record not found");
  EXPECT_EQ(ResultCodeText(19), "Abort due to contraint violation");
  EXPECT_EQ(ResultCodeText(25), "2nd parameter to sqlite3_bind out of range");
  EXPECT_EQ(ResultCodeText(26), "File opened that is not a database file");
  EXPECT_EQ(ResultCodeText(101), "sqlite3_step() has finished executing");
  EXPECT_EQ(ResultCodeText(27), "Unknown SQLite Error Code \"27\"");
  EXPECT_EQ(ResultCodeText(999), "Unknown SQLite Error Code \"999\"");
  EXPECT_EQ(ResultCodeText(-1), "Unknown SQLite Error Code \"-1\"");
}

TEST(SQLiteLayer, ColumnKindsNamesAndCellsFollowTheDeclaredTypes) {
  TempFolder dir;
  {
    RawDb db(dir / "t.sqlite");
    db.Must(
        "CREATE TABLE t (i INTEGER, b BOOLEAN, n NUMERIC, f FLOAT, d DOUBLE, r REAL, bl BLOB, tx TEXT, "
        "low boolean, vc VARCHAR(10), \"été\" TEXT)");
    db.Must("INSERT INTO t VALUES ('12abc', 1, '2.5', 1.5, 2, 3, x'00FF10', 42, 7, 'v', 'x')");
    db.Must("INSERT INTO t VALUES (NULL, NULL, NULL, NULL, NULL, NULL, x'', NULL, NULL, NULL, NULL)");
  }
  TSQLiteDatabase db((dir / "t.sqlite").string());
  auto t = db.QueryTable("SELECT * FROM t");
  ASSERT_EQ(t->Count(), 2u);
  ASSERT_EQ(t->ColCount(), 11u);
  using K = TSQLiteColumnKind;
  const K kinds[] = {K::Integer, K::Integer, K::Numeric, K::Numeric, K::Numeric, K::Numeric,
                     K::Blob,    K::Text,    K::Text,    K::Text,    K::Text};
  for (std::size_t c = 0; c < 11; ++c) EXPECT_EQ(t->ColumnKind(c), kinds[c]) << c;
  EXPECT_EQ(t->ColumnName(0), "I");
  EXPECT_EQ(t->ColumnName(8), "LOW");
  EXPECT_EQ(t->ColumnName(10), "ÉTÉ");
  EXPECT_EQ(t->FieldIndex("été"), 10);
  EXPECT_EQ(t->FieldIndex("missing"), -1);

  EXPECT_EQ(std::get<std::int64_t>(t->Cell(0, 0)), 12);  // an integer column reads a number
  EXPECT_EQ(std::get<double>(t->Cell(0, 2)), 2.5);
  auto blob = std::get<std::shared_ptr<TSQLiteBlobStream>>(t->Cell(0, 6));
  ASSERT_EQ(blob->Size(), 3u);
  unsigned char buf[4] = {};
  EXPECT_EQ(blob->Seek(1), 1u);
  EXPECT_EQ(blob->Read(buf, 4), 2u);
  EXPECT_EQ(buf[0], 0xFF);
  EXPECT_EQ(buf[1], 0x10);
  EXPECT_EQ(blob->Read(buf, 4), 0u);
  EXPECT_EQ(std::get<std::string>(t->Cell(0, 7)), "42");  // TEXT affinity stored a text
  EXPECT_EQ(std::get<std::string>(t->Cell(0, 8)), "7");   // "boolean" is not "BOOLEAN"
  for (std::size_t c = 0; c < 11; ++c) EXPECT_TRUE(std::holds_alternative<std::monostate>(t->Cell(1, c))) << c;

  // Without a declared type the first row's storage class decides for the whole column.
  auto e = db.QueryTable("SELECT v AS Mixed FROM (SELECT 1.5 AS v UNION ALL SELECT 'abc')");
  ASSERT_EQ(e->Count(), 2u);
  EXPECT_EQ(e->ColumnName(0), "MIXED");
  EXPECT_EQ(e->ColumnKind(0), TSQLiteColumnKind::Numeric);
  EXPECT_EQ(std::get<double>(e->Cell(1, 0)), 0.0);
  auto n = db.QueryTable("SELECT NULL AS z, x'01' AS w");
  EXPECT_EQ(n->ColumnKind(0), TSQLiteColumnKind::Null);
  EXPECT_EQ(n->ColumnKind(1), TSQLiteColumnKind::Blob);

  auto none = db.QueryTable("SELECT * FROM t WHERE 0");
  EXPECT_EQ(none->Count(), 0u);
  EXPECT_EQ(none->ColCount(), 0u);
}

TEST(SQLiteLayer, StatementFailuresCarryTheirCodeStatementAndReason) {
  TempFolder dir;
  MakePlaces(dir / "places.sqlite", 3);
  TSQLiteDatabase db((dir / "places.sqlite").string());

  EXPECT_EQ(Raised([&] { db.RunStatement("DELET FROM moz_places"); }),
            "Error executing SQL.\rError [1]: SQL error or missing database.\r\"DELET FROM moz_places\": "
            "near \"DELET\": syntax error");
  EXPECT_EQ(Raised([&] { db.RunStatement(""); }), "Could not prepare SQL statement");
  EXPECT_EQ(Raised([&] { db.RunStatement("  -- nothing\n"); }), "Could not prepare SQL statement");
  EXPECT_EQ(Raised([&] { db.QueryTable(""); }), "Could not prepare SQL statement");
  // A query's first step yields a row, not "done".
  EXPECT_EQ(Raised([&] { db.RunStatement("SELECT * FROM moz_places"); }).rfind("Error executing SQL statement", 0), 0u);
  EXPECT_NE(Raised([&] { db.RunStatement("INSERT INTO moz_places VALUES (1, 'u', 't')"); })
                .find("Error [19]: Abort due to contraint violation.\r\"INSERT INTO moz_places VALUES (1, 'u', 't')\": "),
            std::string::npos);
  EXPECT_EQ(Raised([&] { db.QueryTable("SELECT * FROM nowhere"); }),
            "Error executing SQL.\rError [1]: SQL error or missing database.\r\"SELECT * FROM nowhere\": "
            "no such table: nowhere");
  // A failed statement leaves the connection usable.
  EXPECT_EQ(db.QueryTable("SELECT * FROM moz_places")->Count(), 3u);

  // Every statement of a text runs, not only the first.
  db.RunStatement("DELETE FROM moz_places WHERE id = 1; DELETE FROM moz_places WHERE id = 2; -- done");
  EXPECT_EQ(db.QueryTable("SELECT * FROM moz_places")->Count(), 1u);
  // A later statement's failure is raised, and the ones before it stay done.
  EXPECT_NE(Raised([&] { db.RunStatement("DELETE FROM moz_places; DELETE FROM nowhere"); }), "");
  EXPECT_EQ(db.QueryTable("SELECT * FROM moz_places")->Count(), 0u);
}

TEST(SQLiteLayer, HasTableIgnoresCaseAndNeverRunsTheName) {
  TempFolder dir;
  MakePlaces(dir / "places.sqlite", 1);
  TSQLiteDatabase db((dir / "places.sqlite").string());
  std::vector<std::string> seen;
  db.SetQueryObserver([&](TSQLiteDatabase& from, const std::string& sql) {
    EXPECT_EQ(&from, &db);
    seen.push_back(sql);
  });
  EXPECT_TRUE(db.HasTable("MOZ_HISTORYVISITS"));
  EXPECT_TRUE(db.HasTable("moz_Places"));
  EXPECT_FALSE(db.HasTable("logins"));
  EXPECT_FALSE(db.HasTable("x' or '1'='1"));  // quoted, so it matches no table
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0], kHasVisits);
  seen.clear();
  db.RunStatement("DELETE FROM moz_places; DELETE FROM moz_historyvisits");
  EXPECT_EQ(seen, (std::vector<std::string>{"DELETE FROM moz_places;", " DELETE FROM moz_historyvisits"}));
  seen.clear();
  (void)Raised([&] { db.RunStatement("DELET"); });
  EXPECT_TRUE(seen.empty());  // a statement that did not compile never runs
}

TEST(SQLiteLayer, NamedParametersBindOnceAndAreDroppedAfterAFailure) {
  TempFolder dir;
  TSQLiteDatabase db((dir / "p.sqlite").string(), TSQLiteOpenMode::Create);
  db.RunStatement("CREATE TABLE p (i INTEGER, f REAL, t TEXT, z TEXT)");
  db.AddParamInt(":i", 1LL << 40);
  db.AddParamFloat("@f", 0.25);
  db.AddParamText("$t", std::string("a\0b", 3));
  db.AddParamNull(":z");
  db.AddParamInt(":unused", 9);  // a name the statement lacks is skipped
  db.RunStatement("INSERT INTO p VALUES (:i, @f, $t, :z)");
  db.RunStatement("INSERT INTO p VALUES (:i, @f, $t, 'set')");  // nothing pending: NULLs
  db.AddParamInt(":i", 5);
  EXPECT_NE(Raised([&] { db.RunStatement("INSERT INTO nowhere VALUES (:i)"); }), "");
  db.RunStatement("INSERT INTO p VALUES (:i, NULL, NULL, 'after')");
  auto t = db.QueryTable("SELECT * FROM p");
  ASSERT_EQ(t->Count(), 3u);
  EXPECT_EQ(std::get<std::int64_t>(t->Cell(0, 0)), 1LL << 40);
  EXPECT_EQ(std::get<double>(t->Cell(0, 1)), 0.25);
  EXPECT_EQ(std::get<std::string>(t->Cell(0, 2)), std::string("a\0b", 3));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(t->Cell(0, 3)));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(t->Cell(1, 0)));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(t->Cell(2, 0)));  // dropped with the failure
}

TEST(SQLiteOpen, MissingFilesAreNeverCreatedAndLinkedFilesNeverWritten) {
  TempFolder dir;
  const fs::path missing = dir / "places.sqlite";
  EXPECT_EQ(Raised([&] { TSQLiteDatabase db(missing.string()); }),
            "Failed to open database \"" + missing.string() + "\" : unable to open database file");
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_NE(Raised([&] { TSQLiteDatabase db(missing.string(), TSQLiteOpenMode::ReadOnly); }), "");
  EXPECT_NE(Raised([&] { TSQLiteDatabase db((dir / "no" / "such.sqlite").string(), TSQLiteOpenMode::Create); }), "");
  EXPECT_NE(Raised([&] { TSQLiteDatabase db(dir.path().string()); }), "");  // a folder
  EXPECT_FALSE(fs::exists(missing));

  // Writing through a link would change a file elsewhere: refused, the file left alone.
  MakePlaces(dir / "elsewhere.sqlite", 1);
  const std::string before = Bytes(dir / "elsewhere.sqlite");
  fs::create_symlink(dir / "elsewhere.sqlite", missing);
  EXPECT_EQ(Raised([&] { TSQLiteDatabase db(missing.string()); }),
            "Failed to open database \"" + missing.string() + "\" : unable to open database file");
  fs::remove(missing);
  fs::create_hard_link(dir / "elsewhere.sqlite", missing);
  EXPECT_EQ(Raised([&] { TSQLiteDatabase db(missing.string()); }),
            "Failed to open database \"" + missing.string() + "\" : the file has more than one link");
  TSQLiteDatabase reader(missing.string(), TSQLiteOpenMode::ReadOnly);  // reading is harmless
  EXPECT_TRUE(reader.HasTable("moz_places"));
  EXPECT_EQ(Bytes(dir / "elsewhere.sqlite"), before);
}

TEST(SQLiteOpen, FilesThatAreNotDatabasesFailAndStayAsTheyWere) {
  TempFolder dir;
  const fs::path text = dir / "Web Data";
  const std::string content = "This is a text file, not a database.\n" + std::string(5000, 'x');
  WriteBytes(text, content);
  {
    TSQLiteDatabase db(text.string());
    EXPECT_EQ(Raised([&] { db.HasTable("logins"); }),
              "Error executing SQL.\rError [26]: File opened that is not a database file.\r\"select [sql] from "
              "sqlite_master where [type] = 'table' and lower(name) = 'logins' \": file is not a database");
    EXPECT_NE(Raised([&] { db.RunStatement("DELETE FROM logins"); }).find("Error [26]"), std::string::npos);
  }
  EXPECT_EQ(Bytes(text), content);
  EXPECT_FALSE(fs::exists(dir / "Web Data-journal"));

  // An empty file is an empty database: no table, nothing written.
  WriteBytes(dir / "empty", "");
  {
    TSQLiteDatabase db((dir / "empty").string());
    EXPECT_FALSE(db.HasTable("logins"));
  }
  EXPECT_EQ(fs::file_size(dir / "empty"), 0u);
}

TEST(SQLiteOpen, DamagedDatabasesFailWithoutFurtherDamage) {
  TempFolder dir;
  const fs::path file = dir / "places.sqlite";
  MakePlaces(file, 2000);
  std::string bytes = Bytes(file);
  ASSERT_GT(bytes.size(), 40000u);
  // Scribble over every page after the schema page: the tables' b-trees are garbage.
  for (std::size_t i = 4096 + 100; i < bytes.size(); i += 97) bytes[i] = static_cast<char>(0xA5 ^ (i & 0xFF));
  WriteBytes(file, bytes);
  {
    TSQLiteDatabase db(file.string());
    EXPECT_TRUE(db.HasTable("moz_historyvisits"));  // the schema page is whole
    const std::string raised = Raised([&] { db.RunStatement("DELETE FROM moz_historyvisits"); });
    EXPECT_EQ(raised.rfind("Error executing SQL statement.\rError [11]: The database disk image is malformed.\r", 0), 0u)
        << raised;
    EXPECT_NE(Raised([&] { db.QueryTable("SELECT * FROM moz_places"); }).find("Could not retrieve data.\rError [11]"),
              std::string::npos);
  }
  EXPECT_EQ(Bytes(file), bytes);  // the failed delete was rolled back
  EXPECT_FALSE(fs::exists(dir / "places.sqlite-journal"));

  // Cut short: the pages the header promises are not there.
  MakePlaces(dir / "short.sqlite", 2000);
  std::string whole = Bytes(dir / "short.sqlite");
  WriteBytes(dir / "short.sqlite", whole.substr(0, whole.size() / 2));
  {
    TSQLiteDatabase db((dir / "short.sqlite").string());
    EXPECT_NE(Raised([&] { db.RunStatement("DELETE FROM moz_historyvisits"); }), "");
  }
  EXPECT_EQ(Bytes(dir / "short.sqlite"), whole.substr(0, whole.size() / 2));
}

TEST(SQLiteOpen, ReadOnlyDatabasesRefuseTheDeleteAndKeepTheirRows) {
  TempFolder dir;
  const fs::path file = dir / "places.sqlite";
  MakePlaces(file, 5);
  const std::string before = Bytes(file);
  {
    TSQLiteDatabase db(file.string(), TSQLiteOpenMode::ReadOnly);
    EXPECT_TRUE(db.HasTable("moz_historyvisits"));
    EXPECT_EQ(Raised([&] { db.RunStatement("DELETE FROM moz_historyvisits"); }),
              "Error executing SQL statement.\rError [8]: Attempt to write a readonly database.\r"
              "\"DELETE FROM moz_historyvisits\": attempt to write a readonly database");
  }
  EXPECT_EQ(Bytes(file), before);
  if (::geteuid() == 0) return;  // file permissions do not bind root: only the mode above is tried
  fs::permissions(file, fs::perms::owner_read);
  {
    TSQLiteDatabase db(file.string());
    EXPECT_NE(Raised([&] { db.RunStatement("DELETE FROM moz_historyvisits"); }).find("Error [8]"), std::string::npos);
  }
  EXPECT_EQ(Bytes(file), before);
}

TEST(SQLiteOpen, LockedDatabasesFailUntilTheLockGoes) {
  TempFolder dir;
  const fs::path file = dir / "places.sqlite";
  MakePlaces(file, 5);
  TSQLiteDatabase early(file.string());
  ASSERT_TRUE(early.HasTable("moz_historyvisits"));  // its schema is read before the lock
  {
    RawDb holder(file);
    holder.Must("BEGIN EXCLUSIVE");
    holder.Must("DELETE FROM moz_places WHERE id = 1");
    EXPECT_EQ(Raised([&] { early.QueryTable("SELECT * FROM moz_historyvisits"); }), "Could not prepare SQL statement");
    EXPECT_NE(Raised([&] { early.RunStatement("DELETE FROM moz_historyvisits"); }).find("Error [5]: The database file is locked."),
              std::string::npos);
    TSQLiteDatabase late(file.string());  // opening is lazy: the lock shows at the first statement
    EXPECT_EQ(Raised([&] { late.HasTable("moz_historyvisits"); }),
              "Error executing SQL.\rError [5]: The database file is locked.\r\"" + kHasVisits +
                  "\": database is locked");
    holder.Must("ROLLBACK");
  }
  early.RunStatement("DELETE FROM moz_historyvisits");
  RawDb check(file);
  EXPECT_EQ(check.Text("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(check.Text("SELECT count(*) FROM moz_places"), "5");
  EXPECT_EQ(check.Text("SELECT count(*) FROM moz_historyvisits"), "0");
}

TEST(SQLiteOpen, ALockHeldByAnotherProcessIsReportedAndNothingChanges) {
  if (::access("/usr/bin/sqlite3", X_OK) != 0) GTEST_SKIP() << "the sqlite3 shell is not installed";
  TempFolder dir;
  const fs::path file = dir / "places.sqlite";
  MakePlaces(file, 5);
  const std::string before = Bytes(file);
  const fs::path mark = dir / "held";
  // The shell takes the lock, says so with a file, then waits for its input to close.
  int input[2];
  ASSERT_EQ(::pipe(input), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_addclose(&actions, input[1]);
  const std::string touch = ".system touch '" + mark.string() + "'";
  const char* argv[] = {"sqlite3", file.c_str(), "BEGIN EXCLUSIVE", touch.c_str(), ".system cat >/dev/null", nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, "/usr/bin/sqlite3", &actions, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  for (int i = 0; i < 1000 && !fs::exists(mark); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(mark));
  {
    TSQLiteDatabase db(file.string());
    EXPECT_NE(Raised([&] { db.HasTable("moz_historyvisits"); }).find("Error [5]"), std::string::npos);
    EXPECT_NE(Raised([&] { db.RunStatement("DELETE FROM moz_historyvisits"); }).find("Error [5]"), std::string::npos);
  }
  ::close(input[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(Bytes(file), before);
}

TEST(SQLiteOpen, AWalFileBesideTheDatabaseIsReadAndFoldedIn) {
  TempFolder dir;
  const fs::path live = dir / "live.sqlite";
  const fs::path file = dir / "places.sqlite";
  {
    // A browser that stopped without a checkpoint: the tables and rows live only in the -wal file.
    RawDb browser(live);
    browser.Must("PRAGMA journal_mode=WAL");
    browser.Must("PRAGMA wal_autocheckpoint=0");
    MakePlaces(live, 20);
    RawDb more(live);
    more.Must("CREATE TABLE moz_bookmarks (id INTEGER PRIMARY KEY, fk INTEGER)");
    more.Must("INSERT INTO moz_bookmarks VALUES (1, 1)");
    ASSERT_TRUE(fs::exists(dir / "live.sqlite-wal"));
    fs::copy_file(live, file);
    fs::copy_file(dir / "live.sqlite-wal", dir / "places.sqlite-wal");
  }
  const std::string mainBefore = Bytes(file);
  const std::string walBefore = Bytes(dir / "places.sqlite-wal");
  {
    // Read-only: sees the -wal's rows or refuses, and changes neither file.
    try {
      TSQLiteDatabase db(file.string(), TSQLiteOpenMode::ReadOnly);
      if (db.HasTable("moz_bookmarks")) {
        EXPECT_EQ(db.QueryTable("SELECT * FROM moz_historyvisits")->Count(), 20u);
      }
    } catch (const ESQLiteException&) {
    }
    EXPECT_EQ(Bytes(file), mainBefore);
    EXPECT_EQ(Bytes(dir / "places.sqlite-wal"), walBefore);
  }
  {
    TSQLiteDatabase db(file.string());
    EXPECT_TRUE(db.HasTable("moz_bookmarks"));  // only the -wal file knows it
    db.RunStatement("DELETE FROM moz_historyvisits");
  }
  RawDb check(file);
  EXPECT_EQ(check.Text("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(check.Text("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(check.Text("SELECT count(*) FROM moz_historyvisits"), "0");
  EXPECT_EQ(check.Text("SELECT count(*) FROM moz_places"), "20");
  EXPECT_EQ(check.Text("SELECT count(*) FROM moz_bookmarks"), "1");
}

// The system's file layer with reads or writes of main database files failing on request,
// installed as the default for the life of the object.
class FaultyFiles {
 public:
  static inline bool failReads = false;
  static inline int writesLeft = -1;  // writes to main files before they fail; -1: no limit

  FaultyFiles() {
    real_ = sqlite3_vfs_find(nullptr);
    vfs_ = *real_;
    vfs_.zName = "kestrove-faulty";
    vfs_.pNext = nullptr;
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + real_->szOsFile;
    vfs_.pAppData = real_;
    vfs_.xOpen = Open;
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~FaultyFiles() {
    failReads = false;
    writesLeft = -1;
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(real_, 1);
  }

 private:
  struct File {
    sqlite3_file base;
    bool main;
    sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
  };
  static sqlite3_file* R(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real(); }
  static bool Main(sqlite3_file* f) { return reinterpret_cast<File*>(f)->main; }

  static int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* outFlags) {
    auto* real = static_cast<sqlite3_vfs*>(vfs->pAppData);
    auto* file = reinterpret_cast<File*>(f);
    file->main = (flags & SQLITE_OPEN_MAIN_DB) != 0;
    const int rc = real->xOpen(real, name, file->real(), flags, outFlags);
    file->base.pMethods = file->real()->pMethods ? &kMethods : nullptr;
    return rc;
  }
  static const sqlite3_io_methods kMethods;
  sqlite3_vfs* real_ = nullptr;
  sqlite3_vfs vfs_{};
};

const sqlite3_io_methods FaultyFiles::kMethods = {
    1,
    [](sqlite3_file* f) { return R(f)->pMethods->xClose(R(f)); },
    [](sqlite3_file* f, void* buf, int n, sqlite3_int64 at) {
      return failReads && Main(f) ? SQLITE_IOERR_READ : R(f)->pMethods->xRead(R(f), buf, n, at);
    },
    [](sqlite3_file* f, const void* buf, int n, sqlite3_int64 at) {
      if (Main(f) && writesLeft == 0) return SQLITE_IOERR_WRITE;
      if (Main(f) && writesLeft > 0) --writesLeft;
      return R(f)->pMethods->xWrite(R(f), buf, n, at);
    },
    [](sqlite3_file* f, sqlite3_int64 size) { return R(f)->pMethods->xTruncate(R(f), size); },
    [](sqlite3_file* f, int flags) { return R(f)->pMethods->xSync(R(f), flags); },
    [](sqlite3_file* f, sqlite3_int64* size) { return R(f)->pMethods->xFileSize(R(f), size); },
    [](sqlite3_file* f, int lock) { return R(f)->pMethods->xLock(R(f), lock); },
    [](sqlite3_file* f, int lock) { return R(f)->pMethods->xUnlock(R(f), lock); },
    [](sqlite3_file* f, int* out) { return R(f)->pMethods->xCheckReservedLock(R(f), out); },
    [](sqlite3_file* f, int op, void* arg) { return R(f)->pMethods->xFileControl(R(f), op, arg); },
    [](sqlite3_file* f) { return R(f)->pMethods->xSectorSize(R(f)); },
    [](sqlite3_file* f) { return R(f)->pMethods->xDeviceCharacteristics(R(f)); },
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,  // version 1: no shared memory, no mapping
};

TEST(SQLiteOpen, InputOutputErrorsAreRaisedAndTheDeleteIsRolledBack) {
  TempFolder dir;
  const fs::path file = dir / "places.sqlite";
  MakePlaces(file, 500);
  FaultyFiles faulty;
  {
    TSQLiteDatabase db(file.string());
    ASSERT_TRUE(db.HasTable("moz_historyvisits"));
    FaultyFiles::failReads = true;
    EXPECT_EQ(Raised([&] { db.QueryTable("SELECT * FROM moz_historyvisits"); })
                  .rfind("Could not retrieve data.\rError [10]: Some kind of disk I/O error occurred.\r", 0),
              0u);
    FaultyFiles::failReads = false;
    FaultyFiles::writesLeft = 1;  // the journal is whole, the database file half written
    const std::string raised = Raised([&] { db.RunStatement("DELETE FROM moz_historyvisits"); });
    EXPECT_EQ(raised.rfind("Error executing SQL statement.\rError [10]: Some kind of disk I/O error occurred.\r", 0), 0u)
        << raised;
  }
  FaultyFiles::writesLeft = -1;
  RawDb check(file);  // a journal left behind is rolled back here
  EXPECT_EQ(check.Text("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(check.Text("SELECT count(*) FROM moz_historyvisits"), "500");
  EXPECT_EQ(check.Text("SELECT count(*) FROM moz_places"), "500");
}

}  // namespace
}  // namespace kestrove
