#include "regscan/RegFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include "platform/Env.h"
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

  std::string Take() {
    std::string text = std::move(out_);
    out_.clear();
    return text;
  }
  std::size_t Size() const { return out_.size(); }

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

// Reads the lines of a file after its header line one at a time, handing each entry to `sink`
// as soon as it is read: only one line (or one value's continued lines) is held at once.
class Parser {
 public:
  using Sink = std::function<bool(TRegFileEntry&&)>;

  Parser(bool unicode, std::vector<TRegFileProblem>& problems, std::size_t maxProblems, Sink sink)
      : unicode_(unicode), problems_(problems), maxProblems_(maxProblems), sink_(std::move(sink)) {}

  // The next line, without its line end. False once reading can stop: the sink refused an
  // entry, or enough problems are known.
  bool Line(std::u16string_view raw) {
    ++lineNo_;
    std::u16string_view line = Trim(raw);
    if (joining_) {
      // Hexadecimal data may go on over lines that end in a backslash.
      if (!line.empty() && line.back() == u'\\') {
        joined_.append(line.substr(0, line.size() - 1));
        return true;
      }
      joined_.append(line);
      joining_ = false;
      Value(joined_, joinedAt_);
      return Going();
    }
    if (line.empty() || line[0] == u';' || line[0] == u'#') return true;
    if (line[0] == u'[') {
      Key(line, lineNo_);
      return Going();
    }
    if (line.back() == u'\\' && line.find(u'=') != std::u16string_view::npos) {
      joined_.assign(line.substr(0, line.size() - 1));
      joining_ = true;
      joinedAt_ = lineNo_;
      return true;
    }
    Value(line, lineNo_);
    return Going();
  }

  // The file has ended.
  void Finish() {
    // A cut-off file would otherwise give a value only its first bytes.
    if (joining_ && Going()) Bad(joinedAt_, "the file ends inside this value");
    joining_ = false;
  }

 private:
  bool Going() const { return !stopped_ && problems_.size() < maxProblems_; }

