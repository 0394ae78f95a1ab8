// .reg files: any bytes parse or are refused without fault; what parses applies to a registry
// in memory, and writing that registry out and reading it back gives the same values.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "regscan/RegFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrove;
  std::vector<TRegFileProblem> problems;
  auto contents = ParseRegFile(std::string_view(reinterpret_cast<const char*>(data), size), problems);
  if (!contents) {
    if (problems.empty()) std::abort();
    return 0;
  }
  auto store = RegistryStore::CreateInMemory();
  if (ApplyRegFile(*store, *contents)) return 0;
  // Every key the file set values in, written and read back, holds the same values.
  for (const TRegFileEntry& e : contents->entries) {
    if (e.kind != TRegFileEntry::kKey || !store->KeyExists(e.root, e.path)) continue;
    const auto section = CollectRegSection(*store, e.root, false, "", e.path);
    auto values = store->Values(e.root, e.path);
    if (!values) continue;
    // A name holding a line break or a zero has no line of its own in any .reg form.
    bool writable = e.path.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
    for (const RegValue& v : *values)
      if (v.name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) writable = false;
    if (!writable) continue;
    std::vector<TRegFileEntry> all = {section.front()};
    for (const RegValue& v : *values) {
      TRegFileEntry ve;
      ve.kind = TRegFileEntry::kValue;
      ve.name = v.name;
      ve.type = v.type;
      ve.data = v.data;
      all.push_back(ve);
    }
    std::vector<TRegFileProblem> again;
    auto back = ParseRegFile(RenderRegFile(all), again);
    if (!back || back->entries.size() != all.size()) std::abort();
    for (std::size_t i = 1; i < all.size(); ++i)
      if (back->entries[i].name != all[i].name || back->entries[i].type != all[i].type ||
          back->entries[i].data != all[i].data)
        std::abort();
    break;  // one key per input keeps each run short
  }
  return 0;
}
