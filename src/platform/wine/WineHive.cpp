#include "platform/wine/WineHive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kestrove::wine {

using regtree::Hive;
using regtree::Node;

namespace {

constexpr std::uint64_t kTicksPerSec = 10000000ull;
constexpr std::uint64_t kTicks1601To1970 = 116444736000000000ull;
constexpr std::string_view kMagic = "WINE REGISTRY Version 2";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n'; }
// Hex digits by table: every byte of a hive's hex data passes here while the file is checked.
struct THexTable {
  signed char value[256];
  constexpr THexTable() : value() {
    for (int c = 0; c < 256; ++c) value[c] = -1;
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<signed char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<signed char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<signed char>(c - 'A' + 10);
  }
};
constexpr THexTable kHex;
bool IsHex(char c) { return kHex.value[static_cast<unsigned char>(c)] >= 0; }
int HexVal(char c) { return kHex.value[static_cast<unsigned char>(c)]; }

[[noreturn]] void Fail(const Hive& hive, std::size_t line, std::string_view what) {
  throw RegistryError(hive.label + ":" + std::to_string(line) + ": " + std::string(what) +
                      "; the file was not loaded and will not be written");
}

// Decodes one UTF-8 sequence (invalid bytes as Latin-1) into UTF-16 units, given to `put`.
template <typename Put>
void AppendUtf8Char(std::string_view text, std::size_t& pos, Put& put) {
  const auto b0 = static_cast<unsigned char>(text[pos]);
  std::size_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
  if (pos + len <= text.size()) {
    std::u16string u = Utf8ToU16(text.substr(pos, len));
    // Utf8ToU16 takes an invalid lead byte as one Latin-1 character; keep only that.
    std::string back = U16ToUtf8(u);
    if (back == text.substr(pos, len)) {
      for (char16_t c : u) put(c);
      pos += len;
      return;
    }
  }
  put(static_cast<char16_t>(b0));
  ++pos;
}

// Wine's unescaping, each unit given to `put`; see ParseEscaped.
template <typename Put>
bool ParseEscapedTo(std::string_view text, std::size_t& pos, char endChar, Put put);

// Wine's escaping of `count` units, `unit(i)` giving each; `spill(out)` is offered the
// text every so often so that a long string need not be held whole.
template <typename Unit, typename Spill>
void AppendEscapedUnits(std::string& out, std::size_t count, Unit unit, std::string_view escape, bool dropFinalZero,
                        Spill spill);

struct Line {
  std::size_t begin;    // first byte of the line
  std::size_t content;  // first non-blank byte
  std::size_t end;      // the '\n' ending the line
};

// Lines of [begin, end) of a buffer. Every line must end with '\n': a file cut in the
// middle of a line is a torn write.
class LineReader {
 public:
  LineReader(const Hive& hive, std::size_t begin, std::size_t end)
      : hive_(hive), buf_(hive.buffer.data(), end), pos_(begin) {}
  bool Next(Line& line) {
    if (pos_ >= buf_.size()) return false;
    ++number_;
    line.begin = pos_;
    const void* nl = std::memchr(buf_.data() + pos_, '\n', buf_.size() - pos_);
    if (!nl) Fail(hive_, number_, "the file ends in the middle of a line (it looks truncated)");
    line.end = static_cast<std::size_t>(static_cast<const char*>(nl) - buf_.data());
    std::size_t c = pos_;
    while (c < line.end && IsSpace(buf_[c])) ++c;
    line.content = c;
    pos_ = line.end + 1;
    return true;
  }
  std::size_t number() const { return number_; }
  // The byte after the last line read.
  std::size_t consumed() const { return pos_; }

