// The browsers' profile databases (Firefox's places.sqlite, Chrome's Web Data) are reached
// through these two small classes over the system's libsqlite3: one open connection that runs
// statements and tells whether a table exists, and the whole result of one query held in
// memory. Every failure is an ESQLiteException whose text names the file or statement and
// the library's reason, so the user can be told which database failed and why.
//
// A connection belongs to the thread that made it; nothing here is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kestrove {

class ESQLiteException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The fixed English text of a library result code (primary codes, as the library reports
// them without extended codes); "Unknown SQLite Error Code \"n\"" for any other.
std::string ResultCodeText(int code);

// A blob cell's bytes, read like a file: Read advances the position, Seek moves it.
class TSQLiteBlobStream {
 public:
  explicit TSQLiteBlobStream(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::size_t Size() const { return bytes_.size(); }
  std::size_t Position() const { return position_; }
  // Moves to `position`, at most the end; returns the new position.
  std::size_t Seek(std::size_t position);
  // Copies up to `count` bytes from the position; returns how many were copied.
  std::size_t Read(void* buffer, std::size_t count);
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

// A column's kind, from its declared type, or from the first row's storage class when the
// column has none (the library's codes: 1 integer, 2 float, 3 text, 4 blob, 5 null).
enum class TSQLiteColumnKind { Integer = 1, Numeric = 2, Text = 3, Blob = 4, Null = 5 };

// One cell: nothing (SQL NULL, or an empty blob), a 64-bit integer (integer columns), a
// double (numeric columns), a blob stream (blob columns) or a text (every other column).
using TSQLiteCell =
    std::variant<std::monostate, std::int64_t, double, std::string, std::shared_ptr<TSQLiteBlobStream>>;

class TSQLiteTable;

// How a file is opened. ReadWrite never creates a file: a missing database is an error,
// not a new empty file left in the user's profile. ReadWrite and Create refuse a path
// whose last part is a symbolic link, or a file with more than one hard link.
enum class TSQLiteOpenMode { ReadWrite, ReadOnly, Create };

class TSQLiteDatabase {
 public:
  // Called with the statement's text just before each statement runs.
  using TQueryObserver = std::function<void(TSQLiteDatabase& database, const std::string& sql)>;

  // Opens `fileName` as given. Raises "Failed to open database \"<name>\" : <reason>"; a
  // failed open leaves no connection behind.
  explicit TSQLiteDatabase(const std::string& fileName, TSQLiteOpenMode mode = TSQLiteOpenMode::ReadWrite);
  ~TSQLiteDatabase();
  TSQLiteDatabase(const TSQLiteDatabase&) = delete;
  TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;

  // Runs statements that return no rows, each to its end, in order. Raises "Error executing
  // SQL" (did not compile), "Could not prepare SQL statement" (no statement in the text) or
  // "Error executing SQL statement" (the step did not finish: an error, or a row came back).
  void RunStatement(const std::string& sql);
  // Runs one query to its end; the result is held in memory.
  std::unique_ptr<TSQLiteTable> QueryTable(const std::string& sql);
  // Whether a table of that name exists, letter case aside (ASCII, as the library's lower()).
  bool HasTable(const std::string& name);

  // Named parameters (":name", "@name", "$name"), bound to the next statement and then
  // dropped, whether it ran or failed. A name the statement lacks is skipped.
  void AddParamInt(const std::string& name, std::int64_t value);
  void AddParamFloat(const std::string& name, double value);
  void AddParamText(const std::string& name, const std::string& value);
  void AddParamNull(const std::string& name);

  void SetQueryObserver(TQueryObserver observer) { observer_ = std::move(observer); }

  const std::string& FileName() const { return fileName_; }
  // The library's handle, for callers needing what this class does not offer.
  sqlite3* Handle() const { return db_; }

  // Raises `message`, followed, when the connection holds an error, by
  // ".\rError [<code>]: <code text>.\r\"<sql>\": <library message>".
  [[noreturn]] void RaiseLibraryError(const std::string& message, const std::string& sql) const;

 private:
  friend class TSQLiteTable;
  struct TParam {
    std::string name;
    int kind;  // 1 integer, 2 double, 3 text, 5 null
    std::int64_t integer = 0;
    double number = 0;
    std::string text;
  };
  // Prepares the statement of `sql` that begins at `tail` (raising as RunStatement says),
  // tells the observer and binds the pending parameters; `tail` moves past it. Without a
  // statement there: raises when `required`, else returns null.
  sqlite3_stmt* Prepare(const std::string& sql, std::size_t& tail, bool required);
  void BindParams(sqlite3_stmt* statement, const std::vector<TParam>& params);

  sqlite3* db_ = nullptr;
  std::string fileName_;
  std::vector<TParam> params_;
  TQueryObserver observer_;
};

class TSQLiteTable {
 public:
  // Runs `sql` on `database` to its end. Raises "Could not prepare SQL statement" when the
  // database is locked and "Could not retrieve data..." on any other failure of a step.
  TSQLiteTable(TSQLiteDatabase& database, const std::string& sql);
  ~TSQLiteTable();
  TSQLiteTable(const TSQLiteTable&) = delete;
  TSQLiteTable& operator=(const TSQLiteTable&) = delete;

  // Rows fetched.
  std::size_t Count() const { return rows_.size(); }
  // Columns; 0 when the query returned no row.
  std::size_t ColCount() const { return names_.size(); }
  // Column names in upper case.
  const std::string& ColumnName(std::size_t column) const { return names_.at(column); }
  TSQLiteColumnKind ColumnKind(std::size_t column) const { return kinds_.at(column); }
  // The index of a column by name, letter case aside; -1 when there is none.
  int FieldIndex(std::string_view name) const;
  const TSQLiteCell& Cell(std::size_t row, std::size_t column) const { return rows_.at(row).at(column); }

 private:
  std::vector<std::string> names_;
  std::vector<TSQLiteColumnKind> kinds_;
  std::vector<std::vector<TSQLiteCell>> rows_;
};

}  // namespace kestrove
