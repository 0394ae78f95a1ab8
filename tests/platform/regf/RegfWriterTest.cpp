// Hive files written from key trees, read back by tools nobody here wrote (hivex's
// hivexregedit, libregf's regfexport and regfinfo), and checked cell by cell for what those
// tools do not look at: free space, security cell reference counts and ring, the key nodes'
// largest-name and largest-data fields.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "RegfToolSupport.h"
#include "RegfTreeMaker.h"
#include "platform/regf/RegfFormat.h"
#include "platform/regf/RegfReader.h"
#include "platform/regf/RegfWriter.h"

namespace kestrove::regf {
namespace {

namespace fs = std::filesystem;
using regftest::AddKey;
using regftest::HaveTool;
using regftest::RunShell;
using regftest::WriteFile;
using regftest::Dword;
using regftest::SetValue;
using regftest::Sz;
using regftest::THiveTree;
using regtree::Node;

constexpr std::uint32_t kKeyOnly = 0xFFFFFFFF;  // an item that stands for a key itself

// One key or value as a tool shows it: key path below the root ("a\b"), value name, type and
// data in hex.
struct TItem {
  std::string key;
  std::string value;
  std::uint32_t type = kKeyOnly;
  std::string data;
  bool operator<(const TItem& o) const { return std::tie(key, value, type, data) < std::tie(o.key, o.value, o.type, o.data); }
  bool operator==(const TItem& o) const = default;
};

std::ostream& operator<<(std::ostream& os, const TItem& i) {
  std::string key = i.key, value = i.value;
  for (auto* s : {&key, &value})
    for (char& c : *s)
      if (c == '\0') c = '0';
  os << "[" << key << "]";
  if (i.type != kKeyOnly) os << " \"" << value << "\" type " << i.type << " " << i.data.substr(0, 40) << (i.data.size() > 40 ? "..." : "");
  return os;
}

std::string Hex(const unsigned char* p, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

std::string UpToNul(const std::string& s) { return s.substr(0, s.find('\0')); }

// What a tool should show of `tree`: every key and value.
std::vector<TItem> Expected(const Node& root) {
  std::vector<TItem> items;
  std::vector<std::pair<const Node*, std::string>> pending{{&root, ""}};
  while (!pending.empty()) {
    auto [node, path] = pending.back();
    pending.pop_back();
    items.push_back({path, "", kKeyOnly, ""});
    for (const RegValue& v : node->values) items.push_back({path, v.name, v.type, Hex(v.data)});
    for (const auto& c : node->children)
      pending.push_back({c.get(), (path.empty() ? "" : path + "\\") + c->name});
  }
  std::sort(items.begin(), items.end());
  return items;
}

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (!n || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// hivexregedit prints a line's names as Perl holds them: bytes of Latin-1 when every
// character fits, else UTF-8.
std::string FromHivexText(std::string_view s) {
  if (ValidUtf8(s)) return std::string(s);
  std::string out;
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

Bytes ParseHexList(std::string_view s) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(s[i]))) continue;
    b.push_back(static_cast<std::uint8_t>(std::stoul(std::string(s.substr(i, 2)), nullptr, 16)));
    ++i;
  }
  return b;
}

// `hivexregedit --export hive '\'`: "[\a\b]" heads a key, then "name"=dword:... or hex(t):...
std::vector<TItem> ParseHivexExport(const std::string& text) {
  std::vector<TItem> items;
  std::string key;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = FromHivexText(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      key = line.substr(1, line.size() - 2);
      key = key == "\\" ? "" : key.substr(1);
      items.push_back({key, "", kKeyOnly, ""});
      continue;
    }
    if (line.empty() || (line[0] != '"' && line[0] != '@')) continue;
    std::string name;
    std::size_t i = 1;
    if (line[0] == '"') {
      for (; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        name += line[i];
      }
      ++i;
    }
    const std::string rest = line.substr(i + 1);  // after '='
    TItem item{key, name, 0, ""};
    if (rest.rfind("dword:", 0) == 0) {
      item.type = REG_DWORD;
      item.data = Hex(Dword(static_cast<std::uint32_t>(std::stoul(rest.substr(6), nullptr, 16))));
    } else if (rest.rfind("hex(", 0) == 0) {
      const std::size_t close = rest.find("):");
      item.type = static_cast<std::uint32_t>(std::stoul(rest.substr(4, close - 4), nullptr, 16));
      item.data = Hex(ParseHexList(std::string_view(rest).substr(close + 2)));
    } else {
      item.type = 0xFFFFFFFE;
      item.data = "unparsed: " + rest;
    }
    items.push_back(item);
  }
  std::sort(items.begin(), items.end());
  return items;
}

std::uint32_t RegfexportType(const std::string& line) {
  static const std::map<std::string, std::uint32_t> types = {
      {"REG_NONE", 0},  {"REG_SZ", 1},  {"REG_EXPAND_SZ", 2},  {"REG_BINARY", 3},
      {"REG_DWORD_LITTLE_ENDIAN", 4}, {"REG_DWORD_BIG_ENDIAN", 5}, {"REG_LINK", 6}, {"REG_MULTI_SZ", 7},
      {"REG_RESOURCE_LIST", 8}, {"REG_FULL_RESOURCE_DESCRIPTOR", 9}, {"REG_RESOURCE_REQUIREMENTS_LIST", 10},
      {"REG_QWORD_LITTLE_ENDIAN", 11}};
  const std::size_t open = line.rfind('('), close = line.rfind(')');
  if (open == std::string::npos || close < open) return 0xFFFFFFFE;
  auto it = types.find(line.substr(open + 1, close - open - 1));
  return it == types.end() ? 0xFFFFFFFE : it->second;
}