 private:
  const Hive& hive_;
  std::string_view buf_;
  std::size_t pos_;
  std::size_t number_ = 0;
};

// Skips an escaped string without decoding it; false when `endChar` never comes.
// The end is the first `endChar` preceded by an even number of backslashes.
bool SkipEscaped(std::string_view text, std::size_t& pos, char endChar) {
  while (pos < text.size()) {
    const void* hit = std::memchr(text.data() + pos, endChar, text.size() - pos);
    if (!hit) return false;
    std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    std::size_t slashes = 0;
    while (at - slashes > pos && text[at - slashes - 1] == '\\') ++slashes;
    pos = at + 1;
    if (slashes % 2 == 0) return true;
  }
  return false;
}

struct TypeTag {
  std::uint32_t type;
  enum Kind { kString, kDword, kHex } kind;
};

// Reads the data-type tag after "=". False for an unknown tag. Dispatched on the first
// character: every value line of a hive passes here while the file is checked.
bool ParseTypeTag(std::string_view t, std::size_t& pos, TypeTag& tag) {
  std::string_view rest = t.substr(pos);
  if (rest.empty()) return false;
  auto take = [&](std::string_view p, TypeTag found) {
    if (rest.substr(0, p.size()) != p) return false;
    tag = found;
    pos += p.size();
    return true;
  };
  switch (rest[0]) {
    case '"':
      tag = {REG_SZ, TypeTag::kString};
      pos += 1;
      return true;
    case 'd':
      return take("dword:", {REG_DWORD, TypeTag::kDword});
    case 's':
      return take("str:\"", {REG_SZ, TypeTag::kString}) || take("str(2):\"", {REG_EXPAND_SZ, TypeTag::kString}) ||
             take("str(7):\"", {REG_MULTI_SZ, TypeTag::kString});
    case 'h':
      break;
    default:
      return false;
  }
  if (take("hex:", {REG_BINARY, TypeTag::kHex})) return true;
  if (rest.substr(0, 4) != "hex(") return false;
  std::size_t p = pos + 4;
  std::uint64_t type = 0;
  std::size_t digits = 0;
  while (p < t.size() && IsHex(t[p]) && digits < 8) {
    type = type * 16 + static_cast<std::uint64_t>(HexVal(t[p]));
    ++p;
    ++digits;
  }
  if (digits == 0 || t.substr(p, 2) != "):") return false;
  tag = {static_cast<std::uint32_t>(type), TypeTag::kHex};
  pos = p + 2;
  return true;
}

// Parses (or, without `out`, only checks) one value starting at line.content. Hex data may
// continue on following lines, which `reader` supplies. Returns an error text, or nullptr.
// Made twice: the check that every value line of a file goes through is kept lean.
template <bool kFill>
const char* ParseValue(std::string_view buf, Line line, LineReader& reader, [[maybe_unused]] RegValue* out) {
  std::size_t pos = line.content;
  std::string_view text = buf.substr(0, line.end);
  if (text[pos] == '@') {
    ++pos;
    if constexpr (kFill) out->name.clear();
  } else {
    ++pos;  // opening quote
    if constexpr (kFill) {
      std::u16string tmp;
      if (!ParseEscaped(text, pos, '"', tmp)) return "malformed value name";
      out->name = U16ToUtf8(tmp);
    } else {
      if (!SkipEscaped(text, pos, '"')) return "malformed value name";
    }
  }
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  if (pos >= text.size() || text[pos] != '=') return "malformed value name";
  ++pos;
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  TypeTag tag{};
  if (!ParseTypeTag(text, pos, tag)) return "unknown value type";
  if constexpr (kFill) out->type = tag.type;
  switch (tag.kind) {
    case TypeTag::kString: {
      if constexpr (kFill) {
        // Decoded straight into the data, sized once: a string of the text's length in
        // units is the most it can hold, and a long value is never held twice.
        std::size_t end = pos;
        if (!SkipEscaped(text, end, '"')) return "unterminated string";
        Bytes& data = out->data;
        data.clear();
        data.reserve(2 * (end - pos));
        auto put = [&](char16_t c) {
          data.push_back(static_cast<std::uint8_t>(c & 0xFF));
          data.push_back(static_cast<std::uint8_t>(c >> 8));
        };
        if (!ParseEscapedTo(text, pos, '"', put)) return "unterminated string";
        put(u'\0');
        if (data.capacity() > data.size() + data.size() / 4 + 64) data.shrink_to_fit();
      } else {
        if (!SkipEscaped(text, pos, '"')) return "unterminated string";
      }
      return nullptr;
    }
    case TypeTag::kDword: {
      std::uint32_t v = 0;
      std::size_t digits = 0;
      while (pos < text.size() && IsHex(text[pos])) {
        v = v * 16 + static_cast<std::uint32_t>(HexVal(text[pos]));
        ++pos;
        ++digits;
      }
      if (digits == 0 || digits > 8) return "malformed dword";
      if constexpr (kFill) out->data = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
      return nullptr;
    }
    case TypeTag::kHex: {
      if constexpr (kFill) out->data.clear();
      for (;;) {
        while (pos < text.size() && IsHex(text[pos])) {
          if (pos + 1 < text.size() && IsHex(text[pos + 1])) {
            if (pos + 2 < text.size() && IsHex(text[pos + 2])) return "malformed hex data";
            if constexpr (kFill) out->data.push_back(static_cast<std::uint8_t>(HexVal(text[pos]) * 16 + HexVal(text[pos + 1])));
            pos += 2;
          } else {
            if constexpr (kFill) out->data.push_back(static_cast<std::uint8_t>(HexVal(text[pos])));
            pos += 1;
          }
          while (pos < text.size() && IsSpace(text[pos])) ++pos;
          if (pos < text.size() && text[pos] == ',') ++pos;
          while (pos < text.size() && IsSpace(text[pos])) ++pos;
        }
        if (pos >= text.size()) return nullptr;
        if (text[pos] != '\\') return "malformed hex data";
        ++pos;
        while (pos < text.size() && IsSpace(text[pos])) ++pos;
        if (pos < text.size()) return "malformed hex data";
        if (!reader.Next(line)) return "hex data continues past the end of the file";
        text = buf.substr(0, line.end);
        pos = line.content;
      }
    }
  }
  return nullptr;
}

// Parses the value lines of one key block [begin, end) into node.values, sorted by name; of
// two lines naming the same value the later one counts. Wine writes a key's values sorted,
// so they are normally appended; other files are sorted once at the end, never by inserting
// each value in turn (quadratic in a key of many values).
void ParseBlockValues(const Hive& hive, std::size_t begin, std::size_t end, Node& node) {
  LineReader reader(hive, begin, end);
  Line line{};
  if (!reader.Next(line)) return;  // the key's own line
  std::vector<RegValue>& values = node.values;
  const std::size_t first = values.size();
  bool sorted = true;
  while (reader.Next(line)) {
    if (line.content >= line.end) continue;
    char lead = hive.buffer[line.content];
    if (lead != '@' && lead != '"') continue;
    RegValue value;
    if (ParseValue<true>(hive.buffer, line, reader, &value)) continue;
    if (values.size() > first && sorted && CompareNames(values.back().name, value.name) >= 0) sorted = false;
    values.push_back(std::move(value));
  }
  if (sorted && first == 0) return;
  std::stable_sort(values.begin(), values.end(),
                   [](const RegValue& a, const RegValue& b) { return CompareNames(a.name, b.name) < 0; });
  // Equal names stay in file order: keep the last of each run.
  std::size_t out = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i + 1 < values.size() && CompareNames(values[i].name, values[i + 1].name) == 0) continue;
    if (out != i) values[out] = std::move(values[i]);
    ++out;
  }
  values.resize(out);
}

}  // namespace

