#include "app/IniFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../HangGuard.h"
#include "AppTestSupport.h"

namespace kestrove {
namespace {

using testing::FaultyEnv;
using testing::FolderEntries;
using testing::ReadAll;
using testing::TempFolder;
using testing::WriteAll;

TEST(IniFileRead, MissingFileGivesDefaultsAndIsNotCreated) {
  TempFolder dir;
  TIniFile ini(dir / "options.ini");
  EXPECT_EQ(ini.ReadString("Hotkey", "CharString", "F5"), "F5");
  EXPECT_EQ(ini.ReadInteger("Options", "WipeNumber", 1), 1);
  EXPECT_TRUE(ini.ReadBool("Options", "IsAskBeforeClear", true));
  EXPECT_FALSE(ini.SectionExists("Options"));
  EXPECT_TRUE(ini.ReadSections().empty());
  EXPECT_TRUE(ini.ReadSectionValues("Options").empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "options.ini"));
}

TEST(IniFileRead, SectionsAndKeysIgnoreCase) {
  TempFolder dir;
  WriteAll(dir / "a.ini", "[SCHEDULE]\ncleaninterval=3\n");
  TIniFile ini(dir / "a.ini");
  EXPECT_EQ(ini.ReadInteger("SChedule", "CleanInterval", 0), 3);
  EXPECT_EQ(ini.ReadInteger("schedule", "CLEANINTERVAL", 0), 3);
  EXPECT_TRUE(ini.ValueExists("Schedule", "CleanInterval"));

  // Changing the key rewrites the existing line rather than adding a second section.
  ini.WriteInteger("SChedule", "CleanInterval", 4);
  EXPECT_EQ(ReadAll(dir / "a.ini"), "[SCHEDULE]\ncleaninterval=4\n");
}

TEST(IniFileRead, IntegersAcceptDecimalAndHexOnly) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> value;
  } cases[] = {
      {"5", 5},          {"0x5", 5},        {"0X1f", 31},        {"-7", -7},       {"+7", 7},
      {"0", 0},          {"2147483647", 2147483647},             {"-2147483648", INT32_MIN},
      {"2147483648", {}}, {"0xFFFFFFFF", -1}, {"0x100000000", {}}, {"0x", {}},        {"0", 0},
      {"yes", {}},       {"", {}},          {"12abc", {}},       {"1.5", {}},      {"0xg", {}},
      {"-", {}},         {"$10", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseIniInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(IniFileRead, BooleansAreIntegers) {
  TempFolder dir;
  WriteAll(dir / "a.ini", "[Options]\nA=2\nB=yes\nC=0\nD=0x0\nE= 1 \n");
  TIniFile ini(dir / "a.ini");
  EXPECT_TRUE(ini.ReadBool("Options", "A", false));
  EXPECT_FALSE(ini.ReadBool("Options", "B", false));  // not a number: the default
  EXPECT_TRUE(ini.ReadBool("Options", "B", true));
  EXPECT_FALSE(ini.ReadBool("Options", "C", true));
  EXPECT_FALSE(ini.ReadBool("Options", "D", true));
  EXPECT_TRUE(ini.ReadBool("Options", "E", false));
  ini.WriteBool("Options", "F", true);
  ini.WriteBool("Options", "G", false);
  EXPECT_EQ(ini.ReadString("Options", "F", ""), "1");
  EXPECT_EQ(ini.ReadString("Options", "G", ""), "0");
}

TEST(IniFileRead, LongTextIsCutAt2048Characters) {
  TempFolder dir;
  TIniFile ini(dir / "a.ini");
  ini.WriteString("S", "Long", std::string(3000, 'x'));
  EXPECT_EQ(ini.ReadString("S", "Long", ""), std::string(2048, 'x'));
  EXPECT_EQ(ini.ReadSectionValues("S").at(0).second.size(), 2048u);

  // A multi-byte character counts once and is never split.
  std::string text = std::string(2047, 'a') + "\xC3\xA9" + "b";
  ini.WriteString("S", "Utf8", text);
  EXPECT_EQ(ini.ReadString("S", "Utf8", ""), std::string(2047, 'a') + "\xC3\xA9");
  ini.WriteString("S", "Exact", std::string(2048, 'y'));
  EXPECT_EQ(ini.ReadString("S", "Exact", ""), std::string(2048, 'y'));
}

TEST(IniFileRead, ToleratesRealWorldFiles) {
  TempFolder dir;
  WriteAll(dir / "a.ini",
           "\xEF\xBB\xBF"
           "orphan=before any section\r\n"
           "; a comment = not a key\r\n"
           "[ Options ]\r\n"
           "  WipeNumber   =   7  \r\n"
           "a line without an equals sign\r\n"
           ";IsWipeFile=1\r\n"
           "OutputDirectory=C:\\Backup ; kept\r\n"
           "Quoted=\"  spaced  \"\r\n"
           "Single='x'\r\n"
           "Empty=\r\n"
           "[Other]junk after the bracket\r\n"
           "k=v");
  TIniFile ini(dir / "a.ini");
  EXPECT_EQ(ini.ReadInteger("Options", "WipeNumber", 1), 7);
  EXPECT_FALSE(ini.ValueExists("Options", "IsWipeFile"));
  EXPECT_EQ(ini.ReadString("Options", "OutputDirectory", ""), "C:\\Backup ; kept");
  EXPECT_EQ(ini.ReadString("Options", "Quoted", ""), "  spaced  ");
  EXPECT_EQ(ini.ReadString("Options", "Single", ""), "x");
  EXPECT_EQ(ini.ReadString("Options", "Empty", "default"), "");
  EXPECT_EQ(ini.ReadString("Other", "k", ""), "v");
  EXPECT_FALSE(ini.ValueExists("", "orphan"));
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Options", "Other"}));
  EXPECT_EQ(ini.ReadSection("Options"),
            (std::vector<std::string>{"WipeNumber", "OutputDirectory", "Quoted", "Single", "Empty"}));
}

TEST(IniFileWrite, ChangesOnlyItsOwnLineAndKeepsLineEndsAndMark) {
  TempFolder dir;
  const std::string before =
      "\xEF\xBB\xBF"
      "; settings\r\n"
      "[Options]\r\n"
      "  WipeNumber = 7\r\n"
      "odd line\r\n"
      "\r\n"
      "; about the next one\r\n"
      "[Hotkey]\r\n"
      "IsCtrl=1";
  WriteAll(dir / "a.ini", before);
  TIniFile ini(dir / "a.ini");

  ini.WriteInteger("options", "wipenumber", 3);
  ini.WriteBool("Options", "IsWipeFile", true);  // new key: after the section's last entry
  ini.WriteString("Hotkey", "CharString", "F5");  // new key in the last, unterminated section
  ini.WriteString("SChedule", "AutoClean", "0");  // new section: at the end
  EXPECT_EQ(ReadAll(dir / "a.ini"),
            "\xEF\xBB\xBF"
            "; settings\r\n"
            "[Options]\r\n"
            "  WipeNumber=3\r\n"
            "odd line\r\n"
            "IsWipeFile=1\r\n"
            "\r\n"
            "; about the next one\r\n"
            "[Hotkey]\r\n"
            "IsCtrl=1\r\n"
            "CharString=F5\r\n"
            "\r\n"
            "[SChedule]\r\n"
            "AutoClean=0\r\n");
}

TEST(IniFileWrite, NewFileLayout) {
  TempFolder dir;
  TIniFile ini(dir / "a.ini");
  ini.WriteString("A", "x", "1");
  ini.WriteString("B", "y", "2");
  ini.WriteString("A", "z", "3");
  EXPECT_EQ(ReadAll(dir / "a.ini"), "[A]\nx=1\nz=3\n\n[B]\ny=2\n");
}

TEST(IniFileWrite, ValuesSurviveTheRoundTrip) {
  TempFolder dir;
  TIniFile ini(dir / "a.ini");
  for (std::string v : {"plain", "", " leading", "trailing\t", "\"quoted\"", "'single'", "\"", "a=b=c", "; not a comment",
                        "[not a section]", "C:\\Program Files\\x y", "\xD0\x9F\xD1\x80\xD0\xB8"}) {
    ini.WriteString("S", "k", v);
    EXPECT_EQ(ini.ReadString("S", "k", "default"), v) << v;
  }
}

TEST(IniFileWrite, ReadsAndWritesGoStraightToTheFile) {
  TempFolder dir;
  TIniFile first(dir / "a.ini");
  TIniFile second(dir / "a.ini");
  first.WriteInteger("S", "k", 1);
  EXPECT_EQ(second.ReadInteger("S", "k", 0), 1);
  WriteAll(dir / "a.ini", "[S]\nk=2\n");  // changed behind the objects' back
  EXPECT_EQ(first.ReadInteger("S", "k", 0), 2);
  second.WriteInteger("S", "other", 5);
  EXPECT_EQ(ReadAll(dir / "a.ini"), "[S]\nk=2\nother=5\n");
}

TEST(IniFileWrite, UnchangedValueLeavesTheFileAlone) {
  TempFolder dir;
  WriteAll(dir / "a.ini", "[S]\nk = 1\n");
  auto env = std::make_shared<FaultyEnv>(FaultyEnv::Fault::None);
  TIniFile ini(dir / "a.ini", env);
  ini.WriteBool("S", "k", true);
  EXPECT_EQ(env->creations, 0);
  EXPECT_EQ(ReadAll(dir / "a.ini"), "[S]\nk = 1\n");
  ini.WriteBool("S", "k", false);
  EXPECT_EQ(env->creations, 1);
}

TEST(IniFileWrite, SectionListsAndDuplicates) {
  TempFolder dir;
  WriteAll(dir / "a.ini", "[B]\nk1=1\n[a]\nx=0\n[b]\nK1=shadowed\nk2=2\n");
  TIniFile ini(dir / "a.ini");
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"B", "a"}));
  EXPECT_EQ(ini.ReadSection("B"), (std::vector<std::string>{"k1", "k2"}));
  auto values = ini.ReadSectionValues("b");
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0], (std::pair<std::string, std::string>{"k1", "1"}));
  EXPECT_EQ(values[1], (std::pair<std::string, std::string>{"k2", "2"}));
  EXPECT_EQ(ini.ReadString("B", "k2", ""), "2");
}