// `regfexport hive`: "Key path: ROOT\a\b", then per value "Value: n name", "Type: ... (REG_X)",
// "Data size: n" and "Data: text" for strings and numbers, else "Data:" and a hex dump.
// `keyOrder` receives the key paths in the order shown, which is the lists' order.
std::vector<TItem> ParseRegfexport(const std::string& text, std::vector<std::string>* keyOrder = nullptr) {
  std::vector<TItem> items;
  std::istringstream in(text);
  std::string line, key, rootPath;
  bool haveRoot = false;
  TItem* value = nullptr;
  Bytes dump;
  bool inDump = false;
  std::size_t declared = 0;  // "Data size"
  auto finishDump = [&] {
    if (inDump && value)
      value->data = dump.size() == declared ? Hex(dump)
                                            : "declares " + std::to_string(declared) + " bytes, shows " + Hex(dump);
    inDump = false;
    dump.clear();
  };
  while (std::getline(in, line)) {
    if (inDump && line.size() > 10 && line[8] == ':') {
      const Bytes b = ParseHexList(line.substr(10, 48));
      dump.insert(dump.end(), b.begin(), b.end());
      continue;
    }
    finishDump();
    if (line.rfind("Key path: ", 0) == 0) {
      std::string path = line.substr(10);
      if (!haveRoot) {
        rootPath = path;
        haveRoot = true;
      }
      key = path == rootPath ? "" : path.substr(rootPath.size() + 1);
      items.push_back({key, "", kKeyOnly, ""});
      if (keyOrder) keyOrder->push_back(key);
      value = nullptr;
    } else if (line.rfind("Value: ", 0) == 0) {
      std::string name = line.substr(line.find(' ', 7) + 1);
      if (name == "(default)") name.clear();
      items.push_back({key, name, 0, ""});
      value = &items.back();
    } else if (value && line.rfind("Type: ", 0) == 0) {
      value->type = RegfexportType(line);
    } else if (value && line.rfind("Data size: ", 0) == 0) {
      declared = std::stoul(line.substr(11));
    } else if (value && line == "Data:") {
      inDump = true;
    } else if (value && line.rfind("Data: ", 0) == 0) {
      const std::string shown = line.substr(6);
      switch (value->type) {
        case REG_DWORD:
          value->data = Hex(Dword(static_cast<std::uint32_t>(std::stoul(shown))));
          break;
        case REG_DWORD_BIG_ENDIAN: {
          Bytes b = Dword(static_cast<std::uint32_t>(std::stoul(shown)));
          std::reverse(b.begin(), b.end());
          value->data = Hex(b);
          break;
        }
        case REG_QWORD: {
          const std::uint64_t q = std::stoull(shown);
          Bytes b = Dword(static_cast<std::uint32_t>(q));
          const Bytes high = Dword(static_cast<std::uint32_t>(q >> 32));
          b.insert(b.end(), high.begin(), high.end());
          value->data = Hex(b);
          break;
        }
        default:
          value->data = Hex(Sz(shown));
      }
    }
    // The items vector may grow only at "Key path"/"Value" lines, which reset `value`.
  }
  finishDump();
  std::sort(items.begin(), items.end());
  return items;
}

// "" when the lists are equal, else the first item that differs on each side.
std::string FirstDifference(const std::vector<TItem>& shown, const std::vector<TItem>& expected) {
  auto [a, b] = std::mismatch(shown.begin(), shown.end(), expected.begin(), expected.end());
  if (a == shown.end() && b == expected.end()) return "";
  return "shown " + (a == shown.end() ? std::string("(end)") : ::testing::PrintToString(*a)) + ", expected " +
         (b == expected.end() ? std::string("(end)") : ::testing::PrintToString(*b));
}

