// The protected-storage service (pstorec.dll) as the cleaner uses it. Linux and Wine have no
// such service: the storage this build provides is "not available", as on Windows systems
// without it, and every operation gives an empty result. Tests install a storage of their own
// through ProtectedStorageFactory().
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrove {

using TPStorageId = std::array<std::uint8_t, 16>;  // an item type or subtype
using TIDList = std::vector<TPStorageId>;
using TItemList = std::vector<std::string>;  // item names, at most 255 characters each

class TPStorage {
 public:
  virtual ~TPStorage() = default;
  // Whether the service library and its entry were found.
  virtual bool Available() const { return false; }
  // True when the provider was created; a second Connect drops the old connection first.
  virtual bool Connect() { return false; }
  virtual TIDList Types() { return {}; }
  virtual TIDList Subtypes(const TPStorageId&) { return {}; }
  virtual TItemList Items(const TPStorageId&, const TPStorageId&) { return {}; }
  virtual std::string TypeName(const TPStorageId&) { return {}; }
  virtual bool DeleteItem(const TPStorageId&, const TPStorageId&, const std::string&) { return false; }
};

// Makes the storage an item works with, one per item run.
inline std::function<std::unique_ptr<TPStorage>()>& ProtectedStorageFactory() {
  static std::function<std::unique_ptr<TPStorage>()> factory = [] { return std::make_unique<TPStorage>(); };
  return factory;
}

}  // namespace kestrove
