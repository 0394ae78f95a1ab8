// Describing an item: the places its operation reaches, found without changing anything on
// the target, and covering every entry a Test of the item lists.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "CleanJobTestSupport.h"
#include "app/Helpers.h"
#include "cleaner/CleanCatalogue.h"
#include "platform/wine/WineSample.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

// Every file and folder below `root` with its size, time and content.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& p = it->path();
    std::ostringstream facts;
    facts << static_cast<int>(it->symlink_status().type()) << " "
          << fs::last_write_time(p).time_since_epoch().count();
    if (it->is_regular_file()) {
      std::ifstream in(p, std::ios::binary);
      facts << " " << in.rdbuf();
    }
    out[p.string()] = facts.str();
  }
  return out;
}

std::string Fold(std::string s) { return UpperCase(s); }

bool Under(const std::string& path, const std::string& folder, bool anyDepth) {
  const std::string f = Fold(folder.back() == '\\' ? folder : folder + "\\");
  const std::string p = Fold(path);
  if (p.rfind(f, 0) != 0) return false;
  return anyDepth || p.find('\\', f.size()) == std::string::npos;
}

// Whether an entry a Test listed ("registry key K", "registry value K\N", a path, or an
// address: of a URL cache index, or a typed one kept in a registry key) lies in one of the
// places.
bool Covered(const std::string& entry, const std::vector<TTracePlace>& places) {
  for (const TTracePlace& p : places) {
    switch (p.Kind) {
      case TTraceKind::RegistryKey:
        // A typed address is listed by its text: a value of the key.
        if (entry.find("://") != std::string::npos) return true;
        for (const char* prefix : {"registry key ", "registry value "})
          if (entry.rfind(prefix, 0) == 0) {
            const std::string key = entry.substr(std::string(prefix).size());
            if (Fold(key) == Fold(p.Where) || Fold(key).rfind(Fold(p.Where) + "\\", 0) == 0) return true;
          }
        break;
      case TTraceKind::RegistryValues:
        if (entry.rfind("registry value ", 0) == 0) {
          const std::string value = entry.substr(15);
          if (!p.Detail.empty() ? Fold(value) == Fold(p.Where + "\\" + p.Detail)
                                : Fold(value).rfind(Fold(p.Where) + "\\", 0) == 0)
            return true;
        }
        if (entry.rfind("registry key ", 0) == 0 && p.Detail.empty() &&
            Fold(entry.substr(13)).rfind(Fold(p.Where) + "\\", 0) == 0)
          return true;
        break;
      case TTraceKind::Files:
        if (Under(entry, p.Where, p.Recursive)) return true;
        break;
      case TTraceKind::FolderContents:
        if (Under(entry, p.Where, true)) return true;
        break;
      case TTraceKind::File:
        if (Fold(entry) == Fold(p.Where)) return true;
        break;
      case TTraceKind::UrlCacheEntries:
        if (entry.find("://") != std::string::npos) return true;
        break;
      case TTraceKind::DatabaseRows:
      case TTraceKind::Clipboard:
        break;
    }
  }
  return false;
}

class DescribeItemSample : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path templateFolder = fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample";
    if (!fs::exists(templateFolder / "system.reg")) GTEST_SKIP() << "no sample template in " << templateFolder;
    std::string pattern = (fs::temp_directory_path() / "kestrove-describe-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    wine::WriteSamplePrefix(dir / "prefix", templateFolder);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  fs::path dir;
};

// Every item of the tree, the definition items of the shipped qvtk.dat among them: the
// descriptions change nothing, and whatever a Test of the item lists lies in a place its
// description names.
TEST_F(DescribeItemSample, NamesEveryPlaceATestReachesAndChangesNothing) {
  auto target = OpenTarget(TargetChoice{dir / "prefix", "--root"});
  testing::TCleanJobHarness h(*target);
  fs::create_directories(h.ProgramFolder);
  fs::copy_file(fs::path(KESTROVE_SOURCE_DIR) / "data" / "qvtk.dat", fs::path(h.ProgramFolder) / "qvtk.dat");
  TCleanCatalogue catalogue;
  for (const auto& category : catalogue.Categories()) catalogue.ToggleState(*category);
  const std::vector<std::string> items = catalogue.CollectSelection();
  ASSERT_GT(items.size(), 50u);

  const auto before = Snapshot(dir);
  std::map<std::string, std::vector<TTracePlace>> described;
  for (const std::string& item : items) described[item] = DescribeItem(h.Context(), item);
  EXPECT_FALSE(target->Registry()->HasUncommittedChanges());
  EXPECT_EQ(h.Desktop.ClipboardEmptied, 0);
  EXPECT_EQ(h.Desktop.SessionsEnded, 0);
  EXPECT_TRUE(h.Prompt.Asked().empty());
  EXPECT_TRUE(Snapshot(dir) == before) << "describing changed the prefix";

  h.Options.ShowLogRecycleBin = h.Options.ShowLogTempInternetFiles = true;
  const auto test = h.Run(TestRun, items);
  ASSERT_TRUE(test.Completed) << test.Error;
  std::string item;
  int listed = 0;
  for (const std::string& line : test.Lines) {
    if (const auto at = line.find("Clearing "); at != std::string::npos && line.size() > at + 13 &&
                                                line.compare(line.size() - 4, 4, " ...") == 0) {
      item = line.substr(at + 9, line.size() - at - 13);
      continue;
    }
    const auto at = line.find(": deleting ");
    if (at == std::string::npos) continue;
    ++listed;
    const std::string entry = line.substr(at + 11);
    EXPECT_TRUE(Covered(entry, described[item])) << item << ": " << entry;
  }
  // The sample holds traces of most items: the check above saw them.
  EXPECT_GT(listed, 40);
  // Places a Test cannot list (the clipboard, the rows of a database) are described too.
  const auto has = [&](const std::string& name, TTraceKind kind) {
    return std::any_of(described[name].begin(), described[name].end(),
                       [&](const TTracePlace& p) { return p.Kind == kind; });
  };
  EXPECT_TRUE(has("Windows - Clipboard", TTraceKind::Clipboard));
  EXPECT_TRUE(has("Mozilla Firefox - Visited URL History", TTraceKind::DatabaseRows));
  EXPECT_TRUE(has("Google Chrome - Stored passwords in Forms", TTraceKind::DatabaseRows));
  EXPECT_TRUE(has("Internet Explorer - Index.dat Files", TTraceKind::File));
}

}  // namespace
}  // namespace kestrove