namespace {

template <typename Put>
bool ParseEscapedTo(std::string_view text, std::size_t& pos, char endChar, Put put) {
  while (pos < text.size()) {
    char c = text[pos];
    if (c == endChar) {
      ++pos;
      return true;
    }
    if (c != '\\') {
      if (static_cast<unsigned char>(c) < 0x80) {
        put(static_cast<char16_t>(c));
        ++pos;
      } else {
        AppendUtf8Char(text, pos, put);
      }
      continue;
    }
    if (++pos >= text.size()) return false;
    c = text[pos];
    switch (c) {
      case 'a': put(u'\a'); ++pos; break;
      case 'b': put(u'\b'); ++pos; break;
      case 'e': put(char16_t{0x1B}); ++pos; break;
      case 'f': put(u'\f'); ++pos; break;
      case 'n': put(u'\n'); ++pos; break;
      case 'r': put(u'\r'); ++pos; break;
      case 't': put(u'\t'); ++pos; break;
      case 'v': put(u'\v'); ++pos; break;
      case 'x': {
        ++pos;
        if (pos >= text.size() || !IsHex(text[pos])) {
          put(u'x');
          break;
        }
        unsigned v = 0;
        for (int k = 0; k < 4 && pos < text.size() && IsHex(text[pos]); ++k, ++pos) v = v * 16 + static_cast<unsigned>(HexVal(text[pos]));
        put(static_cast<char16_t>(v));
        break;
      }
      case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
        unsigned v = 0;
        for (int k = 0; k < 3 && pos < text.size() && text[pos] >= '0' && text[pos] <= '7'; ++k, ++pos)
          v = v * 8 + static_cast<unsigned>(text[pos] - '0');
        put(static_cast<char16_t>(v));
        break;
      }
      default:
        if (static_cast<unsigned char>(c) < 0x80) {
          put(static_cast<char16_t>(c));
          ++pos;
        } else {
          AppendUtf8Char(text, pos, put);
        }
        break;
    }
  }
  return false;
}

template <typename Unit, typename Spill>
void AppendEscapedUnits(std::string& out, std::size_t count, Unit unit, std::string_view escape, bool dropFinalZero,
                        Spill spill) {
  static const char kEscapes[33] = ".......abtnvfr.............e....";
  char tmp[16];
  for (std::size_t i = 0; i < count; ++i) {
    if ((i & 0xFFFF) == 0xFFFF) spill(out);
    const char16_t c = unit(i);
    const bool hasNext = i + 1 < count;
    const char16_t next = hasNext ? unit(i + 1) : u'\0';
    if (c > 127) {
      bool hexNext = hasNext && next < 128 && IsHex(static_cast<char>(next));
      std::snprintf(tmp, sizeof tmp, hexNext ? "\\x%04x" : "\\x%x", static_cast<unsigned>(c));
      out += tmp;
      continue;
    }
    if (c < 32) {
      if (c == 0 && !hasNext && dropFinalZero) continue;
      if (kEscapes[c] != '.') {
        out += '\\';
        out += kEscapes[c];
      } else {
        bool octNext = hasNext && next >= '0' && next <= '7';
        std::snprintf(tmp, sizeof tmp, octNext ? "\\%03o" : "\\%o", static_cast<unsigned>(c));
        out += tmp;
      }
      continue;
    }
    char ch = static_cast<char>(c);
    if (ch == '\\' || escape.find(ch) != std::string_view::npos) out += '\\';
    out += ch;
  }
}

