#include "regscan/RegFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/TRegistry.h"
#include "platform/Text.h"

namespace kestrove {

namespace {

constexpr std::string_view kRegedit4 = "REGEDIT4";
constexpr std::string_view kRegedit5 = "Windows Registry Editor Version 5.00";

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves undefined stand for the
// control character of the same number, as Windows converts them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t FromCp1252(std::uint8_t b) { return (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : char16_t(b); }

// A "REGEDIT4" file is read in the code page of the system that imports it (Wine's regedit
// takes the one of its locale: Windows-1251 under ru_RU gives "cafй Ђ" for Windows-1252's
// "café €"). Only 7-bit ASCII reads the same in every one of them.
bool IsAscii(char16_t u) { return u < 0x80; }

std::u16string Units(const Bytes& data) {
  std::u16string u(data.size() / 2, u'\0');
  for (std::size_t i = 0; i < u.size(); ++i) u[i] = char16_t(data[2 * i] | (data[2 * i + 1] << 8));
  return u;
}

bool TextFits(std::string_view utf8) {
  for (char16_t u : Utf8ToU16(utf8))
    if (!IsAscii(u)) return false;
  return true;
}

// Lines end at CR LF: a "REGEDIT4" line holds no line break; the Unicode form escapes one in a
// value name, and a key name with one cannot be written at all.
bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Text data that the quoted form gives back exactly: one terminating zero and nothing before
// it that the line cannot carry (zeros, control characters, unpaired surrogates).
std::optional<std::u16string> QuotableText(const Bytes& data) {
  if (data.size() < 2 || data.size() % 2 || data[data.size() - 1] || data[data.size() - 2]) return std::nullopt;
  std::u16string u = Units(data);
  u.pop_back();
  for (std::size_t i = 0; i < u.size(); ++i) {
    const char16_t c = u[i];
    if (c < 0x20) return std::nullopt;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= u.size() || u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF) return std::nullopt;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return std::nullopt;
    }
  }
  return u;
}