  void Emit(TRegFileEntry&& e) {
    if (!problems_.empty() || stopped_) return;  // a file with a bad line changes nothing
    if (!sink_(std::move(e))) stopped_ = true;
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
    sawKey_ = true;
    Emit(std::move(e));
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
      if (!sawKey_) return Bad(lineNo, "a value before the first key");
      return;
    }
    if (rest == u"-") {
      e.kind = TRegFileEntry::kDeleteValue;
      Emit(std::move(e));
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
      if (!unicode_ && IsTextType(type)) {
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
    Emit(std::move(e));
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

  bool unicode_;
  std::vector<TRegFileProblem>& problems_;
  std::size_t maxProblems_;
  Sink sink_;
  std::size_t lineNo_ = 1;  // the header line is the first
  bool inKey_ = false;
  bool sawKey_ = false;
  bool joining_ = false;
  bool stopped_ = false;
  std::u16string joined_;
  std::size_t joinedAt_ = 0;
};

// Splits a file's bytes, handed over in pieces, into lines in the file's encoding, which its
// first bytes tell: UTF-16LE after a byte-order mark, UTF-8 under the Unicode header line, else
// Windows-1252. The header line is checked here; the other lines go to a Parser.
class TRegFileSplitter {
 public:
  TRegFileSplitter(std::vector<TRegFileProblem>& problems, std::size_t maxProblems, Parser::Sink sink)
      : problems_(problems), maxProblems_(maxProblems), sink_(std::move(sink)) {}

  // False once reading can stop: not a registry file, the sink refused an entry, or enough
  // problems are known.
  bool Feed(std::string_view piece) {
    if (stopped_) return false;
    if (!header_) {
      // The header line must be within the first bytes; nothing else is read before it is known.
      if (head_.empty() && piece.size() >= kHeadBytes) return Start(piece, false);
      head_.append(piece);
      if (head_.size() < kHeadBytes) return true;
      const std::string head = std::move(head_);
      head_.clear();
      return Start(head, false);
    }
    return Split(piece);
  }

  // The file has ended. True when every line of it was good.
  bool Finish() {
    if (!header_ && !stopped_) {
      const std::string head = std::move(head_);
      head_.clear();
      Start(head, true);
    }
    if (!stopped_) {
      if (!carry_.empty()) {
        std::string rest = std::move(carry_);
        carry_.clear();
        Emit(rest);
      }
      if (parser_) parser_->Finish();
    }
    if (!parser_ && !stopped_) NotARegistryFile();  // an empty file
    return problems_.empty() && parser_.has_value();
  }

  bool Unicode() const { return unicode_; }

 private:
  enum class TEncoding { kUtf16, kUtf8, kCp1252 };
  static constexpr std::size_t kHeadBytes = 4096;

  void NotARegistryFile() {
    if (problems_.empty())
      problems_.push_back({1, "not a registry file: the first line must be \"REGEDIT4\" or \"" + std::string(kRegedit5) + "\""});
    stopped_ = true;
  }

  bool Start(std::string_view bytes, bool whole) {
    if (bytes.size() >= 2 && std::uint8_t(bytes[0]) == 0xFF && std::uint8_t(bytes[1]) == 0xFE) {
      encoding_ = TEncoding::kUtf16;
      unicode_ = true;
      bytes.remove_prefix(2);
    } else {
      if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
      std::string_view first = bytes.substr(0, bytes.find('\n'));
      while (!first.empty() && (first.back() == '\r' || first.back() == ' ')) first.remove_suffix(1);
      unicode_ = first == kRegedit5;
      encoding_ = unicode_ ? TEncoding::kUtf8 : TEncoding::kCp1252;
    }
    // A header line longer than the first bytes is no header: a large file that is not a
    // registry file is refused without being read further.
    if (!whole && LineEnd(bytes.substr(0, kHeadBytes), 0) == std::string_view::npos) {
      NotARegistryFile();
      return false;
    }
    header_ = true;
    return Split(bytes);
  }

  std::size_t Unit() const { return encoding_ == TEncoding::kUtf16 ? 2 : 1; }

  // Where the first line end at or after `from` (a unit boundary) is, or npos.
  std::size_t LineEnd(std::string_view s, std::size_t from) const {
    if (encoding_ != TEncoding::kUtf16) return s.find('\n', from);
    for (std::size_t p = from; p + 1 < s.size();) {
      const void* hit = std::memchr(s.data() + p, '\n', s.size() - 1 - p);
      if (!hit) break;
      const std::size_t q = std::size_t(static_cast<const char*>(hit) - s.data());
      if ((q - from) % 2 == 0 && s[q + 1] == 0) return q;
      p = q + 1;  // on to the next unit boundary after q
      if ((p - from) % 2) ++p;
    }
    return std::string_view::npos;
  }

  bool Split(std::string_view piece) {
    std::string_view s = piece;
    std::size_t from = 0;
    const bool carried = !carry_.empty();
    if (carried) {
      // Only what was not looked through yet is searched, so a very long line costs its length once.
      from = carry_.size() - carry_.size() % Unit();
      carry_.append(piece);
      s = carry_;
    }
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = LineEnd(s, std::max(start, from));
      if (end == std::string_view::npos) break;
      if (!Emit(s.substr(start, end - start))) return false;
      start = end + Unit();
    }
    if (carried) {
      carry_.erase(0, start);
    } else {
      carry_.assign(s.substr(start));
    }
    return true;
  }

  bool Emit(std::string_view line) {
    if (stopped_) return false;
    line_.clear();
    switch (encoding_) {
      case TEncoding::kUtf16:
        line_.resize(line.size() / 2);
        for (std::size_t i = 0; i < line_.size(); ++i)
          line_[i] = char16_t(std::uint8_t(line[2 * i]) | (std::uint8_t(line[2 * i + 1]) << 8));
        break;
      case TEncoding::kUtf8:
        line_ = Utf8ToU16(line);
        break;
      case TEncoding::kCp1252:
        line_.resize(line.size());
        for (std::size_t i = 0; i < line.size(); ++i) line_[i] = FromCp1252(std::uint8_t(line[i]));
        break;
    }
    if (!parser_) {
      if (Trim(line_) != (unicode_ ? u"Windows Registry Editor Version 5.00" : u"REGEDIT4")) {
        NotARegistryFile();
        return false;
      }
      parser_.emplace(unicode_, problems_, maxProblems_, sink_);
      return true;
    }
    if (!parser_->Line(line_)) stopped_ = true;
    return !stopped_;
  }

  std::vector<TRegFileProblem>& problems_;
  std::size_t maxProblems_;
  Parser::Sink sink_;
  std::optional<Parser> parser_;  // once the header line was read
  TEncoding encoding_ = TEncoding::kCp1252;
  bool unicode_ = false;
  bool header_ = false;  // the encoding is known
  bool stopped_ = false;
  std::string head_;
  std::string carry_;  // the start of a line whose end has not come yet
  std::u16string line_;
};

}  // namespace

