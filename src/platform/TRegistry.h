// The registry access object every job uses: a root, at most one open key, and the
// operations below. Each object belongs to the thread that created it; all objects of a
// target share its RegistryStore.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RegistryStore.h"

namespace kestrove {

// Value types as the program sees them.
enum class TRegDataType { rdUnknown = 0, rdString = 1, rdExpandString = 2, rdInteger = 3, rdBinary = 4 };

// Raised on a wrong value type or a failed read or write of a value.
class ERegistryException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TRegistry {
 public:
  explicit TRegistry(std::shared_ptr<RegistryStore> store);
  ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  TRootKey RootKey() const { return root_; }
  void SetRootKey(TRootKey root);

  // A path beginning with "\" starts at the root, another one at the open key.
  bool OpenKey(std::string_view path, bool canCreate);
  bool OpenKeyReadOnly(std::string_view path) { return OpenKey(path, false); }
  void CloseKey();
  bool HasOpenKey() const { return open_; }
  // The open key's path below the root, without a leading "\".
  const std::string& CurrentPath() const { return path_; }

  bool KeyExists(std::string_view path);
  bool ValueExists(std::string_view name);
  void GetKeyNames(std::vector<std::string>& list);
  void GetValueNames(std::vector<std::string>& list);
  bool GetKeyInfo(RegKeyInfo& info);
  bool HasSubKeys();

  TRegDataType GetDataType(std::string_view name);
  // Size in bytes, -1 for a missing value.
  int GetDataSize(std::string_view name);

  std::string ReadString(std::string_view name);
  std::int32_t ReadInteger(std::string_view name);
  bool ReadBool(std::string_view name) { return ReadInteger(name) != 0; }
  // Bytes copied; 0 for a missing value.
  int ReadBinaryData(std::string_view name, void* buffer, int bufSize);

  void WriteString(std::string_view name, std::string_view value);
  void WriteExpandString(std::string_view name, std::string_view value);
  void WriteInteger(std::string_view name, std::int32_t value);
  void WriteBool(std::string_view name, bool value) { WriteInteger(name, value ? 1 : 0); }
  void WriteBinaryData(std::string_view name, const void* buffer, int bufSize);

  bool DeleteValue(std::string_view name);
  // Deletes every subkey first, deepest first and last to first, then the key itself.
  bool DeleteKey(std::string_view path);

  // Raw access for the .reg writer and reg-style tools: nullopt for a missing value.
  std::optional<RegValue> ReadRaw(std::string_view name);
  void WriteRaw(std::string_view name, std::uint32_t type, const Bytes& data);

  RegistryStore& Store() { return *store_; }
  const std::shared_ptr<RegistryStore>& StorePtr() const { return store_; }

 private:
  std::string Resolve(std::string_view path) const;
  std::optional<RegValue> Query(std::string_view name);
  void Write(std::string_view name, std::uint32_t type, const Bytes& data);

  std::shared_ptr<RegistryStore> store_;
  TRootKey root_ = HKEY_CURRENT_USER;
  bool open_ = false;
  std::string path_;
};

// Root names: "HKEY_LOCAL_MACHINE" etc.; RootKeyFromName also takes the short forms
// (HKLM, HKCU, HKCR, HKU, HKCC), all without regard to case.
std::string RootKeyName(TRootKey root);
std::optional<TRootKey> RootKeyFromName(std::string_view name);

}  // namespace kestrove
