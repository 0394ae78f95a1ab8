// Builds index.dat files for tests and benchmarks: the layout Internet Explorer and Wine
// write (header, allocation bitmap, data from 0x4000 in 128-byte blocks, hash tables and
// records), with every field a test may want to damage reachable through Put32.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace kestrove::testing {

class TIndexDatBuilder {
 public:
  static constexpr std::uint32_t kDataStart = 0x4000;
  static constexpr std::uint32_t kBitmapAt = 0x250;
  static constexpr std::uint32_t kBitmapEnd = 0x1000;

  TIndexDatBuilder() : data_(kDataStart, '\0') {
    std::memcpy(data_.data(), "Client UrlCache MMF Ver 5.2", 28);
    // Four cache folders, as a new cache has (readers such as libmsiecf look them up).
    Put32(0x48, 4);
    const char* names[] = {"AAAAAAAA", "BBBBBBBB", "CCCCCCCC", "DDDDDDDD"};
    for (int i = 0; i < 4; ++i) std::memcpy(data_.data() + 0x4C + 12 * i + 4, names[i], 8);
  }

  // Appends a hash table of `blocks` blocks, every slot free, and links it at the end of the
  // chain. Returns its offset.
  std::uint32_t Table(std::uint32_t blocks) {
    const std::uint32_t at = Append(std::string(std::size_t(blocks) * 128, '\0'));
    std::memcpy(data_.data() + at, "HASH", 4);
    Put32(at + 4, blocks);
    for (std::uint32_t e = at + 16; e + 8 <= at + blocks * 128; e += 8) {
      Put32(e, 3);
      Put32(e + 4, 3);
    }
    Put32(lastTable_ == 0 ? 32 : lastTable_ + 8, at);
    lastTable_ = at;
    return at;
  }

  // A "URL " or "LEAK" record: time at 16, the URL at the offset held in byte 52 (0: none).
  std::uint32_t Url(const std::string& url, std::uint64_t fileTime, const char* tag = "URL ",
                    std::uint8_t urlAt = 104) {
    std::string r(std::max<std::size_t>(urlAt + url.size() + 1, 128), '\0');
    std::memcpy(r.data(), tag, 4);
    Set64(r, 16, fileTime);
    r[52] = char(urlAt);
    if (urlAt != 0) std::memcpy(r.data() + urlAt, url.data(), url.size());
    return Append(r);
  }

  // A "REDR" record: time at 8, the URL at 16.
  std::uint32_t Redirect(const std::string& url, std::uint64_t fileTime) {
    std::string r(std::max<std::size_t>(16 + url.size() + 1, 128), '\0');
    std::memcpy(r.data(), "REDR", 4);
    Set64(r, 8, fileTime);
    std::memcpy(r.data() + 16, url.data(), url.size());
    return Append(r);
  }

  // Slot `index` of `table` points at `record` with the hash value `hash`.
  void Entry(std::uint32_t table, std::uint32_t index, std::uint32_t record, std::uint32_t hash = 0x1234560) {
    Put32(table + 16 + index * 8, hash);
    Put32(table + 16 + index * 8 + 4, record);
  }

  void Put32(std::uint32_t at, std::uint32_t v) {
    if (data_.size() < at + 4) data_.resize(at + 4, '\0');
    for (int i = 0; i < 4; ++i) data_[at + i] = char(v >> (8 * i));
  }

  // The file; its recorded size is the real size unless `recordedSize` is given.
  std::string Build(std::optional<std::uint32_t> recordedSize = {}) {
    Put32(28, recordedSize.value_or(std::uint32_t(data_.size())));
    // The block count no larger than the allocation bitmap can describe.
    const std::uint32_t blocks =
        std::uint32_t(std::min<std::size_t>((data_.size() - kDataStart) / 128, (kBitmapEnd - kBitmapAt) * 8));
    Put32(36, blocks);
    Put32(40, blocks);
    return data_;
  }

  std::string& Data() { return data_; }

 private:
  static void Set64(std::string& s, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) s[at + i] = char(v >> (8 * i));
  }

  // Appends whole blocks and marks them used in the allocation bitmap.
  std::uint32_t Append(std::string bytes) {
    bytes.resize((bytes.size() + 127) / 128 * 128, '\0');
    const std::uint32_t blocks = std::uint32_t(bytes.size() / 128);
    if (bytes.compare(0, 4, "HASH") != 0)  // a record's length in blocks; a table's is set by Table
      for (int i = 0; i < 4; ++i) bytes[4 + i] = char(blocks >> (8 * i));
    const std::uint32_t at = std::uint32_t(data_.size());
    data_ += bytes;
    for (std::uint32_t b = (at - kDataStart) / 128; b < (data_.size() - kDataStart) / 128; ++b)
      if (kBitmapAt + b / 8 < kBitmapEnd) data_[kBitmapAt + b / 8] |= char(1 << (b % 8));
    return at;
  }

  std::string data_;
  std::uint32_t lastTable_ = 0;
};

}  // namespace kestrove::testing
