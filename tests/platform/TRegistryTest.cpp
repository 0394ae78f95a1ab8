#include <gtest/gtest.h>

#include "platform/TRegistry.h"

namespace kestrove {
namespace {

class TRegistryTest : public ::testing::Test {
 protected:
  std::shared_ptr<RegistryStore> store{RegistryStore::CreateInMemory()};
  TRegistry reg{store};

  template <typename F>
  std::string ErrorOf(F f) {
    try {
      f();
    } catch (const ERegistryException& e) {
      return e.what();
    }
    return "(no error)";
  }
};

TEST_F(TRegistryTest, StartsAtCurrentUserAndOpensRelativeOrFromTheRoot) {
  EXPECT_EQ(reg.RootKey(), HKEY_CURRENT_USER);
  EXPECT_FALSE(reg.OpenKey("Software\\A", false));
  ASSERT_TRUE(reg.OpenKey("Software\\A", true));
  EXPECT_EQ(reg.CurrentPath(), "Software\\A");
  ASSERT_TRUE(reg.OpenKey("B", true));  // relative to the open key
  EXPECT_EQ(reg.CurrentPath(), "Software\\A\\B");
  ASSERT_TRUE(reg.OpenKey("\\Software", false));  // from the root
  EXPECT_EQ(reg.CurrentPath(), "Software");
  // A failed open keeps the key that was open.
  EXPECT_FALSE(reg.OpenKey("Missing", false));
  EXPECT_EQ(reg.CurrentPath(), "Software");
  EXPECT_TRUE(reg.KeyExists("A\\B"));
  EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\a\\b"));
  reg.SetRootKey(HKEY_LOCAL_MACHINE);  // closes the key
  EXPECT_FALSE(reg.HasOpenKey());
  EXPECT_FALSE(reg.KeyExists("Software\\A"));
  reg.CloseKey();  // safe twice
}

TEST_F(TRegistryTest, ReadsFollowTheDataTypeRules) {
  ASSERT_TRUE(reg.OpenKey("K", true));
  reg.WriteString("s", "text");
  reg.WriteExpandString("e", "%windir%\\x");
  reg.WriteInteger("i", -5);
  const std::uint8_t bin[3] = {1, 2, 3};
  reg.WriteBinaryData("b", bin, 3);
  Bytes withZero = Utf8ToUtf16Le("ab", false);
  withZero.insert(withZero.end(), {0, 0, 'c', 0, 0, 0});
  reg.WriteRaw("z", REG_SZ, withZero);
  reg.WriteRaw("m", REG_MULTI_SZ, Utf8ToUtf16Le("x", true));
  reg.WriteRaw("empty", REG_SZ, {});
  reg.WriteRaw("emptyBinary", REG_BINARY, {});

  EXPECT_EQ(reg.GetDataType("s"), TRegDataType::rdString);
  EXPECT_EQ(reg.GetDataType("e"), TRegDataType::rdExpandString);
  EXPECT_EQ(reg.GetDataType("i"), TRegDataType::rdInteger);
  EXPECT_EQ(reg.GetDataType("b"), TRegDataType::rdBinary);
  EXPECT_EQ(reg.GetDataType("m"), TRegDataType::rdUnknown);
  EXPECT_EQ(reg.GetDataType("missing"), TRegDataType::rdUnknown);
  EXPECT_EQ(reg.GetDataSize("s"), 10);  // four characters and the zero, in UTF-16
  EXPECT_EQ(reg.GetDataSize("missing"), -1);

  EXPECT_EQ(reg.ReadString("s"), "text");
  EXPECT_EQ(reg.ReadString("E"), "%windir%\\x");
  EXPECT_EQ(reg.ReadString("z"), "ab");  // up to the first zero character
  EXPECT_EQ(reg.ReadString("empty"), "");
  EXPECT_EQ(reg.ReadString("emptyBinary"), "");  // size 0: empty text, whatever the type
  EXPECT_EQ(reg.ReadString("missing"), "");
  EXPECT_EQ(ErrorOf([&] { reg.ReadString("i"); }), "Invalid data type for 'i'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadString("m"); }), "Invalid data type for 'm'");

  EXPECT_EQ(reg.ReadInteger("i"), -5);
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("missing"); }), "Failed to get data for 'missing'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("b"); }), "Invalid data type for 'b'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("s"); }), "Failed to get data for 's'");

  std::uint8_t buf[8] = {};
  EXPECT_EQ(reg.ReadBinaryData("b", buf, sizeof buf), 3);
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(reg.ReadBinaryData("m", buf, sizeof buf), 4);  // an unknown type reads as binary
  EXPECT_EQ(reg.ReadBinaryData("missing", buf, sizeof buf), 0);
  EXPECT_EQ(ErrorOf([&] { reg.ReadBinaryData("b", buf, 2); }), "Invalid data type for 'b'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadBinaryData("s", buf, sizeof buf); }), "Invalid data type for 's'");
}

