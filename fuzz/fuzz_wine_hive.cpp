// Wine registry files: any input is refused with an error or read; what is read must be
// written back in a form that reads again to the same text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/RegistryTree.h"
#include "platform/wine/WineHive.h"

namespace {

using kestrove::regtree::Hive;
using kestrove::regtree::Node;

bool Load(Hive& hive, Node& root, std::string text) {
  hive.label = "fuzz.reg";
  hive.buffer = std::move(text);
  hive.root = &root;
  root.hive = &hive;
  try {
    kestrove::wine::ParseHive(hive);
    return true;
  } catch (const kestrove::RegistryError&) {
    return false;
  }
}

void DirtyAll(Hive& hive, Node& top) {
  std::vector<Node*> pending{&top};  // no recursion: keys may nest as deep as the input allows
  while (!pending.empty()) {
    Node& n = *pending.back();
    pending.pop_back();
    if (!n.valuesReady) {
      kestrove::wine::LoadValues(hive, n);
      n.valuesReady = true;
    }
    n.dirty = true;
    for (auto& c : n.children) pending.push_back(c.get());
  }
}

std::string Write(Hive& hive) {
  std::string out;
  kestrove::wine::WriteHive(hive, [&](std::string_view s) { out += s; }, [&](Node& n) {
    kestrove::wine::LoadValues(hive, n);
    n.valuesReady = true;
  });
  return out;
}

// The cut a read of one key makes, fed in pieces of a size the input chooses: what it keeps
// must read, or be refused, as any file.
void CutForOneKey(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const kestrove::wine::THiveFocus focus{{"Software", "A"}, (data[0] & 1) != 0};
  kestrove::wine::THiveFocusFilter filter(focus);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t piece = 1 + data[0] % 13;
  for (std::size_t at = 0; at < size; at += piece) filter.Feed(text.substr(at, piece));
  if (auto cut = filter.Finish()) {
    Hive hive;
    Node root;
    Load(hive, root, std::move(*cut));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CutForOneKey(data, size);
  Hive hive;
  Node root;
  if (!Load(hive, root, std::string(reinterpret_cast<const char*>(data), size))) return 0;
  const std::string copied = Write(hive);  // untouched keys copied as read
  DirtyAll(hive, root);
  const std::string regenerated = Write(hive);
  for (const std::string* text : {&copied, &regenerated}) {
    Hive again;
    Node againRoot;
    if (!Load(again, againRoot, *text)) std::abort();  // our own output must read
  }
  Hive again;
  Node againRoot;
  Load(again, againRoot, regenerated);
  DirtyAll(again, againRoot);
  if (Write(again) != regenerated) std::abort();  // and reads to the same keys and values
  return 0;
}