bool IsTextType(std::uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// In a "REGEDIT4" file, hex(1), hex(2) and hex(7) hold code-page bytes that the importer widens
// (and zero-terminates); the data fits when that gives back every unit whatever the code page.
bool TextHexFits4(const Bytes& data) {
  if (data.size() < 2 || data.size() % 2 || data[data.size() - 1] || data[data.size() - 2]) return false;
  for (char16_t u : Units(data))
    if (!IsAscii(u)) return false;
  return true;
}

bool ValueFits4(const TRegFileEntry& e) {
  if (!TextFits(e.name) || HasLineBreak(e.name)) return false;
  if (e.kind != TRegFileEntry::kValue || !IsTextType(e.type)) return true;
  if (e.type == REG_SZ)
    if (auto text = QuotableText(e.data)) {
      for (char16_t u : *text)
        if (!IsAscii(u)) return false;
      return true;
    }
  return TextHexFits4(e.data);
}

// ---- Rendering ----------------------------------------------------------------------------

class Renderer {
 public:
  explicit Renderer(bool unicode) : unicode_(unicode) {}

  void Entry(const TRegFileEntry& e) {
    switch (e.kind) {
      case TRegFileEntry::kKey:
      case TRegFileEntry::kDeleteKey:
        // A key line takes no escapes: such a key cannot be saved, and a broken line would
        // make the whole file unreadable.
        if (HasLineBreak(e.path))
          throw ERegFileError("The key " + RootKeyName(e.root) + "\\" + e.path +
                              " has a line break in its name, which a registry file cannot hold");
        out_ += "\r\n[";
        if (e.kind == TRegFileEntry::kDeleteKey) out_ += '-';
        Text(Utf8ToU16(RootKeyName(e.root)));
        if (!e.path.empty()) {
          out_ += '\\';
          Text(Utf8ToU16(e.path));
        }
        out_ += "]\r\n";
        break;
      case TRegFileEntry::kDeleteValue:
        Name(e.name);
        out_ += "=-\r\n";
        break;
      case TRegFileEntry::kValue:
        Name(e.name);
        out_ += '=';
        Data(e);
        out_ += "\r\n";
        break;
    }
  }

  std::string Take() { return std::move(out_); }

 private:
  // One character as the file's encoding has it: an ASCII byte, or UTF-8.
  void Text(std::u16string_view units) {
    if (unicode_) {
      out_ += U16ToUtf8(units);
      return;
    }
    for (char16_t u : units) out_ += char(u);
  }

  // Backslashes and quotes escaped; a line break or a zero (only a value name can hold one:
  // text data with one is written as hex) as \r, \n or \0, since a raw one ends the line, or
  // the text for readers that take lines as C strings (Wine's regedit then loses what follows).
  void Quoted(std::u16string_view units) {
    out_ += '"';
    std::u16string escaped;
    escaped.reserve(units.size());
    for (char16_t u : units) {
      if (u == u'\\' || u == u'"' || u == u'\r' || u == u'\n' || u == u'\0') escaped += u'\\';
      escaped += u == u'\r' ? u'r' : u == u'\n' ? u'n' : u == u'\0' ? u'0' : u;
    }
    Text(escaped);
    out_ += '"';
  }

  void Name(const std::string& name) {
    if (name.empty())
      out_ += '@';
    else
      Quoted(Utf8ToU16(name));
  }

  void Data(const TRegFileEntry& e) {
    if (e.type == REG_SZ)
      if (auto text = QuotableText(e.data)) return Quoted(*text);
    if (e.type == REG_DWORD && e.data.size() == 4) {
      static const char kDigits[] = "0123456789ABCDEF";
      const std::uint32_t v = e.data[0] | (e.data[1] << 8) | (e.data[2] << 16) | (std::uint32_t(e.data[3]) << 24);
      out_ += "dword:";
      for (int shift = 28; shift >= 0; shift -= 4) out_ += kDigits[(v >> shift) & 0xF];
      return;
    }
    std::string prefix = "hex:";
    if (e.type != REG_BINARY) {
      char buf[24];
      std::snprintf(buf, sizeof buf, "hex(%x):", e.type);
      prefix = buf;
    }
    if (!unicode_ && IsTextType(e.type)) {
      // One byte per unit, all of them ASCII (TextHexFits4 holds).
      Bytes narrow;
      for (char16_t u : Units(e.data)) narrow.push_back(std::uint8_t(u));
      return Hex(prefix, narrow);
    }
    Hex(prefix, e.data);
  }

  // Bytes as two capital digits each, comma separated; after the comma that follows byte i,
  // for i a positive multiple of 25, the line goes on on the next one (26 bytes, then 25).
  void Hex(const std::string& prefix, const Bytes& data) {
    static const char kDigits[] = "0123456789ABCDEF";
    out_ += prefix;
    for (std::size_t i = 0; i < data.size(); ++i) {
      out_ += kDigits[data[i] >> 4];
      out_ += kDigits[data[i] & 0xF];
      if (i + 1 < data.size()) {
        out_ += ',';
        if (i > 0 && i % 25 == 0) out_ += "\\\r\n";
      }
    }
  }

  bool unicode_;
  std::string out_;
};

// ---- File access --------------------------------------------------------------------------

std::string ErrnoText() { return std::strerror(errno); }

std::optional<std::string> ReadWhole(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw ERegFileError("Cannot open " + path.string() + ": " + ErrnoText());
  }
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::string why = ErrnoText();
      ::close(fd);
      throw ERegFileError("Cannot read " + path.string() + ": " + why);
    }
    if (n == 0) break;
    data.append(buf, std::size_t(n));
  }
  ::close(fd);
  return data;
}

// Writes all of `data`; on failure (a full disk, a file size limit) says why.
std::optional<std::string> WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? ErrnoText() : "nothing written";
    data.remove_prefix(std::size_t(n));
  }
  return std::nullopt;
}