void NoSpill(std::string&) {}

}  // namespace

bool ParseEscaped(std::string_view text, std::size_t& pos, char endChar, std::u16string& out) {
  return ParseEscapedTo(text, pos, endChar, [&](char16_t c) { out += c; });
}

void AppendEscaped(std::string& out, std::u16string_view text, std::string_view escape, bool dropFinalZero) {
  AppendEscapedUnits(out, text.size(), [&](std::size_t i) { return text[i]; }, escape, dropFinalZero, NoSpill);
}

namespace {

// One value line, as AppendValueLine; `spill` is offered the text while long data is written.
template <typename Spill>
void AppendValueLineTo(std::string& out, const RegValue& value, Spill spill) {
  std::size_t count;
  const std::size_t start = out.size();
  if (!value.name.empty()) {
    out += '"';
    AppendEscaped(out, Utf8ToU16(value.name), "\"\"", false);
    out += "\"=";
  } else {
    out += "@=";
  }
  count = out.size() - start;
  const Bytes& d = value.data;
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ:
      if (d.size() >= 2 && d.size() % 2 == 0 && d[d.size() - 1] == 0 && d[d.size() - 2] == 0) {
        if (value.type == REG_EXPAND_SZ) out += "str(2):";
        if (value.type == REG_MULTI_SZ) out += "str(7):";
        out += '"';
        // Escaped straight from the data: a long string is never copied as a whole.
        AppendEscapedUnits(
            out, d.size() / 2, [&](std::size_t k) { return static_cast<char16_t>(d[2 * k] | (d[2 * k + 1] << 8)); },
            "\"\"", true, spill);
        out += "\"\n";
        return;
      }
      break;
    case REG_DWORD:
      if (d.size() == 4) {
        char tmp[20];
        std::uint32_t v = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<std::uint32_t>(d[3]) << 24);
        std::snprintf(tmp, sizeof tmp, "dword:%08x\n", v);
        out += tmp;
        return;
      }
      break;
    default:
      break;
  }
  char tmp[24];
  if (value.type == REG_BINARY)
    std::snprintf(tmp, sizeof tmp, "hex:");
  else
    std::snprintf(tmp, sizeof tmp, "hex(%x):", value.type);
  out += tmp;
  count += std::strlen(tmp);
  static const char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < d.size(); ++i) {
    if ((i & 0xFFFF) == 0xFFFF) spill(out);
    out += kDigits[d[i] >> 4];
    out += kDigits[d[i] & 15];
    count += 2;
    if (i + 1 < d.size()) {
      out += ',';
      if (++count > 76) {
        out += "\\\n  ";
        count = 2;
      }
    }
  }
  out += '\n';
}

}  // namespace

void AppendValueLine(std::string& out, const RegValue& value) { AppendValueLineTo(out, value, NoSpill); }

namespace {

// Splits the path of a key line, `pos` just after its '[', into its names and moves `pos`
// past the ']'. Paths are nearly always plain ASCII with "\\\\" between names: those are
// split in place (the views point into `text`); anything else goes through the full
// unescaping into `owned`. Empty names are kept. False when the path is malformed.
bool SplitKeyLine(std::string_view text, std::size_t& pos, std::vector<std::string_view>& names,
                  std::vector<std::string>& owned, std::u16string& tmp) {
  names.clear();
  std::size_t p = pos, start = pos;
  for (;; ++p) {
    if (p >= text.size()) break;
    const char c = text[p];
    if (c == ']') {
      names.push_back(text.substr(start, p - start));
      pos = p + 1;
      return true;
    }
    if (c == '\\') {
      if (p + 1 < text.size() && text[p + 1] == '\\') {
        names.push_back(text.substr(start, p - start));
        ++p;
        start = p + 1;
        continue;
      }
      break;
    }
    if (static_cast<unsigned char>(c) >= 0x80 || static_cast<unsigned char>(c) < 0x20) break;
  }
  names.clear();
  tmp.clear();
  if (!ParseEscaped(text, pos, ']', tmp)) return false;
  owned.clear();
  std::size_t from = 0;
  for (std::size_t k = 0; k <= tmp.size(); ++k) {
    if (k == tmp.size() || tmp[k] == u'\\') {
      owned.push_back(U16ToUtf8(std::u16string_view(tmp).substr(from, k - from)));
      from = k + 1;
    }
  }
  for (const std::string& o : owned) names.push_back(o);
  return true;
}

}  // namespace

