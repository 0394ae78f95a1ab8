// Reading and writing Wine's registry files ("WINE REGISTRY Version 2": system.reg,
// user.reg, userdef.reg). A hive is kept as the file's bytes plus a key tree whose keys
// point back at their text, so that keys nobody changed are written back byte for byte.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/RegistryTree.h"

namespace kestrove::wine {

// Parses hive.buffer into hive.root, which must be empty. Values are read lazily
// (LoadValues), but every line is checked now: a malformed or truncated file throws
// RegistryError naming the file (hive.label) and the line, and leaves the tree empty.
void ParseHive(regtree::Hive& hive);

// Reads the values of a key from its text in the hive's buffer.
void LoadValues(const regtree::Hive& hive, regtree::Node& node);

// Writes the whole hive in Wine's format. Keys that are not dirty are copied from the
// buffer; the others are written as Wine writes them. `ensureValues` is called for a key
// whose values are still unread before it is written.
void WriteHive(const regtree::Hive& hive, const std::function<void(std::string_view)>& sink,
               const std::function<void(regtree::Node&)>& ensureValues);

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
