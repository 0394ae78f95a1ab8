#include <gtest/gtest.h>

#include <fstream>

#include "app/CommandLine.h"
#include "app/OptionsSetting.h"
#include "cleaner/CleanCatalogue.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

TCatalogueNode& Item(TCleanCatalogue& c, const std::string& category, const std::string& item) {
  for (auto& child : c.FindCategory(category)->Children)
    if (child->Text == item) return *child;
  throw std::runtime_error("no item " + item);
}

TEST(CleanCatalogue, TreeOrderCategoriesAndImageIndices) {
  TCleanCatalogue c;
  std::vector<std::pair<std::string, int>> categories;
  for (auto& cat : c.Categories()) categories.push_back({cat->Text, cat->ImageIndex});
  std::vector<std::pair<std::string, int>> expected = {
      {"Internet Explorer", 1}, {"Windows", 2}, {"Netscape", 3}, {"Opera", 4}, {"Mozilla Firefox", 5},
      {"Google Chrome", 11}, {"Advanced", 6}, {"Microsoft Office", 7}, {"Instant Messengers", 8},
      {"Applications", 9}, {"Custom Lists", 10}};
  EXPECT_EQ(categories, expected);
  EXPECT_EQ(c.FindCategory("windows")->Children.size(), 9u);
  EXPECT_EQ(c.FindCategory("Custom Lists")->Children[0]->Text, "<New List>");
  EXPECT_TRUE(c.CollectSelection().empty());
}

TEST(CleanCatalogue, CheckRulesOfTheStateImage) {
  TCleanCatalogue c;
  TCatalogueNode& opera = *c.FindCategory("Opera");
  c.ToggleState(Item(c, "Opera", "Cookies"));
  EXPECT_EQ(c.CollectSelection(), std::vector<std::string>{"Opera - Cookies"});
  EXPECT_EQ(opera.StateIndex, kStateChecked);
  c.ToggleState(Item(c, "Opera", "Cookies"));  // the last ticked item unticked
  EXPECT_EQ(opera.StateIndex, kStateUnchecked);
  c.ToggleState(opera);  // a category passes its state on
  EXPECT_EQ(c.CollectSelection().size(), 6u);
  c.ToggleState(*c.FindCategory("Applications"));  // no children: selects nothing more
  EXPECT_EQ(c.CollectSelection().size(), 6u);
  c.ToggleState(Item(c, "Opera", "Transfers"));  // one of six unticked: category stays
  EXPECT_EQ(opera.StateIndex, kStateChecked);
  c.ToggleState(opera);
  EXPECT_TRUE(c.CollectSelection().empty());
  // Tree order, not click order.
  c.ToggleState(Item(c, "Windows", "Clipboard"));
  c.ToggleState(Item(c, "Internet Explorer", "Cookies"));
  EXPECT_EQ(c.CollectSelection(), (std::vector<std::string>{"Internet Explorer - Cookies", "Windows - Clipboard"}));
}

TEST(CleanCatalogue, ApplicationsMatchDisplayNamesEitherWay) {
  TCleanCatalogue c;
  c.FillApplications({"Foo Bar", "Foo Bar 2.0 Suite", "foo bar", "Other", "Zip"},
                     {"", "Foo Bar 2.0", "Foo Bar 2.0", "WinZip 9"});
  std::vector<std::string> apps;
  for (auto& child : c.FindCategory("Applications")->Children) apps.push_back(child->Text);
  // "foo bar" matches too but is the same text as "Foo Bar" without regard to case: added once.
  EXPECT_EQ(apps, (std::vector<std::string>{"Foo Bar", "Foo Bar 2.0 Suite", "Zip"}));
}

TEST(CleanCatalogue, ApplicationsFromTheTargetsUninstallEntries) {
  memory::MemoryTarget target;
  const std::string uninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
  target.SetString(HKEY_LOCAL_MACHINE, uninstall + "{1}", "DisplayName", "Mozilla Thunderbird 2.0");
  target.SetDword(HKEY_LOCAL_MACHINE, uninstall + "{2}", "DisplayName", 5);  // not text: skipped
  target.CreateKey(HKEY_LOCAL_MACHINE, uninstall + "{3}");
  const std::string folder = (target.Folder() / "prog").string() + "/";
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "qvtk.dat") << "[Windows Log Files]\nDelFile1=%windir%\\,*.log\n[Mozilla Thunderbird]\n"
                                        "DelFile1={Current AppData}\\Thunderbird\\Profiles,*.tmp\n";
  TCleanCatalogue c;
  c.FillApplications(target, folder);
  auto& apps = c.FindCategory("Applications")->Children;
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(TCleanCatalogue::ItemName(*apps[0]), "Applications - Mozilla Thunderbird");
}

// A stored selection reloads onto the catalogue through the settings store.
TEST(CleanCatalogue, SelectionSurvivesSaveAndLoad) {
  memory::MemoryTarget target;
  TIniFile ini(target.Folder() / "options.ini");
  TCleanCatalogue saved;
  saved.ToggleState(Item(saved, "Windows", "Recent Documents"));
  saved.ToggleState(Item(saved, "Mozilla Firefox", "Download Manager"));
  TCleanCatalogue registrySections;  // stands in for the registry tree here
  TOptionsSetting options;
  options.Save(ini, saved, registrySections, TWindowPlacement{});
  TCleanCatalogue loaded;
  TOptionsSetting again;
  again.Load(ini, loaded, TWindowDefaults{});
  EXPECT_EQ(loaded.CollectSelection(), saved.CollectSelection());
  EXPECT_TRUE(loaded.FirefoxCategoryChecked());
  EXPECT_TRUE(loaded.MarkByName("Windows - Clipboard"));
  EXPECT_FALSE(loaded.MarkByName("Applications - Gone"));
}

TEST(CommandLine, FirstArgumentOnly) {
  auto parse = [](std::vector<std::string> a) { return ParseCommandLine(a); };
  EXPECT_EQ(parse({"/Auto"}).Switch, TStartSwitch::Auto);
  EXPECT_EQ(parse({"/auto"}).Switch, TStartSwitch::None);  // exact case only
  EXPECT_EQ(parse({"/CLEAR"}).Switch, TStartSwitch::Clear);
  EXPECT_EQ(parse({"/regscan", "out.ini"}).Switch, TStartSwitch::Regscan);
  EXPECT_EQ(parse({"/regscan", "out.ini"}).RegscanResultFile, "out.ini");
  EXPECT_FALSE(parse({"/Regscan"}).RegscanResultFile.has_value());
  EXPECT_EQ(parse({"/REGDEFRAG"}).Switch, TStartSwitch::Regdefrag);
  EXPECT_EQ(parse({"x", "/Clear"}).Switch, TStartSwitch::None);  // a switch as second argument
  EXPECT_EQ(parse({}).Switch, TStartSwitch::None);
  EXPECT_EQ(parse({"/Clearer"}).Switch, TStartSwitch::None);
}

}  // namespace
}  // namespace kestrove
