// Layout of Windows' binary hive files ("regf"): the base block, hive bins, cells and the
// records the reader and the writer share. Every number in a hive is little-endian.
// Internal to src/platform/regf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kestrove::regf {

// The base block heads the file; hive bins follow it, and every cell offset in the file counts
// from the first bin, i.e. from file offset kBaseBlockSize.
inline constexpr std::size_t kBaseBlockSize = 4096;
inline constexpr std::size_t kBinAlignment = 4096;
inline constexpr std::size_t kBinHeaderSize = 32;
inline constexpr std::size_t kCellAlignment = 8;
inline constexpr std::uint32_t kNoCell = 0xFFFFFFFF;

// Base block fields (byte offsets).
inline constexpr std::size_t kOffSignature = 0;        // "regf"
inline constexpr std::size_t kOffPrimarySeq = 4;
inline constexpr std::size_t kOffSecondarySeq = 8;
inline constexpr std::size_t kOffLastWritten = 12;     // FILETIME
inline constexpr std::size_t kOffMajorVersion = 20;    // 1
inline constexpr std::size_t kOffMinorVersion = 24;    // 3 (NT 4) to 6 (Windows 10)
inline constexpr std::size_t kOffFileType = 28;        // see TFileType
inline constexpr std::size_t kOffFileFormat = 32;      // 1: direct memory load
inline constexpr std::size_t kOffRootCell = 36;
inline constexpr std::size_t kOffHiveBinsSize = 40;
inline constexpr std::size_t kOffClusteringFactor = 44;
inline constexpr std::size_t kOffFileName = 48;        // 64 bytes of UTF-16LE, the path's tail
inline constexpr std::size_t kFileNameBytes = 64;
inline constexpr std::size_t kOffFlags = 144;
inline constexpr std::size_t kOffLastReorganized = 168;
inline constexpr std::size_t kOffChecksum = 508;       // over the 508 bytes before it
inline constexpr std::size_t kOffBootType = 4088;
inline constexpr std::size_t kOffBootRecover = 4092;

enum class TFileType : std::uint32_t {
  Primary = 0,
  Log = 1,        // the old log format (until Windows 8): a dirty vector and pages
  LogNew = 6,     // the new log format (Windows 8.1 on): log entries "HvLE"
};

// Key node ("nk") flags.
inline constexpr std::uint16_t kKeyVolatile = 0x0001;
inline constexpr std::uint16_t kKeyHiveExit = 0x0002;
inline constexpr std::uint16_t kKeyHiveEntry = 0x0004;  // the hive's root
inline constexpr std::uint16_t kKeyNoDelete = 0x0008;
inline constexpr std::uint16_t kKeySymLink = 0x0010;    // its SymbolicLinkValue names the target
inline constexpr std::uint16_t kKeyCompName = 0x0020;   // the name is stored one byte a character
inline constexpr std::uint16_t kKeyPredefHandle = 0x0040;

// Value ("vk") flags.
inline constexpr std::uint16_t kValueCompName = 0x0001;

// A value's data of at most 4 bytes lives in its offset field; the size then has this bit.
inline constexpr std::uint32_t kDataInOffset = 0x80000000;
// Data longer than this is split into "db" segments of at most this size (from version 1.4).
inline constexpr std::size_t kBigDataSegment = 16344;

// Fixed part of the records, before their names or entries.
inline constexpr std::size_t kKeyNodeFixed = 76;
inline constexpr std::size_t kValueFixed = 20;
inline constexpr std::size_t kSecurityFixed = 20;
inline constexpr std::size_t kListFixed = 4;   // signature and count of lf/lh/li/ri
inline constexpr std::size_t kBigDataFixed = 8;

inline std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t Get32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t Get64(const unsigned char* p) {
  return static_cast<std::uint64_t>(Get32(p)) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}
inline void Put16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void Put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void Put64(unsigned char* p, std::uint64_t v) {
  Put32(p, static_cast<std::uint32_t>(v));
  Put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// The base block's checksum: the XOR of its first 127 dwords, with 0 and ~0 moved aside
// because Windows reserves them.
inline std::uint32_t BaseBlockChecksum(const unsigned char* block) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kOffChecksum; i += 4) sum ^= Get32(block + i);
  if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
  if (sum == 0) return 1;
  return sum;
}

// Upper case of one UTF-16 unit as the registry compares names. Outside ASCII and Latin-1
// this is an approximation of Windows' table, which is good enough for ordering lists that
// Windows reads by binary search only within equal hashes.
std::uint16_t UpcaseUnit(std::uint16_t unit);

// The "lh" list's hash of a key name given in UTF-16: 37 times the previous hash plus the
// next unit in upper case.
inline std::uint32_t NameHash(std::u16string_view name) {
  std::uint32_t hash = 0;
  for (char16_t c : name) hash = hash * 37 + UpcaseUnit(static_cast<std::uint16_t>(c));
  return hash;
}

}  // namespace kestrove::regf
