// Any bytes as a browser's database, through the layer: opened read-only and read, then
// opened for writing and one table emptied. Nothing may crash or leak; a table the listing
// names is found by HasTable; a delete that reports success leaves the table empty (when no
// trigger could refill it).
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sqlite/SQLite.h"

namespace {

namespace fs = std::filesystem;
using kestrove::ESQLiteException;
using kestrove::TSQLiteDatabase;

const fs::path& WorkFile() {
  static const fs::path file = [] {
    fs::path dir = fs::temp_directory_path() / ("kestrove-fuzz-sqlite-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir / "places.sqlite";
  }();
  return file;
}

// Schemas may hold triggers and views of any cost: stop any statement after a bounded amount
// of work (it then fails as an interrupted statement, which the layer must raise).
int StopLongWork(void* counter) { return ++*static_cast<int*>(counter) > 20000; }

void Bound(TSQLiteDatabase& db, int& counter) {
  sqlite3_progress_handler(db.Handle(), 100, StopLongWork, &counter);
  sqlite3_limit(db.Handle(), SQLITE_LIMIT_LENGTH, 1 << 20);
}

std::string Quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += c;
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path& file = WorkFile();
  for (const char* suffix : {"-journal", "-wal", "-shm"}) fs::remove(file.string() + suffix);
  std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                static_cast<std::streamsize>(size));
  std::vector<std::string> tables;
  try {
    TSQLiteDatabase db(file.string(), kestrove::TSQLiteOpenMode::ReadOnly);
    int counter = 0;
    Bound(db, counter);
    auto list = db.QueryTable("select name from sqlite_master where type = 'table' limit 8");
    for (std::size_t r = 0; r < list->Count(); ++r)
      if (const auto* name = std::get_if<std::string>(&list->Cell(r, 0))) tables.push_back(*name);
    for (const std::string& name : tables) {
      counter = 0;
      bool has = false;
      try {
        has = db.HasTable(name);
      } catch (const ESQLiteException&) {
        continue;  // interrupted or a name the library cannot take back
      }
      if (!has && name.find('\0') == std::string::npos) std::abort();
      try {
        counter = 0;
        auto rows = db.QueryTable("SELECT * FROM " + Quoted(name) + " LIMIT 5");
        for (std::size_t r = 0; r < rows->Count(); ++r)
          for (std::size_t c = 0; c < rows->ColCount(); ++c) (void)rows->Cell(r, c);
      } catch (const ESQLiteException&) {
      }
    }
  } catch (const ESQLiteException&) {
  }
  if (tables.empty()) return 0;
  try {
    TSQLiteDatabase db(file.string());
    int counter = 0;
    Bound(db, counter);
    if (db.HasTable(tables[0])) {
      // A trigger may put rows back, so the emptiness is only checked without triggers.
      const bool triggers = db.QueryTable("select 1 from sqlite_master where type = 'trigger'")->Count() > 0;
      db.RunStatement("DELETE FROM " + Quoted(tables[0]));
      if (triggers) return 0;
      counter = 0;
      auto left = db.QueryTable("SELECT count(*) FROM " + Quoted(tables[0]));
      if (left->Count() == 1) {
        const auto* n = std::get_if<std::string>(&left->Cell(0, 0));
        const auto* i = std::get_if<std::int64_t>(&left->Cell(0, 0));
        if ((n && *n != "0") || (i && *i != 0)) std::abort();
      }
    }
  } catch (const ESQLiteException&) {
  }
  return 0;
}
