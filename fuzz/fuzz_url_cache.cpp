// URL cache index files: any bytes are listed and every listed entry deleted without fault;
// the cache folders named are plain names of at most 8 characters;
// each deletion takes exactly that entry away, never raises the count of blocks in use, and
// leaves an index that still parses. An index marked empty after a wipe (written to a memory
// file) keeps its size and lists no entry.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/UrlCache.h"

namespace {

std::uint32_t BlocksInUse(const std::vector<std::uint8_t>& b) {
  return b[40] | b[41] << 8 | b[42] << 16 | static_cast<std::uint32_t>(b[43]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto index = kestrove::TUrlCacheIndex::Parse(std::vector<std::uint8_t>(data, data + size));
  if (!index) return 0;
  for (const auto& folder : index->Folders())
    if (folder.empty() || folder.size() > 8 || folder.find_first_of("/\\") != std::string::npos) std::abort();
  auto entries = index->Entries();
  for (const auto& entry : entries) {
    const std::size_t before = index->Entries().size();
    const std::uint32_t inUse = BlocksInUse(index->Bytes());
    // An earlier deletion may have cleared a record two slots shared.
    if (!index->Delete(entry.Url)) continue;
    if (index->Entries().size() >= before) std::abort();
    if (BlocksInUse(index->Bytes()) > inUse) std::abort();
    if (index->Bytes().size() != size) std::abort();
  }
  if (!kestrove::TUrlCacheIndex::Parse(index->Bytes())) std::abort();

  const int fd = ::memfd_create("index.dat", 0);
  if (fd < 0) return 0;
  if (::write(fd, data, size) == static_cast<ssize_t>(size) && kestrove::MarkWipedIndexEmpty(fd)) {
    std::vector<std::uint8_t> marked(size);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) != size) std::abort();
    if (::pread(fd, marked.data(), size, 0) != static_cast<ssize_t>(size)) std::abort();
    auto emptied = kestrove::TUrlCacheIndex::Parse(marked);
    if (!emptied || !emptied->Entries().empty()) std::abort();
  }
  ::close(fd);
  return 0;
}
