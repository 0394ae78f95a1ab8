#include "regscan/BackupOrigin.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "platform/Env.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

std::string Encode(std::string_view text) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c > 0x20 && c < 0x7F && c != '%' && c != '=' && c != ';') {
      out += ch;
    } else {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> Decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

// The first bytes of a file; a backup's origin line comes right after its header.
std::string ReadHead(const fs::path& file, std::size_t max) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return {};
  std::string head(max, '\0');
  std::size_t got = 0;
  while (got < max) {
    const ssize_t n = ::read(fd, head.data() + got, max - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  head.resize(got);
  return head;
}

}  // namespace

std::string OriginLine(const TTargetIdentity& id) {
  return std::string(kOriginTag) + " kind=" + Encode(id.Kind) + " folder=" + Encode(id.Folder) +
         " user=" + Encode(id.UserSid) + " machine=" + Encode(id.MachineId);
}

std::optional<TTargetIdentity> ParseOriginLine(std::string_view line) {
  if (!line.empty() && line.front() == ';') line.remove_prefix(1);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.remove_suffix(1);
  if (!line.starts_with(kOriginTag)) return std::nullopt;
  line.remove_prefix(kOriginTag.size());
  TTargetIdentity id;
  bool kind = false, folder = false;
  while (!line.empty()) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const std::size_t end = line.find(' ');
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    auto value = Decode(field.substr(eq + 1));
    if (!value) return std::nullopt;
    const std::string_view name = field.substr(0, eq);
    if (name == "kind") {
      id.Kind = *value;
      kind = true;
    } else if (name == "folder") {
      id.Folder = *value;
      folder = true;
    } else if (name == "user") {
      id.UserSid = *value;
    } else if (name == "machine") {
      id.MachineId = *value;
    }  // fields of later versions are passed over
  }
  if (!kind || !folder || id.Kind.empty()) return std::nullopt;
  return id;
}

std::optional<TTargetIdentity> ReadBackupOrigin(const fs::path& regFile) {
  return ParseBackupOriginHead(ReadHead(regFile, kOriginHeadBytes));
}

std::optional<TTargetIdentity> ParseBackupOriginHead(std::string head) {
  // The Unicode form is UTF-16LE; the origin line is plain ASCII in both forms.
  if (head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0xFF && static_cast<unsigned char>(head[1]) == 0xFE) {
    std::string narrow;
    for (std::size_t i = 2; i + 1 < head.size(); i += 2) narrow += head[i + 1] == 0 ? head[i] : '?';
    head = std::move(narrow);
  }
  std::string_view text(head);
  bool first = true;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    if (eol == std::string_view::npos) break;  // a line cut by the read's end is not read
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol + 1);
    if (first) {
      first = false;
      continue;  // the header line
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (line.front() != ';') break;  // the first key: the origin comes before it or not at all
    if (auto id = ParseOriginLine(line)) return id;
  }
  return std::nullopt;
}

std::optional<TTargetIdentity> ReadRestorePointOrigin(const fs::path& pointFolder) {
  const std::string text = ReadHead(pointFolder / kRestorePointOriginFile, 8192);
  return ParseOriginLine(std::string_view(text).substr(0, text.find('\n')));
}

TOriginMatch MatchOrigin(const std::optional<TTargetIdentity>& origin, const TTargetIdentity& current) {
  if (!origin) return TOriginMatch::Unknown;
  if (origin->Kind != current.Kind) return TOriginMatch::OtherSystem;
  if (!origin->UserSid.empty() && !current.UserSid.empty() && origin->UserSid != current.UserSid)
    return TOriginMatch::OtherSystem;
  if (origin->Folder == current.Folder)
    return origin->MachineId == current.MachineId || origin->MachineId.empty() || current.MachineId.empty()
               ? TOriginMatch::ThisSystem
               : TOriginMatch::OtherSystem;
  // Elsewhere: the same machine moved, or a copy of it. A copy has gone its own way since,
  // and its original is still where the file says.
  std::error_code ec;
  if (origin->MachineId.empty() || origin->MachineId != current.MachineId || fs::exists(origin->Folder, ec))
    return TOriginMatch::OtherSystem;
  return TOriginMatch::ThisSystem;
}

std::string DescribeSystem(const TTargetIdentity& id) {
  std::string text = id.Kind + " " + id.Folder;
  if (!id.MachineId.empty()) text += " (machine " + id.MachineId.substr(0, 8) + ")";
  return text;
}

std::string OriginColumnText(const std::optional<TTargetIdentity>& origin, const TTargetIdentity& current) {
  switch (MatchOrigin(origin, current)) {
    case TOriginMatch::ThisSystem: return "this system";
    case TOriginMatch::Unknown: return "origin unknown";
    case TOriginMatch::OtherSystem: break;
  }
  return DescribeSystem(*origin);
}

std::string OtherSystemMessage(const std::string& what, const TTargetIdentity& origin, const TTargetIdentity& current) {
  return what + " was taken from " + DescribeSystem(origin) + ", not from this system, " + DescribeSystem(current) +
         ".";
}

}  // namespace kestrove