// ---- Writing ------------------------------------------------------------------------------

namespace {

// Walks a key section in the order CollectRegSection lists it, handing `fn` one key at a time:
// its header entry and then its values. The walk stops when `fn` returns false; returns false
// then.
template <typename Fn>
bool WalkRegSection(RegistryStore& store, TRootKey root, bool wholeKey, std::string_view valueName,
                    std::string_view keyPath, Fn&& fn) {
  if (!keyPath.empty() && keyPath.back() == '\\') keyPath.remove_suffix(1);
  std::vector<TRegFileEntry> entries;
  std::vector<std::string> stack{std::string(keyPath)};
  while (!stack.empty()) {
    const std::string path = std::move(stack.back());
    stack.pop_back();
    entries.clear();
    TRegFileEntry key;
    key.kind = TRegFileEntry::kKey;
    key.root = root;
    key.path = path;
    entries.push_back(std::move(key));
    if (!wholeKey) {
      if (auto v = store.QueryValue(root, path, valueName)) {
        TRegFileEntry e;
        e.kind = TRegFileEntry::kValue;
        e.name = std::move(v->name);  // as stored: a row may spell it in other letter case
        e.type = v->type;
        e.data = std::move(v->data);
        entries.push_back(std::move(e));
      }
      return fn(entries);
    }
    if (auto values = store.Values(root, path))
      for (RegValue& v : *values) {
        TRegFileEntry e;
        e.kind = TRegFileEntry::kValue;
        e.name = std::move(v.name);
        e.type = v.type;
        e.data = std::move(v.data);
        entries.push_back(std::move(e));
      }
    if (!fn(entries)) return false;
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
  return true;
}

// A new file written piece by piece into a temporary file beside it, which takes its place
// only when all of it is written: a failure leaves the old file, and the temporary file goes,
// since half of an export is no backup.
class TRegFileStream {
 public:
  TRegFileStream(const std::filesystem::path& path, std::string_view tempSuffix)
      : path_(path), temp_(path.string() + std::string(tempSuffix)) {
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw ERegFileError("Cannot create " + temp_.string() + ": " + ErrnoText());
  }
  TRegFileStream(const TRegFileStream&) = delete;
  TRegFileStream& operator=(const TRegFileStream&) = delete;
  ~TRegFileStream() {
    if (fd_ < 0) return;
    ::close(fd_);
    ::unlink(temp_.c_str());
  }

  void Put(std::string_view bytes) {
    pending_ += bytes;
    if (pending_.size() >= kFlushBytes) Flush();
  }
  void Finish() {
    Flush();
    std::optional<std::string> why;
    if (::fsync(fd_) != 0) why = ErrnoText();
    if (::close(fd_) != 0 && !why) why = ErrnoText();
    fd_ = -1;
    if (!why && ::rename(temp_.c_str(), path_.c_str()) != 0) why = ErrnoText();
    if (!why) return;
    ::unlink(temp_.c_str());
    Fail(*why);
  }

 private:
  static constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

  void Flush() {
    if (auto why = WriteAll(fd_, pending_)) Fail(*why);
    pending_.clear();
  }
  [[noreturn]] void Fail(const std::string& why) { throw ERegFileError("Cannot write " + path_.string() + ": " + why); }

  std::filesystem::path path_, temp_;
  int fd_ = -1;
  std::string pending_;
};

}  // namespace

std::vector<TRegFileEntry> CollectRegSection(RegistryStore& store, TRootKey root, bool wholeKey,
                                             std::string_view valueName, std::string_view keyPath) {
  std::vector<TRegFileEntry> out;
  WalkRegSection(store, root, wholeKey, valueName, keyPath, [&](std::vector<TRegFileEntry>& entries) {
    out.insert(out.end(), std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
    return true;
  });
  return out;
}

namespace {

// Appends UTF-8 text as UTF-16LE. The text of an export is nearly all ASCII (names, digits of
// hexadecimal data), which goes across a byte at a time; only the runs between go through the
// full conversion.
void AppendUtf16(std::string& out, std::string_view utf8) {
  std::size_t i = 0;
  while (i < utf8.size()) {
    std::size_t j = i;
    while (j < utf8.size() && std::uint8_t(utf8[j]) < 0x80) ++j;
    const std::size_t at = out.size();
    out.resize(at + 2 * (j - i));
    for (std::size_t k = i; k < j; ++k) {
      out[at + 2 * (k - i)] = utf8[k];
      out[at + 2 * (k - i) + 1] = '\0';
    }
    i = j;
    while (j < utf8.size() && std::uint8_t(utf8[j]) >= 0x80) ++j;
    if (j > i) {
      const Bytes units = Utf8ToUtf16Le(utf8.substr(i, j - i), false);
      out.append(reinterpret_cast<const char*>(units.data()), units.size());
    }
    i = j;
  }
}

}  // namespace

void ExportRegFile(const std::filesystem::path& fileName, RegistryStore& store, const std::vector<TRegKeyRef>& keys) {
  // Which form the file takes is known only once every key has been seen. Until a key does not
  // fit the "REGEDIT4" form, every key is written in both forms, the Unicode one to a second
  // temporary file: the registry is walked once either way. The first key that does not fit
  // drops the "REGEDIT4" file.
  TRegFileStream wide(fileName, ".tmp");
  std::optional<TRegFileStream> narrow;
  narrow.emplace(fileName, ".narrow.tmp");
  wide.Put(Utf16File(std::string(kRegedit5) + "\r\n"));
  narrow->Put(std::string(kRegedit4) + "\r\n");
  // Keys are rendered one after the other into one text, handed on a megabyte at a time.
  Renderer wideText(true), narrowText(false);
  std::string units;
  auto passWide = [&] {
    units.clear();
    AppendUtf16(units, wideText.Take());
    wide.Put(units);
  };
  constexpr std::size_t kPass = std::size_t{1} << 20;
  for (const TRegKeyRef& key : keys)
    WalkRegSection(store, key.root, true, "", key.path, [&](const std::vector<TRegFileEntry>& entries) {
      if (narrow && !FitsRegedit4(entries)) narrow.reset();
      for (const TRegFileEntry& e : entries) {
        wideText.Entry(e);
        if (narrow) narrowText.Entry(e);
      }
      if (wideText.Size() >= kPass) passWide();
      if (narrow && narrowText.Size() >= kPass) narrow->Put(narrowText.Take());
      return true;
    });
  if (narrow) {
    narrow->Put(narrowText.Take());
    return narrow->Finish();
  }
  passWide();
  wide.Finish();
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
  TRegFileContents contents;
  TRegFileSplitter splitter(problems, maxProblems, [&](TRegFileEntry&& e) {
    contents.entries.push_back(std::move(e));
    return true;
  });
  splitter.Feed(bytes);
  if (!splitter.Finish()) return std::nullopt;
  contents.unicode = splitter.Unicode();
  return contents;
}

std::optional<TRegFileProblem> TRegFileApplier::Apply(const TRegFileEntry& e) {
  switch (e.kind) {
    case TRegFileEntry::kKey:
      inKey_ = true;
      keyRoot_ = e.root;
      keyPath_ = e.path;
      if (!store_.CreateKey(e.root, e.path))
        return TRegFileProblem{e.line, "cannot create the key " + RootKeyName(e.root) + "\\" + e.path};
      break;
    case TRegFileEntry::kDeleteKey:
      inKey_ = false;
      if (!store_.KeyExists(e.root, e.path)) break;
      if (!store_.CanDeleteKey(e.root, e.path) || !store_.DeleteKey(e.root, e.path))
        return TRegFileProblem{e.line, "cannot delete the key " + RootKeyName(e.root) + "\\" + e.path};
      break;
    case TRegFileEntry::kValue:
      if (inKey_ && !store_.SetValue(keyRoot_, keyPath_, e.name, e.type, e.data))
        return TRegFileProblem{e.line, "cannot set the value \"" + e.name + "\""};
      break;
    case TRegFileEntry::kDeleteValue:
      if (inKey_) store_.DeleteValue(keyRoot_, keyPath_, e.name);  // a missing value is no error
      break;
  }
  return std::nullopt;
}

std::optional<TRegFileProblem> ApplyRegFile(RegistryStore& store, const TRegFileContents& contents) {
  TRegFileApplier applier(store);
  for (const TRegFileEntry& e : contents.entries)
    if (auto problem = applier.Apply(e)) return problem;
  return std::nullopt;
}

// ---- Importing ----------------------------------------------------------------------------

TRegFileImport::~TRegFileImport() {
  if (fd_ >= 0) ::close(fd_);
}

bool TRegFileImport::Open(std::string& error) {
  fd_ = OpenInputFile(file_, kMaxHiveFileBytes, error);
  return fd_ >= 0 && Stamp(opened_, error);
}

bool TRegFileImport::Stamp(TStamp& stamp, std::string& error) {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    error = file_.string() + ": " + ErrnoText();
    return false;
  }
  stamp = {std::uint64_t(st.st_size), std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
           std::int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
  return true;
}

bool TRegFileImport::Read(const std::function<bool(std::string_view)>& fn, std::string& error) {
  if (::lseek(fd_, 0, SEEK_SET) != 0) {
    error = file_.string() + ": " + ErrnoText();
    return false;
  }
  std::string buffer(std::size_t{1} << 20, '\0');
  std::uint64_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = file_.string() + ": " + ErrnoText();
      return false;
    }
    if (n == 0) return true;
    total += std::uint64_t(n);
    if (total > kMaxHiveFileBytes) {
      error = file_.string() + ": the file is too large";
      return false;
    }
    if (!fn(std::string_view(buffer.data(), std::size_t(n)))) return true;
  }
}