// A section that could not be written whole is taken back out: a backup with a cut-off section
// at its end could not be imported at all, the sections before it included.
void AppendToFile(const std::filesystem::path& path, std::string_view data, bool create) {
  const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) throw ERegFileError("Cannot " + std::string(create ? "create " : "open ") + path.string() + ": " + ErrnoText());
  struct stat before {};
  std::optional<std::string> why;
  if (::fstat(fd, &before) != 0) why = ErrnoText();
  if (!why) why = WriteAll(fd, data);
  if (why && !create && ::ftruncate(fd, before.st_size) != 0) {
    // The disk refuses even that: the message below is all that can be done.
  }
  if (::close(fd) != 0 && !why) why = ErrnoText();
  if (!why) return;
  if (create) ::unlink(path.c_str());
  throw ERegFileError("Cannot write " + path.string() + ": " + *why);
}

// Replaces the file through a temporary one beside it, so a failure leaves the old file. The
// temporary file goes whatever fails: half-written, it is no backup.
void ReplaceFile(const std::filesystem::path& path, std::string_view data) {
  const std::filesystem::path temp = path.string() + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw ERegFileError("Cannot create " + temp.string() + ": " + ErrnoText());
  std::optional<std::string> why = WriteAll(fd, data);
  if (!why && ::fsync(fd) != 0) why = ErrnoText();
  if (::close(fd) != 0 && !why) why = ErrnoText();
  if (!why && ::rename(temp.c_str(), path.c_str()) != 0) why = ErrnoText();
  if (!why) return;
  ::unlink(temp.c_str());
  throw ERegFileError("Cannot write " + path.string() + ": " + *why);
}

// UTF-16LE bytes, led by the byte-order mark for a whole file (bom) and without it for text
// appended to one.
std::string Utf16File(std::string_view utf8, bool bom = true) {
  Bytes units = Utf8ToUtf16Le(utf8, false);
  std::string out = bom ? "\xFF\xFE" : "";
  out.append(reinterpret_cast<const char*>(units.data()), units.size());
  return out;
}

// ---- Parsing ------------------------------------------------------------------------------

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == u'\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == u'\r')) s.remove_suffix(1);
  return s;
}

