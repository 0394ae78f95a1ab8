// Reads Windows' binary hive files ("regf") into the key tree, with their transaction logs
// replayed. Internal to src/platform.
//
// Keys are read at load with their name, class, security descriptor, kept flags, last-write
// time and link flag; values are left for LoadRegfValues (Node::valuesReady false on keys
// that have any, Node::rawBegin the key's cell offset and rawEnd = rawBegin + 1), read from
// the file's memory map, or from the patched copy when log entries were applied. Every value
// is still checked at load, so that a damaged hive is refused there and not on first use.
// The map is private and read-only, but a file another process cuts short under it would
// fault on the next read of a value: a backend should reload a hive whose file changed before
// reading more of its values.
#pragma once

#include <filesystem>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RegistryTree.h"

namespace kestrove::regf {

struct TRegfLoadReport {
  // What was odd but readable: a dirty hive without usable logs, a torn log entry, ...
  std::vector<std::string> warnings;
  // Set when writing the hive back would lose what only Windows can recover (a dirty hive
  // whose logs are missing or damaged); the text ends in "boot Windows once, then try again".
  std::optional<std::string> writeRefusal;
  bool logsApplied = false;
};

// Reads the hive file `file` into `hive`, whose root is empty, applying the log entries of
// `file`.LOG1, .LOG2 or .LOG beside it (names matched without regard to letter case) when the
// hive is dirty or they are newer than it. Refuses links, FIFOs, devices and files over 4 GiB.
// Throws RegistryError naming the file and the byte offset of the fault; the root is then left
// empty.
TRegfLoadReport LoadRegfHive(const std::filesystem::path& file, regtree::Hive& hive);

// The same from bytes in memory: `logs` are the contents of the log files in the order
// .LOG1, .LOG2, .LOG (any may be left out); `label` names the hive in messages.
TRegfLoadReport LoadRegfHiveData(std::string data, const std::vector<std::string>& logs,
                                 std::string_view label, regtree::Hive& hive);

// Reads the values of a key of `hive` (loaded by one of the above) whose values were left
// unread; only node.rawBegin is used, so that a scratch node with it copied will do. Fills
// node.values sorted by name. Throws RegistryError when the key's values cannot be read.
void LoadRegfValues(const regtree::Hive& hive, regtree::Node& node);

// The bytes `hive` (loaded by one of the above) is read from: the file as mapped, or as
// patched by its logs; empty for any other hive. The writer may copy from it.
std::string_view RegfImage(const regtree::Hive& hive);

// The values of a key as its file holds them, for a writer that copies what did not change
// rather than decoding and encoding it again. Only for a key whose values were left unread
// (Available); each value is checked as LoadRegfValues checks it.
class TRawValues {
 public:
  struct TValue {
    // The "vk" record after its size: the fixed part and the name as stored.
    std::string_view record;
    // The data's length; 0 to 4 bytes are in the record's offset field, and `pieces` is empty.
    std::uint32_t size = 0;
    // The data outside the record in order: one cell's, or the segments of big data.
    std::vector<std::string_view> pieces;
  };

  static bool Available(const regtree::Hive& hive, const regtree::Node& node);
  // Turns to the values of `node`, which must be Available. Throws RegistryError when the
  // key's value list cannot be read.
  void Open(const regtree::Hive& hive, const regtree::Node& node);
  std::size_t Count() const { return count_; }
  // The value at `index` of the key's list, valid until the next call.
  const TValue& Get(std::size_t index);

 private:
  const void* image_ = nullptr;
  const unsigned char* list_ = nullptr;
  std::size_t count_ = 0;
  TValue value_;
};

// Marvin32 of `data` with `seed`: the log entries' checksums.
std::uint64_t Marvin32(const unsigned char* data, std::size_t size, std::uint64_t seed);

}  // namespace kestrove::regf
