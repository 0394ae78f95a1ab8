// Writes a key tree as a complete Windows hive file ("regf"), the way an offline Windows
// installation keeps it. Internal to src/platform.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/RegistryTree.h"

namespace kestrove::regf {

struct TRegfWriteOptions {
  // FILETIME stamped on the base block, the first bin and keys without a time of their own
  // (regtree::NowFileTime() when 0).
  std::uint64_t now = 0;
  // The file name recorded in a new hive's base block (Windows keeps the tail of the path, at
  // most 31 characters); unused when the hive brings its own base block.
  std::u16string fileName;
};

// The whole file for `hive`: a base block, then hive bins of 4096 bytes (or a multiple for a
// cell that needs more) holding the cells in tree order, each key followed by its security
// cell when first used, class, value list, values with their data, and subkey list.
//
// What comes out:
// - the version, file name and identifiers of `hive.header` when it holds a base block, the
//   sequence numbers one past its primary one and equal; else a new base block of version 1.5;
// - the root named `hive.rootName`, or "CMI-CreateHive{GUID}" as Windows names hives it
//   makes, when that is empty;
// - one security cell per distinct descriptor, with its reference count, in one ring; a key
//   without a descriptor takes its parent's, the root a standard one (SYSTEM and
//   Administrators full control, Users read);
// - subkey lists as Windows builds them: "lh" leaves from version 1.5, "lf" leaves before,
//   which Windows turns into "li" past 506 entries; leaves of at most 1012 entries, split
//   evenly under an "ri" beyond that; entries ordered by the upper-cased names;
// - data of up to 4 bytes in the value itself, data over 16,344 bytes in "db" segments from
//   version 1.4 (one cell before);
// - names stored one byte a character when every character fits in Latin-1;
// - no free cell but the tail of the last bin: the space a bin cannot give the next cell
//   goes to the cell before it.
//
// The values of a key that no one read since the hive was loaded from its file (RegfReader) are
// copied from that file's image as they are: records byte for byte, data moved to new cells.
// `ensureValues` is called for every other key whose values are not ready. Throws RegistryError
// for what Windows could not load: a key name over 255 UTF-16 units, a value name over 16,383, a
// class over 32,767, data too large for its record, a hive over 4 GiB, a version before 1.3.
std::string WriteRegfHive(const regtree::Hive& hive, const std::function<void(regtree::Node&)>& ensureValues,
                          const TRegfWriteOptions& options);

// The descriptor given to a root that has none: self-relative, owner Administrators.
const std::string& DefaultSecurityDescriptor();

}  // namespace kestrove::regf