// A frozen copy finds sections through an index built once: it must answer every read as the
// file does (a section in two copies, in other letter case, with blanks, the last one running
// to the end), and stop answering from its old reading once it has written.
TEST(IniFileRead, FrozenCopyAnswersAsTheFile) {
  TempFolder dir;
  WriteAll(dir / "a.ini",
           "\xEF\xBB\xBFtop=1\r\n[B]\r\nk1=1\r\n; note\r\n[ a ]\r\nx=\"quoted \"\r\n[b]\r\nK1=shadowed\r\nk2=0x10\r\n"
           "[Empty]\r\n[Last]\r\nz=9");
  const TIniFile file(dir / "a.ini");
  TIniFile frozen = file.Frozen();
  struct TRead {
    const char* section;
    const char* key;
  };
  const std::vector<TRead> reads = {{"B", "k1"}, {"b", "K2"}, {"a", "x"},    {" A ", "x"}, {"Empty", "x"},
                                    {"Last", "z"}, {"last", "Z"}, {"Nope", "k1"}, {"B", "x"},  {"", "top"}};
  for (const TRead& r : reads) {
    const std::string what = std::string(r.section) + "/" + r.key;
    EXPECT_EQ(frozen.ReadString(r.section, r.key, "def"), file.ReadString(r.section, r.key, "def")) << what;
    EXPECT_EQ(frozen.ReadInteger(r.section, r.key, -1), file.ReadInteger(r.section, r.key, -1)) << what;
    EXPECT_EQ(frozen.ValueExists(r.section, r.key), file.ValueExists(r.section, r.key)) << what;
    EXPECT_EQ(frozen.SectionExists(r.section), file.SectionExists(r.section)) << what;
    EXPECT_EQ(frozen.ReadSectionValues(r.section), file.ReadSectionValues(r.section)) << what;
    EXPECT_EQ(frozen.ReadSectionLines(r.section), file.ReadSectionLines(r.section)) << what;
  }
  EXPECT_EQ(frozen.ReadSections(), file.ReadSections());

  WriteAll(dir / "a.ini", "[B]\nk1=changed\n");
  EXPECT_EQ(frozen.ReadString("B", "k1", ""), "1");  // read once, when frozen
  frozen.WriteString("B", "k3", "3");
  EXPECT_EQ(frozen.ReadString("B", "k1", ""), "changed");
  EXPECT_EQ(TIniFile(dir / "missing.ini").Frozen().ReadString("B", "k1", "def"), "def");
}

