// reg query: the output layout Windows' reg.exe prints, searches and failures.
#include "RegToolTestSupport.h"

namespace kestrove::testing {
namespace {

class RegToolQuery : public RegToolFixture {
 protected:
  void SetUp() override {
    Set("Software\\Test", "Text", REG_SZ, Sz("Hello, World"));
    Set("Software\\Test", "Count", REG_DWORD, Dword(0x123));
    Set("Software\\Test\\Sub", "Inner", REG_SZ, Sz("Second"));
    Key("Software\\Test\\Sub\\Leaf");
  }
};

TEST_F(RegToolQuery, ListsValuesThenSubkeysUnderTheLongRootName) {
  const RegRun r = Reg({"query", "hkcu\\Software\\Test"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\n"
            "    Count    REG_DWORD    0x123\n"
            "    Text    REG_SZ    Hello, World\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\\Sub\n");
}

TEST_F(RegToolQuery, KeyWithoutValuesIsNotNamedAndEmptyKeyPrintsABlankLine) {
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\Test\\Sub\\Leaf"}).out, "\n");
  Key("Software\\OnlyKeys\\A");
  Key("Software\\OnlyKeys\\B");
  EXPECT_EQ(Reg({"query", "HKEY_CURRENT_USER\\Software\\OnlyKeys\\"}).out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\OnlyKeys\\A\n"
            "HKEY_CURRENT_USER\\Software\\OnlyKeys\\B\n");
}

TEST_F(RegToolQuery, RecursionNamesEveryKeyBelowWithItsValues) {
  const RegRun r = Reg({"query", "HKCU\\Software\\Test", "/s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\n"
            "    Count    REG_DWORD    0x123\n"
            "    Text    REG_SZ    Hello, World\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\\Sub\n"
            "    Inner    REG_SZ    Second\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\\Sub\\Leaf\n"
            "\n");
}

TEST_F(RegToolQuery, ShowsEveryTypeAsWindowsDoes) {
  Set("Software\\Types", "", REG_SZ, Sz("default"));
  Set("Software\\Types", "Expand", REG_EXPAND_SZ, Sz("%SystemRoot%\\x"));
  Set("Software\\Types", "Multi", REG_MULTI_SZ, Bytes{'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0});
  Set("Software\\Types", "Qword", REG_QWORD, Bytes{0xef, 0xcd, 0xab, 0x89, 0x67, 0x45, 0x23, 0x01});
  Set("Software\\Types", "Bin", REG_BINARY, Bytes{0x0a, 0xff, 0x00});
  Set("Software\\Types", "None", REG_NONE, Bytes{});
  Set("Software\\Types", "Odd", 0x100, Bytes{0x25, 0x50});
  Set("Software\\Types", "Short", REG_DWORD, Bytes{0x01, 0x02});
  const RegRun r = Reg({"query", "HKCU\\Software\\Types"});
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Types\n"
            "    (Default)    REG_SZ    default\n"
            "    Bin    REG_BINARY    0AFF00\n"
            "    Expand    REG_EXPAND_SZ    %SystemRoot%\\x\n"
            "    Multi    REG_MULTI_SZ    a\\0bc\n"
            "    None    REG_NONE    \n"
            "    Odd    0x100    2550\n"
            "    Qword    REG_QWORD    0x123456789abcdef\n"
            "    Short    REG_DWORD    0102\n"
            "\n");
  // /se changes only how REG_MULTI_SZ strings are joined; /t keeps the listed types.
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\Types", "/se", "#", "/t", "REG_MULTI_SZ,reg_qword"}).out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Types\n"
            "    Multi    REG_MULTI_SZ    a#bc\n"
            "    Qword    REG_QWORD    0x123456789abcdef\n"
            "\n");
}

TEST_F(RegToolQuery, OneValueByNameOrTheDefault) {
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\Test", "/v", "count"}).out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\n"
            "    Count    REG_DWORD    0x123\n"
            "\n");
  // An unset default value is reported as such, not as an error.
  const RegRun unset = Reg({"query", "HKCU\\Software\\Test", "/ve"});
  EXPECT_EQ(unset.status, 0);
  EXPECT_EQ(unset.out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\n"
            "    (Default)    REG_SZ    (value not set)\n"
            "\n");
  const RegRun missing = Reg({"query", "HKCU\\Software\\Test", "/v", "Missing"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "ERROR: The system was unable to find the specified registry key or value.\n");
}

TEST_F(RegToolQuery, ValueSearchThroughSubkeysCountsMatches) {
  Set("Software\\Test\\Sub\\Leaf", "Text", REG_SZ, Sz("Deep"));
  const RegRun r = Reg({"query", "HKCU\\Software\\Test", "/v", "Text", "/s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\n"
            "    Text    REG_SZ    Hello, World\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\\Sub\\Leaf\n"
            "    Text    REG_SZ    Deep\n"
            "\n"
            "End of search: 2 match(es) found.\n");
  const RegRun none = Reg({"query", "HKCU\\Software\\Test", "/v", "Nowhere", "/s"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "\nEnd of search: 0 match(es) found.\n");
}

TEST_F(RegToolQuery, FindSearchesKeysNamesAndData) {
  Set("Software\\Test\\Sub", "Greeting", REG_SZ, Sz("hello there"));
  // Everything: the key "Sub", the data of Text and Greeting.
  const RegRun all = Reg({"query", "HKCU\\Software\\Test", "/f", "hello", "/s"});
  EXPECT_EQ(all.out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\n"
            "    Text    REG_SZ    Hello, World\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\\Sub\n"
            "    Greeting    REG_SZ    hello there\n"
            "\n"
            "End of search: 2 match(es) found.\n");
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\Test", "/f", "hello", "/s", "/c"}).out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\\Sub\n"
            "    Greeting    REG_SZ    hello there\n"
            "\n"
            "End of search: 1 match(es) found.\n");
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\Test", "/f", "LEA?", "/s", "/k", "/e"}).out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\\Sub\\Leaf\n"
            "End of search: 1 match(es) found.\n");
  // Without /s only the key's own values and its direct subkeys' names are searched.
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\Test", "/f", "s*"}).out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Test\\Sub\n"
            "End of search: 1 match(es) found.\n");
  const RegRun none = Reg({"query", "HKCU\\Software\\Test", "/f", "hello", "/k", "/s"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "\nEnd of search: 0 match(es) found.\n");
}

TEST_F(RegToolQuery, RootsByAnyNameAndClassesRootInsideTheMachineHive) {
  Set("Software\\Classes\\.kst", "", REG_SZ, Sz("kstfile"), HKEY_LOCAL_MACHINE);
  const std::string expected =
      "\n"
      "HKEY_CLASSES_ROOT\\.kst\n"
      "    (Default)    REG_SZ    kstfile\n"
      "\n";
  EXPECT_EQ(Reg({"query", "HKCR\\.kst"}).out, expected);
  EXPECT_EQ(Reg({"query", "hkey_classes_root\\.kst"}).out, expected);
  EXPECT_EQ(Reg({"query", "HKLM\\Software\\Classes\\.KST"}).out,
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Classes\\.KST\n"
            "    (Default)    REG_SZ    kstfile\n"
            "\n");
}

TEST_F(RegToolQuery, MissingKeyFailsOnStderr) {
  const RegRun r = Reg({"query", "HKCU\\Software\\Nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR: The system was unable to find the specified registry key or value.\n");
}

}  // namespace
}  // namespace kestrove::testing
