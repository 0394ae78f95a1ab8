#include "sqlite/SQLite.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "platform/RegistryTypes.h"  // Utf8ToU16, U16ToUtf8

namespace kestrove {

namespace {

struct TStatementFree {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using TStatement = std::unique_ptr<sqlite3_stmt, TStatementFree>;

// The upper case of one UTF-16 unit for the scripts a column name is likely to use (Latin,
// Greek, Cyrillic, full-width); anything else stays as it is.
char16_t UpperUnit(char16_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x137 && c != 0x131) return static_cast<char16_t>(c & ~1);
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c : static_cast<char16_t>(c - 1);
  if (c >= 0x14A && c <= 0x177) return static_cast<char16_t>(c & ~1);
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c : static_cast<char16_t>(c - 1);
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<char16_t>(c - 32);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
  if (c >= 0x460 && c <= 0x4FF) return static_cast<char16_t>(c & ~1);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 32);
  return c;
}

std::string UpperText(std::string_view text) {
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
  if (ascii) {
    std::string out(text);
    for (char& c : out)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return out;
  }
  std::u16string units = Utf8ToU16(text);
  for (char16_t& c : units) c = UpperUnit(c);
  return U16ToUtf8(units);
}

// The library's lower() folds ASCII letters only; the name must be folded the same way.
std::string AsciiLower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return text;
}

TSQLiteColumnKind KindOfDeclaredType(const char* declared) {
  const std::string_view type(declared);
  if (type == "INTEGER" || type == "BOOLEAN") return TSQLiteColumnKind::Integer;
  if (type == "NUMERIC" || type == "FLOAT" || type == "DOUBLE" || type == "REAL") return TSQLiteColumnKind::Numeric;
  if (type == "BLOB") return TSQLiteColumnKind::Blob;
  return TSQLiteColumnKind::Text;
}

bool IsBlank(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

}  // namespace

std::string ResultCodeText(int code) {
  switch (code) {
    case 0: return "Successful result";
    case 1: return "SQL error or missing database";
    case 2: return "An internal logic error in SQLite";
    case 3: return "Access permission denied";
    case 4: return "Callback routine requested an abort";
    case 5: return "The database file is locked";
    case 6: return "A table in the database is locked";
    case 7: return "A malloc() failed";
    case 8: return "Attempt to write a readonly database";
    case 9: return "Operation terminated by sqlite3_interrupt()";
    case 10: return "Some kind of disk I/O error occurred";
    case 11: return "The database disk image is malformed";
    case 12: return "(Internal Only) Table or record not found";
    case 13: return "Insertion failed because database is full";
    case 14: return "Unable to open the database file";
    case 15: return "Database lock protocol error";
    case 16: return "Database is empty";
    case 17: return "The database schema changed";
    case 18: return "Too much data for one row of a table";
    case 19: return "Abort due to contraint violation";
    case 20: return "Data type mismatch";
    case 21: return "Library used incorrectly";
    case 22: return "Uses OS features not supported on host";
    case 23: return "Authorization denied";
    case 24: return "Auxiliary database format error";
    case 25: return "2nd parameter to sqlite3_bind out of range";
    case 26: return "File opened that is not a database file";
    case 100: return "sqlite3_step() has another row ready";
    case 101: return "sqlite3_step() has finished executing";
    default: return "Unknown SQLite Error Code \"" + std::to_string(code) + "\"";
  }
}

std::size_t TSQLiteBlobStream::Seek(std::size_t position) {
  position_ = std::min(position, bytes_.size());
  return position_;
}

