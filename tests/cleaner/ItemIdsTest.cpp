// The clean items' ids: one per item and category, unique over the whole catalogue with every
// application of the shipped definition file in it, and found again in any case.
#include <gtest/gtest.h>

#include <set>
#include <string_view>

#include "app/IniFile.h"
#include "cleaner/ItemIds.h"

namespace kestrove {
namespace {

TEST(ItemIds, WordsOfTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"Recent Documents", "recent-documents"},
      {"Index.dat Files", "index-dat-files"},
      {"Yahoo! Toolbar History", "yahoo-toolbar-history"},
      {"<New List>", "new-list"},
      {"  Adobe -- Reader 9 ", "adobe-reader-9"},
      {"Caf\xc3\xa9 Player", "caf-player"},  // letters outside ASCII are gaps
      {"\xe4\xb8\xad\xe6\x96\x87", "item"},     // nothing left
      {"", "item"},
  };
  for (const auto& [text, word] : cases) EXPECT_EQ(IdWord(text), word) << text;
}

// Every application the definition file knows is installed: no two nodes share an id, each id
// has the documented form, and each finds its node again.
TEST(ItemIds, UniqueOverTheWholeCatalogue) {
  TCleanCatalogue catalogue;
  const std::vector<std::string> sections =
      TIniFile(std::string(KESTROVE_SOURCE_DIR) + "/data/qvtk.dat").ReadSections();
  ASSERT_GE(sections.size(), 10u);
  catalogue.FillApplications(sections, sections);
  const std::vector<TCatalogueId> ids = CatalogueIds(catalogue);
  std::size_t nodes = 0;
  for (const auto& category : catalogue.Categories()) nodes += 1 + category->Children.size();
  ASSERT_EQ(ids.size(), nodes);
  // Words of a-z and 0-9 joined by single hyphens, at most two such parts joined by a dot.
  // (Checked by hand: std::regex trips GCC 12's uninitialised-use warning in the sanitizer build.)
  const auto wellFormed = [](const std::string& id) {
    const auto word = [](std::string_view part) {
      if (part.empty() || part.front() == '-' || part.back() == '-' || part.find("--") != std::string_view::npos)
        return false;
      for (char c : part)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
      return true;
    };
    const std::size_t dot = id.find('.');
    if (dot == std::string::npos) return word(id);
    return word(std::string_view(id).substr(0, dot)) && word(std::string_view(id).substr(dot + 1));
  };
  std::set<std::string> seen;
  for (const TCatalogueId& entry : ids) {
    EXPECT_TRUE(seen.insert(entry.Id).second) << "twice: " << entry.Id;
    EXPECT_TRUE(wellFormed(entry.Id)) << entry.Id;
    EXPECT_EQ(entry.Id.find('.') != std::string::npos, entry.Node->Parent != nullptr) << entry.Id;
    EXPECT_EQ(FindById(ids, entry.Id), entry.Node);
  }
  EXPECT_EQ(FindById(ids, "Windows.Recent-Documents"), FindById(ids, "windows.recent-documents"));
  EXPECT_EQ(FindById(ids, "windows.recent documents"), nullptr);
  EXPECT_EQ(IdOf(ids, *catalogue.FindCategory("Internet Explorer")->Children[5]), "internet-explorer.index-dat-files");
}

// Names that fold to the same word keep apart by their order in the tree, and a name that
// reads like such a suffix does not take another's id.
TEST(ItemIds, FoldedNamesAreToldApart) {
  TCleanCatalogue catalogue;
  catalogue.FillApplications({"Foo+", "Foo-", "Foo 2", "Foo#"}, {"Foo"});
  std::vector<std::string> apps;
  for (const TCatalogueId& entry : CatalogueIds(catalogue))
    if (entry.Id.rfind("applications.", 0) == 0) apps.push_back(entry.Id);
  EXPECT_EQ(apps, (std::vector<std::string>{"applications.foo", "applications.foo-2", "applications.foo-2-2",
                                            "applications.foo-3"}));
}

}  // namespace
}  // namespace kestrove