TEST(IniFileWrite, EraseSectionAndDeleteKey) {
  TempFolder dir;
  WriteAll(dir / "a.ini", "[Keep]\na=1\n\n[Gone]\nx=1\ny=2\n\n[Keep2]\nb=2\nc=3\nB=4\n");
  TIniFile ini(dir / "a.ini");
  ini.EraseSection("GONE");
  ini.DeleteKey("Keep2", "b");
  EXPECT_EQ(ReadAll(dir / "a.ini"), "[Keep]\na=1\n\n[Keep2]\nc=3\n");
  EXPECT_FALSE(ini.SectionExists("Gone"));

  TIniFile missing(dir / "none.ini");
  missing.EraseSection("S");
  missing.DeleteKey("S", "k");
  EXPECT_FALSE(std::filesystem::exists(dir / "none.ini"));
}

TEST(IniFileWrite, RefusesWhatTheFileCannotHold) {
  TempFolder dir;
  WriteAll(dir / "a.ini", "[S]\nk=1\n");
  TIniFile ini(dir / "a.ini");
  const std::string expected = "Unable to write to " + (dir / "a.ini").string();
  for (auto [section, key, value] : {std::tuple{"S", "k", "two\nlines"}, std::tuple{"S", "k", "cr\r"},
                                     std::tuple{"S", "a=b", "1"}, std::tuple{"S", "[k]", "1"},
                                     std::tuple{"S", ";k", "1"}, std::tuple{"S", " ", "1"}, std::tuple{"", "k", "1"},
                                     std::tuple{"S\n[T]", "k", "1"}}) {
    try {
      ini.WriteString(section, key, value);
      ADD_FAILURE() << "accepted " << key << "=" << value;
    } catch (const EIniFileError& e) {
      EXPECT_EQ(e.what(), expected);
    }
  }
  EXPECT_EQ(ReadAll(dir / "a.ini"), "[S]\nk=1\n");
}

