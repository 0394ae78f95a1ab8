// The in-memory key tree behind RegistryStore. Internal to src/platform.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RegistryTypes.h"

namespace kestrove::regtree {

struct Hive;

// Rarely used parts of a key, kept apart to keep the common key small.
struct KeyExtra {
  std::optional<std::string> keyClass;  // UTF-8
  std::vector<std::string> options;    // "#..." lines we do not interpret, kept as read
  // regf hives: the key's security descriptor (self-relative), shared by every key that has
  // the same one, and the key flags that are kept as read (no-delete, predefined handle).
  std::shared_ptr<const std::string> security;
  std::uint16_t flags = 0;
};

struct Node {
  std::string name;  // UTF-8
  Node* parent = nullptr;
  Hive* hive = nullptr;  // set on hive roots only
  std::vector<std::unique_ptr<Node>> children;  // sorted by CompareNames
  std::vector<RegValue> values;                 // sorted by CompareNames; valid when valuesReady
  std::unique_ptr<KeyExtra> extra;
  std::uint64_t modif = 0;  // FILETIME
  // The key's text as read from its hive file: [rawBegin, rawEnd) of the hive's buffer.
  std::size_t rawBegin = 0;
  std::size_t rawEnd = 0;
  bool dirty = false;   // header or values changed: the raw text no longer describes it
  bool isLink = false;
  std::atomic<bool> valuesReady{true};

  Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Frees the subtree without recursion: a key may be nested as deep as its file allows.
  ~Node();

  bool HasRaw() const { return rawEnd > rawBegin; }
  // Makes this an empty key with nothing read from a file, as a hive's root is before its file
  // is read.
  void Clear();
  const std::optional<std::string>* Class() const { return extra ? &extra->keyClass : nullptr; }

  // Child lookup by name without regard to case; nullptr when absent.
  Node* Find(std::string_view childName) const;
  // Finds or inserts (keeping the order) a child.
  Node* FindOrAdd(std::string_view childName, bool& created);
  // Removes a child; returns false when it is not ours.
  bool Remove(const Node* child);
  // Value lookup in a key whose values are ready.
  RegValue* FindValue(std::string_view valueName);
};

struct Hive {
  std::string label;      // for messages: file path or root name
  std::string buffer;     // the file as read: raw key texts point into it
  std::size_t preambleEnd = 0;  // bytes before the first key
  Node* root = nullptr;   // owned by the tree, stable for the store's life
  bool dirty = false;
  // regf hives: the base block as read (a template for the one written, with its version,
  // file name and identifiers) and the root key's own name ("CMI-CreateHive{...}", "ROOT").
  std::string header;
  std::string rootName;
  // What a backend keeps of the hive's file while the hive lives, so that values left unread
  // can be read later (regf hives: the mapped or log-patched image and its bin table).
  std::shared_ptr<const void> source;
};

// Current time as a Windows FILETIME.
std::uint64_t NowFileTime();

}  // namespace kestrove::regtree
