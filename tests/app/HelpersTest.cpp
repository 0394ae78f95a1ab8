#include "app/Helpers.h"
#include "app/CommandLine.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace kestrove {
namespace {

TEST(HelpersTest, Rot13RotatesLettersOnly) {
  EXPECT_EQ(ROT13("HELLO, world! 123"), "URYYB, jbeyq! 123");
  EXPECT_EQ(ROT13("abcdefghijklmnopqrstuvwxyz"), "nopqrstuvwxyzabcdefghijklm");
  EXPECT_EQ(ROT13("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), "NOPQRSTUVWXYZABCDEFGHIJKLM");
  // A UserAssist value name as Windows stores it.
  EXPECT_EQ(ROT13("HRZR_EHACNGU:P:\\JVAQBJF\\flfgrz32\\abgrcnq.rkr"), "UEME_RUNPATH:C:\\WINDOWS\\system32\\notepad.exe");
  std::string mixed = "\xC3\xA9 [x] @`{";
  EXPECT_EQ(ROT13(ROT13(mixed)), mixed);
  EXPECT_EQ(ROT13("@[`{"), "@[`{");  // the characters just outside the letter ranges
}

TEST(HelpersTest, TwoDigit) {
  EXPECT_EQ(TwoDigit(0), "00");
  EXPECT_EQ(TwoDigit(7), "07");
  EXPECT_EQ(TwoDigit(9), "09");
  EXPECT_EQ(TwoDigit(10), "10");
  EXPECT_EQ(TwoDigit(59), "59");
  EXPECT_EQ(TwoDigit(2024), "2024");
  EXPECT_EQ(TwoDigit(-5), "-5");
}

TEST(HelpersTest, SizeToKBTextRoundsUpAndGroupsDigits) {
  struct Case {
    std::uint64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0"},
      {1, "1"},
      {1023, "1"},
      {1024, "1"},
      {1025, "2"},
      {999 * 1024, "999"},
      {999 * 1024 + 1, "1,000"},
      {1048576, "1,024"},
      {1024ull * 123456, "123,456"},
      {1024ull * 1234567, "1,234,567"},
      {5ull << 40, "5,368,709,120"},
      {std::numeric_limits<std::uint64_t>::max(), "18,014,398,509,481,984"},
  };
  for (const Case& c : cases) EXPECT_EQ(SizeToKBText(c.bytes), c.text) << c.bytes;
}

}  // namespace
}  // namespace kestrove

namespace kestrove {
namespace {

// The window's own options come out wherever they stand; the system's switch stays first.
TEST(HostOptions, RootHelpAndVersionAreTakenOut) {
  std::vector<std::string> args = {"/Auto", "--root", "/tmp/pfx", "--version"};
  THostOptions o = TakeHostOptions(args);
  EXPECT_EQ(args, std::vector<std::string>{"/Auto"});
  EXPECT_EQ(o.Root, "/tmp/pfx");
  EXPECT_TRUE(o.Version);
  EXPECT_FALSE(o.Help);
  EXPECT_EQ(ParseCommandLine(args).Switch, TStartSwitch::Auto);
  args = {"--root=/x", "/Regscan", "out.ini", "-h"};
  o = TakeHostOptions(args);
  EXPECT_EQ(o.Root, "/x");
  EXPECT_TRUE(o.Help);
  EXPECT_EQ(ParseCommandLine(args).RegscanResultFile, "out.ini");
  for (std::vector<std::string> bad : {std::vector<std::string>{"--root"}, {"--root="}, {"/Clear", "--root", ""}}) {
    EXPECT_FALSE(TakeHostOptions(bad).Error.empty());
  }
}

}  // namespace
}  // namespace kestrove