// regfexport's view of a list of items, applied to what it shows and to what we expect: it
// stops names at their first NUL, shows data of 1 to 3 bytes as zeros (a Windows-made hive's
// too: plaso-NTUSER.DAT's SchemeLangID 09 04 comes out 00 00), so those are compared by length,
// and it reads "db" big data only from version 1.5 (before, it shows the "db" record as the
// data), where Windows writes it from 1.4.
std::vector<TItem> RegfexportView(std::vector<TItem> items, std::uint32_t minor) {
  std::vector<TItem> out;
  for (TItem& i : items) {
    i.key = [&] {
      std::string cut;
      std::size_t from = 0;
      while (from <= i.key.size()) {
        std::size_t end = i.key.find('\\', from);
        if (end == std::string::npos) end = i.key.size();
        if (from) cut += '\\';
        cut += UpToNul(i.key.substr(from, end - from));
        from = end + 1;
      }
      return cut;
    }();
    if (i.type == kKeyOnly) {
      out.push_back(i);
      continue;
    }
    i.value = UpToNul(i.value);
    const std::size_t size = i.data.size() / 2;
    if (minor == 4 && (size > kBigDataSegment || i.data.rfind("6462", 0) == 0)) continue;  // or the "db" record
    if (size >= 1 && size <= 3) i.data = "(" + std::to_string(size) + " bytes)";
    out.push_back(i);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// ---- the file itself, cell by cell

struct TLayoutFacts {
  std::size_t keys = 0;
  std::size_t securities = 0;
  std::size_t freeCells = 0;
};

// Checks what Windows relies on and the tools above do not look at; returns counts for the
// caller's own expectations.
TLayoutFacts CheckLayout(const std::string& file) {
  TLayoutFacts facts;
  const auto* base = reinterpret_cast<const unsigned char*>(file.data());
  EXPECT_EQ(std::string(file, 0, 4), "regf");
  EXPECT_EQ(Get32(base + kOffPrimarySeq), Get32(base + kOffSecondarySeq));
  EXPECT_EQ(Get32(base + kOffChecksum), BaseBlockChecksum(base));
  EXPECT_EQ(Get32(base + kOffFileType), 0u);
  EXPECT_EQ(Get32(base + kOffBootType), 0u);
  EXPECT_EQ(Get32(base + kOffBootRecover), 0u);
  const std::uint32_t binsSize = Get32(base + kOffHiveBinsSize);
  EXPECT_EQ(binsSize + kBaseBlockSize, file.size());
  if (binsSize + kBaseBlockSize != file.size()) return facts;
  const unsigned char* bins = base + kBaseBlockSize;

  // Bins follow each other; cells tile each bin; the only free cell ends the last bin.
  std::map<std::uint32_t, std::uint32_t> cells;  // offset -> size, allocated cells only
  for (std::uint32_t bin = 0; bin < binsSize;) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bins + bin), 4), "hbin") << "at " << bin;
    EXPECT_EQ(Get32(bins + bin + 4), bin);
    const std::uint32_t size = Get32(bins + bin + 8);
    EXPECT_TRUE(size >= kBinAlignment && size % kBinAlignment == 0 && bin + size <= binsSize) << "bin at " << bin;
    if (size < kBinAlignment || size % kBinAlignment || bin + size > binsSize) return facts;
    std::uint32_t cell = bin + kBinHeaderSize;
    while (cell < bin + size) {
      const auto raw = static_cast<std::int32_t>(Get32(bins + cell));
      const std::uint32_t cellSize = static_cast<std::uint32_t>(raw < 0 ? -raw : raw);
      EXPECT_TRUE(cellSize >= 8 && cellSize % 8 == 0 && cell + cellSize <= bin + size) << "cell at " << cell;
      if (cellSize < 8 || cellSize % 8 || cell + cellSize > bin + size) return facts;
      if (raw > 0) {
        ++facts.freeCells;
        EXPECT_EQ(cell + cellSize, binsSize) << "free cell at " << cell << " before the end of the file";
      } else {
        cells[cell] = cellSize;
      }
      cell += cellSize;
    }
    bin += size;
  }
  auto payload = [&](std::uint32_t cell, std::size_t need) -> const unsigned char* {
    auto it = cells.find(cell);
    if (it == cells.end() || it->second < need + 4) {
      ADD_FAILURE() << "no cell of " << need << " bytes at " << cell;
      return nullptr;
    }
    return bins + cell + 4;
  };

  // Keys from the root through the lists: counts and the largest-name fields match what the
  // key holds; every security cell is used as often as it says.
  std::map<std::uint32_t, std::uint32_t> securityUse;
  std::vector<std::uint32_t> pending{Get32(base + kOffRootCell)};
  while (!pending.empty()) {
    const std::uint32_t nkCell = pending.back();
    pending.pop_back();
    const unsigned char* nk = payload(nkCell, kKeyNodeFixed);
    if (!nk || std::memcmp(nk, "nk", 2) != 0) {
      ADD_FAILURE() << "no key node at " << nkCell;
      return facts;
    }
    ++facts.keys;
    ++securityUse[Get32(nk + 44)];
    // Subkeys through ri/lh/lf/li.
    std::vector<std::uint32_t> children;
    std::vector<std::uint32_t> lists;
    if (Get32(nk + 20)) lists.push_back(Get32(nk + 28));
    while (!lists.empty()) {
      const std::uint32_t list = lists.back();
      lists.pop_back();
      const unsigned char* l = payload(list, kListFixed);
      if (!l) return facts;
      const std::string sig(reinterpret_cast<const char*>(l), 2);
      const std::uint16_t n = Get16(l + 2);
      const std::size_t step = sig == "lh" || sig == "lf" ? 8 : 4;
      if (!payload(list, kListFixed + step * n)) return facts;
      if (sig == "ri") {
        for (std::uint16_t i = n; i-- > 0;) lists.push_back(Get32(l + 4 + 4 * i));
      } else {
        EXPECT_LE(n, 1012u) << sig << " leaf at " << list;
        for (std::uint16_t i = 0; i < n; ++i) {
          const std::uint32_t child = Get32(l + 4 + step * i);
          children.push_back(child);
          // Windows finds a key in an "lh" list by this hash of its upper-cased name.
          const unsigned char* ck = sig == "lh" ? payload(child, kKeyNodeFixed) : nullptr;
          if (!ck) continue;
          std::u16string name;
          const std::uint16_t len = Get16(ck + 72);
          if (Get16(ck + 2) & kKeyCompName)
            for (std::uint16_t k = 0; k < len; ++k) name += static_cast<char16_t>(ck[kKeyNodeFixed + k]);
          else
            for (std::uint16_t k = 0; k + 1 < len; k += 2) name += static_cast<char16_t>(Get16(ck + kKeyNodeFixed + k));
          EXPECT_EQ(Get32(l + 4 + step * i + 4), NameHash(name)) << "hash of key at " << child;
        }
      }
    }
    EXPECT_EQ(children.size(), Get32(nk + 20)) << "key at " << nkCell;
    std::uint32_t maxName = 0, maxClass = 0;
    for (std::uint32_t c : children) {
      const unsigned char* ck = payload(c, kKeyNodeFixed);
      if (!ck) return facts;
      EXPECT_EQ(Get32(ck + 16), nkCell) << "parent of key at " << c;
      const std::uint32_t len = Get16(ck + 72) * ((Get16(ck + 2) & kKeyCompName) ? 2u : 1u);
      maxName = std::max(maxName, len);
      maxClass = std::max<std::uint32_t>(maxClass, Get16(ck + 74));
      pending.push_back(c);
    }
    EXPECT_EQ(Get32(nk + 52) & 0xFFFF, maxName) << "largest subkey name of key at " << nkCell;
    EXPECT_EQ(Get32(nk + 56), maxClass) << "largest subkey class of key at " << nkCell;
    std::uint32_t maxValueName = 0, maxData = 0;
    const std::uint32_t values = Get32(nk + 36);
    if (values) {
      const unsigned char* list = payload(Get32(nk + 40), 4 * values);
      if (!list) return facts;
      for (std::uint32_t i = 0; i < values; ++i) {
        const unsigned char* vk = payload(Get32(list + 4 * i), kValueFixed);
        if (!vk) return facts;
        maxValueName = std::max<std::uint32_t>(maxValueName, Get16(vk + 2) * ((Get16(vk + 16) & kValueCompName) ? 2u : 1u));
        maxData = std::max(maxData, Get32(vk + 4) & ~kDataInOffset);
      }
    }
    EXPECT_EQ(Get32(nk + 60), maxValueName) << "largest value name of key at " << nkCell;
    EXPECT_EQ(Get32(nk + 64), maxData) << "largest data of key at " << nkCell;
  }

  // The security cells form one ring through flink, mirrored by blink, and hold the counts.
  for (auto [sk, uses] : securityUse) {
    const unsigned char* p = payload(sk, kSecurityFixed);
    if (!p) return facts;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 2), "sk");
    EXPECT_EQ(Get32(p + 12), uses) << "reference count of security cell " << sk;
    EXPECT_EQ(Get32(payload(Get32(p + 4), kSecurityFixed) + 8), sk) << "blink of flink of " << sk;
  }
  facts.securities = securityUse.size();
  std::set<std::uint32_t> ring;
  std::uint32_t at = securityUse.begin()->first;
  for (std::size_t i = 0; i <= securityUse.size() && ring.insert(at).second; ++i) at = Get32(payload(at, 8) + 4);
  EXPECT_EQ(ring.size(), securityUse.size()) << "the security ring does not pass every security cell";
  return facts;
}

