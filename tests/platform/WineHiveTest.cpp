#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/RegistryStore.h"
#include "platform/TRegistry.h"
#include "platform/wine/WineHive.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

fs::path FreshPrefixData() { return fs::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata" / "wine-8.0-fresh"; }

void MarkAllDirty(regtree::Hive& hive, regtree::Node& top) {
  std::vector<regtree::Node*> pending{&top};  // no recursion: trees may be very deep
  while (!pending.empty()) {
    regtree::Node& n = *pending.back();
    pending.pop_back();
    if (!n.valuesReady) {
      wine::LoadValues(hive, n);
      n.valuesReady = true;
    }
    n.dirty = true;
    for (auto& c : n.children) pending.push_back(c.get());
  }
}

// Serialises one parsed hive back to text; with `regenerate`, every key is written anew
// from its parsed form instead of being copied.
std::string RoundTrip(const std::string& text, const std::string& label = "test.reg", bool regenerate = false) {
  regtree::Node root;
  regtree::Hive hive;
  hive.label = label;
  hive.buffer = text;
  hive.root = &root;
  root.hive = &hive;
  wine::ParseHive(hive);
  if (regenerate) MarkAllDirty(hive, root);
  std::string out;
  wine::WriteHive(hive, [&](std::string_view s) { out += s; }, [&](regtree::Node& n) {
    wine::LoadValues(hive, n);
    n.valuesReady = true;
  });
  return out;
}

TEST(WineHive, RealPrefixFilesRoundTripByteForByte) {
  if (!fs::exists(FreshPrefixData())) GTEST_SKIP() << "shared test data not found at " << FreshPrefixData();
  for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) {
    std::string text = ReadAll(FreshPrefixData() / name);
    EXPECT_EQ(RoundTrip(text, name), text) << name;
  }
}

// Writing every key anew must give Wine's own bytes: our writer formats exactly as Wine does.
TEST(WineHive, RegeneratedRealFilesMatchWineOutput) {
  if (!fs::exists(FreshPrefixData())) GTEST_SKIP() << "shared test data not found at " << FreshPrefixData();
  for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) {
    std::string text = ReadAll(FreshPrefixData() / name);
    std::string out = RoundTrip(text, name, true);
    if (out != text) {
      std::size_t i = 0;
      while (i < out.size() && i < text.size() && out[i] == text[i]) ++i;
      std::size_t from = text.rfind('\n', i > 300 ? i - 300 : 0);
      ADD_FAILURE() << name << " differs at byte " << i << "\nexpected: " << text.substr(from, 500)
                    << "\nactual:   " << out.substr(from, 500);
    }
  }
}

}  // namespace
}  // namespace kestrove