void ParseHive(Hive& hive) {
  const std::string& buf = hive.buffer;
  Node& root = *hive.root;
  LineReader reader(hive, 0, buf.size());
  Line line{};
  if (!reader.Next(line)) Fail(hive, 1, "the file is empty (it looks truncated)");
  {
    std::string_view first(buf.data() + line.begin, line.end - line.begin);
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    if (first != kMagic) Fail(hive, 1, "not a Wine registry file (expected \"WINE REGISTRY Version 2\")");
  }
  hive.preambleEnd = buf.size();

  Node* current = nullptr;
  std::size_t blockBegin = 0, blockEnd = 0;  // the current key's text, trailing blank lines excluded
  bool currentIsRepeat = false;
  // Keys named by more than one block, with every block's span, read eagerly at the end.
  std::vector<std::pair<Node*, std::pair<std::size_t, std::size_t>>> repeats;
  std::u16string tmp;
  std::vector<std::string_view> names;
  std::vector<std::string> owned;
  std::vector<Node*> lastNodes;  // the nodes of the last key's path

  auto closeBlock = [&]() {
    if (!current) return;
    if (currentIsRepeat) {
      repeats.push_back({current, {blockBegin, blockEnd}});
    } else {
      current->rawBegin = blockBegin;
      current->rawEnd = blockEnd;
    }
  };

  try {
    while (reader.Next(line)) {
      const std::size_t n = reader.number();
      if (line.content >= line.end) continue;  // blank lines separate keys
      std::string_view text(buf.data(), line.end);
      const char first = buf[line.content];
      switch (first) {
        case '[': {
          closeBlock();
          if (hive.preambleEnd == buf.size()) hive.preambleEnd = line.begin;
          std::size_t pos = line.content + 1;
          if (!SplitKeyLine(text, pos, names, owned, tmp)) Fail(hive, n, "malformed key name");
          std::uint64_t seconds = 0;
          bool haveSeconds = false;
          while (pos < text.size() && IsSpace(text[pos])) ++pos;
          while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && seconds < (1ull << 40)) {
            seconds = seconds * 10 + static_cast<std::uint64_t>(text[pos] - '0');
            haveSeconds = true;
            ++pos;
          }
          // Consecutive keys share most of their path: reuse the nodes of the last one.
          Node* node = &root;
          std::size_t depth = 0;
          bool same = true;
          for (std::string_view name : names) {
            if (name.empty()) continue;
            // The nodes' own names are compared: a name spelled in another case only takes
            // the longer way to the same node.
            if (same && depth < lastNodes.size() && lastNodes[depth]->name == name) {
              node = lastNodes[depth];
            } else {
              same = false;
              bool created = false;
              node = node->FindOrAdd(name, created);
              lastNodes.resize(depth);
              lastNodes.push_back(node);
            }
            ++depth;
          }
          if (same) lastNodes.resize(depth);
          current = node;
          currentIsRepeat = false;
          if (node->HasRaw() || node->dirty) {
            // The same key again: its blocks are merged when the file is done.
            if (!node->dirty) {
              repeats.push_back({node, {node->rawBegin, node->rawEnd}});
              node->dirty = true;
              node->rawBegin = node->rawEnd = 0;
            }
            currentIsRepeat = true;
          } else {
            node->valuesReady.store(false, std::memory_order_relaxed);
          }
          blockBegin = line.begin;
          if (haveSeconds) node->modif = seconds * kTicksPerSec + kTicks1601To1970;
          break;
        }
        case '#': {
          if (!current) break;  // a global option such as #arch: part of the preamble
          // Kept with every byte up to the newline: a rewritten key gives the line back
          // exactly as read, carriage returns and all.
          const std::string_view asRead(buf.data() + line.content, line.end - line.content);
          std::string_view opt = asRead;
          if (!opt.empty() && opt.back() == '\r') opt.remove_suffix(1);
          if (opt.substr(0, 6) == "#time=") {
            // The exact time wins over the seconds on the key's line.
            std::uint64_t v = 0;
            for (std::size_t k = 6; k < opt.size() && k < 6 + 16 && IsHex(opt[k]); ++k)
              v = v * 16 + static_cast<std::uint64_t>(HexVal(opt[k]));
            current->modif = v;
          } else if (opt.substr(0, 7) == "#class=") {
            std::size_t pos = line.content + 7;
            if (pos >= text.size() || text[pos] != '"') Fail(hive, n, "malformed key class");
            ++pos;
            tmp.clear();
            if (!ParseEscaped(text, pos, '"', tmp)) Fail(hive, n, "malformed key class");
            if (!current->extra) current->extra = std::make_unique<regtree::KeyExtra>();
            current->extra->keyClass = U16ToUtf8(tmp);
          } else if (opt.substr(0, 5) == "#link") {
            current->isLink = true;
          } else {
            if (!current->extra) current->extra = std::make_unique<regtree::KeyExtra>();
            current->extra->options.emplace_back(asRead);
          }
          break;
        }
        case '@':
        case '"': {
          if (!current) Fail(hive, n, "a value before the first key");
          if (const char* err = ParseValue<false>(buf, line, reader, nullptr)) Fail(hive, reader.number(), err);
          break;
        }
        case ';':
          break;
        default:
          Fail(hive, n, "unrecognised line");
      }
      if (current) blockEnd = reader.consumed();
    }
    closeBlock();
  } catch (...) {
    root.children.clear();
    root.values.clear();
    throw;
  }
  if (hive.preambleEnd == buf.size() && current == nullptr) hive.preambleEnd = buf.size();
  for (auto& [node, span] : repeats) {
    if (!node->valuesReady.load(std::memory_order_relaxed)) {
      node->values.clear();
      node->valuesReady.store(true, std::memory_order_relaxed);
    }
    ParseBlockValues(hive, span.first, span.second, *node);
  }
}