// ---- trees

std::string MakeHeader(std::uint32_t minor) {
  std::string header(kBaseBlockSize, '\0');
  auto* h = reinterpret_cast<unsigned char*>(header.data());
  std::memcpy(h, "regf", 4);
  Put32(h + kOffPrimarySeq, 41);
  Put32(h + kOffSecondarySeq, 40);  // as a crash mid-write leaves it
  Put32(h + kOffMajorVersion, 1);
  Put32(h + kOffMinorVersion, minor);
  Put32(h + kOffBootType, 3);
  Put32(h + kOffBootRecover, 1);
  return header;
}

Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + seed) ^ (i >> 8));
  return b;
}

void ValueTypes(THiveTree& t) {
  Node& k = *AddKey(*t.root, "Types");
  SetValue(k, "", REG_SZ, Sz("default"));
  SetValue(k, "none empty", REG_NONE, {});
  SetValue(k, "sz", REG_SZ, Sz("hello world"));
  SetValue(k, "sz one char", REG_SZ, Sz("x"));  // 4 bytes: in the value itself
  SetValue(k, "expand", REG_EXPAND_SZ, Sz("%SystemRoot%\\system32"));
  SetValue(k, "binary 1", REG_BINARY, {0xAB});
  SetValue(k, "binary 4", REG_BINARY, {1, 2, 3, 4});
  SetValue(k, "binary 5", REG_BINARY, {1, 2, 3, 4, 5});
  SetValue(k, "binary empty", REG_BINARY, {});
  SetValue(k, "dword", REG_DWORD, Dword(0xDEADBEEF));
  SetValue(k, "dword big endian", REG_DWORD_BIG_ENDIAN, {0x12, 0x34, 0x56, 0x78});
  SetValue(k, "link", REG_LINK, Pattern(20, 1));
  Bytes multi = Sz("one");
  for (const char* s : {"two", ""}) {
    Bytes more = Sz(s);
    multi.insert(multi.end(), more.begin(), more.end());
  }
  SetValue(k, "multi", REG_MULTI_SZ, multi);
  SetValue(k, "resource list", REG_RESOURCE_LIST, Pattern(40, 2));
  SetValue(k, "full resource", REG_FULL_RESOURCE_DESCRIPTOR, Pattern(36, 3));
  SetValue(k, "requirements", REG_RESOURCE_REQUIREMENTS_LIST, Pattern(72, 4));
  SetValue(k, "qword", REG_QWORD, Pattern(8, 5));
  SetValue(k, "binary 300", REG_BINARY, Pattern(300, 6));
  SetValue(k, "binary 16344", REG_BINARY, Pattern(16344, 6));  // the largest in one cell
  AddKey(*t.root, "Empty");
}

