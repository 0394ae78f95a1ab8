// Reading and writing Wine's registry files ("WINE REGISTRY Version 2": system.reg,
// user.reg, userdef.reg). A hive is kept as the file's bytes plus a key tree whose keys
// point back at their text, so that keys nobody changed are written back byte for byte.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/RegistryTree.h"

namespace kestrove::wine {

// Parses hive.buffer into hive.root, which must be empty. Values are read lazily
// (LoadValues), but every line is checked now: a malformed or truncated file throws
// RegistryError naming the file (hive.label) and the line, and leaves the tree empty.
void ParseHive(regtree::Hive& hive);

// What a reader of one key needs of a hive: the key, the keys on the way to it, and below it
// either every key (`subtree`) or only its subkeys' names.
struct THiveFocus {
  std::vector<std::string> path;  // names below the hive's root, UTF-8
  bool subtree = false;
};

// Cuts a hive file, handed over in pieces, down to the text a THiveFocus needs, so that a
// large file is looked through without being held or parsed whole: the lines before the first
// key, the blocks of the keys on the way to the focus and of the focus itself, and below it
// every block (`subtree`) or one bare key line per subkey; beside the way, the first key line at
// each depth, bare, which shows the keys on the way that have no text of their own. ParseHive
// reads the result.
class THiveFocusFilter {
 public:
  explicit THiveFocusFilter(const THiveFocus& focus);
  void Feed(std::string_view piece);
  // The cut text; nullopt when the file cannot be cut safely (a key line it cannot read, or a
  // file that ends in the middle of a line): the caller reads it whole, which reports the fault.
  std::optional<std::string> Finish();

  // Where the bytes of the cut text came from in the file: `size` bytes at `cut` in the cut
  // text are the bytes at `file` in the file. The bare subkey lines come from no one place.
  struct TSpan {
    std::uint64_t file;
    std::size_t cut;
    std::size_t size;
  };
  const std::vector<TSpan>& Spans() const { return spans_; }
  // After Finish: the offset of the first key line that comes after the focus in the order a
  // hive is written (a key beside it with a greater name, or a key below it), else the file's
  // size. A focus key that is not in the file yet belongs there.
  std::uint64_t InsertAt() const { return insertAt_.value_or(fed_); }

 private:
  void Lines(std::string_view text, std::uint64_t textAt);
  void Keep(std::string_view text, std::uint64_t fileAt);
  void KeyLine(std::string_view line, std::size_t bracket);
  bool QuickKeyLine(std::string_view text, std::size_t bracket);
  void SubKeyLine(std::string subKey);

  const THiveFocus& focus_;
  // The focus's path as a key line spells it, when that is plain text; empty otherwise.
  std::string plainFocus_;
  std::vector<std::size_t> plainDepth_;  // for each byte of plainFocus_, the focus's name it is in
  std::size_t shown_ = 0;  // the depth below which the keys on the way are known to be in the cut
  bool plain_ = false;
  std::string out_;
  std::string carry_;      // a line not yet complete
  std::unordered_set<std::string> subKeys_;  // the subkey lines written, letters folded
  bool keeping_ = true;    // the current block goes to out_ (the lines before any key do)
  bool failed_ = false;
  bool after_ = false;     // the key line just read comes after the focus
  bool continued_ = false; // the last line read ends in a backslash
  std::uint64_t fed_ = 0;  // bytes handed over so far
  std::uint64_t carryAt_ = 0;
  std::vector<TSpan> spans_;
  std::optional<std::uint64_t> insertAt_;
  std::vector<std::string_view> names_;
  std::vector<std::string> owned_;
  std::u16string tmp_;
};

// Reads the values of a key from its text in the hive's buffer.
void LoadValues(const regtree::Hive& hive, regtree::Node& node);

// Writes the whole hive in Wine's format. Keys that are not dirty are copied from the
// buffer; the others are written as Wine writes them. `ensureValues` is called for a key
// whose values are still unread before it is written.
void WriteHive(const regtree::Hive& hive, const std::function<void(std::string_view)>& sink,
               const std::function<void(regtree::Node&)>& ensureValues);

// Appends one key as WriteHive writes a changed key (its line, options and values, which must
// be read), its path taken from its parents up to the hive's root. False, appending nothing,
// for a key Wine would not write (no values, class or link, and subkeys that name it).
bool AppendKeyText(std::string& out, const regtree::Node& node);

// The first lines of a new hive file; `relativeTo` is e.g. "REGISTRY\\User\\.Default".
std::string NewHivePreamble(std::string_view relativeTo);

// Wine's string escaping (backslash, the two `escape` characters, control characters,
// \xHEX for non-ASCII); the final zero of string data is not written.
void AppendEscaped(std::string& out, std::u16string_view text, std::string_view escape, bool dropFinalZero);
// Wine's string unescaping, up to an unescaped `endChar`. `pos` starts after the opening
// quote and ends after `endChar`. False when `endChar` never comes.
bool ParseEscaped(std::string_view text, std::size_t& pos, char endChar, std::u16string& out);
// Formats one value line (with its newline) as Wine writes it.
void AppendValueLine(std::string& out, const RegValue& value);

}  // namespace kestrove::wine
