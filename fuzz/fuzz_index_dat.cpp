// index.dat files: any bytes are listed and wiped without fault or hang, what is listed holds
// together, and the wipe never grows a file nor touches its header's size and first table.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "tools/IndexDat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  std::uint64_t walked = 0;
  const auto records = kestrove::ParseIndexDat(file, [&](std::uint64_t n, std::uint64_t) {
    if (n != ++walked) std::abort();
    return true;
  });
  // Every entry walked lies in the file, and no table is walked twice.
  if (walked > size / 8) std::abort();
  for (const auto& r : records) {
    if (r.Url.empty() || r.Url.find('\0') != std::string::npos || r.Offset >= size) std::abort();
    if (kestrove::IndexDatTimeText(r.FileTime).empty()) std::abort();
  }

  const int fd = ::memfd_create("index.dat", 0);
  if (fd < 0) return 0;
  if (::write(fd, data, size) == ssize_t(size)) {
    kestrove::WipeIndexDatRecordsFd(fd, 2);
    std::string after(size + 1, '\0');
    if (::pread(fd, after.data(), after.size(), 0) != ssize_t(size)) std::abort();
    if (std::memcmp(after.data(), data, std::min<std::size_t>(size, 36)) != 0) std::abort();
  }
  ::close(fd);
  return 0;
}