namespace {

// A byte a plain key path holds as it is: printable ASCII other than the escape character and
// the brackets.
bool PlainPathByte(char c) { return c > 0x20 && c < 0x7F && c != '\\' && c != '[' && c != ']'; }
// Allows spaces inside names, as plain key lines have them.
bool PlainNameByte(char c) { return c == ' ' || PlainPathByte(c); }
char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
// Whether the last line of `text` (its newline cut off) ends in a backslash, blanks aside.
bool EndsInBackslash(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0 && text[end - 1] != '\n' && IsSpace(text[end - 1])) --end;
  return end > 0 && text[end - 1] == '\\';
}

}  // namespace

THiveFocusFilter::THiveFocusFilter(const THiveFocus& focus) : focus_(focus) {
  plain_ = true;
  for (const std::string& name : focus.path) {
    if (name.empty() || !std::all_of(name.begin(), name.end(), PlainNameByte)) plain_ = false;
    if (!plainFocus_.empty()) {
      plainFocus_ += "\\\\";
      plainDepth_.insert(plainDepth_.end(), 2, plainDepth_.empty() ? 0 : plainDepth_.back());
    }
    for (char c : name) plainFocus_ += FoldAscii(c);
    plainDepth_.resize(plainFocus_.size(), static_cast<std::size_t>(&name - focus.path.data()));
  }
  if (!plain_) plainFocus_.clear();
}

void THiveFocusFilter::Feed(std::string_view piece) {
  if (failed_) return;
  std::uint64_t at = fed_;  // the file offset of piece[0]
  fed_ += piece.size();
  if (!carry_.empty()) {
    const void* nl = std::memchr(piece.data(), '\n', piece.size());
    if (!nl) {
      carry_.append(piece);
      return;
    }
    const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(nl) - piece.data()) + 1;
    carry_.append(piece.substr(0, end));
    Lines(carry_, carryAt_);
    carry_.clear();
    piece.remove_prefix(end);
    at += end;
  }
  const void* last = ::memrchr(piece.data(), '\n', piece.size());
  const std::size_t end = last ? static_cast<std::size_t>(static_cast<const char*>(last) - piece.data()) + 1 : 0;
  if (end) Lines(piece.substr(0, end), at);
  carry_.assign(piece.substr(end));
  carryAt_ = at + end;
}

void THiveFocusFilter::Keep(std::string_view text, std::uint64_t fileAt) {
  if (text.empty()) return;
  if (!spans_.empty() && spans_.back().file + spans_.back().size == fileAt &&
      spans_.back().cut + spans_.back().size == out_.size()) {
    spans_.back().size += text.size();
  } else {
    spans_.push_back({fileAt, out_.size(), text.size()});
  }
  out_.append(text);
}

// `text` starts at a line's start and ends with a newline. Key lines are found by their '['
// (first on its line after blanks), which is far rarer than a newline: most lines are never
// looked at one by one.
void THiveFocusFilter::Lines(std::string_view text, std::uint64_t textAt) {
  std::size_t keepFrom = 0, pos = 0;
  while (!failed_) {
    const void* hit = std::memchr(text.data() + pos, '[', text.size() - pos);
    if (!hit) break;
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    std::size_t begin = at;
    while (begin > 0 && text[begin - 1] != '\n' && IsSpace(text[begin - 1])) --begin;
    if (begin > 0 && text[begin - 1] != '\n') {
      pos = at + 1;
      continue;
    }
    const std::size_t eol = static_cast<std::size_t>(
        static_cast<const char*>(std::memchr(text.data() + at, '\n', text.size() - at)) - text.data());
    // After a line that ends in a backslash the line may be hex data going on, which the whole
    // reading takes as such (and refuses, when it holds a '['): only the whole reading decides.
    if (begin == 0 ? continued_ : EndsInBackslash(text.substr(0, begin - 1))) {
      failed_ = true;
      keeping_ = false;
      return;
    }
    if (keeping_) Keep(text.substr(keepFrom, begin - keepFrom), textAt + keepFrom);
    after_ = false;
    KeyLine(text.substr(begin, eol + 1 - begin), at - begin);
    if (after_ && !insertAt_) insertAt_ = textAt + begin;
    keepFrom = keeping_ ? begin : eol + 1;
    pos = eol + 1;
  }
  if (keeping_ && !failed_) Keep(text.substr(keepFrom), textAt + keepFrom);
  continued_ = EndsInBackslash(text.substr(0, text.size() - 1));
}

