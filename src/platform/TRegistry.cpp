#include "platform/TRegistry.h"

#include <cstring>

namespace kestrove {

namespace {

std::string Quoted(const char* what, std::string_view name) {
  return std::string(what) + " '" + std::string(name) + "'";
}

[[noreturn]] void ReadError(std::string_view name) {
  throw ERegistryException(Quoted("Invalid data type for", name));
}

TRegDataType DataTypeOf(std::uint32_t type) {
  switch (type) {
    case REG_SZ: return TRegDataType::rdString;
    case REG_EXPAND_SZ: return TRegDataType::rdExpandString;
    case REG_DWORD: return TRegDataType::rdInteger;
    case REG_BINARY: return TRegDataType::rdBinary;
    default: return TRegDataType::rdUnknown;
  }
}

}  // namespace

TRegistry::TRegistry(std::shared_ptr<RegistryStore> store) : store_(std::move(store)) {}

TRegistry::~TRegistry() { CloseKey(); }

void TRegistry::SetRootKey(TRootKey root) {
  CloseKey();
  root_ = root;
}

std::string TRegistry::Resolve(std::string_view path) const {
  std::string full;
  if (!path.empty() && path.front() == '\\') {
    path.remove_prefix(1);
  } else if (open_) {
    full = path_;
  }
  for (auto part : SplitKeyPath(path)) {
    if (!full.empty()) full += '\\';
    full += part;
  }
  return full;
}

bool TRegistry::OpenKey(std::string_view path, bool canCreate) {
  std::string full = Resolve(path);
  bool ok = canCreate ? store_->CreateKey(root_, full) : store_->KeyExists(root_, full);
  if (ok) {
    CloseKey();
    path_ = std::move(full);
    open_ = true;
  }
  return ok;
}

void TRegistry::CloseKey() {
  open_ = false;
  path_.clear();
}

bool TRegistry::KeyExists(std::string_view path) { return store_->KeyExists(root_, Resolve(path)); }

bool TRegistry::ValueExists(std::string_view name) { return Query(name).has_value(); }

void TRegistry::GetKeyNames(std::vector<std::string>& list) {
  list.clear();
  if (!open_) return;
  if (auto names = store_->SubKeyNames(root_, path_)) list = std::move(*names);
}

void TRegistry::GetValueNames(std::vector<std::string>& list) {
  list.clear();
  if (!open_) return;
  if (auto names = store_->ValueNames(root_, path_)) list = std::move(*names);
}

bool TRegistry::GetKeyInfo(RegKeyInfo& info) {
  info = RegKeyInfo{};
  if (!open_) return false;
  auto got = store_->QueryKeyInfo(root_, path_);
  if (!got) return false;
  info = *got;
  return true;
}

bool TRegistry::HasSubKeys() {
  RegKeyInfo info;
  return GetKeyInfo(info) && info.subKeyCount > 0;
}

std::optional<RegValue> TRegistry::Query(std::string_view name) {
  if (!open_) return std::nullopt;
  return store_->QueryValue(root_, path_, name);
}

TRegDataType TRegistry::GetDataType(std::string_view name) {
  auto v = Query(name);
  return v ? DataTypeOf(v->type) : TRegDataType::rdUnknown;
}

int TRegistry::GetDataSize(std::string_view name) {
  auto v = Query(name);
  return v ? static_cast<int>(v->data.size()) : -1;
}

std::string TRegistry::ReadString(std::string_view name) {
  auto v = Query(name);
  if (!v) return {};
  // An empty value reads as an empty text whatever its type; only data of another type is
  // an error.
  if (v->data.empty()) return {};
  auto type = DataTypeOf(v->type);
  if (type != TRegDataType::rdString && type != TRegDataType::rdExpandString) ReadError(name);
  // The text ends at the first zero character, whatever follows it.
  std::size_t units = v->data.size() / 2;
  for (std::size_t k = 0; k < units; ++k) {
    if (v->data[2 * k] == 0 && v->data[2 * k + 1] == 0) {
      units = k;
      break;
    }
  }
  return Utf16LeToUtf8(v->data.data(), units * 2);
}

std::int32_t TRegistry::ReadInteger(std::string_view name) {
  auto v = Query(name);
  // The value is fetched into a 4-byte buffer first: a missing or larger value fails there.
  if (!v || v->data.size() > 4) throw ERegistryException(Quoted("Failed to get data for", name));
  if (DataTypeOf(v->type) != TRegDataType::rdInteger) ReadError(name);
  std::uint32_t out = 0;
  std::memcpy(&out, v->data.data(), v->data.size());
  return static_cast<std::int32_t>(out);
}

int TRegistry::ReadBinaryData(std::string_view name, void* buffer, int bufSize) {
  auto v = Query(name);
  if (!v) return 0;
  auto type = DataTypeOf(v->type);
  int size = static_cast<int>(v->data.size());
  if ((type != TRegDataType::rdBinary && type != TRegDataType::rdUnknown) || size > bufSize) ReadError(name);
  if (size > 0) std::memcpy(buffer, v->data.data(), static_cast<std::size_t>(size));
  return size;
}

std::optional<RegValue> TRegistry::ReadRaw(std::string_view name) { return Query(name); }

void TRegistry::Write(std::string_view name, std::uint32_t type, const Bytes& data) {
  if (!open_ || !store_->SetValue(root_, path_, name, type, data))
    throw ERegistryException(Quoted("Failed to set data for", name));
}

void TRegistry::WriteRaw(std::string_view name, std::uint32_t type, const Bytes& data) { Write(name, type, data); }

void TRegistry::WriteString(std::string_view name, std::string_view value) {
  Write(name, REG_SZ, Utf8ToUtf16Le(value, true));
}

void TRegistry::WriteExpandString(std::string_view name, std::string_view value) {
  Write(name, REG_EXPAND_SZ, Utf8ToUtf16Le(value, true));
}

void TRegistry::WriteInteger(std::string_view name, std::int32_t value) {
  auto v = static_cast<std::uint32_t>(value);
  Write(name, REG_DWORD,
        {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
         static_cast<std::uint8_t>(v >> 24)});
}

void TRegistry::WriteBinaryData(std::string_view name, const void* buffer, int bufSize) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  Write(name, REG_BINARY, Bytes(p, p + (bufSize > 0 ? bufSize : 0)));
}