bool StartsNoCase(std::u16string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (s[i] > 0x7F || AsciiLower(char(s[i])) != AsciiLower(prefix[i])) return false;
  return true;
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

class Parser {
 public:
  Parser(std::u16string_view text, bool unicode, std::vector<TRegFileProblem>& problems, std::size_t maxProblems)
      : text_(text), problems_(problems), maxProblems_(maxProblems) {
    result_.unicode = unicode;
  }

  std::optional<TRegFileContents> Run() {
    std::size_t lineNo = 1;
    NextLine(lineNo);  // the header line, checked by the caller
    while (pos_ < text_.size() && problems_.size() < maxProblems_) {
      ++lineNo;
      const std::size_t first = lineNo;
      std::u16string_view line = Trim(NextLine(lineNo));
      if (line.empty() || line[0] == u';' || line[0] == u'#') continue;
      if (line[0] == u'[') {
        Key(line, first);
        continue;
      }
      // Hexadecimal data may go on over lines that end in a backslash.
      std::u16string joined;
      if (line.back() == u'\\' && line.find(u'=') != std::u16string_view::npos) {
        joined.assign(line.substr(0, line.size() - 1));
        bool finished = false;
        while (pos_ < text_.size()) {
          ++lineNo;
          std::u16string_view more = Trim(NextLine(lineNo));
          if (!more.empty() && more.back() == u'\\') {
            joined.append(more.substr(0, more.size() - 1));
            continue;
          }
          joined.append(more);
          finished = true;
          break;
        }
        // A cut-off file would otherwise give a value only its first bytes.
        if (!finished) {
          Bad(first, "the file ends inside this value");
          continue;
        }
        line = joined;
      }
      Value(line, first);
    }
    if (!problems_.empty()) return std::nullopt;
    return std::move(result_);
  }

 private:
  std::u16string_view NextLine(std::size_t&) {
    const std::size_t end = text_.find(u'\n', pos_);
    std::u16string_view line = text_.substr(pos_, end == std::u16string_view::npos ? std::u16string_view::npos : end - pos_);
    pos_ = end == std::u16string_view::npos ? text_.size() : end + 1;
    return line;
  }

  void Bad(std::size_t line, std::string text) { problems_.push_back({line, std::move(text)}); }

  void Key(std::u16string_view line, std::size_t lineNo) {
    if (line.back() != u']') return Bad(lineNo, "a key line must end with ]");
    std::u16string_view name = line.substr(1, line.size() - 2);
    TRegFileEntry e;
    e.kind = TRegFileEntry::kKey;
    if (!name.empty() && name[0] == u'-') {
      e.kind = TRegFileEntry::kDeleteKey;
      name.remove_prefix(1);
    }
    const std::size_t slash = name.find(u'\\');
    const std::string rootName = U16ToUtf8(name.substr(0, slash));
    auto root = RootKeyFromName(rootName);
    if (!root) return Bad(lineNo, "unknown root key '" + rootName + "'");
    e.root = *root;
    std::string path;
    const std::string below = slash == std::u16string_view::npos ? std::string() : U16ToUtf8(name.substr(slash + 1));
    for (std::string_view part : SplitKeyPath(below)) {
        if (!path.empty()) path += '\\';
        path += part;
      }
    e.path = std::move(path);
    e.line = lineNo;
    inKey_ = e.kind == TRegFileEntry::kKey;
    result_.entries.push_back(std::move(e));
  }

  // Reads a quoted text at the start of `s` (after its opening quote); returns the text and
  // leaves `s` after the closing quote.
  std::optional<std::u16string> QuotedText(std::u16string_view& s) {
    std::u16string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
      const char16_t c = s[i];
      if (c == u'"') {
        s.remove_prefix(i + 1);
        return out;
      }
      if (c == u'\\') {
        if (++i >= s.size()) return std::nullopt;
        switch (s[i]) {
          case u'\\': out += u'\\'; break;
          case u'"': out += u'"'; break;
          case u'n': out += u'\n'; break;
          case u'r': out += u'\r'; break;
          case u'0': out += u'\0'; break;
          default: return std::nullopt;
        }
        continue;
      }
      out += c;
    }
    return std::nullopt;
  }

  void Value(std::u16string_view line, std::size_t lineNo) {
    TRegFileEntry e;
    e.line = lineNo;
    std::u16string_view rest = line;
    if (rest[0] == u'@') {
      rest.remove_prefix(1);
    } else if (rest[0] == u'"') {
      rest.remove_prefix(1);
      auto name = QuotedText(rest);
      if (!name) return Bad(lineNo, "the value name has no closing quote or a bad escape");
      if (name->empty()) return Bad(lineNo, "an empty value name (the default value is written @)");
      e.name = U16ToUtf8(*name);
    } else {
      return Bad(lineNo, "not a key, a value, a comment or a blank line");
    }
    rest = Trim(rest);
    if (rest.empty() || rest[0] != u'=') return Bad(lineNo, "= expected after the value name");
    rest = Trim(rest.substr(1));
    if (!inKey_) {
      // Values of a deleted key are ignored, as regedit ignores them; before any key they are an error.
      if (result_.entries.empty()) return Bad(lineNo, "a value before the first key");
      return;
    }
    if (rest == u"-") {
      e.kind = TRegFileEntry::kDeleteValue;
      result_.entries.push_back(std::move(e));
      return;
    }
    e.kind = TRegFileEntry::kValue;
    if (!rest.empty() && rest[0] == u'"') {
      rest.remove_prefix(1);
      auto text = QuotedText(rest);
      if (!text || !Trim(rest).empty()) return Bad(lineNo, "a text must be one quoted string with \\\\, \\\" or \\n escapes");
      e.type = REG_SZ;
      e.data.reserve(text->size() * 2 + 2);
      for (char16_t u : *text) {
        e.data.push_back(std::uint8_t(u & 0xFF));
        e.data.push_back(std::uint8_t(u >> 8));
      }
      e.data.push_back(0);
      e.data.push_back(0);
    } else if (StartsNoCase(rest, "dword:")) {
      rest.remove_prefix(6);
      if (rest.empty() || rest.size() > 8) return Bad(lineNo, "dword: takes 1 to 8 hexadecimal digits");
      std::uint32_t v = 0;
      for (char16_t c : rest) {
        const int d = HexValue(c);
        if (d < 0) return Bad(lineNo, "dword: takes 1 to 8 hexadecimal digits");
        v = (v << 4) | std::uint32_t(d);
      }
      e.type = REG_DWORD;
      e.data = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
    } else if (StartsNoCase(rest, "hex:")) {
      e.type = REG_BINARY;
      if (!HexList(rest.substr(4), e.data)) return Bad(lineNo, "hex: takes hexadecimal bytes separated by commas");
    } else if (StartsNoCase(rest, "hex(")) {
      rest.remove_prefix(4);
      const std::size_t close = rest.find(u')');
      if (close == 0 || close == std::u16string_view::npos || close > 8 || close + 1 >= rest.size() ||
          rest[close + 1] != u':')
        return Bad(lineNo, "hex(N): takes a hexadecimal type number");
      std::uint32_t type = 0;
      for (char16_t c : rest.substr(0, close)) {
        const int d = HexValue(c);
        if (d < 0) return Bad(lineNo, "hex(N): takes a hexadecimal type number");
        type = (type << 4) | std::uint32_t(d);
      }
      e.type = type;
      if (!HexList(rest.substr(close + 2), e.data)) return Bad(lineNo, "hex(N): takes hexadecimal bytes separated by commas");
      // A "REGEDIT4" file holds text types as code-page bytes, widened here as regedit does.
      if (!result_.unicode && IsTextType(type)) {
        Bytes wide;
        wide.reserve(e.data.size() * 2 + 2);
        for (std::uint8_t b : e.data) {
          const char16_t u = FromCp1252(b);
          wide.push_back(std::uint8_t(u & 0xFF));
          wide.push_back(std::uint8_t(u >> 8));
        }
        if (e.data.empty() || e.data.back() != 0) {
          wide.push_back(0);
          wide.push_back(0);
        }
        e.data = std::move(wide);
      }
    } else {
      return Bad(lineNo, "unknown data (expected \"text\", dword:, hex: or hex(N):, or - to delete)");
    }
    result_.entries.push_back(std::move(e));
  }

  static bool HexList(std::u16string_view s, Bytes& out) {
    out.reserve(s.size() / 3 + 1);
    std::size_t i = 0;
    auto skipBlanks = [&] {
      while (i < s.size() && IsBlank(s[i])) ++i;
    };
    skipBlanks();
    if (i == s.size()) return true;
    for (;;) {
      skipBlanks();
      int v = -1, digits = 0;
      while (i < s.size() && digits < 3 && HexValue(s[i]) >= 0) {
        v = (v < 0 ? 0 : v * 16) + HexValue(s[i]);
        ++i;
        ++digits;
      }
      if (digits == 0 || digits > 2) return false;
      out.push_back(std::uint8_t(v));
      skipBlanks();
      if (i == s.size()) return true;
      if (s[i] != u',') return false;
      ++i;
      skipBlanks();
      if (i == s.size()) return true;  // a trailing comma, as wrapped lines leave one
    }
  }

  std::u16string_view text_;
  std::size_t pos_ = 0;
  std::vector<TRegFileProblem>& problems_;
  std::size_t maxProblems_;
  TRegFileContents result_;
  bool inKey_ = false;
};

}  // namespace

