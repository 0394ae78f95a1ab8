// .reg files read from disk in two passes, piece by piece: any bytes are checked and refused or
// applied without fault, and a file that passed its check is applied without being taken for
// one that changed in between.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "regscan/RegFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrove;
  static const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("kestrove-fuzz-import-" + std::to_string(::getpid()) + ".reg");
  FILE* out = std::fopen(file.c_str(), "wb");
  if (!out) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
  if (std::fclose(out) != 0) std::abort();
  TRegFileImport import(file);
  std::string error;
  if (!import.Open(error)) return 0;
  std::vector<TRegFileProblem> problems;
  if (!import.Check(problems)) {
    if (problems.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  auto store = RegistryStore::CreateInMemory();
  const auto problem = import.Apply(*store);
  // Line 0 is a file that changed since its check: nothing touched it here.
  if (problem && problem->line == 0) std::abort();
  return 0;
}
