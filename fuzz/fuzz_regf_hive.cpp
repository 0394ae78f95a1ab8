// Binary registry hives: any input, with or without a log made from its own tail, is refused
// with an error or read; every value of what is read can then be read too, and a refused
// input leaves the root empty.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/RegistryTree.h"
#include "platform/regf/RegfReader.h"

namespace {

using kestrove::regtree::Hive;
using kestrove::regtree::Node;

void ReadAll(const Hive& hive, Node& top) {
  std::vector<Node*> pending{&top};  // no recursion: keys may nest as deep as the input allows
  while (!pending.empty()) {
    Node& n = *pending.back();
    pending.pop_back();
    if (!n.valuesReady) kestrove::regf::LoadRegfValues(hive, n);
    for (auto& c : n.children) pending.push_back(c.get());
  }
}

void Try(std::string data, const std::vector<std::string>& logs) {
  Hive hive;
  Node root;
  hive.root = &root;
  root.hive = &hive;
  try {
    kestrove::regf::LoadRegfHiveData(std::move(data), logs, "fuzz.hiv", hive);
  } catch (const kestrove::RegistryError&) {
    if (root.children.empty() && !hive.source) return;
    std::abort();  // refused after the hive took what it read
  }
  // Every value was checked at load, so reading them must not fail.
  ReadAll(hive, root);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Try(input, {});
  // An input longer than a hive's base block and a bin may carry a log after its first part:
  // the first byte chooses where it splits.
  if (size > 8192 + 1024) {
    const std::size_t split = 8192 + (data[0] % 4) * 4096;
    if (split < size) Try(input.substr(0, split), {input.substr(split)});
  }
  return 0;
}
