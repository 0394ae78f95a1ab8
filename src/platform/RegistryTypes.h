// Types shared by the registry store and TRegistry.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrove {

// The predefined roots, numbered as Windows numbers its HKEY constants.
enum class TRootKey : std::uint32_t {
  ClassesRoot = 0x80000000u,
  CurrentUser = 0x80000001u,
  LocalMachine = 0x80000002u,
  Users = 0x80000003u,
  PerformanceData = 0x80000004u,
  CurrentConfig = 0x80000005u,
  DynData = 0x80000006u,
};

inline constexpr TRootKey HKEY_CLASSES_ROOT = TRootKey::ClassesRoot;
inline constexpr TRootKey HKEY_CURRENT_USER = TRootKey::CurrentUser;
inline constexpr TRootKey HKEY_LOCAL_MACHINE = TRootKey::LocalMachine;
inline constexpr TRootKey HKEY_USERS = TRootKey::Users;
inline constexpr TRootKey HKEY_PERFORMANCE_DATA = TRootKey::PerformanceData;
inline constexpr TRootKey HKEY_CURRENT_CONFIG = TRootKey::CurrentConfig;
inline constexpr TRootKey HKEY_DYN_DATA = TRootKey::DynData;

// Value types as Windows stores them.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr std::uint32_t REG_LINK = 6;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;
inline constexpr std::uint32_t REG_RESOURCE_LIST = 8;
inline constexpr std::uint32_t REG_FULL_RESOURCE_DESCRIPTOR = 9;
inline constexpr std::uint32_t REG_RESOURCE_REQUIREMENTS_LIST = 10;
inline constexpr std::uint32_t REG_QWORD = 11;

using Bytes = std::vector<std::uint8_t>;

// One value: UTF-8 name ("" is the default value), Windows type, raw data
// (strings as UTF-16LE with their terminating zero, as Windows holds them).
struct RegValue {
  std::string name;
  std::uint32_t type = REG_NONE;
  Bytes data;
};

struct RegKeyInfo {
  std::size_t subKeyCount = 0;
  std::size_t maxSubKeyLen = 0;   // in UTF-16 units, as Windows counts
  std::size_t valueCount = 0;
  std::size_t maxValueNameLen = 0;  // in UTF-16 units
  std::size_t maxDataLen = 0;      // in bytes
  std::uint64_t lastWriteTime = 0;  // FILETIME
};

// Any failure of the store that the caller must see: a malformed hive file,
// a refused or failed write. The text names the file and says what to do.
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Conversions between the UTF-8 surface and the UTF-16LE data of values.
// Invalid UTF-8 bytes are taken as Latin-1; unpaired surrogates come out as U+FFFD.
Bytes Utf8ToUtf16Le(std::string_view text, bool terminate);
std::string Utf16LeToUtf8(const std::uint8_t* data, std::size_t size);
inline std::string Utf16LeToUtf8(const Bytes& data) { return Utf16LeToUtf8(data.data(), data.size()); }
std::u16string Utf8ToU16(std::string_view text);
std::string U16ToUtf8(std::u16string_view text);
// Number of UTF-16 units of a UTF-8 text.
std::size_t Utf16Length(std::string_view text);

// Registry names compare without regard to letter case, as Windows compares them.
char16_t FoldCase(char16_t c);
int CompareNames(std::string_view a, std::string_view b);
inline bool SameName(std::string_view a, std::string_view b) { return CompareNames(a, b) == 0; }

}  // namespace kestrove