std::size_t TSQLiteBlobStream::Read(void* buffer, std::size_t count) {
  const std::size_t n = std::min(count, bytes_.size() - position_);
  if (n) std::memcpy(buffer, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

TSQLiteDatabase::TSQLiteDatabase(const std::string& fileName, TSQLiteOpenMode mode) : fileName_(fileName) {
  // Never SQLITE_OPEN_CREATE unless asked: a profile whose database went away must not
  // gain an empty one. A database opened for writing is never reached through a symbolic
  // link, nor shared through a hard link: writing it must not change a file elsewhere.
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW;
  if (mode == TSQLiteOpenMode::ReadOnly) flags = SQLITE_OPEN_READONLY;
  if (mode == TSQLiteOpenMode::Create) flags |= SQLITE_OPEN_CREATE;
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(fileName.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string reason = db ? sqlite3_errmsg(db) : "unknown error";
    sqlite3_close_v2(db);
    throw ESQLiteException("Failed to open database \"" + fileName + "\" : " + reason);
  }
  struct stat st {};
  if (mode != TSQLiteOpenMode::ReadOnly && ::lstat(fileName.c_str(), &st) == 0 && st.st_nlink > 1) {
    sqlite3_close_v2(db);
    throw ESQLiteException("Failed to open database \"" + fileName + "\" : the file has more than one link");
  }
  db_ = db;
}

TSQLiteDatabase::~TSQLiteDatabase() {
  // Every statement is finalized before its call returns, so the close cannot be refused.
  sqlite3_close_v2(db_);
}

void TSQLiteDatabase::RaiseLibraryError(const std::string& message, const std::string& sql) const {
  const int code = sqlite3_errcode(db_);
  const char* text = sqlite3_errmsg(db_);
  if (code != SQLITE_OK && text) {
    throw ESQLiteException(message + ".\rError [" + std::to_string(code) + "]: " + ResultCodeText(code) + ".\r\"" +
                           sql + "\": " + text);
  }
  throw ESQLiteException(message);
}

void TSQLiteDatabase::AddParamInt(const std::string& name, std::int64_t value) {
  params_.push_back(TParam{name, 1, value, 0, {}});
}
void TSQLiteDatabase::AddParamFloat(const std::string& name, double value) {
  params_.push_back(TParam{name, 2, 0, value, {}});
}
void TSQLiteDatabase::AddParamText(const std::string& name, const std::string& value) {
  params_.push_back(TParam{name, 3, 0, 0, value});
}
void TSQLiteDatabase::AddParamNull(const std::string& name) { params_.push_back(TParam{name, 5, 0, 0, {}}); }

void TSQLiteDatabase::BindParams(sqlite3_stmt* statement, const std::vector<TParam>& params) {
  for (const TParam& p : params) {
    const int index = sqlite3_bind_parameter_index(statement, p.name.c_str());
    if (index == 0) continue;
    int rc = SQLITE_OK;
    switch (p.kind) {
      case 1: rc = sqlite3_bind_int64(statement, index, p.integer); break;
      case 2: rc = sqlite3_bind_double(statement, index, p.number); break;
      case 3:
        rc = sqlite3_bind_text64(statement, index, p.text.data(), p.text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
      default: rc = sqlite3_bind_null(statement, index); break;
    }
    // A value that could not be bound would run the statement with NULL in its place.
    if (rc != SQLITE_OK) RaiseLibraryError("Error executing SQL", sqlite3_sql(statement));
  }
}

sqlite3_stmt* TSQLiteDatabase::Prepare(const std::string& sql, std::size_t& tail, bool required) {
  const std::size_t offset = tail;
  // The pending parameters belong to this statement alone, and go with it whether it
  // compiles, binds and runs or not.
  std::vector<TParam> params;
  params.swap(params_);
  sqlite3_stmt* raw = nullptr;
  const char* end = nullptr;
  const int rc = sqlite3_prepare_v2(db_, sql.data() + offset, static_cast<int>(sql.size() - offset), &raw, &end);
  TStatement statement(raw);
  if (rc != SQLITE_OK) RaiseLibraryError("Error executing SQL", sql);
  if (!statement) {
    if (required) throw ESQLiteException("Could not prepare SQL statement");
    return nullptr;
  }
  tail = static_cast<std::size_t>(end - sql.data());
  if (observer_) {
    const bool whole = offset == 0 && IsBlank(std::string_view(sql).substr(tail));
    observer_(*this, whole ? sql : sql.substr(offset, tail - offset));
  }
  BindParams(statement.get(), params);
  return statement.release();
}

void TSQLiteDatabase::RunStatement(const std::string& sql) {
  // Every statement of the text runs, in order: a second statement silently left undone
  // would be a failure reported as success.
  std::size_t tail = 0;
  for (bool first = true;; first = false) {
    TStatement statement(Prepare(sql, tail, first));
    if (!statement) break;  // only blanks, comments or semicolons were left
    if (sqlite3_step(statement.get()) != SQLITE_DONE) {
      sqlite3_reset(statement.get());
      RaiseLibraryError("Error executing SQL statement", sql);
    }
  }
}

std::unique_ptr<TSQLiteTable> TSQLiteDatabase::QueryTable(const std::string& sql) {
  return std::make_unique<TSQLiteTable>(*this, sql);
}

bool TSQLiteDatabase::HasTable(const std::string& name) {
  // A quote in the name is doubled so that the name is only ever compared, never run.
  std::string quoted;
  for (char c : AsciiLower(name)) {
    quoted += c;
    if (c == '\'') quoted += c;
  }
  auto table = QueryTable("select [sql] from sqlite_master where [type] = 'table' and lower(name) = '" + quoted + "' ");
  return table->Count() > 0;
}

TSQLiteTable::TSQLiteTable(TSQLiteDatabase& database, const std::string& sql) {
  std::size_t tail = 0;
  TStatement statement(database.Prepare(sql, tail, true));
  sqlite3_stmt* s = statement.get();
  for (;;) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) break;
    if (rc == SQLITE_BUSY) throw ESQLiteException("Could not prepare SQL statement");
    if (rc != SQLITE_ROW) {
      sqlite3_reset(s);
      database.RaiseLibraryError("Could not retrieve data", sql);
    }
    const int columns = sqlite3_column_count(s);
    if (rows_.empty()) {
      for (int c = 0; c < columns; ++c) {
        const char* name = sqlite3_column_name(s, c);
        names_.push_back(UpperText(name ? name : ""));
        const char* declared = sqlite3_column_decltype(s, c);
        kinds_.push_back(declared ? KindOfDeclaredType(declared)
                                  : static_cast<TSQLiteColumnKind>(sqlite3_column_type(s, c)));
      }
    }
    std::vector<TSQLiteCell>& row = rows_.emplace_back(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      if (sqlite3_column_type(s, c) == SQLITE_NULL) continue;
      switch (kinds_[static_cast<std::size_t>(c)]) {
        case TSQLiteColumnKind::Integer: row[static_cast<std::size_t>(c)] = std::int64_t{sqlite3_column_int64(s, c)}; break;
        case TSQLiteColumnKind::Numeric: row[static_cast<std::size_t>(c)] = sqlite3_column_double(s, c); break;
        case TSQLiteColumnKind::Blob: {
          const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, c));
          const int size = sqlite3_column_bytes(s, c);
          if (bytes && size > 0)
            row[static_cast<std::size_t>(c)] =
                std::make_shared<TSQLiteBlobStream>(std::vector<std::uint8_t>(bytes, bytes + size));
          break;
        }
        default: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
          const int size = sqlite3_column_bytes(s, c);
          row[static_cast<std::size_t>(c)] = std::string(text ? text : "", text ? static_cast<std::size_t>(size) : 0);
          break;
        }
      }
    }
  }
}

TSQLiteTable::~TSQLiteTable() = default;

int TSQLiteTable::FieldIndex(std::string_view name) const {
  const std::string upper = UpperText(name);
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (names_[i] == upper) return static_cast<int>(i);
  return -1;
}

}  // namespace kestrove