TEST_F(TRegistryTest, WritesNeedAnOpenKey) {
  EXPECT_EQ(ErrorOf([&] { reg.WriteString("x", "y"); }), "Failed to set data for 'x'");
  ASSERT_TRUE(reg.OpenKey("K", true));
  ASSERT_TRUE(store->DeleteKey(HKEY_CURRENT_USER, "K"));  // removed behind the object's back
  EXPECT_EQ(ErrorOf([&] { reg.WriteInteger("x", 1); }), "Failed to set data for 'x'");
  EXPECT_FALSE(reg.DeleteValue("x"));
}

TEST_F(TRegistryTest, EnumerationAndKeyInfo) {
  ASSERT_TRUE(reg.OpenKey("K", true));
  for (const char* n : {"beta", "Alpha", "gamma9"}) ASSERT_TRUE(reg.OpenKey("\\K\\" + std::string(n), true));
  ASSERT_TRUE(reg.OpenKey("\\K", false));
  reg.WriteString("Zed", "12345");
  reg.WriteString("", "d");
  std::vector<std::string> names{"stale"};
  reg.GetKeyNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma9"}));
  reg.GetValueNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"", "Zed"}));
  RegKeyInfo info;
  ASSERT_TRUE(reg.GetKeyInfo(info));
  EXPECT_EQ(info.subKeyCount, 3u);
  EXPECT_EQ(info.maxSubKeyLen, 6u);
  EXPECT_EQ(info.valueCount, 2u);
  EXPECT_EQ(info.maxValueNameLen, 3u);
  EXPECT_EQ(info.maxDataLen, 12u);
  EXPECT_TRUE(reg.HasSubKeys());
  EXPECT_TRUE(reg.ValueExists("zed"));
  EXPECT_TRUE(reg.DeleteValue("ZED"));
  EXPECT_FALSE(reg.ValueExists("Zed"));
  EXPECT_FALSE(reg.DeleteValue("Zed"));
  reg.CloseKey();
  reg.GetKeyNames(names);
  EXPECT_TRUE(names.empty());
}

TEST_F(TRegistryTest, DeleteKeyTakesTheWholeTree) {
  ASSERT_TRUE(reg.OpenKey("\\Software\\App\\a\\deep\\deeper", true));
  ASSERT_TRUE(reg.OpenKey("\\Software\\App\\b", true));
  reg.WriteString("v", "x");
  ASSERT_TRUE(reg.OpenKey("\\Software", false));
  EXPECT_TRUE(reg.DeleteKey("App"));
  EXPECT_FALSE(reg.KeyExists("App"));
  EXPECT_TRUE(reg.KeyExists("\\Software"));
  EXPECT_FALSE(reg.DeleteKey("App"));
  EXPECT_FALSE(reg.DeleteKey("\\"));  // the root is never deleted
  // A hive's own root is refused before anything below it goes.
  TRegistry users(store);
  users.SetRootKey(HKEY_USERS);
  EXPECT_FALSE(users.DeleteKey(store->UserSid()));
  EXPECT_TRUE(store->KeyExists(HKEY_CURRENT_USER, "Software"));
}

TEST(RootKeyNames, LongAndShortFormsWithoutRegardToCase) {
  EXPECT_EQ(RootKeyName(HKEY_LOCAL_MACHINE), "HKEY_LOCAL_MACHINE");
  EXPECT_EQ(RootKeyFromName("hkey_current_user"), HKEY_CURRENT_USER);
  EXPECT_EQ(RootKeyFromName("HKCR"), HKEY_CLASSES_ROOT);
  EXPECT_EQ(RootKeyFromName("hku"), HKEY_USERS);
  EXPECT_EQ(RootKeyFromName("HKEY_DYN_DATA"), HKEY_DYN_DATA);
  EXPECT_FALSE(RootKeyFromName("HKEY_LOCAL"));
  for (auto root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG})
    EXPECT_EQ(RootKeyFromName(RootKeyName(root)), root);
}

TEST(RegistryNames, CompareWithoutRegardToCase) {
  EXPECT_EQ(CompareNames("ABC", "abc"), 0);
  EXPECT_LT(CompareNames("_x", "ANSI"), 0);  // as Wine orders keys: by lower-cased name
  EXPECT_LT(CompareNames("ab", "abc"), 0);
  EXPECT_EQ(CompareNames("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"), 0);  // Été / éTÉ
  EXPECT_EQ(CompareNames("\xD0\x9F", "\xD0\xBF"), 0);                  // Cyrillic П / п
  EXPECT_NE(CompareNames("a", "b"), 0);
}

TEST(Utf16, RoundTripsAndSurrogates) {
  std::string text = "a\xC3\xA9\xE2\x98\xBA\xF0\x9F\x98\x80";
  Bytes data = Utf8ToUtf16Le(text, true);
  EXPECT_EQ(data.size(), (1 + 1 + 1 + 2 + 1) * 2u);
  EXPECT_EQ(Utf16LeToUtf8(data.data(), data.size() - 2), text);
  EXPECT_EQ(Utf16Length(text), 5u);
  const std::uint8_t lone[2] = {0x00, 0xD8};
  EXPECT_EQ(Utf16LeToUtf8(lone, 2), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kestrove
