// Key trees made in memory for the hive writer's tests and for benchmarks of hive writing and
// reading: small helpers and a SOFTWARE-like tree of a chosen size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/RegistryTree.h"
#include "platform/RegistryTypes.h"

namespace kestrove::regftest {

// A hive and the root it owns (a store owns roots otherwise).
struct THiveTree {
  std::unique_ptr<regtree::Node> root = std::make_unique<regtree::Node>();
  regtree::Hive hive;
  THiveTree() {
    hive.root = root.get();
    hive.label = "test hive";
    root->hive = &hive;
  }
};

inline regtree::Node* AddKey(regtree::Node& parent, std::string_view name) {
  bool created = false;
  return parent.FindOrAdd(name, created);
}

// Appends a child known to sort after every existing one: no search, for trees of millions of
// keys.
inline regtree::Node* AppendKey(regtree::Node& parent, std::string name) {
  auto child = std::make_unique<regtree::Node>();
  child->name = std::move(name);
  child->parent = &parent;
  regtree::Node* raw = child.get();
  parent.children.push_back(std::move(child));
  return raw;
}

inline void SetValue(regtree::Node& key, std::string name, std::uint32_t type, Bytes data) {
  auto at = std::lower_bound(key.values.begin(), key.values.end(), name,
                             [](const RegValue& v, const std::string& n) { return CompareNames(v.name, n) < 0; });
  if (at != key.values.end() && CompareNames(at->name, name) == 0) {
    at->type = type;
    at->data = std::move(data);
    return;
  }
  key.values.insert(at, RegValue{std::move(name), type, std::move(data)});
}

inline Bytes Sz(std::string_view text) { return Utf8ToUtf16Le(text, true); }
inline Bytes Dword(std::uint32_t v) {
  return Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
               static_cast<std::uint8_t>(v >> 24)};
}

// A tree shaped like a SOFTWARE hive, about `bytes` large once written: vendors, products,
// versions and settings keys, each with a few strings and numbers, some binary blobs.
// Deterministic, so that two runs write the same file.
inline void MakeSoftwareLikeTree(THiveTree& tree, std::uint64_t bytes) {
  regtree::Node& software = *tree.root;
  std::uint64_t estimate = 0;
  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  char name[96];
  for (unsigned vendor = 0; estimate < bytes; ++vendor) {
    std::snprintf(name, sizeof name, "Vendor%06u", vendor);
    regtree::Node* v = AppendKey(software, name);
    for (unsigned product = 0; product < 8 && estimate < bytes; ++product) {
      std::snprintf(name, sizeof name, "Product %02u", product);
      regtree::Node* p = AppendKey(*v, name);
      for (unsigned version = 0; version < 5; ++version) {
        std::snprintf(name, sizeof name, "%u.%u", version + 1, version * 3);
        regtree::Node* ver = AppendKey(*p, name);
        for (unsigned group = 0; group < 4; ++group) {
          std::snprintf(name, sizeof name, "Settings%02u", group);
          regtree::Node* key = AppendKey(*ver, name);
          key->modif = 0x01DB000000000000ull + vendor;
          std::snprintf(name, sizeof name, "C:\\Program Files\\Vendor%06u\\Product %02u\\bin\\app%u.exe", vendor,
                        product, group);
          key->values.push_back({"", REG_SZ, Sz("Settings group")});
          key->values.push_back({"Flags", REG_DWORD, Dword(next())});
          key->values.push_back({"InstallPath", REG_SZ, Sz(name)});
          key->values.push_back({"Path", REG_EXPAND_SZ, Sz("%ProgramFiles%\\Data")});
          estimate += 96 + 104 + 4 * 32 + 2 * std::string_view(name).size() + 60;
          if (group == 0) {
            Bytes blob(48);
            for (auto& b : blob) b = static_cast<std::uint8_t>(next() >> 24);
            key->values.push_back({"Setup", REG_BINARY, std::move(blob)});
            estimate += 96;
          }
        }
        estimate += 96 + 3 * 16;
      }
    }
  }
}

}  // namespace kestrove::regftest