void Names(THiveTree& t) {
  Node& latin = *AddKey(*t.root, "Gr\xC3\xBC\xC3\x9F" "e \xC3\xA4\xC3\xB6");  // fits one byte a character
  SetValue(latin, "\xC3\xA9t\xC3\xA9", REG_SZ, Sz("\xC3\xA9t\xC3\xA9"));
  Node& cyr = *AddKey(*t.root, "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87");  // Cyrillic: UTF-16
  SetValue(cyr, "\xD0\x97\xD0\xBD\xD0\xB0\xD1\x87\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xB5", REG_DWORD, Dword(7));
  Node& cjk = *AddKey(*t.root, "\xE9\x8D\xB5 key \xF0\x9F\x98\x80");  // CJK and a surrogate pair
  SetValue(cjk, "\xF0\x9F\x98\x80", REG_SZ, Sz("\xE9\x8D\xB5"));
  Node& nul = *AddKey(*t.root, std::string("zero\0key", 8));
  SetValue(nul, std::string("zero\0value", 10), REG_DWORD, Dword(1));
  AddKey(*t.root, std::string(255, 'x'));
  AddKey(*t.root, "quote\" and 'apostrophe'");
  Node& quoted = *AddKey(*t.root, "Quotes");
  SetValue(quoted, "back\\slash \"quoted\"", REG_SZ, Sz("v"));
  // Keys with descriptors of their own, one shared: each distinct one gets one cell.
  std::string other = DefaultSecurityDescriptor();
  other[other.size() - 20] ^= 1;  // another access mask
  auto shared = std::make_shared<const std::string>(other);
  for (const char* name : {"Secured A", "Secured B"}) {
    Node* k = AddKey(*t.root, name);
    k->extra = std::make_unique<regtree::KeyExtra>();
    k->extra->security = shared;
    AddKey(*k, "Inherits");
  }
  Node* copy = AddKey(*t.root, "Secured C");  // the same bytes in another string
  copy->extra = std::make_unique<regtree::KeyExtra>();
  copy->extra->security = std::make_shared<const std::string>(other);
}

void Classes(THiveTree& t) {
  for (auto [name, cls] : {std::pair{"Plain", "MyClass"}, {"Unicode", "\xD0\x9A\xD0\xBB\xD0\xB0\xD1\x81\xD1\x81"},
                           {"Long", "A class of some length, longer than the name"}}) {
    Node* k = AddKey(*t.root, name);
    k->extra = std::make_unique<regtree::KeyExtra>();
    k->extra->keyClass = cls;
    SetValue(*k, "v", REG_DWORD, Dword(1));
  }
  AddKey(*t.root, "No class");
}

void Link(THiveTree& t) {
  Node* link = AddKey(*t.root, "CurrentControlSet");
  link->isLink = true;
  // Windows keeps the target without a terminating NUL.
  Bytes target = Utf8ToUtf16Le("\\Registry\\Machine\\System\\ControlSet001", false);
  SetValue(*link, "SymbolicLinkValue", REG_LINK, target);
  AddKey(*AddKey(*t.root, "ControlSet001"), "Services");
}

void BigData(THiveTree& t) {
  Node& k = *AddKey(*t.root, "Big");
  SetValue(k, "16344", REG_BINARY, Pattern(16344, 1));
  SetValue(k, "16345", REG_BINARY, Pattern(16345, 2));
  SetValue(k, "81725", REG_BINARY, Pattern(81725, 3));
  SetValue(k, "small after", REG_SZ, Sz("after the big ones"));
  SetValue(*AddKey(*t.root, "After"), "x", REG_DWORD, Dword(2));
}

void ManySubkeys(THiveTree& t) {
  // Around where Windows changes or splits a list, and far past it.
  for (std::size_t count : {506u, 507u, 1012u, 1013u, 10000u}) {
    Node& parent = *AddKey(*t.root, "Count " + std::to_string(count));
    char name[32];
    for (std::size_t i = 0; i < count; ++i) {
      std::snprintf(name, sizeof name, "Key%05zu", i);
      regftest::AppendKey(parent, name);
    }
  }
  SetValue(*t.root->children.back()->children.back(), "last", REG_DWORD, Dword(9));
}

void Deep(THiveTree& t) {
  Node* key = t.root.get();
  for (int depth = 0; depth < 2000; ++depth) key = AddKey(*key, "d");
  SetValue(*key, "bottom", REG_SZ, Sz("2000 deep"));
}

struct TCase {
  const char* name;
  std::uint32_t minor;
  void (*build)(THiveTree&);
};

void PrintTo(const TCase& c, std::ostream* os) { *os << c.name << " (version 1." << c.minor << ")"; }

const TCase kCases[] = {
    {"ValueTypes", 5, ValueTypes},      {"ValueTypesV13", 3, ValueTypes}, {"Names", 5, Names},
    {"NamesV13", 3, Names},             {"Classes", 5, Classes},          {"Link", 5, Link},
    {"BigData", 5, BigData},            {"BigDataV14", 4, BigData},       {"BigDataV13", 3, BigData},
    {"ManySubkeys", 5, ManySubkeys},    {"ManySubkeysV13", 3, ManySubkeys}, {"Deep", 5, Deep},
};

class RegfWriterToolTest : public ::testing::TestWithParam<TCase> {
 protected:
  fs::path Dir() {
    fs::path d = fs::temp_directory_path() / ("kestrove-regf-writer-" + std::to_string(getpid()));
    fs::create_directories(d);
    return d;
  }
};