TEST(IniFileWrite, FailureRaisesAndKeepsTheOldFile) {
  for (FaultyEnv::Fault fault : {FaultyEnv::Fault::Create, FaultyEnv::Fault::Sync, FaultyEnv::Fault::Rename}) {
    TempFolder dir;
    WriteAll(dir / "options.ini", "[Options]\nWipeNumber=3\n");
    TIniFile ini(dir / "options.ini", std::make_shared<FaultyEnv>(fault));
    try {
      ini.WriteInteger("Options", "WipeNumber", 5);
      ADD_FAILURE() << "no error for fault " << static_cast<int>(fault);
    } catch (const EIniFileError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + (dir / "options.ini").string());
    }
    EXPECT_EQ(ReadAll(dir / "options.ini"), "[Options]\nWipeNumber=3\n");
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"options.ini"}) << "temporary file left behind";
  }
}

// A section replaced as a whole is one write: a failure leaves every old line, never a part
// of the new section.
TEST(IniFileWrite, ReplacedSectionIsAllOrNothing) {
  const std::string old = "[<New List>]\nDelFile1=C:\\A\nDelFile2=C:\\B\n";
  for (FaultyEnv::Fault fault : {FaultyEnv::Fault::Create, FaultyEnv::Fault::Sync, FaultyEnv::Fault::Rename}) {
    TempFolder dir;
    WriteAll(dir / "Custom.dat", old);
    auto env = std::make_shared<FaultyEnv>(fault);
    TIniFile ini(dir / "Custom.dat", env);
    EXPECT_THROW(ini.ReplaceSection("<New List>", {{"DelFile1", "C:\\C"}}), EIniFileError);
    EXPECT_EQ(ReadAll(dir / "Custom.dat"), old);
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"Custom.dat"}) << "temporary file left behind";
  }
  TempFolder dir;
  WriteAll(dir / "Custom.dat", old);
  auto env = std::make_shared<FaultyEnv>(FaultyEnv::Fault::None);
  TIniFile(dir / "Custom.dat", env).ReplaceSection("<New List>", {{"DelFile1", "C:\\C"}, {"DelRegValue1", " x "}});
  EXPECT_EQ(env->renames, 1);
  EXPECT_EQ(ReadAll(dir / "Custom.dat"), "[<New List>]\nDelFile1=C:\\C\nDelRegValue1=\" x \"\n");
}

