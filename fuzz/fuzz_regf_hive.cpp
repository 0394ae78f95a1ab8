// Binary registry hives: any input, with or without a log made from its own tail, is refused
// with an error or read; every value of what is read can then be read too, and a refused
// input leaves the root empty.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/RegistryTree.h"
#include "platform/regf/RegfFormat.h"
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

// New-format log entries carry checksums that no mutation keeps right: they are set right
// here, so that what lies behind them (the pages and where they go) is what gets fuzzed.
void FixLogChecksums(std::string& log) {
  using namespace kestrove::regf;
  auto* d = reinterpret_cast<unsigned char*>(log.data());
  constexpr std::uint64_t kSeed = 0x82EF4D887A4E55C5ull;
  std::size_t at = 512;
  while (at + 40 <= log.size() && std::memcmp(d + at, "HvLE", 4) == 0) {
    const std::uint32_t size = Get32(d + at + 4);
    if (size < 40 || size % 512 != 0 || size > log.size() - at) return;
    Put64(d + at + 24, Marvin32(d + at + 40, size - 40, kSeed));
    Put64(d + at + 32, Marvin32(d + at, 32, kSeed));
    at += size;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Try(input, {});
  // An input longer than a hive's base block and a bin may carry a log after its first part:
  // the first byte chooses where it splits.
  if (size > 8192 + 1024) {
    const std::size_t split = 8192 + (data[0] % 4) * 4096;
    if (split < size) {
      std::string log = input.substr(split);
      FixLogChecksums(log);
      Try(input.substr(0, split), {log});
    }
  }
  return 0;
}
