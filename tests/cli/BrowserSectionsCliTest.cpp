// The browser application items on profiles that the real browsers wrote (tests/data/browsers,
// see its README), laid into a sample prefix where each browser keeps them on Windows: a test
// lists and a clean removes exactly the history, cookies, caches, top sites and sessions;
// bookmarks, password stores, extensions and preferences all stay.
#include <fstream>
#include <map>

#include "BrowserTestSupport.h"

namespace {

namespace fs = std::filesystem;
using kestrove::testing::BrowserPrefixTest;
using kestrove::testing::CliRun;
using kestrove::testing::Quote;
using kestrove::testing::Slurp;

enum class Kind { Chromium, FirefoxRoaming, FirefoxLocal };

// Whether an entry of a profile folder (its path inside that folder) is a trace the items take.
bool IsTrace(Kind kind, const fs::path& inProfile) {
  static const std::set<std::string> chromium = {"History", "History-journal", "Top Sites", "Top Sites-journal",
                                                 "Cookies", "Cookies-journal", "Sessions", "Sessions_Encrypted",
                                                 "Cache", "Code Cache", "GPUCache"};
  static const std::set<std::string> firefoxRoaming = {"sessionstore.jsonlz4", "sessionstore-backups"};
  static const std::set<std::string> firefoxLocal = {"cache2", "thumbnails"};
  auto name = inProfile.begin();
  switch (kind) {
    case Kind::Chromium:
      // Network\Cookies is where Windows builds keep the cookies now; the folder itself stays.
      if (*name == "Network" && std::next(name) != inProfile.end()) ++name;
      return chromium.count(name->string()) > 0;
    case Kind::FirefoxRoaming:
      return firefoxRoaming.count(name->string()) > 0;
    case Kind::FirefoxLocal:
      return firefoxLocal.count(name->string()) > 0;
  }
  return false;
}

class BrowserSections : public BrowserPrefixTest {
 protected:
  fs::path fixtures;
  std::map<fs::path, Kind> profiles;  // host folder of each profile laid out, and its kind
  std::vector<fs::path> roots;        // every folder the browsers' files were laid in
  std::vector<fs::path> kept;         // files that must survive every clean

  void SetUp() override {
    BrowserPrefixTest::SetUp();
    if (HasFatalFailure()) return;
    fixtures = dir / "fixtures";
    fs::create_directories(fixtures);
    for (const char* archive : {"chromium-user-data.tar.gz", "firefox-profile.tar.gz"}) {
      const fs::path file = fs::path(KESTROVE_SOURCE_DIR) / "tests/data/browsers" / archive;
      ASSERT_EQ(std::system(("tar -xzf " + Quote(file.string()) + " -C " + Quote(fixtures.string())).c_str()), 0);
    }
  }

  // A Chromium-based browser's "User Data": both profiles as chromium wrote them, with the
  // cookies moved to Network\ as Windows builds keep them when `networkCookies`, and an
  // extension in each profile.
  void LayChromium(const fs::path& userData, bool networkCookies) {
    fs::remove_all(userData);  // the sample's 2010-era profile
    fs::create_directories(userData.parent_path());
    fs::copy(fixtures / "chromium", userData, fs::copy_options::recursive);
    roots.push_back(userData);
    kept.push_back(userData / "Local State");
    for (const char* profile : {"Default", "Profile 1"}) {
      const fs::path p = userData / profile;
      profiles[p] = Kind::Chromium;
      if (networkCookies) {
        fs::create_directories(p / "Network");
        for (const char* f : {"Cookies", "Cookies-journal"}) fs::rename(p / f, p / "Network" / f);
      }
      const fs::path extension = p / "Extensions/kestroveextensionstandin/1.0_0/manifest.json";
      fs::create_directories(extension.parent_path());
      std::ofstream(extension) << R"({"manifest_version": 3, "name": "kept", "version": "1.0"})";
      for (const char* f : {"Login Data", "Login Data-journal", "Preferences", "Secure Preferences", "Web Data",
                            "Favicons"})
        kept.push_back(p / f);
      kept.push_back(extension);
    }
    kept.push_back(userData / "Default/Bookmarks");
  }

  // Opera keeps its profile in Roaming, directly in "Opera Stable" before version 102 and in
  // its Default folder since; its caches went to Local. Both at once here.
  void LayOpera() {
    const fs::path roaming = Roaming() / "Opera Software/Opera Stable";
    const fs::path local = Local() / "Opera Software/Opera Stable";
    fs::create_directories(local);
    fs::create_directories(roaming.parent_path());
    fs::copy(fixtures / "chromium/Default", roaming, fs::copy_options::recursive);
    for (const char* cache : {"Cache", "Code Cache", "GPUCache"}) fs::rename(roaming / cache, local / cache);
    fs::copy(fixtures / "chromium/Profile 1", roaming / "Default", fs::copy_options::recursive);
    roots.push_back(roaming);
    roots.push_back(local);
    for (const fs::path& p : {roaming, roaming / "Default", local}) profiles[p] = Kind::Chromium;
    for (const fs::path& p : {roaming, roaming / "Default"})
      for (const char* f : {"Login Data", "Preferences", "Web Data"}) kept.push_back(p / f);
    kept.push_back(roaming / "Bookmarks");
  }