void THiveFocusFilter::KeyLine(std::string_view line, std::size_t bracket) {
  std::size_t pos = bracket + 1;
  const std::string_view text = line.substr(0, line.size() - 1);
  if (plain_ && QuickKeyLine(text, bracket)) return;
  if (!SplitKeyLine(text, pos, names_, owned_, tmp_)) {
    failed_ = true;
    keeping_ = false;
    return;
  }
  const std::vector<std::string>& focus = focus_.path;
  std::size_t depth = 0;
  std::string_view child;
  for (std::string_view name : names_) {
    if (name.empty()) continue;
    if (depth < focus.size()) {
      if (const int order = CompareNames(name, focus[depth])) {
        keeping_ = false;  // beside the focus
        after_ = order > 0;
        // The first key beside the way at this depth shows that the keys on the way above it
        // are in the file, even with no text of their own: its bare line makes them so in the
        // cut, as a change must not take them for new keys (and their parent for changed).
        if (depth > shown_) {
          shown_ = depth;
          out_ += line;
        }
        return;
      }
    }
    if (depth == focus.size()) child = name;
    ++depth;
  }
  after_ = depth > focus.size();  // below it: after it in the file's order
  keeping_ = depth <= focus.size() || focus_.subtree;
  if (keeping_) return;
  // Below the focus, only the subkey's name counts: a bare line naming it, cut after its name
  // when the path is plain text, or the whole key line (it names the subkey too) when not.
  if (child.data() >= text.data() && child.data() + child.size() <= text.data() + text.size())
    SubKeyLine(std::string(text.substr(bracket, static_cast<std::size_t>(child.data() + child.size() - text.data()) - bracket)) + "]\n");
  else
    SubKeyLine(std::string(line));
}

// A subkey is named once, whichever way its name is spelled (letters in either case): a key
// named twice is read as changed, and one known by name only must never be.
void THiveFocusFilter::SubKeyLine(std::string subKey) {
  std::string folded = subKey;
  for (char& c : folded) c = FoldAscii(c);
  if (!subKeys_.insert(std::move(folded)).second) return;
  out_ += subKey;
}

// Most key lines are plain text and lie beside the focus: they are told apart by their bytes
// alone, without taking the path apart. True when the line is dealt with; false leaves it to
// the full reading (escapes, the focus's own line and the keys on the way to it).
bool THiveFocusFilter::QuickKeyLine(std::string_view text, std::size_t bracket) {
  const std::string_view path = text.substr(bracket + 1);
  const std::string_view focus = plainFocus_;
  std::size_t i = 0;
  while (i < focus.size() && i < path.size() && FoldAscii(path[i]) == focus[i]) ++i;
  if (i == path.size()) return false;
  if (!focus.empty() && i < focus.size()) {
    // A name differs before the focus ends; only plain bytes make that certain. A name that
    // goes on where the focus's ends sorts after it. A lone backslash matched half of the
    // focus's "\\\\": it begins an escape, which may even stand for the backslash between names.
    if (!PlainNameByte(path[i]) || (i > 0 && focus[i - 1] == '\\' && focus[i] == '\\')) return false;
    if (plainDepth_[i] > shown_) return false;  // the full reading shows the keys on the way
    keeping_ = false;
    after_ = focus[i] == '\\' || FoldAscii(path[i]) > focus[i];
    return true;
  }
  // The focus is a prefix of the path's bytes.
  std::size_t start = i;
  if (!focus.empty()) {
    if (path[i] != '\\') {
      if (!PlainNameByte(path[i]) || plainDepth_.back() > shown_) return false;
      keeping_ = false;  // a longer name beside the focus's last one
      after_ = true;
      return true;
    }
    if (path.substr(i, 2) != "\\\\") return false;
    start = i + 2;
  }
  // Below the focus.
  after_ = true;
  if (focus_.subtree) {
    keeping_ = true;
    return true;
  }
  std::size_t end = start;
  while (end < path.size() && PlainNameByte(path[end])) ++end;
  if (end == start || end == path.size() || (path[end] != ']' && path.substr(end, 2) != "\\\\")) return false;
  keeping_ = false;
  SubKeyLine(std::string(text.substr(bracket, 1 + end)) + "]\n");
  return true;
}

std::optional<std::string> THiveFocusFilter::Finish() {
  if (failed_ || !carry_.empty()) return std::nullopt;
  if (!insertAt_) insertAt_ = fed_;
  return std::move(out_);
}

void LoadValues(const Hive& hive, Node& node) {
  node.values.clear();
  if (node.HasRaw()) ParseBlockValues(hive, node.rawBegin, node.rawEnd, node);
}

std::string NewHivePreamble(std::string_view relativeTo) {
  std::string out(kMagic);
  out += "\n;; All keys relative to ";
  out += relativeTo;
  out += "\n\n#arch=win64\n\n";
  return out;
}

