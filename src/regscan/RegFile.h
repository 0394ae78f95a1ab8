// Registry export files (".reg"): the writer of the Fix backups and of kestrove-regedit /e,
// and the reader of kestrove-regedit /s.
//
// Files are written in the "REGEDIT4" form (one byte per character, CR LF) whenever every name
// and text is plain 7-bit ASCII and that form gives back exactly what was saved. Expandable
// strings, multi-strings and unusual data keep their type as hex(2):, hex(7):, hex(N):. Any other
// character goes into a Unicode file, since regedit reads a "REGEDIT4" file in the importing
// system's code page, whichever that is: the file is then written (or, when appending,
// rewritten) as "Windows Registry Editor Version 5.00" in UTF-16LE with a byte-order mark, as
// Windows' own regedit writes it. "REGEDIT4" files are read as Windows-1252, as earlier backups
// were written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RegistryStore.h"

namespace kestrove {

// One line's worth of a .reg file, in file order. Values belong to the last kKey entry before them.
struct TRegFileEntry {
  enum Kind { kKey, kDeleteKey, kValue, kDeleteValue };
  Kind kind = kKey;
  TRootKey root = HKEY_CURRENT_USER;  // kKey, kDeleteKey
  std::string path;                   // kKey, kDeleteKey: below the root, no edge backslashes
  std::string name;                   // kValue, kDeleteValue: "" is the default value
  std::uint32_t type = REG_NONE;      // kValue
  Bytes data;                         // kValue, raw as the registry holds it
  std::size_t line = 0;               // where it was read (1-based); 0 when made by code
};

struct TRegFileContents {
  bool unicode = false;  // "Windows Registry Editor Version 5.00"
  std::vector<TRegFileEntry> entries;
};

// Raised when a .reg file cannot be read, created or written.
class ERegFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Writing ------------------------------------------------------------------------------

// Appends one key with everything below it (wholeKey), or the one value `valueName` of the key,
// to `fileName`; a new file starts with its header line and, when `comment` is given, the
// comment line ";" + comment (kept when the file is rewritten in the Unicode form). Throws
// ERegFileError when the file cannot be opened, created or written (nothing should then be
// removed).
void ExportToRegFile(const std::filesystem::path& fileName, RegistryStore& store, TRootKey root, bool wholeKey,
                     std::string_view valueName, std::string_view keyPath, std::string_view comment = {});

// The entries of a key section as ExportToRegFile writes them: the key, its values in
// enumeration order, then each subkey's section (depth-first). Link keys below are not entered.
// A missing key gives its header alone; a missing single value gives the header alone.
std::vector<TRegFileEntry> CollectRegSection(RegistryStore& store, TRootKey root, bool wholeKey,
                                             std::string_view valueName, std::string_view keyPath);

// True when every entry can be written in the "REGEDIT4" form without loss, whatever code page
// the file is read in: every name and text is 7-bit ASCII.
bool FitsRegedit4(const std::vector<TRegFileEntry>& entries);
// The key sections of `entries` (each an empty line, the header, the value lines), without
// the file's header line: ASCII when !unicode (FitsRegedit4 must hold), else UTF-8.
std::string RenderRegEntries(const std::vector<TRegFileEntry>& entries, bool unicode);
// A whole new file: "REGEDIT4" when the entries fit it, else the Unicode form (with its BOM).
std::string RenderRegFile(const std::vector<TRegFileEntry>& entries);
// A key to export with everything below it.
struct TRegKeyRef {
  TRootKey root = HKEY_LOCAL_MACHINE;
  std::string path;
};
// Writes the sections of `keys`, each key with everything below it, as `fileName`: the file
// WriteRegFile would write from their CollectRegSection entries, but written key by key, so
// that neither the entries nor the file's text are ever held whole. Replaces the file whole
// (through a temporary file beside it). Throws ERegFileError.
void ExportRegFile(const std::filesystem::path& fileName, RegistryStore& store, const std::vector<TRegKeyRef>& keys);
// Writes RenderRegFile(entries) as `fileName`, replacing it whole (through a temporary file
// beside it). Throws ERegFileError.
void WriteRegFile(const std::filesystem::path& fileName, const std::vector<TRegFileEntry>& entries);

// ---- Reading ------------------------------------------------------------------------------

struct TRegFileProblem {
  std::size_t line = 0;
  std::string text;
};

// Reads a whole file's bytes. Nothing is returned unless every line parsed: otherwise
// `problems` lists the bad lines (at most `maxProblems`).
std::optional<TRegFileContents> ParseRegFile(std::string_view bytes, std::vector<TRegFileProblem>& problems,
                                             std::size_t maxProblems = 20);

// Makes the changes of entries, handed over in file order, in a store (not committed).
class TRegFileApplier {
 public:
  explicit TRegFileApplier(RegistryStore& store) : store_(store) {}
  // The problem of an entry the store refused; the store may then hold part of the changes.
  std::optional<TRegFileProblem> Apply(const TRegFileEntry& entry);

 private:
  RegistryStore& store_;
  bool inKey_ = false;  // values go to the last key line; those of a deleted key are ignored
  TRootKey keyRoot_ = HKEY_CURRENT_USER;
  std::string keyPath_;
};

// A .reg file imported in two passes over its bytes, so that neither its text nor its entries
// are ever held whole, and a file that is not a registry file is refused from its first bytes:
// Check reads every line and lists the bad ones; Apply reads it again and makes the changes.
class TRegFileImport {
 public:
  explicit TRegFileImport(std::filesystem::path file) : file_(std::move(file)) {}
  ~TRegFileImport();
  TRegFileImport(const TRegFileImport&) = delete;
  TRegFileImport& operator=(const TRegFileImport&) = delete;

  // Opens the file under the rules of OpenInputFile; false with `error` when it cannot be read.
  bool Open(std::string& error);
  // True when every line of the file is good; otherwise `problems` lists the bad ones (at most
  // `maxProblems`; line 0 when the file could not be read).
  bool Check(std::vector<TRegFileProblem>& problems, std::size_t maxProblems = 20);
  // After a good Check: makes the file's changes in the store (not committed). Returns the
  // problem of the first entry the store refused, or (line 0) of a file that changed since it
  // was checked; the store may then hold part of the changes (the caller discards).
  std::optional<TRegFileProblem> Apply(RegistryStore& store);

 private:
  struct TStamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0, changed = 0;  // nanoseconds
    bool operator==(const TStamp&) const = default;
  };
  bool Stamp(TStamp& stamp, std::string& error);
  // Hands the file's bytes to `fn` from its start, piece by piece, until `fn` returns false.
  bool Read(const std::function<bool(std::string_view)>& fn, std::string& error);

  std::filesystem::path file_;
  int fd_ = -1;
  TStamp opened_;
  bool checked_ = false;
};

// Makes the changes of `contents` in the store (not committed). Returns the problem of the first
// entry the store refused; the store may then hold part of the changes (the caller discards).
std::optional<TRegFileProblem> ApplyRegFile(RegistryStore& store, const TRegFileContents& contents);

}  // namespace kestrove