  // Two Firefox profiles beside the sample's old ones: the profile's files in Roaming, its
  // cache and thumbnails in Local, where Windows builds keep them.
  void LayFirefox() {
    for (const char* name : {"x1y2z3ab.default-release", "k9m8n7p6.work"}) {
      const fs::path roaming = Roaming() / "Mozilla/Firefox/Profiles" / name;
      const fs::path local = Local() / "Mozilla/Firefox/Profiles" / name;
      fs::create_directories(local);
      fs::copy(fixtures / "firefox", roaming, fs::copy_options::recursive);
      for (const char* f : {"cache2", "thumbnails"}) fs::rename(roaming / f, local / f);
      const fs::path extension = roaming / "extensions/kept@example.org.xpi";
      fs::create_directories(extension.parent_path());
      std::ofstream(extension) << "PK stand-in";
      for (const char* f : {"places.sqlite", "logins.db", "key4.db", "cookies.sqlite", "extensions.json", "prefs.js"})
        kept.push_back(roaming / f);
      kept.push_back(extension);
    }
    // Every profile, the sample's old ones too: theirs hold nothing of the current layout.
    for (const fs::path& base : {Roaming(), Local()}) {
      const fs::path folder = base / "Mozilla/Firefox/Profiles";
      roots.push_back(folder);
      for (const auto& p : fs::directory_iterator(folder))
        profiles[p.path()] = base == Roaming() ? Kind::FirefoxRoaming : Kind::FirefoxLocal;
    }
  }

  // Each entry below the roots, and whether the items should take it. An entry belongs to
  // the innermost profile folder holding it; outside every profile it stays.
  std::map<std::string, bool> Expected() const {
    std::map<std::string, bool> out;
    for (const fs::path& root : roots)
      for (const auto& e : fs::recursive_directory_iterator(root)) {
        const fs::path* owner = nullptr;
        for (const auto& [p, kind] : profiles) {
          const fs::path rel = e.path().lexically_relative(p);
          if (!rel.empty() && *rel.begin() != ".." && rel != "." &&
              (!owner || p.string().size() > owner->string().size()))
            owner = &p;
        }
        out[fs::relative(e.path(), prefix).string()] =
            owner && IsTrace(profiles.at(*owner), e.path().lexically_relative(*owner));
      }
    return out;
  }

  std::set<std::string> AllEntries() const {
    std::set<std::string> all;
    for (const fs::path& root : roots) all.merge(Entries(root));
    return all;
  }
};

TEST_F(BrowserSections, ATestListsAndACleanRemovesExactlyTheTracesOfEveryLayout) {
  struct Browser {
    std::string item, uninstallKey, displayName;
  };
  const std::vector<Browser> browsers = {
      {"Applications - Chrome", "Google Chrome", "Google Chrome"},
      {"Applications - Chromium", "Chromium", "Chromium"},
      {"Applications - Microsoft Edge", "Microsoft Edge", "Microsoft Edge"},
      {"Applications - Brave", "BraveSoftware Brave-Browser", "Brave"},
      {"Applications - Vivaldi", "Vivaldi", "Vivaldi"},
      {"Applications - Opera Stable", "Opera 120.0.5543.61", "Opera Stable 120.0.5543.61"},
      {"Applications - Firefox", "Mozilla Firefox 153.8.0 ESR (x64 en-US)", "Mozilla Firefox 153.8.0 ESR (x64 en-US)"},
  };
  LayChromium(Local() / "Google/Chrome/User Data", true);
  LayChromium(Local() / "Chromium/User Data", false);  // as chromium itself wrote it
  LayChromium(Local() / "Microsoft/Edge/User Data", true);
  LayChromium(Local() / "BraveSoftware/Brave-Browser/User Data", true);
  LayChromium(Local() / "Vivaldi/User Data", false);
  LayOpera();
  LayFirefox();

  // Not installed: no item. Installed: listed under Applications, apart from the categories.
  CliRun r = Cli({"items"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const Browser& b : browsers) EXPECT_EQ(r.out.find(b.item + "\n"), std::string::npos) << b.item;
  for (const Browser& b : browsers) Install(b.uninstallKey, b.displayName);
  r = Cli({"items"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const Browser& b : browsers) EXPECT_NE(r.out.find("    [ ] " + b.item + "\n"), std::string::npos) << b.item;

  const std::map<std::string, bool> expected = Expected();
  int traces = 0;
  for (const auto& [entry, trace] : expected) traces += trace && fs::is_regular_file(prefix / entry);
  ASSERT_GT(traces, 100) << "the fixtures were not laid out";
  for (const fs::path& f : kept) ASSERT_TRUE(fs::is_regular_file(f)) << f;

  std::vector<std::string> items;
  for (const Browser& b : browsers) items.push_back(b.item);
  std::vector<std::string> test = {"test"};
  test.insert(test.end(), items.begin(), items.end());
  r = Cli(test);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(TotalItems(r.out), traces) << r.out;
  EXPECT_EQ(AllEntries().size(), expected.size()) << "a test removed something";

  std::vector<std::string> clean = {"clean", "--yes"};
  clean.insert(clean.end(), items.begin(), items.end());
  r = Cli(clean);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const auto& [entry, trace] : expected)
    EXPECT_EQ(fs::exists(fs::symlink_status(prefix / entry)), !trace) << (trace ? "left: " : "removed: ") << entry;
  for (const fs::path& f : kept) EXPECT_TRUE(fs::is_regular_file(f)) << f;
  EXPECT_NE(Slurp(Local() / "Google/Chrome/User Data/Default/Bookmarks").find("\"Kept bookmark\""),
            std::string::npos);

  // Nothing is left for a second run to find.
  r = Cli(test);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(TotalItems(r.out), 0) << r.out;
}

}  // namespace