// ---- Writing ------------------------------------------------------------------------------

std::vector<TRegFileEntry> CollectRegSection(RegistryStore& store, TRootKey root, bool wholeKey,
                                             std::string_view valueName, std::string_view keyPath) {
  if (!keyPath.empty() && keyPath.back() == '\\') keyPath.remove_suffix(1);
  std::vector<TRegFileEntry> out;
  std::vector<std::string> stack{std::string(keyPath)};
  while (!stack.empty()) {
    const std::string path = std::move(stack.back());
    stack.pop_back();
    TRegFileEntry key;
    key.kind = TRegFileEntry::kKey;
    key.root = root;
    key.path = path;
    out.push_back(std::move(key));
    if (!wholeKey) {
      if (auto v = store.QueryValue(root, path, valueName)) {
        TRegFileEntry e;
        e.kind = TRegFileEntry::kValue;
        e.name = std::move(v->name);  // as stored: a row may spell it in other letter case
        e.type = v->type;
        e.data = std::move(v->data);
        out.push_back(std::move(e));
      }
      break;
    }
    if (auto values = store.Values(root, path))
      for (RegValue& v : *values) {
        TRegFileEntry e;
        e.kind = TRegFileEntry::kValue;
        e.name = std::move(v.name);
        e.type = v.type;
        e.data = std::move(v.data);
        out.push_back(std::move(e));
      }
    // Every level is saved, also below the 512 Windows allows: a Wine hive may hold more, and
    // a removal takes them all. A link is saved where it points, not here.
    auto subKeys = store.SubKeyNames(root, path);
    if (!subKeys) continue;
    for (auto it = subKeys->rbegin(); it != subKeys->rend(); ++it) {
      std::string child = path.empty() ? *it : path + "\\" + *it;
      if (store.IsLink(root, child)) continue;
      stack.push_back(std::move(child));
    }
  }
  return out;
}

