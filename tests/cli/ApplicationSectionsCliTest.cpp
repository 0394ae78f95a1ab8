// Application items of the shipped qvtk.dat through kestrove-cli on a sample prefix: with
// the program's real Uninstall DisplayName the item is listed; a test finds exactly the
// planted traces and removes nothing; a clean removes them and keeps the settings, saved
// work and data planted beside them.
#include <algorithm>
#include <fstream>

#include "BrowserTestSupport.h"

namespace {

namespace fs = std::filesystem;
using kestrove::testing::BrowserPrefixTest;
using kestrove::testing::CliRun;

using ApplicationSectionsCli = BrowserPrefixTest;

// A registry value below HKEY_CURRENT_USER.
struct RegValue {
  std::string key, name;
};

struct Program {
  std::string section, uninstallKey, displayName;
  // Files as "R\..." (roaming application data), "L\..." (local) or "P\..." (ProgramData).
  std::vector<std::string> traces, kept;
  std::vector<RegValue> regTraces = {}, regKept = {};
};

const std::vector<Program> kPrograms = {
    {"Visual Studio Code", "{771FD6B0-FA20-440A-A002-3B3BAC16DC50}_is1", "Microsoft Visual Studio Code (User)",
     {"R\\Code\\Cache\\Cache_Data\\f_000001", "R\\Code\\Code Cache\\js\\index", "R\\Code\\GPUCache\\data_0",
      "R\\Code\\CachedData\\0ee08df\\chrome\\js\\a.code", "R\\Code\\logs\\20240101T101010\\main.log"},
     {"R\\Code\\User\\settings.json", "R\\Code\\User\\History\\-5c3a1f\\entries.json",
      "R\\Code\\Backups\\1704100000000\\untitled\\-7f1e", "R\\Code\\User\\workspaceStorage\\a1\\state.vscdb"}},
    {"FileZilla", "FileZilla Client", "FileZilla 3.66.4",
     {"R\\FileZilla\\recentservers.xml"},
     {"R\\FileZilla\\sitemanager.xml", "R\\FileZilla\\filezilla.xml", "R\\FileZilla\\queue.sqlite3"}},
    {"Telegram Desktop", "{53F49750-6209-4FBF-9CA8-7A333C87D1ED}_is1", "Telegram Desktop",
     {"R\\Telegram Desktop\\tdata\\user_data\\cache\\0\\AB\\0123", "R\\Telegram Desktop\\tdata\\user_data\\media_cache\\0\\x",
      "R\\Telegram Desktop\\tdata\\user_data#2\\cache\\0\\CD\\4567"},
     {"R\\Telegram Desktop\\tdata\\key_datas", "R\\Telegram Desktop\\tdata\\D877F783D5D3EF8C\\maps",
      "R\\Telegram Desktop\\tdata\\settingss"}},
    {"IntelliJ IDEA", "IntelliJ IDEA Community Edition 2023.3.2", "IntelliJ IDEA Community Edition 2023.3.2",
     {"L\\JetBrains\\IdeaIC2023.3\\log\\idea.log", "L\\JetBrains\\IdeaIC2023.3\\caches\\content.dat",
      "L\\JetBrains\\IntelliJIdea2022.1\\log\\idea.log.1"},
     {"L\\JetBrains\\IdeaIC2023.3\\LocalHistory\\changes.storageData", "R\\JetBrains\\IdeaIC2023.3\\options\\recentProjects.xml",
      "L\\JetBrains\\PyCharm2023.3\\log\\idea.log"}},
    {"Kodi", "Kodi", "Kodi",
     {"R\\Kodi\\kodi.log", "R\\Kodi\\kodi.old.log"},
     {"R\\Kodi\\userdata\\guisettings.xml", "R\\Kodi\\userdata\\Database\\MyVideos121.db", "R\\Kodi\\Kodi.log.txt"}},
    {"Krita", "Krita_x64", "Krita (x64) 5.2.2",
     {"L\\krita.log", "L\\kritacrash.log"},
     {"L\\kritarc", "L\\krita\\workspaces\\mine.kws", "L\\other.log"}},
    {"Microsoft Teams", "Teams", "Microsoft Teams classic",
     {"R\\Microsoft\\Teams\\logs.txt", "R\\Microsoft\\Teams\\Cache\\data_0", "R\\Microsoft\\Teams\\tmp\\x.tmp"},
     {"R\\Microsoft\\Teams\\desktop-config.json", "R\\Microsoft\\Teams\\Local Storage\\leveldb\\000003.log",
      "R\\Microsoft\\Teams\\IndexedDB\\https_teams.microsoft.com_0.indexeddb.leveldb\\LOG"}},
    {"AnyDesk", "AnyDesk", "AnyDesk",
     {"R\\AnyDesk\\ad.trace", "P\\AnyDesk\\ad_svc.trace"},
     {"R\\AnyDesk\\user.conf", "P\\AnyDesk\\system.conf", "P\\AnyDesk\\service.conf"}},
    {"WinSCP", "winscp3_is1", "WinSCP 6.1.2", {}, {},
     {{"Software\\Martin Prikryl\\WinSCP 2\\Configuration\\History\\RemoteTarget", "0"},
      {"Software\\Martin Prikryl\\WinSCP 2\\Configuration\\CDCache", "user@example.org"}},
     {{"Software\\Martin Prikryl\\WinSCP 2\\Sessions\\user@example.org", "HostName"},
      {"Software\\Martin Prikryl\\WinSCP 2\\Configuration\\Interface", "Theme"}}},
    {"7-Zip", "7-Zip", "7-Zip 23.01 (x64)", {}, {},
     {{"Software\\7-Zip\\FM", "FolderHistory"}, {"Software\\7-Zip\\Compression", "ArcHistory"}},
     {{"Software\\7-Zip\\FM", "Panels"}, {"Software\\7-Zip\\Compression", "Level"}}},
};

TEST_F(ApplicationSectionsCli, RealDisplayNamesListTheItemsWhichTakeOnlyTheirTraces) {
  auto host = [&](const std::string& planted) {
    fs::path base = planted[0] == 'R' ? Roaming() : planted[0] == 'L' ? Local() : prefix / "drive_c/ProgramData";
    std::string rest = planted.substr(2);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    return base / rest;
  };
  auto plant = [&](const std::string& file) {
    const fs::path p = host(file);
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "planted " << file << "\n";
  };
  auto regHas = [&](const RegValue& v) {
    return Cli({"reg", "query", "HKCU\\" + v.key, "/v", v.name}).status == 0;
  };

  int traces = 0;
  std::vector<std::string> items;
  for (const Program& p : kPrograms) {
    for (const std::string& f : p.traces) plant(f);
    for (const std::string& f : p.kept) plant(f);
    for (const RegValue& v : p.regTraces) {
      ASSERT_EQ(Cli({"reg", "add", "HKCU\\" + v.key, "/v", v.name, "/d", "C:\\planted", "/f"}).status, 0) << v.key;
    }
    for (const RegValue& v : p.regKept) {
      ASSERT_EQ(Cli({"reg", "add", "HKCU\\" + v.key, "/v", v.name, "/d", "kept", "/f"}).status, 0) << v.key;
    }
    traces += static_cast<int>(p.traces.size() + p.regTraces.size());
    items.push_back("Applications - " + p.section);
  }

  // Not installed: not listed. Installed under its real DisplayName: listed.
  CliRun r = Cli({"items"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::string& item : items) EXPECT_EQ(r.out.find(item + "\n"), std::string::npos) << item;
  for (const Program& p : kPrograms) Install(p.uninstallKey, p.displayName);
  r = Cli({"items"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::string& item : items) EXPECT_NE(r.out.find("    [ ] " + item + "\n"), std::string::npos) << item;

  // Each item alone: a test counts exactly its own traces and changes nothing.
  for (const Program& p : kPrograms) {
    r = Cli({"test", "Applications - " + p.section});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(TotalItems(r.out), static_cast<int>(p.traces.size() + p.regTraces.size())) << p.section << "\n" << r.out;
  }
  for (const Program& p : kPrograms) {
    for (const std::string& f : p.traces) EXPECT_TRUE(fs::is_regular_file(host(f))) << "a test removed " << f;
    for (const RegValue& v : p.regTraces) EXPECT_TRUE(regHas(v)) << "a test removed " << v.key;
  }

  std::vector<std::string> clean = {"clean", "--yes"};
  clean.insert(clean.end(), items.begin(), items.end());
  r = Cli(clean);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string removed = "Total items to be removed = ";
  const std::size_t at = r.out.find(removed);
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_EQ(std::atoi(r.out.c_str() + at + removed.size()), traces) << r.out;
  for (const Program& p : kPrograms) {
    for (const std::string& f : p.traces) EXPECT_FALSE(fs::exists(host(f))) << "left " << f;
    for (const std::string& f : p.kept) EXPECT_TRUE(fs::is_regular_file(host(f))) << "removed " << f;
    for (const RegValue& v : p.regTraces) EXPECT_FALSE(regHas(v)) << "left " << v.key << "," << v.name;
    for (const RegValue& v : p.regKept) EXPECT_TRUE(regHas(v)) << "removed " << v.key << "," << v.name;
  }

  // Nothing is left for a second run to find.
  std::vector<std::string> test = {"test"};
  test.insert(test.end(), items.begin(), items.end());
  r = Cli(test);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(TotalItems(r.out), 0) << r.out;
}

}  // namespace