bool TRegFileImport::Check(std::vector<TRegFileProblem>& problems, std::size_t maxProblems) {
  TRegFileSplitter splitter(problems, maxProblems, [](TRegFileEntry&&) { return true; });
  std::string error;
  if (!Read([&](std::string_view piece) { return splitter.Feed(piece); }, error)) {
    problems.push_back({0, "cannot read " + error});
    return false;
  }
  checked_ = splitter.Finish();
  return checked_;
}

std::optional<TRegFileProblem> TRegFileImport::Apply(RegistryStore& store) {
  const TRegFileProblem changed{0, "the file " + file_.string() + " was changed while it was being imported"};
  if (!checked_) return changed;
  TRegFileApplier applier(store);
  std::optional<TRegFileProblem> refused;
  std::vector<TRegFileProblem> problems;
  TRegFileSplitter splitter(problems, 1, [&](TRegFileEntry&& e) {
    refused = applier.Apply(e);
    return !refused;
  });
  std::string error;
  TStamp before, after;
  if (!Stamp(before, error) || !(before == opened_)) return changed;
  if (!Read([&](std::string_view piece) { return splitter.Feed(piece); }, error))
    return TRegFileProblem{0, "cannot read " + error};
  if (refused) return refused;
  // What was checked is what was applied: a file changed in between is not half taken in.
  if (!splitter.Finish() || !Stamp(after, error) || !(after == opened_)) return changed;
  return std::nullopt;
}

}  // namespace kestrove