bool FitsRegedit4(const std::vector<TRegFileEntry>& entries) {
  for (const TRegFileEntry& e : entries) {
    if (e.kind == TRegFileEntry::kKey || e.kind == TRegFileEntry::kDeleteKey) {
      if (!TextFits(e.path) || HasLineBreak(e.path)) return false;
    } else if (!ValueFits4(e)) {
      return false;
    }
  }
  return true;
}

std::string RenderRegEntries(const std::vector<TRegFileEntry>& entries, bool unicode) {
  Renderer r(unicode);
  for (const TRegFileEntry& e : entries) r.Entry(e);
  return r.Take();
}

std::string RenderRegFile(const std::vector<TRegFileEntry>& entries) {
  if (FitsRegedit4(entries)) return std::string(kRegedit4) + "\r\n" + RenderRegEntries(entries, false);
  return Utf16File(std::string(kRegedit5) + "\r\n" + RenderRegEntries(entries, true));
}

void WriteRegFile(const std::filesystem::path& fileName, const std::vector<TRegFileEntry>& entries) {
  ReplaceFile(fileName, RenderRegFile(entries));
}

void ExportToRegFile(const std::filesystem::path& fileName, RegistryStore& store, TRootKey root, bool wholeKey,
                     std::string_view valueName, std::string_view keyPath, std::string_view comment) {
  const std::vector<TRegFileEntry> section = CollectRegSection(store, root, wholeKey, valueName, keyPath);
  // The comment line goes right after the header, where regedit passes it over.
  const std::string commentLine = comment.empty() ? std::string() : ";" + std::string(comment) + "\r\n";
  std::error_code ec;
  if (!std::filesystem::exists(fileName, ec)) {
    if (FitsRegedit4(section))
      return AppendToFile(fileName, std::string(kRegedit4) + "\r\n" + commentLine + RenderRegEntries(section, false),
                          true);
    return AppendToFile(fileName, Utf16File(std::string(kRegedit5) + "\r\n" + commentLine + RenderRegEntries(section, true)),
                        true);
  }
  // Only the first bytes tell the form; the whole file is read only to turn it into Unicode.
  std::string head(2, '\0');
  {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ERegFileError("Cannot open " + fileName.string() + ": " + ErrnoText());
    const ssize_t n = ::read(fd, head.data(), head.size());
    ::close(fd);
    head.resize(n > 0 ? std::size_t(n) : 0);
  }
  if (head == "\xFF\xFE") return AppendToFile(fileName, Utf16File(RenderRegEntries(section, true), false), false);
  if (FitsRegedit4(section)) return AppendToFile(fileName, RenderRegEntries(section, false), false);
  // A character outside ASCII: what the file holds so far moves to the Unicode form (an older
  // "REGEDIT4" backup's Windows-1252 text with it).
  const std::optional<std::string> old = ReadWhole(fileName);
  std::vector<TRegFileProblem> problems;
  auto contents = ParseRegFile(old ? *old : std::string(), problems);
  if (!contents)
    throw ERegFileError("Cannot add to " + fileName.string() + ": it is not a registry file this program can read");
  contents->entries.insert(contents->entries.end(), section.begin(), section.end());
  ReplaceFile(fileName,
              Utf16File(std::string(kRegedit5) + "\r\n" + commentLine + RenderRegEntries(contents->entries, true)));
}

