#include "regscan/ShellLink.h"

#include <cstring>
#include <system_error>
#include <vector>

#include "platform/Env.h"
#include "platform/RegistryTypes.h"
#include "platform/TargetSystem.h"

namespace kestrove {

namespace {

constexpr std::uint32_t kHeaderSize = 0x4C;
// {00021401-0000-0000-C000-000000000046} as stored.
constexpr std::uint8_t kLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// My Computer, {20D04FE0-3AEA-1069-A2D8-08002B30309D}, as stored in a root folder item.
constexpr std::uint8_t kMyComputerClsid[16] = {0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                               0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};
constexpr std::uint32_t kEnvironmentBlockSignature = 0xA0000001;
constexpr std::uint32_t kEnvironmentBlockSize = 0x314;
constexpr std::uint32_t kFileEntryExtensionSignature = 0xBEEF0004;

// A bounded view of the file's bytes; every read says whether it fitted.
class ByteView {
 public:
  ByteView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t size() const { return size_; }
  const std::uint8_t* at(std::size_t off) const { return data_ + off; }
  bool Has(std::size_t off, std::size_t len) const { return off <= size_ && len <= size_ - off; }
  std::optional<std::uint16_t> U16(std::size_t off) const {
    if (!Has(off, 2)) return std::nullopt;
    return static_cast<std::uint16_t>(data_[off] | (data_[off + 1] << 8));
  }
  std::optional<std::uint32_t> U32(std::size_t off) const {
    if (!Has(off, 4)) return std::nullopt;
    return static_cast<std::uint32_t>(data_[off]) | (static_cast<std::uint32_t>(data_[off + 1]) << 8) |
           (static_cast<std::uint32_t>(data_[off + 2]) << 16) | (static_cast<std::uint32_t>(data_[off + 3]) << 24);
  }
  // A view of `len` bytes from `off`; empty when they do not fit.
  ByteView Sub(std::size_t off, std::size_t len) const {
    if (!Has(off, len)) return ByteView(data_, 0);
    return ByteView(data_ + off, len);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// Windows-1252, the system code page the shortcut's narrow strings are written in here.
std::string AnsiToUtf8(const std::uint8_t* p, std::size_t n) {
  static const char16_t kHigh[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                     0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                     0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                     0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
  std::u16string u;
  u.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = p[i];
    u.push_back(b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : static_cast<char16_t>(b));
  }
  return U16ToUtf8(u);
}

// A zero-terminated narrow string at `off` of `b`; nullopt when no terminator is inside.
// `end`, when given, receives the offset after the terminator.
std::optional<std::string> AnsiZ(const ByteView& b, std::size_t off, std::size_t* end = nullptr) {
  if (off >= b.size()) return std::nullopt;
  const auto* start = b.at(off);
  const void* nul = std::memchr(start, 0, b.size() - off);
  if (!nul) return std::nullopt;
  const auto len = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - start);
  if (end) *end = off + len + 1;
  return AnsiToUtf8(start, len);
}

// A zero-terminated UTF-16 string at `off` of `b`; nullopt when no terminator is inside.
std::optional<std::string> WideZ(const ByteView& b, std::size_t off, std::size_t* end = nullptr) {
  for (std::size_t i = off; b.Has(i, 2); i += 2) {
    if (*b.at(i) == 0 && *b.at(i + 1) == 0) {
      if (end) *end = i + 2;
      return Utf16LeToUtf8(b.at(off), i - off);
    }
  }
  return std::nullopt;
}

std::string JoinPath(const std::string& base, const std::string& suffix) {
  if (suffix.empty()) return base;
  if (base.empty()) return suffix;
  if (base.back() == '\\' || suffix.front() == '\\') return base + suffix;
  return base + "\\" + suffix;
}

// A name that may stand as one component of a path.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('\\') == std::string::npos &&
         name.find('/') == std::string::npos && name.find(':') == std::string::npos;
}

// The name of a file entry shell item: the long name of its extension block when there is
// a readable one, else the primary (often 8.3) name.
std::string FileEntryName(const ByteView& item) {
  const auto type = item.size() > 2 ? *item.at(2) : 0;
  const bool unicode = (type & 0x04) != 0;
  constexpr std::size_t kNameOffset = 14;
  std::optional<std::string> primary;
  std::size_t end = 0;
  primary = unicode ? WideZ(item, kNameOffset, &end) : AnsiZ(item, kNameOffset, &end);
  if (!primary) return {};

  // The extension block follows the primary name on a two-byte boundary.
  for (std::size_t ext : {end + (end & 1u), end}) {
    auto blockSize = item.U16(ext);
    auto version = item.U16(ext + 2);
    auto signature = item.U32(ext + 4);
    if (!blockSize || !version || !signature || *signature != kFileEntryExtensionSignature) continue;
    const ByteView block = item.Sub(ext, *blockSize);
    if (block.size() < 8) continue;
    std::size_t nameOff = 0;
    if (*version >= 9) nameOff = 46;
    else if (*version == 8) nameOff = 42;
    else if (*version == 7) nameOff = 38;
    else if (*version >= 3) nameOff = 20;
    if (nameOff == 0) break;
    if (auto longName = WideZ(block, nameOff); longName && IsPlainName(*longName)) return *longName;
    break;
  }
  return IsPlainName(*primary) ? *primary : std::string();
}

// The file system path an ID list spells: [My Computer] drive {folder} [file].
std::string IdListToPath(const ByteView& list) {
  std::vector<ByteView> items;
  std::size_t off = 0;
  while (auto size = list.U16(off)) {
    if (*size == 0) break;
    if (*size < 3 || !list.Has(off, *size)) return {};
    items.push_back(list.Sub(off, *size));
    off += *size;
  }
  std::size_t i = 0;
  if (i < items.size() && *items[i].at(2) == 0x1F) {
    if (!items[i].Has(4, 16) || std::memcmp(items[i].at(4), kMyComputerClsid, 16) != 0) return {};
    ++i;
  }
  if (i >= items.size() || (*items[i].at(2) & 0x70) != 0x20) return {};
  auto drive = AnsiZ(items[i], 3);
  if (!drive || drive->size() < 2 || (*drive)[1] != ':' ||
      !((((*drive)[0] | 0x20) >= 'a') && (((*drive)[0] | 0x20) <= 'z')))
    return {};
  std::string path = drive->substr(0, 2) + "\\";
  for (++i; i < items.size(); ++i) {
    if ((*items[i].at(2) & 0x70) != 0x30) return {};
    const std::string name = FileEntryName(items[i]);
    if (name.empty()) return {};
    path = JoinPath(path, name);
  }
  return path;
}

// LinkInfo: the local base path, the network share, and the suffix they share.
void ReadLinkInfo(const ByteView& info, TShellLinkInfo& link) {
  auto headerSize = info.U32(4);
  auto flags = info.U32(8);
  auto localOff = info.U32(16);
  auto netOff = info.U32(20);
  auto suffixOff = info.U32(24);
  if (!headerSize || !flags || !localOff || !netOff || !suffixOff) return;
  std::optional<std::uint32_t> localUniOff, suffixUniOff;
  if (*headerSize >= 0x24) {
    localUniOff = info.U32(28);
    suffixUniOff = info.U32(32);
  }
  std::optional<std::string> suffix;
  if (suffixUniOff && *suffixUniOff) suffix = WideZ(info, *suffixUniOff);
  if (!suffix && *suffixOff) suffix = AnsiZ(info, *suffixOff);
  if (suffix) link.CommonPathSuffix = *suffix;

  if (*flags & 0x1) {
    std::optional<std::string> base;
    if (localUniOff && *localUniOff) base = WideZ(info, *localUniOff);
    if (!base) base = AnsiZ(info, *localOff);
    if (base) {
      link.HasLocalPath = true;
      link.LocalBasePath = *base;
    }
  }
  if (*flags & 0x2) {
    auto netSize = info.U32(*netOff);
    if (!netSize || *netSize < 0x14) return;
    const ByteView net = info.Sub(*netOff, *netSize);
    auto netNameOff = net.U32(8);
    auto deviceOff = net.U32(12);
    auto netFlags = net.U32(4);
    if (!netNameOff || !deviceOff || !netFlags) return;
    std::optional<std::string> name, device;
    if (*netNameOff > 0x14) {
      if (auto uni = net.U32(20); uni && *uni) name = WideZ(net, *uni);
      if (auto uni = net.U32(24); uni && *uni && (*netFlags & 0x1)) device = WideZ(net, *uni);
    }
    if (!name) name = AnsiZ(net, *netNameOff);
    if (!device && (*netFlags & 0x1) && *deviceOff) device = AnsiZ(net, *deviceOff);
    if (name) {
      link.HasNetworkPath = true;
      link.NetName = *name;
    }
    if (device) link.DeviceName = *device;
  }
}

}  // namespace

std::optional<TShellLinkInfo> ParseShellLink(const std::uint8_t* data, std::size_t size) {
  const ByteView file(data, size);
  if (file.U32(0) != kHeaderSize || !file.Has(0, kHeaderSize) || std::memcmp(file.at(4), kLinkClsid, 16) != 0)
    return std::nullopt;
  TShellLinkInfo link;
  link.LinkFlags = *file.U32(20);
  link.FileAttributes = *file.U32(24);
  std::size_t off = kHeaderSize;

  if (link.LinkFlags & kSlHasLinkTargetIDList) {
    auto listSize = file.U16(off);
    if (!listSize || !file.Has(off + 2, *listSize)) {
      link.Truncated = true;
      return link;
    }
    link.IdListPath = IdListToPath(file.Sub(off + 2, *listSize));
    off += 2 + *listSize;
  }

  if (link.LinkFlags & kSlHasLinkInfo) {
    auto infoSize = file.U32(off);
    if (!infoSize || *infoSize < 4 || !file.Has(off, *infoSize)) {
      link.Truncated = true;
      return link;
    }
    if (*infoSize >= 0x1C) ReadLinkInfo(file.Sub(off, *infoSize), link);
    off += *infoSize;
  }

  const bool unicode = (link.LinkFlags & kSlIsUnicode) != 0;
  const std::pair<std::uint32_t, std::string*> strings[] = {
      {kSlHasName, &link.Name},
      {kSlHasRelativePath, &link.RelativePath},
      {kSlHasWorkingDir, &link.WorkingDir},
      {kSlHasArguments, &link.Arguments},
      {kSlHasIconLocation, &link.IconLocation},
  };
  for (const auto& [flag, text] : strings) {
    if (!(link.LinkFlags & flag)) continue;
    auto count = file.U16(off);
    const std::size_t bytes = count ? static_cast<std::size_t>(*count) * (unicode ? 2 : 1) : 0;
    if (!count || !file.Has(off + 2, bytes)) {
      link.Truncated = true;
      return link;
    }
    *text = unicode ? Utf16LeToUtf8(file.at(off + 2), bytes) : AnsiToUtf8(file.at(off + 2), bytes);
    off += 2 + bytes;
  }

  // Extra data blocks, up to the terminal block (size below 4).
  while (true) {
    auto blockSize = file.U32(off);
    if (!blockSize) {
      link.Truncated = true;
      break;
    }
    if (*blockSize < 4) break;
    if (!file.Has(off, *blockSize) || *blockSize < 8) {
      link.Truncated = true;
      break;
    }
    const ByteView block = file.Sub(off, *blockSize);
    if (*block.U32(4) == kEnvironmentBlockSignature && *blockSize >= kEnvironmentBlockSize) {
      std::optional<std::string> target = WideZ(block.Sub(268, 520), 0);
      if (!target || target->empty()) target = AnsiZ(block.Sub(8, 260), 0);
      if (target) link.EnvironmentTarget = *target;
    }
    off += *blockSize;
  }
  return link;
}

std::string ShellLinkTargetPath(const TShellLinkInfo& link,
                                const std::function<std::string(std::string_view)>& expand) {
  if ((link.LinkFlags & kSlHasExpString) && !link.EnvironmentTarget.empty()) {
    std::string expanded = expand ? expand(link.EnvironmentTarget) : link.EnvironmentTarget;
    if (!expanded.empty()) return expanded;
  }
  if (!(link.LinkFlags & kSlForceNoLinkInfo)) {
    if (link.HasNetworkPath && !link.NetName.empty()) return JoinPath(link.NetName, link.CommonPathSuffix);
    if (link.HasLocalPath && !link.LocalBasePath.empty()) return JoinPath(link.LocalBasePath, link.CommonPathSuffix);
  }
  return link.IdListPath;
}

std::string ResolveShortcutTarget(const std::filesystem::path& hostFile, const EnvironmentBlock& environment) {
  std::string error;
  const auto data = ReadInputFile(hostFile, kMaxShortcutFileBytes, error);
  if (!data) return {};
  auto link = ParseShellLink(reinterpret_cast<const std::uint8_t*>(data->data()), data->size());
  if (!link) return {};
  return ShellLinkTargetPath(*link, [&](std::string_view text) { return ExpandEnvironmentStrings(text, environment); });
}

}  // namespace kestrove
