#include <gtest/gtest.h>

#include "ScanTestSupport.h"
#include "regscan/ScanTypes.h"

namespace kestrove {
namespace {

using testing::Row;
using K = TLocationKind;

std::vector<std::string> Locations(const std::vector<TScanResult>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(r.Location + (r.Data.empty() ? "" : " | " + r.Data));
  return out;
}

TEST(ScanCatalogue, TreeOrderCodesAndCaptions) {
  const auto& sections = ScanSections();
  ASSERT_EQ(sections.size(), static_cast<std::size_t>(kScanSectionCount));
  for (std::size_t i = 0; i < sections.size(); ++i) EXPECT_EQ(sections[i].Code, static_cast<int>(i) + 1);
  EXPECT_STREQ(FindScanSection(12)->Caption, "Scanning: Fonts Sections");
  EXPECT_STREQ(FindScanSection(10)->Caption, "Scanning: Software Locations");
  EXPECT_EQ(FindScanSection(22)->Caption, nullptr);
  EXPECT_EQ(FindScanSection(26), nullptr);
  EXPECT_EQ(ScanSectionWithChildren(2), (std::vector<int>{2, 3, 4, 5, 6}));
  EXPECT_EQ(ScanSectionWithChildren(1).size(), 25u);
  EXPECT_EQ(ScanSectionWithChildren(7), (std::vector<int>{7}));
  EXPECT_EQ(ScanSectionWithChildren(6), (std::vector<int>{6}));
}

TEST(ScanCatalogue, SectionsByNameOrNumber) {
  EXPECT_EQ(ScanSectionByName("Shared DLLs"), 7);
  EXPECT_EQ(ScanSectionByName("  shared dlls "), 7);
  EXPECT_EQ(ScanSectionByName("hkey_current_user"), 4);
  EXPECT_EQ(ScanSectionByName("14"), 14);
  EXPECT_EQ(ScanSectionByName("Add/Remove Programs"), 15);
  EXPECT_EQ(ScanSectionByName("0"), std::nullopt);
  EXPECT_EQ(ScanSectionByName("26"), std::nullopt);
  EXPECT_EQ(ScanSectionByName("7x"), std::nullopt);
  EXPECT_EQ(ScanSectionByName("Shared"), std::nullopt);
  EXPECT_EQ(ScanSectionByName(""), std::nullopt);
}

TEST(ScanCatalogue, ScanStepSlowsWithTheWholeTreeWalks) {
  EXPECT_EQ(ScanStepFor({}), 10);
  EXPECT_EQ(ScanStepFor({"7", "8"}), 10);
  EXPECT_EQ(ScanStepFor({"3"}), 5);
  EXPECT_EQ(ScanStepFor({"3", "25"}), 4);
  EXPECT_EQ(ScanStepFor({"3", "4", "5"}), 3);
  // Ticking only "Files and Folders" selects the root, the group and the four hives.
  EXPECT_EQ(ScanStepFor({"1", "2", "3", "4", "5", "6"}), 2);
  EXPECT_EQ(ScanStepFor({"3", "4", "5", "6", "25"}), 1);
}

TEST(ScanStatus, TextsOfTheStatusAndTheTextExport) {
  std::vector<TScanResult> rows = {Row("A", "d", "HKEY_CURRENT_USER\\x", K::lkKey),
                                   Row("B", "e", "HKEY_CURRENT_USER\\y", K::lkKey)};
  EXPECT_EQ(UpdateScanStatus({}), " 0 Errors Found,  0 Errors Selected.");
  EXPECT_EQ(UpdateScanStatus(rows), " 2 Errors Found,  0 Errors Selected.");
  rows[1].Selected = true;
  EXPECT_EQ(UpdateScanStatus(rows), " 2 Errors Found,  1 Errors Selected.");
  EXPECT_EQ(SaveAsTextLine(rows[0]), "A  ^^^  d  ^^^  HKEY_CURRENT_USER\\x");
  const auto w = DefaultScanColumnWidths(900);
  EXPECT_EQ(w.Problem, 200);
  EXPECT_EQ(w.Data, 380);
  EXPECT_EQ(w.RegistryKey, 280);
  EXPECT_EQ(DefaultScanColumnWidths(100).Data, 42);
}

// A scan may hold hundreds of thousands of rows: the problem text is one kept string per
// distinct text, however it was made (the program's constant, a copy from the window, a
// text of no table), so a row holds a pointer and no text of its own.
TEST(ScanStatus, ProblemTextIsKeptOnceAndReadsAsItsString) {
  static_assert(sizeof(TProblemText) == sizeof(void*));
  const TProblemText constant = problem::kFileOrFolder;
  const TProblemText copied = std::string(problem::kFileOrFolder);
  const TProblemText other = std::string("No such problem ") + "text";
  EXPECT_EQ(&constant.str(), &copied.str());
  EXPECT_EQ(&other.str(), &TProblemText(std::string_view("No such problem text")).str());
  EXPECT_EQ(constant, copied);
  EXPECT_EQ(copied, problem::kFileOrFolder);
  EXPECT_NE(constant, other);
  EXPECT_EQ(other, std::string("No such problem text"));
  EXPECT_TRUE(TProblemText().empty());
  EXPECT_EQ(&TProblemText().str(), &TProblemText(std::string()).str());
  EXPECT_TRUE(other < constant);
  EXPECT_EQ(SaveAsTextLine(Row(problem::kEmptyKeys, "", "HKEY_USERS\\x", K::lkKey)),
            "Empty Registry Keys  ^^^    ^^^  HKEY_USERS\\x");
}

TEST(ScanIgnoreLists, KeyAndValueOfEachLocationKind) {
  auto target = [](TLocationKind kind, const char* loc, const char* data) {
    auto t = IgnoreTargetOf(Row("P", data, loc, kind));
    return t ? t->Key + "|" + t->Value : std::string("<kept>");
  };
  EXPECT_EQ(target(K::lkKey, "HKEY_CURRENT_USER\\A\\B", "x"), "HKEY_CURRENT_USER\\A\\B|");
  EXPECT_EQ(target(K::lkPathValue, "HKEY_CURRENT_USER\\A\\B", "x"), "HKEY_CURRENT_USER\\A|B");
  EXPECT_EQ(target(K::lkDataValue, "HKEY_CURRENT_USER\\A", "C:\\x.dll"), "HKEY_CURRENT_USER\\A|C:\\x.dll");
  EXPECT_EQ(target(K::lkDataSubkey, "HKEY_CURRENT_USER\\A", "Sub"), "HKEY_CURRENT_USER\\A\\Sub|");
  EXPECT_EQ(target(K::lkShortcutFile, "C:\\x.lnk", "C:\\y.exe"), "<kept>");
  EXPECT_EQ(target(K::lkDefaultValue, "HKEY_CURRENT_USER\\A", "x"), "HKEY_CURRENT_USER\\A|@");
  EXPECT_EQ(target(K::lkEncodedDataValue, "HKEY_CURRENT_USER\\A", "UEME_RUNPATH:x"), "HKEY_CURRENT_USER\\A|HRZR_EHACNGU:k");
  EXPECT_EQ(target(K::lkKey, "nobackslash", "x"), "<kept>");
}

TEST(ScanIgnoreLists, BuiltInListRemovesItsKeysAndKeepsTheRest) {
  ASSERT_EQ(BuiltInIgnoreKeys().size(), 31u);
  EXPECT_EQ(BuiltInIgnoreKeys().front(), "HKEY_CLASSES_ROOT\\.DAT");
  EXPECT_EQ(BuiltInIgnoreKeys().back(), "HKEY_CLASSES_ROOT\\CLSID\\{DFEAF541-F3E1-4c24-ACAC-99C30715084A}");
  std::vector<TScanResult> rows = {
      Row("P", "C:\\x", "HKEY_CURRENT_USER\\Software\\JavaSoft\\Prefs\\Path", K::lkPathValue),
      Row("P", "C:\\x", "hkey_classes_root\\.dat\\shell", K::lkKey),
      // ".DATA" is another key: the entry ends with "\" when compared.
      Row("P", "C:\\x", "HKEY_CLASSES_ROOT\\.DATA", K::lkKey),
      Row("P", "C:\\x", "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders\\Cache",
          K::lkPathValue),
      // A key row above an ignored key is removed too.
      Row("P", "", "HKEY_CURRENT_USER\\Software", K::lkKey),
      // A value row above it is not.
      Row("P", "C:\\x", "HKEY_CURRENT_USER\\Software\\Value", K::lkPathValue),
  };
  ApplyIgnoreLists(rows, {}, {});
  EXPECT_EQ(Locations(rows), (std::vector<std::string>{"HKEY_CLASSES_ROOT\\.DATA | C:\\x",
                                                       "HKEY_CURRENT_USER\\Software\\Value | C:\\x"}));
}

TEST(ScanIgnoreLists, IgnoredValueRemovesTheValueAndTheKeysThatHoldIt) {
  std::vector<TScanResult> rows = {
      Row("P", "C:\\a", "HKEY_CURRENT_USER\\Software\\X\\Y", K::lkPathValue),    // the value itself
      Row("P", "C:\\a", "hkey_current_user\\software\\x\\y", K::lkPathValue),    // any case
      Row("P", "", "HKEY_CURRENT_USER\\Software\\X", K::lkKey),                 // key inside the entry
      Row("P", "X", "HKEY_CURRENT_USER\\Software", K::lkDataSubkey),            // ...named by Data
      Row("P", "C:\\a", "HKEY_CURRENT_USER\\Software\\X\\Z", K::lkPathValue),    // another value
      Row("P", "", "HKEY_CURRENT_USER\\Software\\X\\Y\\Sub", K::lkKey),         // a key below
      Row("P", "C:\\a", "HKEY_CURRENT_USER\\Software\\X", K::lkDefaultValue),   // "@" is no "Y"
  };
  ApplyIgnoreLists(rows, {"HKEY_CURRENT_USER\\Software\\X\\Y"}, {});
  EXPECT_EQ(Locations(rows), (std::vector<std::string>{"HKEY_CURRENT_USER\\Software\\X\\Z | C:\\a",
                                                       "HKEY_CURRENT_USER\\Software\\X\\Y\\Sub",
                                                       "HKEY_CURRENT_USER\\Software\\X | C:\\a"}));
}

TEST(ScanIgnoreLists, IgnoredKeyRemovesKeysBelowAndAboveIt) {
  std::vector<TScanResult> rows = {
      Row("P", "", "HKEY_CURRENT_USER\\Software\\X\\Deep\\Key", K::lkKey),
      Row("P", "C:\\a", "HKEY_CURRENT_USER\\Software\\X\\Deep\\Value", K::lkPathValue),
      Row("P", "", "HKEY_CURRENT_USER\\Software", K::lkKey),
      Row("P", "C:\\a", "HKEY_CURRENT_USER\\Software", K::lkDataValue),  // a value above: kept
      Row("P", "", "HKEY_CURRENT_USER\\Software\\Xylophone", K::lkKey),  // a sibling: kept
      Row("P", "C:\\t.lnk", "C:\\x\\t.lnk", K::lkShortcutFile),          // files: kept
      Row("P", "UEME_RUNPATH:x", "HKEY_CURRENT_USER\\software\\x", K::lkEncodedDataValue),
  };
  ApplyIgnoreLists(rows, {}, {"HKEY_CURRENT_USER\\Software\\X"});
  EXPECT_EQ(Locations(rows), (std::vector<std::string>{"HKEY_CURRENT_USER\\Software | C:\\a",
                                                       "HKEY_CURRENT_USER\\Software\\Xylophone",
                                                       "C:\\x\\t.lnk | C:\\t.lnk"}));
}

TEST(ScanIgnoreLists, EmptyEntriesHideNothing) {
  std::vector<TScanResult> rows = {Row("P", "", "HKEY_CURRENT_USER\\Software\\X", K::lkKey),
                                   Row("P", "C:\\a", "HKEY_LOCAL_MACHINE\\Software\\Y\\V", K::lkPathValue)};
  // A count larger than the entries written gives empty entries; they name nothing.
  ApplyIgnoreLists(rows, {"", ""}, {"", ""});
  EXPECT_EQ(rows.size(), 2u);
  // A row whose key part is empty is not matched by every entry either.
  std::vector<TScanResult> odd = {Row("P", "C:\\a", "\\Value", K::lkPathValue)};
  ApplyIgnoreLists(odd, {"HKEY_CURRENT_USER\\Software"}, {"HKEY_CURRENT_USER\\Software"});
  EXPECT_EQ(odd.size(), 1u);
}

TEST(ScanIgnoreLists, KeepsTheOrderOfTheRemainingRows) {
  std::vector<TScanResult> rows;
  for (int i = 0; i < 1000; ++i) {
    rows.push_back(Row("P", std::to_string(i), i % 3 ? "HKEY_CURRENT_USER\\Keep\\" + std::to_string(i)
                                                     : "HKEY_CURRENT_USER\\Drop\\" + std::to_string(i),
                       K::lkKey));
  }
  ApplyIgnoreLists(rows, {}, {"HKEY_CURRENT_USER\\Drop"});
  ASSERT_EQ(rows.size(), 666u);
  for (std::size_t i = 1; i < rows.size(); ++i) EXPECT_LT(std::stoi(rows[i - 1].Data), std::stoi(rows[i].Data));
}

}  // namespace
}  // namespace kestrove
