// The user's own list: how the editor stores its rows, and the refusals the dialogs give
// before an entry is saved, which must match what the cleaner logs when it runs the list.
#include "cleaner/CustomList.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/IniFile.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(CustomList, RowsAreNumberedPerKindInRowOrder) {
  const std::vector<std::string> rows = {"C:\\Temp,report.txt", "hkey_current_user\\Software\\Foo,",
                                         "C:\\Temp\\Old", "Software\\HKEY_X", "HKEY_LOCAL_MACHINE\\Software\\Bar,Baz"};
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"DelFile1", rows[0]}, {"DelRegValue1", rows[1]}, {"DelFile2", rows[2]},
      // Not beginning with "HKEY_": a file entry, whatever it holds.
      {"DelFile3", rows[3]}, {"DelRegValue2", rows[4]}};
  EXPECT_EQ(CustomListLines(rows), expected);
}

TEST(CustomList, RegistryEntriesSplitAtTheFirstComma) {
  struct Case {
    std::string text;
    TRegistryEntry parts;
  };
  const Case cases[] = {
      {"HKEY_CURRENT_USER\\Software\\Foo", {"HKEY_CURRENT_USER\\Software\\Foo", TRegistryEntryMode::Key, ""}},
      {"HKEY_CURRENT_USER\\Software\\Foo,", {"HKEY_CURRENT_USER\\Software\\Foo", TRegistryEntryMode::AllValues, ""}},
      {"HKEY_CURRENT_USER\\Software\\Foo,Bar", {"HKEY_CURRENT_USER\\Software\\Foo", TRegistryEntryMode::Value, "Bar"}},
      {"HKEY_CURRENT_USER\\Foo,Bar,Baz", {"HKEY_CURRENT_USER\\Foo", TRegistryEntryMode::Value, "Bar,Baz"}},
  };
  for (const Case& c : cases) {
    const TRegistryEntry got = SplitRegistryEntry(c.text);
    EXPECT_EQ(got.Key, c.parts.Key) << c.text;
    EXPECT_EQ(got.Mode, c.parts.Mode) << c.text;
    EXPECT_EQ(got.ValueName, c.parts.ValueName) << c.text;
    EXPECT_EQ(RegistryEntryText(got), c.text);
  }
}

TEST(CustomList, SavingReplacesOnlyTheListAndReadsBackInOrder) {
  memory::MemoryTarget target;
  const std::string folder = (target.Folder() / "program").string() + "/";
  std::filesystem::create_directories(folder);
  std::ofstream(folder + kCustomListFile) << "; mine\r\n[Other]\r\nA=1\r\n\r\n[<new list>]\r\nDelFile1=C:\\Old\r\n"
                                            "DelFile2=C:\\Older\r\n\r\n[Last]\r\nB=2\r\n[<New List>]\r\nDelFile9=C:\\X\r\n";
  EXPECT_EQ(ReadCustomList(folder), (std::vector<std::string>{"C:\\Old", "C:\\Older", "C:\\X"}));
  SaveCustomList(folder, {"C:\\Temp,*.txt", "HKEY_CURRENT_USER\\Software\\Foo"});
  // Every copy of the section goes; the first keeps its place and spelling; line ends and
  // the other sections stay.
  EXPECT_EQ(ReadAll(folder + kCustomListFile),
            "; mine\r\n[Other]\r\nA=1\r\n\r\n[<new list>]\r\nDelFile1=C:\\Temp,*.txt\r\n"
            "DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo\r\n\r\n[Last]\r\nB=2\r\n");
  EXPECT_EQ(ReadCustomList(folder), (std::vector<std::string>{"C:\\Temp,*.txt", "HKEY_CURRENT_USER\\Software\\Foo"}));
}

TEST(CustomList, MissingFileReadsAsNoRowsAndSavingCreatesIt) {
  memory::MemoryTarget target;
  const std::string folder = (target.Folder() / "program").string() + "/";
  std::filesystem::create_directories(folder);
  EXPECT_TRUE(ReadCustomList(folder).empty());
  SaveCustomList(folder, {"C:\\Temp\\Old"});
  EXPECT_EQ(ReadAll(folder + kCustomListFile), "[<New List>]\nDelFile1=C:\\Temp\\Old\n");
}

// The dialogs refuse what the cleaner would skip, with the reason of its log line (the
// log's own wording is checked in DefinitionsTest).
TEST(CustomList, RefusalsMatchTheCleanersReasons) {
  memory::MemoryTarget target;
  target.WriteFile("C:\\windows\\win.ini", "[windows]");
  target.WriteFile("C:\\Temp\\a.txt", "a");
  target.SetString(HKEY_CURRENT_USER, "Software\\Foo", "One", "1");
  const std::string sid = target.Registry()->UserSid();
  struct Case {
    std::string entry;
    std::string why;  // empty: accepted
  };
  const Case cases[] = {
      {"C:\\windows", "it is the Windows folder"},
      {"%windir%", "it is the Windows folder"},
      {"C:\\windows,*.*", "it is the Windows folder"},
      {"C:\\windows,*", "it is the Windows folder"},
      {"C:\\windows,*.log", ""},  // files of a kind may go from any folder
      {"C:\\windows,win.ini", ""},
      {"C:\\users", "it holds the user profile folder"},
      {"C:\\users\\user", "it is the user profile folder"},
      {"C:\\Temp", ""},
      {"C:\\Temp,*.txt", ""},
      {"C:", ""},  // a drive root is asked about when the list runs
      {"HKEY_USERS\\" + sid, "it is a root key of the registry"},
      {"HKEY_USERS\\" + sid + ",", "it is a root key of the registry"},
      {"hkey_users\\" + sid + ",", "it is a root key of the registry"},
      {"HKEY_USERS\\" + sid + ",SomeValue", ""},  // one value is never refused
      {"HKEY_CURRENT_USER", ""},  // no "\\": the cleaner passes over the line, removing nothing
      {"HKEY_CURRENT_USER\\", "it is a root key of the registry"},
      {"HKEY_CURRENT_USER\\Software\\Foo", ""},
      {"HKEY_CURRENT_USER\\Software\\Foo,", ""},
      {"HKEY_CURRENT_USER\\Software\\Missing", ""},
  };
  for (const Case& c : cases) {
    const auto why = CustomEntryRefusal(target, c.entry);
    EXPECT_EQ(why.value_or(""), c.why) << c.entry;
  }
}

}  // namespace
}  // namespace kestrove
