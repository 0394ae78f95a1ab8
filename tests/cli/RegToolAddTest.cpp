// reg add: data conversion per type, the overwrite question, commits and refused writes.
#include "RegToolTestSupport.h"

namespace kestrove::testing {
namespace {

class RegToolAdd : public RegToolFixture {
 protected:
  // Adds /v V with the given switches and returns the stored value (nullopt on failure).
  std::optional<RegValue> AddValue(cli::Args switches) {
    cli::Args args{"add", "HKCU\\Software\\Add", "/v", "V", "/f"};
    args.insert(args.end(), switches.begin(), switches.end());
    last_ = Reg(args);
    if (last_.status != 0) return std::nullopt;
    return Get("Software\\Add", "V");
  }
  RegRun last_;
};

TEST_F(RegToolAdd, CreatesKeysOnTheWayAndCommits) {
  const RegRun r = Reg({"add", "HKCU\\Software\\A\\B\\C", "/v", "Name", "/d", "Just me here"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "The operation completed successfully.\n");
  EXPECT_EQ(r.err, "");
  auto v = Get("Software\\A\\B\\C", "Name");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->type, REG_SZ);
  EXPECT_EQ(v->data, Sz("Just me here"));
  // A named value does not create the default value.
  EXPECT_FALSE(Get("Software\\A\\B\\C", ""));
  EXPECT_FALSE(store_->HasUncommittedChanges());
}

TEST_F(RegToolAdd, WithoutValueNameSetsTheDefaultValue) {
  ASSERT_EQ(Reg({"add", "HKCU\\Software\\Add"}).status, 0);
  auto v = Get("Software\\Add", "");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->type, REG_SZ);
  EXPECT_EQ(v->data, Sz(""));
  ASSERT_EQ(Reg({"add", "HKCU\\Software\\Add", "/ve", "/t", "REG_DWORD", "/d", "5", "/f"}).status, 0);
  EXPECT_EQ(Get("Software\\Add", "")->data, Dword(5));
  ASSERT_EQ(Reg({"add", "HKCU\\Software\\Add", "/v", "", "/d", "x", "/f"}).status, 0);
  EXPECT_EQ(Get("Software\\Add", "")->data, Sz("x"));
}

TEST_F(RegToolAdd, StringTypesAndNone) {
  EXPECT_EQ(AddValue({"/t", "reg_EXPAND_sz", "/d", "dead%PATH%beef"})->data, Sz("dead%PATH%beef"));
  EXPECT_EQ(Get("Software\\Add", "V")->type, REG_EXPAND_SZ);
  // "\0" means nothing special outside REG_MULTI_SZ.
  EXPECT_EQ(AddValue({"/d", "foo\\0bar"})->data, Sz("foo\\0bar"));
  auto none = AddValue({"/t", "REG_NONE"});
  EXPECT_EQ(none->type, REG_NONE);
  EXPECT_EQ(none->data, (Bytes{0, 0}));
  EXPECT_EQ(AddValue({"/d", "Grüße"})->data, Sz("Grüße"));
}

TEST_F(RegToolAdd, NumbersInDecimalOrHex) {
  EXPECT_EQ(AddValue({"/t", "REG_DWORD", "/d", "0123"})->data, Dword(123));
  EXPECT_EQ(AddValue({"/t", "REG_DWORD", "/d", "0X123"})->data, Dword(0x123));
  EXPECT_EQ(AddValue({"/t", "REG_DWORD", "/d", "0xffffffff"})->data, Dword(0xffffffff));
  EXPECT_EQ(AddValue({"/t", "REG_DWORD", "/d", "4294967295"})->data, Dword(0xffffffff));
  auto le = AddValue({"/t", "REG_DWORD_LITTLE_ENDIAN", "/d", "456"});
  EXPECT_EQ(le->type, REG_DWORD);
  EXPECT_EQ(le->data, Dword(456));
  auto be = AddValue({"/t", "REG_DWORD_BIG_ENDIAN", "/d", "0x456"});
  EXPECT_EQ(be->type, REG_DWORD_BIG_ENDIAN);
  EXPECT_EQ(be->data, Dword(0x456));  // stored little-endian, as reg.exe does
  EXPECT_EQ(AddValue({"/t", "REG_QWORD", "/d", "0xffffffffffffffff"})->data, Bytes(8, 0xff));
  EXPECT_EQ(AddValue({"/t", "REG_QWORD"})->data, Bytes(8, 0));
}

TEST_F(RegToolAdd, BadNumbersChangeNothing) {
  for (const char* bad : {"-1", "00x123", "0x", "4294967296", "0x1ffffffff", "123xyz", "deadbeef", " 1", ""}) {
    SCOPED_TRACE(bad);
    const RegRun r = Reg({"add", "HKCU\\Software\\New", "/v", "N", "/t", "REG_DWORD", "/d", bad, "/f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("ERROR: The data for REG_DWORD must be a number", 0), 0u) << r.err;
    EXPECT_FALSE(store_->KeyExists(HKEY_CURRENT_USER, "Software\\New"));
  }
  EXPECT_EQ(Reg({"add", "HKCU\\Software\\New", "/v", "Q", "/t", "REG_QWORD", "/d", "18446744073709551616"}).status, 1);
  // REG_DWORD needs data at all.
  EXPECT_EQ(Reg({"add", "HKCU\\Software\\New", "/ve", "/t", "REG_DWORD", "/f"}).err,
            "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n");
  EXPECT_FALSE(store_->KeyExists(HKEY_CURRENT_USER, "Software\\New"));
  EXPECT_FALSE(store_->HasUncommittedChanges());
}

TEST_F(RegToolAdd, BinaryFromHexDigits) {
  EXPECT_EQ(AddValue({"/t", "REG_BINARY", "/d", "DeAdBeEf0DD"})->data,
            (Bytes{0x0d, 0xea, 0xdb, 0xee, 0xf0, 0xdd}));  // an odd first digit is a byte of its own
  EXPECT_EQ(AddValue({"/t", "REG_BINARY"})->data, Bytes{});
  for (const char* bad : {"0xDeAdBeEf", "x01", "01x", "0 1"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(AddValue({"/t", "REG_BINARY", "/d", bad}));
    EXPECT_EQ(last_.err, "ERROR: The data for REG_BINARY must be hexadecimal digits only, such as 0A1B2C.\n");
  }
}

TEST_F(RegToolAdd, MultiStringSeparators) {
  auto w = [](std::u16string_view s) {
    Bytes b;
    for (char16_t c : s) {
      b.push_back(static_cast<std::uint8_t>(c));
      b.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return b;
  };
  using namespace std::string_view_literals;
  EXPECT_EQ(AddValue({"/t", "REG_MULTI_SZ", "/d", "three\\0little\\0strings"})->data,
            w(u"three\0little\0strings\0\0"sv));
  EXPECT_EQ(AddValue({"/t", "REG_MULTI_SZ", "/s", "#", "/d", "three#little#strings"})->data,
            w(u"three\0little\0strings\0\0"sv));
  EXPECT_EQ(AddValue({"/t", "REG_MULTI_SZ", "/s", "#", "/d", "a#"})->data, w(u"a\0\0"sv));
  EXPECT_EQ(AddValue({"/t", "REG_MULTI_SZ", "/s", "#", "/d", "#"})->data, w(u"\0\0"sv));
  EXPECT_EQ(AddValue({"/t", "REG_MULTI_SZ", "/d", "\\0"})->data, w(u"\0\0"sv));
  EXPECT_EQ(AddValue({"/t", "REG_MULTI_SZ"})->data, w(u"\0"sv));
  // With a separator given, "\0" is plain text.
  EXPECT_EQ(AddValue({"/t", "REG_MULTI_SZ", "/s", "#", "/d", "two\\0#strings"})->data, w(u"two\\0\0strings\0\0"sv));
  for (cli::Args bad : {cli::Args{"/d", "two\\0\\0strings"}, cli::Args{"/d", "\\0a"}, cli::Args{"/s", "#", "/d", "##"},
                        cli::Args{"/s", "#", "/d", "#a"}}) {
    bad.insert(bad.begin(), {"/t", "REG_MULTI_SZ"});
    EXPECT_FALSE(AddValue(bad));
    EXPECT_EQ(last_.err, "ERROR: The data for REG_MULTI_SZ must not hold an empty string between separators.\n");
  }
  for (const char* sep : {"", "##", "\\0"}) {
    EXPECT_FALSE(AddValue({"/t", "REG_MULTI_SZ", "/s", sep, "/d", "a#b"}));
    EXPECT_EQ(last_.err, "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n");
  }
}

TEST_F(RegToolAdd, AsksBeforeOverwritingAndOnlyYesOverwrites) {
  Set("Software\\Add", "List", REG_SZ, Sz("old"));
  for (const char* answer : {"no\n", "", "\n", "maybe\n", "nyes\n"}) {
    SCOPED_TRACE(answer);
    const RegRun r = Reg({"add", "HKCU\\Software\\Add", "/v", "List", "/d", "new"}, answer);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Value List exists, overwrite(Yes/No)? \nThe operation was canceled by the user.\n");
    EXPECT_EQ(Get("Software\\Add", "List")->data, Sz("old"));
  }
  EXPECT_FALSE(store_->HasUncommittedChanges());
  int round = 0;
  for (const char* answer : {"y\n", " YES \r\n"}) {
    const std::string data = "new " + std::to_string(++round);
    const RegRun r = Reg({"add", "HKCU\\Software\\Add", "/v", "List", "/d", data}, answer);
    EXPECT_EQ(r.out, "Value List exists, overwrite(Yes/No)? \nThe operation completed successfully.\n");
    EXPECT_EQ(Get("Software\\Add", "List")->data, Sz(data));
  }
  // The default value is named by nothing in the question, as on Windows.
  Set("Software\\Add", "", REG_SZ, Sz("d"));
  EXPECT_EQ(Reg({"add", "HKCU\\Software\\Add"}, "n\n").out,
            "Value  exists, overwrite(Yes/No)? \nThe operation was canceled by the user.\n");
  // A new value needs no question.
  EXPECT_EQ(Reg({"add", "HKCU\\Software\\Add", "/v", "Fresh"}).out, "The operation completed successfully.\n");
}

TEST_F(RegToolAdd, PlacesThatHoldNoValuesAreDenied) {
  const RegRun r = Reg({"add", "HKU", "/v", "V", "/d", "x", "/f"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: Access is denied.\n");
  EXPECT_EQ(Reg({"add", "HKU\\NoSuchUser", "/f"}).err, "ERROR: Access is denied.\n");
  EXPECT_FALSE(store_->KeyExists(HKEY_USERS, "NoSuchUser"));
  EXPECT_FALSE(store_->HasUncommittedChanges());
  // A name longer than Windows allows is no key name.
  EXPECT_EQ(Reg({"add", "HKCU\\Software\\" + std::string(256, 'k'), "/f"}).err,
            "ERROR: Invalid key name.\nType \"REG ADD /?\" for usage.\n");
}

}  // namespace
}  // namespace kestrove::testing
