// Emptying moz_historyvisits of a large places.sqlite through the SQLite layer, side by side
// with the sqlite3 shell running the same statement on an identical copy.
// KESTROVE_BENCH_PLACES_MB sets the size of the generated database (50 by default).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "sqlite/SQLite.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void Must(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "%s: %s\n", sql, sqlite3_errmsg(db));
    std::abort();
  }
}

// A places.sqlite of about `megabytes` MB shaped like Firefox's: WAL journal, places with
// their URL and host, three visits a place, and Firefox's indexes on the visits.
fs::path LargePlaces() {
  const char* env = std::getenv("KESTROVE_BENCH_PLACES_MB");
  const std::size_t megabytes = env ? std::strtoul(env, nullptr, 10) : 50;
  const fs::path file = fs::temp_directory_path() / ("kestrove-bench-places-" + std::to_string(megabytes) + ".sqlite");
  if (fs::exists(file) && fs::file_size(file) >= megabytes * 1000000) return file;
  fs::remove(file);
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) std::abort();
  Must(db, "PRAGMA journal_mode=WAL");
  Must(db, "PRAGMA synchronous=OFF");
  Must(db,
       "CREATE TABLE moz_places (id INTEGER PRIMARY KEY, url LONGVARCHAR, title LONGVARCHAR, rev_host LONGVARCHAR, "
       "visit_count INTEGER DEFAULT 0, hidden INTEGER DEFAULT 0 NOT NULL, typed INTEGER DEFAULT 0 NOT NULL, "
       "frecency INTEGER DEFAULT -1 NOT NULL, last_visit_date INTEGER, guid TEXT)");
  Must(db,
       "CREATE TABLE moz_historyvisits (id INTEGER PRIMARY KEY, from_visit INTEGER, place_id INTEGER, "
       "visit_date INTEGER, visit_type INTEGER, session INTEGER)");
  Must(db, "CREATE INDEX moz_historyvisits_placedateindex ON moz_historyvisits (place_id, visit_date)");
  Must(db, "CREATE INDEX moz_historyvisits_fromindex ON moz_historyvisits (from_visit)");
  Must(db, "CREATE INDEX moz_historyvisits_dateindex ON moz_historyvisits (visit_date)");
  Must(db, "CREATE UNIQUE INDEX moz_places_url_uniqueindex ON moz_places (url)");
  sqlite3_stmt* place = nullptr;
  sqlite3_stmt* visit = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO moz_places VALUES (?, ?, ?, ?, 3, 0, 0, 100, ?, ?)", -1, &place, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO moz_historyvisits VALUES (NULL, ?, ?, ?, 1, ?)", -1, &visit, nullptr);
  std::mt19937_64 rng(11);
  std::int64_t id = 0;
  char url[160], title[80], host[40], guid[16];
  while (fs::file_size(file) + (fs::exists(file.string() + "-wal") ? fs::file_size(file.string() + "-wal") : 0) <
         megabytes * 1000000) {
    Must(db, "BEGIN");
    for (int i = 0; i < 20000; ++i) {
      ++id;
      const auto r = rng();
      const int hostLen = std::snprintf(host, sizeof host, "moc.elpmaxe%llu.www.", static_cast<unsigned long long>(r % 5000));
      std::snprintf(url, sizeof url, "http://www.example%llu.com/path/%llx/page%lld.html?q=%llu",
                    static_cast<unsigned long long>(r % 5000), static_cast<unsigned long long>(r >> 20),
                    static_cast<long long>(id), static_cast<unsigned long long>(rng() % 100000));
      std::snprintf(title, sizeof title, "Page %lld of example site %llu", static_cast<long long>(id),
                    static_cast<unsigned long long>(r % 5000));
      std::snprintf(guid, sizeof guid, "%012llx", static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull));
      const std::int64_t when = 1262304000000000LL + static_cast<std::int64_t>(rng() % 300000000000000ULL);
      sqlite3_bind_int64(place, 1, id);
      sqlite3_bind_text(place, 2, url, -1, SQLITE_STATIC);
      sqlite3_bind_text(place, 3, title, -1, SQLITE_STATIC);
      sqlite3_bind_text(place, 4, host, hostLen, SQLITE_STATIC);
      sqlite3_bind_int64(place, 5, when);
      sqlite3_bind_text(place, 6, guid, -1, SQLITE_STATIC);
      if (sqlite3_step(place) != SQLITE_DONE) std::abort();
      sqlite3_reset(place);
      for (int v = 0; v < 3; ++v) {
        sqlite3_bind_int64(visit, 1, v ? id * 3 + v - 1 : 0);
        sqlite3_bind_int64(visit, 2, id);
        sqlite3_bind_int64(visit, 3, when + v * 1000000LL);
        sqlite3_bind_int64(visit, 4, id / 7);
        if (sqlite3_step(visit) != SQLITE_DONE) std::abort();
        sqlite3_reset(visit);
      }
    }
    Must(db, "COMMIT");
    Must(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  }
  sqlite3_finalize(place);
  sqlite3_finalize(visit);
  sqlite3_close(db);  // the last connection folds the -wal file back and removes it
  return file;
}

double SecondsOf(const std::function<void()>& f) {
  auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A fresh identical copy, read once so that both sides start from the page cache.
void FreshCopy(const fs::path& from, const fs::path& to) {
  fs::remove(to.string() + "-wal");
  fs::remove(to.string() + "-shm");
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  std::string cmd = "cat '" + to.string() + "' > /dev/null";
  if (std::system(cmd.c_str()) != 0) std::abort();
}

void BM_EmptyHistoryVisitsVsShell(benchmark::State& state) {
  if (std::system("command -v sqlite3 > /dev/null") != 0) {
    state.SkipWithError("the sqlite3 shell is not installed");
    return;
  }
  const fs::path master = LargePlaces();
  const fs::path ours = master.string() + ".layer";
  const fs::path theirs = master.string() + ".shell";
  const std::string shell = "sqlite3 '" + theirs.string() + "' 'DELETE FROM moz_historyvisits'";
  double layer = 0, reference = 0;
  for (auto _ : state) {
    state.PauseTiming();
    FreshCopy(master, ours);
    FreshCopy(master, theirs);
    state.ResumeTiming();
    const double t = SecondsOf([&] {
      kestrove::TSQLiteDatabase db(ours.string());
      if (db.HasTable("moz_historyvisits")) db.RunStatement("DELETE FROM moz_historyvisits");
    });
    layer += t;
    state.SetIterationTime(t);
    reference += SecondsOf([&] {
      if (std::system(shell.c_str()) != 0) std::abort();
    });
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["file_MB"] = static_cast<double>(fs::file_size(master)) / 1e6;
  state.counters["layer_s"] = layer / n;
  state.counters["shell_s"] = reference / n;
  state.counters["layer_over_shell"] = layer / reference;
  for (const fs::path& f : {ours, theirs}) {
    fs::remove(f);
    fs::remove(f.string() + "-wal");
    fs::remove(f.string() + "-shm");
  }
}
BENCHMARK(BM_EmptyHistoryVisitsVsShell)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