TEST_P(RegfWriterToolTest, ToolsReadBackExactlyOurKeysAndValues) {
  const TCase& c = GetParam();
  THiveTree tree;
  tree.hive.header = MakeHeader(c.minor);
  tree.hive.rootName = "ROOT";
  c.build(tree);
  const std::string file = WriteRegfHive(tree.hive, [](Node&) {}, {});
  const fs::path path = Dir() / (std::string(c.name) + ".hiv");
  WriteFile(path, file);

  const TLayoutFacts facts = CheckLayout(file);
  EXPECT_LE(facts.freeCells, 1u);
  const auto* base = reinterpret_cast<const unsigned char*>(file.data());
  EXPECT_EQ(Get32(base + kOffMinorVersion), c.minor);
  EXPECT_EQ(Get32(base + kOffPrimarySeq), 42u);

  bool ran = false;
  if (HaveTool("regfinfo")) {
    auto [rc, out] = RunShell("regfinfo -v '" + path.string() + "' 2>&1 >/dev/null");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "") << "regfinfo complains";
    ran = true;
  }
  if (HaveTool("hivexregedit")) {
    auto [rc, out] = RunShell("hivexregedit --export '" + path.string() + "' '\\' 2>/dev/null");
    EXPECT_EQ(rc, 0);
    const std::vector<TItem> shown = ParseHivexExport(out);
    const std::vector<TItem> expected = Expected(*tree.root);
    EXPECT_EQ(shown.size(), expected.size()) << "hivexregedit";
    EXPECT_EQ(FirstDifference(shown, expected), "") << "hivexregedit shows another tree";
    ran = true;
  }
  if (HaveTool("regfexport")) {
    auto [rc, out] = RunShell("regfexport '" + path.string() + "' 2>/dev/null");
    EXPECT_EQ(rc, 0);
    const std::vector<TItem> shown = RegfexportView(ParseRegfexport(out), c.minor);
    const std::vector<TItem> expected = RegfexportView(Expected(*tree.root), c.minor);
    EXPECT_EQ(shown.size(), expected.size()) << "regfexport";
    EXPECT_EQ(FirstDifference(shown, expected), "") << "regfexport shows another tree";
    ran = true;
  }
  if (!std::getenv("KESTROVE_KEEP_HIVES")) fs::remove(path);
  if (!ran) GTEST_SKIP() << "none of regfinfo, hivexregedit, regfexport is installed (scripts/install-deps.sh)";
}