// ---- Reading ------------------------------------------------------------------------------

std::optional<TRegFileContents> ParseRegFile(std::string_view bytes, std::vector<TRegFileProblem>& problems,
                                             std::size_t maxProblems) {
  std::u16string text;
  bool unicode = false;
  if (bytes.size() >= 2 && std::uint8_t(bytes[0]) == 0xFF && std::uint8_t(bytes[1]) == 0xFE) {
    text.resize((bytes.size() - 2) / 2);
    for (std::size_t i = 0; i < text.size(); ++i)
      text[i] = char16_t(std::uint8_t(bytes[2 + 2 * i]) | (std::uint8_t(bytes[3 + 2 * i]) << 8));
    unicode = true;
  } else {
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    const std::size_t eol = bytes.find('\n');
    std::string_view first = bytes.substr(0, eol);
    while (!first.empty() && (first.back() == '\r' || first.back() == ' ')) first.remove_suffix(1);
    if (first == kRegedit5) {
      unicode = true;
      text = Utf8ToU16(bytes);
    } else {
      text.resize(bytes.size());
      for (std::size_t i = 0; i < bytes.size(); ++i) text[i] = FromCp1252(std::uint8_t(bytes[i]));
    }
  }
  const std::size_t eol = text.find(u'\n');
  const std::u16string_view first = Trim(std::u16string_view(text).substr(0, eol));
  if (first != (unicode ? u"Windows Registry Editor Version 5.00" : u"REGEDIT4")) {
    problems.push_back({1, "not a registry file: the first line must be \"REGEDIT4\" or \"" + std::string(kRegedit5) + "\""});
    return std::nullopt;
  }
  return Parser(text, unicode, problems, maxProblems).Run();
}

std::optional<TRegFileProblem> ApplyRegFile(RegistryStore& store, const TRegFileContents& contents) {
  const TRegFileEntry* key = nullptr;
  for (const TRegFileEntry& e : contents.entries) {
    switch (e.kind) {
      case TRegFileEntry::kKey:
        key = &e;
        if (!store.CreateKey(e.root, e.path))
          return TRegFileProblem{e.line, "cannot create the key " + RootKeyName(e.root) + "\\" + e.path};
        break;
      case TRegFileEntry::kDeleteKey:
        key = nullptr;
        if (!store.KeyExists(e.root, e.path)) break;
        if (!store.CanDeleteKey(e.root, e.path) || !store.DeleteKey(e.root, e.path))
          return TRegFileProblem{e.line, "cannot delete the key " + RootKeyName(e.root) + "\\" + e.path};
        break;
      case TRegFileEntry::kValue:
        if (key && !store.SetValue(key->root, key->path, e.name, e.type, e.data))
          return TRegFileProblem{e.line, "cannot set the value \"" + e.name + "\""};
        break;
      case TRegFileEntry::kDeleteValue:
        if (key) store.DeleteValue(key->root, key->path, e.name);  // a missing value is no error
        break;
    }
  }
  return std::nullopt;
}

}  // namespace kestrove
