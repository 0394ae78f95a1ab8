// The INI files of the program (options.ini, Cookies.ini, Custom.dat, qvtk.dat, the
// "/Regscan" result file), read and written the way Windows' private profile functions do:
//
// - section and key names match without regard to case (ASCII letters), surrounding blanks
//   ignored; a section that appears twice is read as one;
// - every call goes to the file itself: nothing is cached between calls, so a change made by
//   another program or another TIniFile object is seen by the next call;
// - text values are cut at 2048 characters; a value enclosed in matching quotes is read
//   without them (a value that would lose blanks or quotes that way is written quoted);
// - booleans are "1"/"0" and read as integers, non-zero meaning true; integers are decimal,
//   or hexadecimal after "0x"/"0X";
// - a missing or unreadable file reads as all defaults; the first write creates the file;
// - a file that is not a regular file (a FIFO, a device, a folder) or is over 64 MiB is never
//   read: every read and write raises EIniFileError with a text naming the file;
// - a write replaces the file atomically (temporary file in the same folder, synced, then
//   renamed), touching only the line it changes, and keeps the file's line ends and UTF-8
//   byte-order mark. When it fails, EIniFileError "Unable to write to <file>" is raised and
//   the old file is left as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Env.h"

namespace kestrove {

// Raised when a value cannot be written; the text is "Unable to write to <file>".
class EIniFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The longest text a read returns, in characters.
inline constexpr std::size_t kIniMaxValueChars = 2048;

// Parses an integer the way INI values are read: optional sign and decimal digits within the
// 32-bit range, or "0x"/"0X" followed by up to eight hexadecimal digits (taken as the 32-bit
// pattern, so 0xFFFFFFFF is -1). Anything else gives nullopt.
std::optional<std::int32_t> ParseIniInteger(std::string_view text);

class TIniFile {
 public:
  explicit TIniFile(std::filesystem::path fileName, std::shared_ptr<Env> env = Env::Default());

  const std::filesystem::path& FileName() const { return fileName_; }

  // A copy that reads the file once, now, and answers every read after that from what it read
  // (a missing file: all defaults), its sections found through an index: a run of reads of a
  // large file costs one reading of it. Raises as a read does for a file that is refused.
  // A write through the copy goes to the file as always, and from then on so do its reads.
  TIniFile Frozen() const;

  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const;
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;

  // Section names in file order, each once, spelled as first written in the file.
  std::vector<std::string> ReadSections() const;
  // Key names of a section in file order, each once.
  std::vector<std::string> ReadSection(std::string_view section) const;
  // The key=value pairs of a section in file order, each key once (the first one wins), the
  // values read as ReadString reads them.
  std::vector<std::pair<std::string, std::string>> ReadSectionValues(std::string_view section) const;

  // The lines of a section as written (every copy of the section, in file order), without
  // the header and without their line ends; comments and lines without "=" included.
  std::vector<std::string> ReadSectionLines(std::string_view section) const;

  // Removes the section (every copy of it) with its keys and comments. Nothing happens when
  // the section is absent.
  void EraseSection(std::string_view section);
  // Replaces the whole section (every copy of it) by these key=value lines, in one write: a
  // reader sees the old section or the new one, never a part. The section keeps the place of
  // its first copy; a new one goes at the end. An empty list leaves the section with no keys.
  void ReplaceSection(std::string_view section, const std::vector<std::pair<std::string, std::string>>& values);
  // Removes the key (every copy of it in the section). Nothing happens when it is absent.
  void DeleteKey(std::string_view section, std::string_view key);

 private:
  struct Document;
  // nullopt when the file is missing or unreadable; raises when it is refused.
  std::optional<Document> ReadDocument() const;
  // What a read works on: the frozen document, else the file as it is now; nullptr when the
  // file is missing or unreadable.
  std::shared_ptr<const Document> Load() const;
  // For a change: the current contents, an empty document for a missing file; raises when
  // the file exists but cannot be read, so that a write never replaces what it could not see.
  Document LoadForChange() const;
  void Store(const Document& doc) const;
  [[noreturn]] void WriteFailed() const;

  std::filesystem::path fileName_;
  std::shared_ptr<Env> env_;
  // Engaged in a Frozen() copy until its first write; holds nullptr for a file that was missing.
  std::optional<std::shared_ptr<const Document>> frozen_;
};

}  // namespace kestrove