INSTANTIATE_TEST_SUITE_P(Trees, RegfWriterToolTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrove::regf

namespace kestrove::regf {
namespace {

fs::path TempDir() {
  fs::path d = fs::temp_directory_path() / ("kestrove-regf-writer-" + std::to_string(getpid()));
  fs::create_directories(d);
  return d;
}

// The tree orders names folded to lower case; Windows looks keys up by binary search over
// upper-cased names, so a list in the tree's order would hide keys from it. regfexport lists
// subkeys in the list's order.
TEST(RegfWriterTest, SubkeyListsAreInWindowsUpperCaseOrder) {
  if (!HaveTool("regfexport")) GTEST_SKIP() << "regfexport is not installed (scripts/install-deps.sh)";
  for (std::uint32_t minor : {3u, 5u}) {
    SCOPED_TRACE("version 1." + std::to_string(minor));
    THiveTree tree;
    tree.hive.header = MakeHeader(minor);
    for (const char* name : {"A_", "AB", "A[", "a0", "Ab_", "ab]"}) AddKey(*tree.root, name);
    const fs::path path = TempDir() / "order.hiv";
    WriteFile(path, WriteRegfHive(tree.hive, [](Node&) {}, {}));
    std::vector<std::string> order;
    ParseRegfexport(RunShell("regfexport '" + path.string() + "' 2>/dev/null").second, &order);
    EXPECT_EQ(order, (std::vector<std::string>{"", "a0", "AB", "ab]", "Ab_", "A[", "A_"}));
    fs::remove(path);
  }
}

// Values are read only when the writer needs them, as the store loads them lazily.
TEST(RegfWriterTest, ValuesNotYetReadAreReadThroughTheCallback) {
  THiveTree tree;
  Node* lazy = AddKey(*AddKey(*tree.root, "Outer"), "Lazy");
  lazy->valuesReady = false;
  std::vector<std::string> asked;
  const std::string file = WriteRegfHive(tree.hive, [&](Node& n) {
    asked.push_back(n.name);
    SetValue(n, "loaded", REG_DWORD, Dword(3));
    n.valuesReady = true;
  }, {});
  EXPECT_EQ(asked, std::vector<std::string>{"Lazy"});
  CheckLayout(file);
  if (HaveTool("hivexregedit")) {
    const fs::path path = TempDir() / "lazy.hiv";
    WriteFile(path, file);
    EXPECT_EQ(ParseHivexExport(RunShell("hivexregedit --export '" + path.string() + "' '\\' 2>/dev/null").second),
              Expected(*tree.root));
    fs::remove(path);
  }
}

// A new hive gets a base block of its own: version 1.5, the file name's tail, a root named as
// Windows names the hives it makes.
TEST(RegfWriterTest, NewHiveGetsASoundBaseBlock) {
  THiveTree tree;
  AddKey(*tree.root, "Key");
  TRegfWriteOptions options;
  options.now = 0x01DB123456789ABCull;
  options.fileName = u"\\??\\C:\\Windows\\System32\\config\\a very long folder name\\SOFTWARE";
  const std::string file = WriteRegfHive(tree.hive, [](Node&) {}, options);
  CheckLayout(file);
  const auto* b = reinterpret_cast<const unsigned char*>(file.data());
  EXPECT_EQ(Get32(b + kOffMajorVersion), 1u);
  EXPECT_EQ(Get32(b + kOffMinorVersion), 5u);
  EXPECT_EQ(Get64(b + kOffLastWritten), options.now);
  EXPECT_EQ(Get32(b + kOffPrimarySeq), 1u);
  std::u16string name;
  for (std::size_t i = 0; i < kFileNameBytes && Get16(b + kOffFileName + i); i += 2)
    name += static_cast<char16_t>(Get16(b + kOffFileName + i));
  EXPECT_EQ(name, options.fileName.substr(options.fileName.size() - 31));
  if (HaveTool("regfexport")) {
    const fs::path path = TempDir() / "new.hiv";
    WriteFile(path, file);
    const std::string out = RunShell("regfexport '" + path.string() + "' 2>/dev/null").second;
    EXPECT_NE(out.find("Key path: CMI-CreateHive{"), std::string::npos) << out;
    fs::remove(path);
  }
}

// A key may be nested as deep as memory allows; neither the writer nor this check recurse. The
// tools above recurse, so 2,000 levels are what they are given.
TEST(RegfWriterTest, KeysNested100000DeepAreWritten) {
  THiveTree tree;
  Node* key = tree.root.get();
  for (int depth = 0; depth < 100000; ++depth) key = AddKey(*key, depth % 2 ? "odd" : "even");
  SetValue(*key, "bottom", REG_DWORD, Dword(100000));
  const TLayoutFacts facts = CheckLayout(WriteRegfHive(tree.hive, [](Node&) {}, {}));
  EXPECT_EQ(facts.keys, 100001u);
  EXPECT_EQ(facts.securities, 1u);
}

// What Windows could not load is refused with a message, not written.
TEST(RegfWriterTest, RefusesWhatWindowsCannotLoad) {
  struct TRefusal {
    const char* what;
    std::function<void(THiveTree&)> build;
  };
  const TRefusal refusals[] = {
      {"key name of 256 characters", [](THiveTree& t) { AddKey(*t.root, std::string(256, 'k')); }},
      {"key name of 128 characters outside Latin-1 and 128 within",
       [](THiveTree& t) {
         std::string name;
         for (int i = 0; i < 128; ++i) name += "\xD0\x96";
         AddKey(*t.root, name + std::string(128, 'k'));
       }},
      {"value name of 16,384 characters",
       [](THiveTree& t) { SetValue(*t.root, std::string(16384, 'v'), REG_DWORD, Dword(1)); }},
      {"class of 32,768 characters",
       [](THiveTree& t) {
         Node* k = AddKey(*t.root, "k");
         k->extra = std::make_unique<regtree::KeyExtra>();
         k->extra->keyClass = std::string(32768, 'c');
       }},
      {"version 1.2", [](THiveTree& t) { t.hive.header = MakeHeader(2); }},
  };
  for (const TRefusal& r : refusals) {
    THiveTree tree;
    r.build(tree);
    EXPECT_THROW(WriteRegfHive(tree.hive, [](Node&) {}, {}), RegistryError) << r.what;
  }
  // The limits themselves are written.
  THiveTree tree;
  AddKey(*tree.root, std::string(255, 'k'));
  SetValue(*tree.root, std::string(16383, 'v'), REG_DWORD, Dword(1));
  EXPECT_NO_THROW(CheckLayout(WriteRegfHive(tree.hive, [](Node&) {}, {})));
}

// hivex changes our file in place (new bins for what it adds, freed cells for what it
// deletes): the changes show, the rest stays.
TEST(RegfWriterTest, HivexChangesOurFileInPlace) {
  if (!HaveTool("hivexregedit")) GTEST_SKIP() << "hivexregedit is not installed (scripts/install-deps.sh)";
  THiveTree tree;
  ValueTypes(tree);
  Classes(tree);
  const fs::path path = TempDir() / "merged.hiv";
  WriteFile(path, WriteRegfHive(tree.hive, [](Node&) {}, {}));
  const auto [rc, messages] = regftest::MergeRegText(path, "[\\Types\\Added]\n\"new\"=dword:00000005\n\n[\\Types]\n\"sz\"=-\n\n[-\\Empty]\n");
  ASSERT_EQ(rc, 0) << messages;

  SetValue(*AddKey(*AddKey(*tree.root, "Types"), "Added"), "new", REG_DWORD, Dword(5));
  Node* types = AddKey(*tree.root, "Types");
  types->values.erase(std::find_if(types->values.begin(), types->values.end(),
                                   [](const RegValue& v) { return v.name == "sz"; }));
  tree.root->Remove(tree.root->Find("Empty"));
  EXPECT_EQ(FirstDifference(ParseHivexExport(RunShell("hivexregedit --export '" + path.string() + "' '\\' 2>/dev/null").second),
                            Expected(*tree.root)),
            "");
  if (HaveTool("regfexport")) {
    EXPECT_EQ(FirstDifference(RegfexportView(ParseRegfexport(RunShell("regfexport '" + path.string() + "' 2>/dev/null").second), 5),
                              RegfexportView(Expected(*tree.root), 5)),
              "");
  }
  fs::remove(path);
}

// ---- a hive read from its file and written again

// Each key's class and effective security descriptor (its own, else its parent's), by path:
// what Expected leaves out.
std::map<std::string, std::string> ClassesAndSecurity(const Node& root) {
  std::map<std::string, std::string> out;
  std::vector<std::tuple<const Node*, std::string, const std::string*>> pending{
      {&root, "", &DefaultSecurityDescriptor()}};
  while (!pending.empty()) {
    auto [node, path, inherited] = pending.back();
    pending.pop_back();
    const std::string* security = node->extra && node->extra->security ? node->extra->security.get() : inherited;
    const std::optional<std::string>* cls = node->Class();
    out[path] = (cls && *cls ? "class " + **cls : "no class") + ", security " + Hex(Bytes(security->begin(), security->end()));
    for (const auto& c : node->children) pending.push_back({c.get(), (path.empty() ? "" : path + "\\") + c->name, security});
  }
  return out;
}

void ReadAllValues(const regtree::Hive& hive, Node& root) {
  std::vector<Node*> pending{&root};
  while (!pending.empty()) {
    Node* n = pending.back();
    pending.pop_back();
    if (!n->valuesReady) {
      LoadRegfValues(hive, *n);
      n->valuesReady = true;
    }
    for (auto& c : n->children) pending.push_back(c.get());
  }
}

Node* KeyAt(Node& root, std::initializer_list<const char*> path) {
  Node* n = &root;
  for (const char* part : path) n = n ? n->Find(part) : nullptr;
  return n;
}

// What a commit changes, applied alike to the tree made in memory and to the tree read from
// its file; a key's values are read before they change, as the store reads them.
struct TRewriteCase {
  const char* name;
  std::uint32_t minor;
  std::function<void(const regtree::Hive&, Node& root)> change;
  int securitiesGone;  // security cells the change leaves unused
};

void SetRead(const regtree::Hive& hive, Node* key, const std::string& name, std::uint32_t type, Bytes data) {
  ASSERT_NE(key, nullptr);
  if (!key->valuesReady) {
    LoadRegfValues(hive, *key);
    key->valuesReady = true;
  }
  SetValue(*key, name, type, std::move(data));
}

const TRewriteCase kRewrites[] = {
    {"OneSmallValue", 5, [](const regtree::Hive& h, Node& r) { SetRead(h, KeyAt(r, {"After"}), "x", REG_DWORD, Dword(7)); }, 0},
    {"OneSmallValueV13", 3, [](const regtree::Hive& h, Node& r) { SetRead(h, KeyAt(r, {"After"}), "x", REG_DWORD, Dword(7)); }, 0},
    {"OneBigValue", 5,
     [](const regtree::Hive& h, Node& r) { SetRead(h, KeyAt(r, {"Big"}), "16345", REG_BINARY, Pattern(40000, 9)); }, 0},
    {"BigValueBecomesSmall", 4,
     [](const regtree::Hive& h, Node& r) { SetRead(h, KeyAt(r, {"Big"}), "81725", REG_BINARY, Pattern(3, 9)); }, 0},
    // The shared descriptor is used by A, B, C and their subkeys: two uses fewer, no cell fewer.
    {"KeyWithSharedDescriptorDeleted", 5, [](const regtree::Hive&, Node& r) { r.Remove(r.Find("Secured A")); }, 0},
    {"EveryKeyOfADescriptorDeleted", 5,
     [](const regtree::Hive&, Node& r) {
       for (const char* name : {"Secured A", "Secured B", "Secured C"}) r.Remove(r.Find(name));
     },
     1},
};

void PrintTo(const TRewriteCase& c, std::ostream* os) { *os << c.name; }

class RegfRewriteTest : public ::testing::TestWithParam<TRewriteCase> {};

// Keys and values no one read are copied from the old file's bytes, not decoded and encoded
// again; what comes out must still read as the old hive with the one change, by our reader and
// by regfexport, with classes, descriptors and big data intact and every count right.
TEST_P(RegfRewriteTest, ReadsAsTheOldHiveWithTheChange) {
  const TRewriteCase& c = GetParam();
  THiveTree made;
  made.hive.header = MakeHeader(c.minor);
  made.hive.rootName = "ROOT";
  for (auto build : {ValueTypes, Names, Classes, BigData}) build(made);
  const std::string before = WriteRegfHive(made.hive, [](Node&) {}, {});
  const std::size_t securitiesBefore = CheckLayout(before).securities;

  THiveTree read;
  LoadRegfHiveData(before, {}, "before.hiv", read.hive);
  c.change(read.hive, *read.root);
  c.change(made.hive, *made.root);
  std::vector<std::string> decoded;
  const std::string after = WriteRegfHive(read.hive, [&](Node& n) {
    decoded.push_back(n.name);
    LoadRegfValues(read.hive, n);
    n.valuesReady = true;
  }, {});
  EXPECT_EQ(decoded, std::vector<std::string>{}) << "values no one read were decoded to be written";
  const TLayoutFacts facts = CheckLayout(after);
  EXPECT_EQ(facts.securities + c.securitiesGone, securitiesBefore);
  EXPECT_LE(facts.freeCells, 1u);

  THiveTree again;
  LoadRegfHiveData(after, {}, "after.hiv", again.hive);
  ReadAllValues(again.hive, *again.root);
  EXPECT_EQ(FirstDifference(Expected(*again.root), Expected(*made.root)), "") << "our reader";
  EXPECT_EQ(ClassesAndSecurity(*again.root), ClassesAndSecurity(*made.root));

  if (!HaveTool("regfexport")) GTEST_SKIP() << "regfexport (libregf-utils) is not installed; only our reader read it";
  const fs::path path = TempDir() / (std::string(c.name) + ".hiv");
  WriteFile(path, after);
  auto [rc, out] = RunShell("regfexport '" + path.string() + "' 2>/dev/null");
  fs::remove(path);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(FirstDifference(RegfexportView(ParseRegfexport(out), c.minor), RegfexportView(Expected(*made.root), c.minor)), "")
      << "regfexport";
}

INSTANTIATE_TEST_SUITE_P(Changes, RegfRewriteTest, ::testing::ValuesIn(kRewrites),
                         [](const ::testing::TestParamInfo<TRewriteCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrove::regf