namespace kestrove {
namespace {

std::string Hive(const std::string& body) {
  return "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n" + body;
}

std::u16string Parse(std::string_view text) {
  std::u16string out;
  std::size_t pos = 0;
  EXPECT_TRUE(wine::ParseEscaped(text, pos, '"', out)) << text;
  return out;
}

std::string Escape(std::u16string_view text) {
  std::string out;
  wine::AppendEscaped(out, text, "\"\"", false);
  return out;
}

TEST(WineHive, StringEscapesReadAsWineReadsThem) {
  EXPECT_EQ(Parse(R"(a\\b\"c")"), u"a\\b\"c");
  EXPECT_EQ(Parse(R"(\a\b\t\n\v\f\r\e")"), std::u16string(u"\a\b\t\n\v\f\r") + char16_t{0x1B});
  EXPECT_EQ(Parse(R"(\x41\x00e9z")"), u"A\u00e9z");  // at most four hex digits
  EXPECT_EQ(Parse(R"(\x263a1")"), u"\u263a1");
  EXPECT_EQ(Parse(R"(\101\0\1234")"), std::u16string(u"A") + u'\0' + u"S4");  // at most three octal digits
  EXPECT_EQ(Parse(R"(\xg")"), u"xg");  // \x without digits is a plain x
  EXPECT_EQ(Parse("caf\xC3\xA9\"" ), u"caf\u00e9");  // UTF-8 text
  std::u16string out;
  std::size_t pos = 0;
  EXPECT_FALSE(wine::ParseEscaped("no end", pos, '"', out));
}

TEST(WineHive, StringEscapesWrittenAsWineWritesThem) {
  EXPECT_EQ(Escape(u"C:\\x \"q\""), R"(C:\\x \"q\")");
  EXPECT_EQ(Escape(u"\u00e9t\u00e9"), R"(\xe9t\xe9)");
  EXPECT_EQ(Escape(u"\u00e9a"), R"(\x00e9a)");  // a hex digit follows: four digits
  EXPECT_EQ(Escape(std::u16string(u"a") + u'\x01' + u"7"), R"(a\0017)");
  EXPECT_EQ(Escape(std::u16string(u"a") + u'\x01' + u"x"), R"(a\1x)");
  EXPECT_EQ(Escape(std::u16string(u"\t\n") + char16_t{0x1B}), R"(\t\n\e)");
  std::string key;
  wine::AppendEscaped(key, u"a[b]", "[]", false);
  EXPECT_EQ(key, R"(a\[b\])");
}

std::string ValueLine(const RegValue& v) {
  std::string out;
  wine::AppendValueLine(out, v);
  return out;
}

TEST(WineHive, ValueLinesByType) {
  EXPECT_EQ(ValueLine({"", REG_SZ, Utf8ToUtf16Le("x", true)}), "@=\"x\"\n");
  EXPECT_EQ(ValueLine({"Path", REG_EXPAND_SZ, Utf8ToUtf16Le("%a%", true)}), "\"Path\"=str(2):\"%a%\"\n");
  Bytes multi = Utf8ToUtf16Le("a", true);
  Bytes b = Utf8ToUtf16Le("b", true);
  multi.insert(multi.end(), b.begin(), b.end());
  multi.push_back(0);
  multi.push_back(0);
  EXPECT_EQ(ValueLine({"M", REG_MULTI_SZ, multi}), "\"M\"=str(7):\"a\\0b\\0\"\n");
  EXPECT_EQ(ValueLine({"D", REG_DWORD, {0x78, 0x56, 0x34, 0x12}}), "\"D\"=dword:12345678\n");
  EXPECT_EQ(ValueLine({"B", REG_BINARY, {0x00, 0xff}}), "\"B\"=hex:00,ff\n");
  EXPECT_EQ(ValueLine({"N", REG_NONE, {}}), "\"N\"=hex(0):\n");
  // Strings that are not whole, zero-ended UTF-16 are written as hex of their type.
  EXPECT_EQ(ValueLine({"S", REG_SZ, {0x41, 0x00}}), "\"S\"=hex(1):41,00\n");
  EXPECT_EQ(ValueLine({"S", REG_EXPAND_SZ, {0x41}}), "\"S\"=hex(2):41\n");
  EXPECT_EQ(ValueLine({"S", REG_MULTI_SZ, {}}), "\"S\"=hex(7):\n");
  EXPECT_EQ(ValueLine({"D", REG_DWORD, {1, 2}}), "\"D\"=hex(4):01,02\n");
  EXPECT_EQ(ValueLine({"Q", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}}), "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n");
}

TEST(WineHive, LongHexDataWrapsAfterSeventySixColumns) {
  std::string line = ValueLine({"Blob", REG_BINARY, Bytes(40, 0xab)});
  // "Blob"=hex: is 11 columns; each byte adds three.
  std::string first = line.substr(0, line.find('\n'));
  EXPECT_EQ(first.back(), '\\');
  EXPECT_LE(first.size(), 80u);
  EXPECT_EQ(line.substr(line.find('\n') + 1, 2), "  ");
  // And it reads back to the same bytes.
  std::string text = Hive("[K] 1695780567\n#time=1d9f0e7a4b3c2d1\n" + line);
  EXPECT_EQ(RoundTrip(text, "t.reg", true), text);
}

TEST(WineHive, EveryConstructSurvivesRegeneration) {
  std::string text = Hive(
      "[] 1695780567\n#time=1d9f0e7a4b3c2d1\n@=\"root\"\n\n"
      "[A\\\\Linked] 1695780567\n#time=1d9f0e7a4b3c2d1\n#class=\"Cls \\\"q\\\"\"\n#link\n"
      "\"SymbolicLinkValue\"=hex(6):5c,00,52,00\n\n"
      "[A\\\\Values] 1695780567\n#time=1d9f0e7a4b3c2d1\n@=\"\"\n\"e\"=str(2):\"%SystemRoot%\\\\x\"\n"
      "\"m\"=str(7):\"a\\0b\\0\"\n\"n\\xe9\"=\"\\x263a\"\n\"q\\\"\"=dword:ffffffff\n\"z\"=hex(0):\n\n"
      "[B\\\\Empty] 1695780567\n#time=1d9f0e7a4b3c2d1\n");
  EXPECT_EQ(RoundTrip(text, "t.reg", true), text);
  EXPECT_EQ(RoundTrip(text, "t.reg", false), text);
}

// A hive parsed from `text`.
struct TParsedHive {
  explicit TParsedHive(const std::string& text) {
    hive.label = "t.reg";
    hive.buffer = text;
    hive.root = &root;
    root.hive = &hive;
    wine::ParseHive(hive);
  }
  regtree::Node root;
  regtree::Hive hive;
};

TEST(WineHive, TimeOptionWinsOverSecondsOnKeyLine) {
  TParsedHive parsed(Hive("[K] 1000\n#time=1d9f0e7a4b3c2d1\n\n[L] 1000\n"));
  EXPECT_EQ(parsed.root.Find("K")->modif, 0x1d9f0e7a4b3c2d1ull);
  EXPECT_EQ(parsed.root.Find("L")->modif, 1000ull * 10000000ull + 116444736000000000ull);
}

void ExpectRefused(const std::string& text, const std::string& fragment) {
  regtree::Node root;
  regtree::Hive hive;
  hive.label = "/x/system.reg";
  hive.buffer = text;
  hive.root = &root;
  try {
    wine::ParseHive(hive);
    ADD_FAILURE() << "accepted: " << text;
  } catch (const RegistryError& e) {
    EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
  }
  EXPECT_TRUE(root.children.empty()) << "a refused file must leave nothing half-loaded";
}

TEST(WineHive, MalformedAndTornFilesAreRefusedNamingFileAndLine) {
  ExpectRefused("", "/x/system.reg:1:");
  ExpectRefused("REGEDIT4\n", "/x/system.reg:1: not a Wine registry file");
  ExpectRefused(Hive("[K] 1\n\"v\"=\"cut"), "/x/system.reg:7:");                // torn mid-line
  ExpectRefused(Hive("[K] 1\n\"v\"=\"unterminated\n"), "/x/system.reg:7: unterminated string");
  ExpectRefused(Hive("[K] 1\n\"v\"=hex:01,02,\\\n"), "/x/system.reg:7: hex data continues");
  ExpectRefused(Hive("[K] 1\n\"v\"=hex:01,zz\n"), "/x/system.reg:7: malformed hex");
  ExpectRefused(Hive("[K] 1\n\"v\"=dword:xyz\n"), "/x/system.reg:7: malformed dword");
  ExpectRefused(Hive("[K] 1\n\"v\"=wat:1\n"), "/x/system.reg:7: unknown value type");
  ExpectRefused(Hive("\"v\"=\"x\"\n"), "/x/system.reg:6: a value before the first key");
  ExpectRefused(Hive("[K\n"), "/x/system.reg:6: malformed key name");
  ExpectRefused(Hive("[K] 1\nwhat\n"), "/x/system.reg:7: unrecognised line");
}

// Consecutive keys share the nodes of their common path, whatever case each line spells it in.
TEST(WineHive, PathsSpelledInAnotherCaseReachTheSameKeys) {
  TParsedHive parsed(Hive("[Foo\\\\A] 1\n\n[FOO\\\\B] 1\n\n[foo\\\\a\\\\C] 1\n\n[Foo\\\\b\\\\D] 1\n"));
  ASSERT_EQ(parsed.root.children.size(), 1u);
  const regtree::Node& foo = *parsed.root.children[0];
  EXPECT_EQ(foo.name, "Foo");
  ASSERT_EQ(foo.children.size(), 2u);
  EXPECT_EQ(foo.children[0]->name, "A");
  EXPECT_TRUE(foo.children[0]->Find("C"));
  EXPECT_TRUE(foo.children[1]->Find("D"));
}

TEST(WineHive, RepeatedKeyBlocksMerge) {
  regtree::Node root;
  regtree::Hive hive;
  hive.label = "t.reg";
  hive.buffer = Hive("[K] 1\n\"a\"=\"1\"\n\n[K] 1\n\"b\"=\"2\"\n\"a\"=\"3\"\n");
  hive.root = &root;
  wine::ParseHive(hive);
  regtree::Node* k = root.Find("k");
  ASSERT_TRUE(k);
  ASSERT_TRUE(k->valuesReady);
  ASSERT_EQ(k->values.size(), 2u);
  EXPECT_EQ(Utf16LeToUtf8(k->values[0].data), std::string("3\0", 2));
  EXPECT_EQ(k->values[1].name, "b");
  // Values out of order within one block come out sorted, the later of two equal names kept.
  hive.buffer += "\n[L] 1\n\"b\"=\"1\"\n\"A\"=\"2\"\n\"c\"=\"3\"\n\"a\"=\"4\"\n@=\"5\"\n";
  regtree::Node root2;
  hive.root = &root2;
  wine::ParseHive(hive);
  regtree::Node* l = root2.Find("L");
  ASSERT_TRUE(l);
  wine::LoadValues(hive, *l);
  std::vector<std::string> names, data;
  for (const RegValue& v : l->values) {
    names.push_back(v.name);
    data.push_back(Utf16LeToUtf8(v.data));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"", "a", "b", "c"}));
  EXPECT_EQ(data, (std::vector<std::string>{std::string("5\0", 2), std::string("4\0", 2), std::string("1\0", 2),
                                            std::string("3\0", 2)}));
}

// Option lines Kestrove does not interpret come back exactly as read, whatever ends them.
TEST(WineHive, OptionLinesKeepEveryByte) {
  const std::string text = Hive("[K] 1695780567\n#time=1d9f0e7a4b3c2d1\n#arch=win64\r\r\n#opt\r\n\"v\"=\"x\"\n");
  EXPECT_EQ(RoundTrip(text, "t.reg", false), text);
  const std::string regenerated = RoundTrip(text, "t.reg", true);
  EXPECT_EQ(regenerated, text);
  EXPECT_EQ(RoundTrip(regenerated, "t.reg", true), text) << "a second rewrite must not lose anything either";
}

// A write copies unchanged keys from the file's text: their values are never parsed, and a
// large key reaches the sink straight from the buffer instead of through a copy.
TEST(WineHive, UnchangedKeysAreCopiedWithoutReadingTheirValues) {
  const std::string big(3 << 20, 'x');
  regtree::Node root;
  regtree::Hive hive;
  hive.label = "t.reg";
  hive.buffer = Hive("[Big] 1695780567\n#time=1d9f0e7a4b3c2d1\n\"v\"=\"" + big + "\"\n\n[Small] 1695780567\n\"w\"=dword:00000001\n");
  hive.root = &root;
  wine::ParseHive(hive);
  regtree::Node* small = root.Find("Small");
  ASSERT_TRUE(small);
  wine::LoadValues(hive, *small);
  small->valuesReady = true;
  small->values[0].data = {2, 0, 0, 0};
  small->dirty = true;
  std::string out;
  bool bigCopiedFromBuffer = false;
  int parsed = 0;
  wine::WriteHive(
      hive,
      [&](std::string_view s) {
        if (s.data() >= hive.buffer.data() && s.data() < hive.buffer.data() + hive.buffer.size()) bigCopiedFromBuffer = true;
        out += s;
      },
      [&](regtree::Node&) { ++parsed; });
  EXPECT_EQ(parsed, 0);
  EXPECT_TRUE(bigCopiedFromBuffer);
  EXPECT_EQ(out.substr(0, out.find("[Small]")), hive.buffer.substr(0, hive.buffer.find("[Small]")));
  EXPECT_NE(out.find("\"w\"=dword:00000002\n"), std::string::npos);
}

// A key nested 100,000 deep (Wine reads and writes such a file) is read, written back and
// regenerated without recursion: under AddressSanitizer the stack runs out long before that.
TEST(WineHive, DeeplyNestedKeyRoundTrips) {
  constexpr int kLevels = 100000;
  std::string path = "k";
  path.reserve(3 * kLevels);
  for (int i = 1; i < kLevels; ++i) path += "\\\\k";
  const std::string text = Hive("[" + path + "] 1695780567\n#time=1d9f0e7a4b3c2d1\n\"v\"=\"deep\"\n\n[z] 1695780567\n#time=1d9f0e7a4b3c2d1\n");
  EXPECT_EQ(RoundTrip(text, "t.reg", false), text);
  EXPECT_EQ(RoundTrip(text, "t.reg", true), text);
}

}  // namespace
}  // namespace kestrove