namespace {

// Wine writes a key only when it says something its subkeys do not: values, a class, a link,
// or no subkeys at all. A key read from the file keeps its text.
bool KeyIsWritten(const Node& node) {
  const bool hasClass = node.extra && node.extra->keyClass.has_value();
  return node.HasRaw() || !node.values.empty() || node.children.empty() || hasClass || node.isLink;
}

// A key's line and option lines, as Wine writes them; `path` is escaped already.
void AppendKeyHeader(std::string& out, const Node& node, const std::string& path) {
  char tmp[64];
  out += '[';
  out += path;
  const auto seconds = static_cast<std::int64_t>(node.modif - kTicks1601To1970) / static_cast<std::int64_t>(kTicksPerSec);
  std::snprintf(tmp, sizeof tmp, "] %u\n", static_cast<unsigned>(seconds));
  out += tmp;
  std::snprintf(tmp, sizeof tmp, "#time=%x%08x\n", static_cast<unsigned>(node.modif >> 32),
                static_cast<unsigned>(node.modif & 0xFFFFFFFFu));
  out += tmp;
  if (node.extra) {
    if (node.extra->keyClass) {
      out += "#class=\"";
      AppendEscaped(out, Utf8ToU16(*node.extra->keyClass), "\"\"", false);
      out += "\"\n";
    }
    for (const std::string& opt : node.extra->options) {
      out += opt;
      out += '\n';
    }
  }
  if (node.isLink) out += "#link\n";
}

class HiveWriter {
 public:
  HiveWriter(const Hive& hive, const std::function<void(std::string_view)>& sink,
             const std::function<void(Node&)>& ensureValues)
      : hive_(hive), sink_(sink), ensureValues_(ensureValues) {
    out_.reserve(kChunk + 4096);
  }

  void Write() {
    std::string_view preamble(hive_.buffer.data(), std::min(hive_.preambleEnd, hive_.buffer.size()));
    out_.append(preamble);
    // Keys are preceded by a blank line; Wine's own preamble already ends with one.
    wrote_ = preamble.size() < 2 || preamble.substr(preamble.size() - 2) != "\n\n";
    // Depth first, parents before children, with an explicit stack: keys may be nested
    // far deeper than the thread's stack would allow. `path` holds the current key's path;
    // each entry remembers where its own part of the path ends.
    struct Frame {
      Node* node;
      std::size_t next;     // next child to visit
      std::size_t pathEnd;  // path.size() for this key
    };
    std::string path;
    std::vector<Frame> stack;
    WriteKey(*hive_.root, path);
    stack.push_back({hive_.root, 0, 0});
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next == top.node->children.size()) {
        stack.pop_back();
        continue;
      }
      Node& child = *top.node->children[top.next++];
      path.resize(top.pathEnd);
      if (!path.empty()) path += "\\\\";
      AppendEscaped(path, Utf8ToU16(child.name), "[]", false);
      WriteKey(child, path);
      stack.push_back({&child, 0, path.size()});
    }
    Flush();
  }

 private:
  static constexpr std::size_t kChunk = 1 << 20;

  void Flush() {
    if (!out_.empty()) sink_(out_);
    out_.clear();
  }

  // Writes one key, not its subkeys.
  void WriteKey(Node& node, const std::string& path) {
    // An unchanged key is copied from its text: its values need not be read at all.
    const bool copy = !node.dirty && node.HasRaw();
    if (!copy && !node.valuesReady.load(std::memory_order_acquire)) ensureValues_(node);
    if (!KeyIsWritten(node)) return;
    if (wrote_) out_ += '\n';
    wrote_ = true;
    if (copy) {
      std::string_view raw(hive_.buffer.data() + node.rawBegin, node.rawEnd - node.rawBegin);
      if (raw.size() >= kChunk) {
        // A large key goes to the sink straight from the buffer, never copied.
        Flush();
        sink_(raw);
      } else {
        out_.append(raw);
      }
    } else {
      AppendKeyHeader(out_, node, path);
      for (const RegValue& v : node.values) {
        AppendValueLineTo(out_, v, [this](std::string&) {
          if (out_.size() >= kChunk) Flush();
        });
        if (out_.size() >= kChunk) Flush();
      }
    }
    if (out_.size() >= kChunk) Flush();
  }

  const Hive& hive_;
  const std::function<void(std::string_view)>& sink_;
  const std::function<void(Node&)>& ensureValues_;
  std::string out_;
  bool wrote_ = false;
};

}  // namespace

bool AppendKeyText(std::string& out, const Node& node) {
  if (!KeyIsWritten(node)) return false;
  std::vector<const Node*> chain;
  for (const Node* n = &node; n && !n->hive; n = n->parent) chain.push_back(n);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += "\\\\";
    AppendEscaped(path, Utf8ToU16((*it)->name), "[]", false);
  }
  AppendKeyHeader(out, node, path);
  for (const RegValue& v : node.values) AppendValueLine(out, v);
  return true;
}

void WriteHive(const Hive& hive, const std::function<void(std::string_view)>& sink,
               const std::function<void(Node&)>& ensureValues) {
  HiveWriter(hive, sink, ensureValues).Write();
}

}  // namespace kestrove::wine