TEST(IniFileWrite, UnreadableFileIsNeverReplaced) {
  TempFolder dir;
  WriteAll(dir / "a.ini", "[S]\nmuch=data\n");
  auto env = std::make_shared<FaultyEnv>(FaultyEnv::Fault::Read);
  TIniFile ini(dir / "a.ini", env);
  EXPECT_EQ(ini.ReadString("S", "much", "default"), "default");
  EXPECT_THROW(ini.WriteString("S", "k", "v"), EIniFileError);
  EXPECT_THROW(ini.EraseSection("S"), EIniFileError);
  EXPECT_EQ(env->creations, 0);
  EXPECT_EQ(ReadAll(dir / "a.ini"), "[S]\nmuch=data\n");
}

// A FIFO would hang a read, a device or a huge file would fill the memory: each is refused
// with the file's name, for reading and writing alike, and left where it was.
TEST(IniFileRead, OnlyRegularFilesWithinTheLimitAreRead) {
  TempFolder dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.ini").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero.ini");
  std::filesystem::create_directory(dir / "folder.ini");
  WriteAll(dir / "huge.ini", "[Options]\nWipeNumber=3\n");
  std::filesystem::resize_file(dir / "huge.ini", kMaxSettingsFileBytes + 1);
  for (auto [name, what] : {std::pair{"fifo.ini", ": a FIFO, not a regular file"},
                            std::pair{"zero.ini", ": a device, not a regular file"},
                            std::pair{"folder.ini", ": a folder, not a regular file"},
                            std::pair{"huge.ini", ": larger than 64 MiB"}}) {
    const std::filesystem::path file = dir / name;
    const auto ended = testing::EndsWithoutHanging([&] {
      TIniFile ini(file);
      try {
        ini.ReadInteger("Options", "WipeNumber", 1);
        ADD_FAILURE() << name << " was read";
      } catch (const EIniFileError& e) {
        EXPECT_EQ(e.what(), "Cannot read " + file.string() + what);
      }
      EXPECT_THROW(ini.WriteInteger("Options", "WipeNumber", 2), EIniFileError);
    });
    EXPECT_TRUE(ended) << name;
  }
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "fifo.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "zero.ini"));
  EXPECT_EQ(std::filesystem::file_size(dir / "huge.ini"), kMaxSettingsFileBytes + 1);
}

TEST(IniFileWrite, ReadOnlyFolder) {
  TempFolder dir;
  WriteAll(dir / "options.ini", "[Options]\nWipeNumber=3\n");
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  if (::access(dir.path().c_str(), W_OK) == 0) GTEST_SKIP() << "this user may write to read-only folders";
  TIniFile ini(dir / "options.ini");
  try {
    ini.WriteInteger("Options", "WipeNumber", 5);
    ADD_FAILURE() << "write to a read-only folder succeeded";
  } catch (const EIniFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + (dir / "options.ini").string());
  }
  EXPECT_EQ(ini.ReadInteger("Options", "WipeNumber", 0), 3);
}

TEST(IniFileWrite, MissingFolderRaises) {
  TempFolder dir;
  TIniFile ini(dir / "no-such-folder" / "a.ini");
  EXPECT_THROW(ini.WriteString("S", "k", "v"), EIniFileError);
}

TEST(IniFileWrite, KeepsPermissionsAndSymbolicLinks) {
  TempFolder dir;
  WriteAll(dir / "real.ini", "[S]\nk=1\n");
  ::chmod((dir / "real.ini").c_str(), 0600);
  std::filesystem::create_symlink("real.ini", dir / "link.ini");
  TIniFile ini(dir / "link.ini");
  ini.WriteInteger("S", "k", 2);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.ini"));
  EXPECT_EQ(ReadAll(dir / "real.ini"), "[S]\nk=2\n");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "real.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace kestrove