bool TRegistry::DeleteValue(std::string_view name) {
  return open_ && store_->DeleteValue(root_, path_, name);
}

bool TRegistry::DeleteKey(std::string_view path) {
  std::string full = Resolve(path);
  if (full.empty()) return false;
  // A key the store will not delete (a hive's root) must not lose its subkeys on the way to
  // that refusal: look before removing anything.
  if (!store_->CanDeleteKey(root_, full)) return false;
  // Subkeys go first, last to first, each with everything below it in one step: the store
  // removes a subtree without walking it here, so however deep it is neither the stack nor
  // a path per level grows. A link is removed as itself, never followed into what it
  // points to (the store never deletes through a link either).
  if (!store_->IsLink(root_, full)) {
    if (auto names = store_->SubKeyNames(root_, full)) {
      for (auto it = names->rbegin(); it != names->rend(); ++it) store_->DeleteKey(root_, full + "\\" + *it);
    }
  }
  bool ok = store_->DeleteKey(root_, full);
  if (ok && open_ && (SameName(path_, full) || (path_.size() > full.size() && path_[full.size()] == '\\' &&
                                                 SameName(std::string_view(path_).substr(0, full.size()), full))))
    CloseKey();
  return ok;
}

std::string RootKeyName(TRootKey root) {
  switch (root) {
    case TRootKey::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case TRootKey::CurrentUser: return "HKEY_CURRENT_USER";
    case TRootKey::LocalMachine: return "HKEY_LOCAL_MACHINE";
    case TRootKey::Users: return "HKEY_USERS";
    case TRootKey::PerformanceData: return "HKEY_PERFORMANCE_DATA";
    case TRootKey::CurrentConfig: return "HKEY_CURRENT_CONFIG";
    case TRootKey::DynData: return "HKEY_DYN_DATA";
  }
  return {};
}

std::optional<TRootKey> RootKeyFromName(std::string_view name) {
  static const struct {
    const char* longName;
    const char* shortName;
    TRootKey root;
  } kRoots[] = {
      {"HKEY_CLASSES_ROOT", "HKCR", TRootKey::ClassesRoot},
      {"HKEY_CURRENT_USER", "HKCU", TRootKey::CurrentUser},
      {"HKEY_LOCAL_MACHINE", "HKLM", TRootKey::LocalMachine},
      {"HKEY_USERS", "HKU", TRootKey::Users},
      {"HKEY_PERFORMANCE_DATA", nullptr, TRootKey::PerformanceData},
      {"HKEY_CURRENT_CONFIG", "HKCC", TRootKey::CurrentConfig},
      {"HKEY_DYN_DATA", nullptr, TRootKey::DynData},
  };
  for (const auto& r : kRoots) {
    if (SameName(name, r.longName) || (r.shortName && SameName(name, r.shortName))) return r.root;
  }
  return std::nullopt;
}

}  // namespace kestrove
