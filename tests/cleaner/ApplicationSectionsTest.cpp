// The application sections of the shipped qvtk.dat: each is listed under Applications for a
// real program's Uninstall DisplayName (data/displaynames.txt), none takes a built-in name,
// and every line names only a kind of trace (a cache, log, crash dump, history or
// recently-used list) below a program's own folder or key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/Helpers.h"
#include "app/IniFile.h"
#include "cleaner/CleanCatalogue.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

const fs::path kData = fs::path(KESTROVE_SOURCE_DIR) / "data";

// The sections that the built-in items of Windows, Instant Messengers and Advanced read.
const std::set<std::string> kBuiltInSections = {"Windows Log Files",      "ICQ",
                                                "AOL Instant Messenger",  "Google Toolbar History",
                                                "MSN Toolbar History",    "Yahoo! Toolbar History"};

std::vector<std::string> AllSections() { return TIniFile(kData / "qvtk.dat").ReadSections(); }

std::vector<std::string> ApplicationSections() {
  std::vector<std::string> out;
  for (const std::string& s : AllSections())
    if (!kBuiltInSections.count(s)) out.push_back(s);
  return out;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

struct DisplayName {
  std::string displayName, section, source;
  int line = 0;
};

std::vector<DisplayName> ReadDisplayNames() {
  std::ifstream in(kData / "displaynames.txt");
  std::vector<DisplayName> out;
  std::string text;
  for (int n = 1; std::getline(in, text); ++n) {
    if (text.empty() || text[0] == '#') continue;
    DisplayName d;
    d.line = n;
    const auto a = text.find(" | ");
    const auto b = a == std::string::npos ? a : text.find(" | ", a + 3);
    if (b != std::string::npos) {
      d.displayName = Trim(text.substr(0, a));
      d.section = Trim(text.substr(a + 3, b - a - 3));
      d.source = Trim(text.substr(b + 3));
    }
    out.push_back(d);
  }
  return out;
}

// The items a catalogue lists under Applications for these sections and DisplayNames.
std::set<std::string> Listed(const std::vector<std::string>& sections, const std::vector<std::string>& displays) {
  TCleanCatalogue c;
  c.FillApplications(sections, displays);
  std::set<std::string> out;
  for (const auto& child : c.FindCategory("Applications")->Children) out.insert(child->Text);
  return out;
}

TEST(ApplicationSections, AtLeastSixtyBesideTheBuiltInOnes) {
  const auto all = AllSections();
  for (const std::string& s : kBuiltInSections)
    EXPECT_NE(std::find(all.begin(), all.end(), s), all.end()) << s;
  EXPECT_GE(ApplicationSections().size(), 60u);
}

TEST(ApplicationSections, TheDisplayNameListIsWellFormed) {
  const auto names = ReadDisplayNames();
  ASSERT_GE(names.size(), 60u);
  std::set<std::string> seen;
  for (const DisplayName& d : names) {
    EXPECT_FALSE(d.displayName.empty()) << "line " << d.line;
    EXPECT_FALSE(d.section.empty()) << "line " << d.line;
    EXPECT_FALSE(d.source.empty()) << "line " << d.line << ": say where it was seen";
    EXPECT_TRUE(seen.insert(UpperCase(d.displayName)).second) << "listed twice: " << d.displayName;
  }
}

// Each real DisplayName lists exactly the section it is kept for among all sections of the
// file (the built-in ones too, since the rule looks at every section): no program brings up
// another's item.
TEST(ApplicationSections, EachDisplayNameListsExactlyItsOwnSection) {
  const auto sections = AllSections();
  for (const DisplayName& d : ReadDisplayNames())
    EXPECT_EQ(Listed(sections, {d.displayName}), std::set<std::string>{d.section})
        << "line " << d.line << ": " << d.displayName;
}

TEST(ApplicationSections, EveryApplicationSectionIsListedForARealDisplayName) {
  std::vector<std::string> displays;
  for (const DisplayName& d : ReadDisplayNames()) displays.push_back(d.displayName);
  const std::set<std::string> listed = Listed(AllSections(), displays);
  for (const std::string& s : ApplicationSections()) EXPECT_TRUE(listed.count(s)) << "no DisplayName lists " << s;
  for (const std::string& s : listed) EXPECT_FALSE(kBuiltInSections.count(s)) << s;
}

// An application item never shows with the name of a category or of a built-in item, so
// that "Applications - X" cannot be taken for another entry of the tree. The one exception
// was there first: the Instant Messengers item "Skype" removes Skype's chat-sync files by an
// operation of its own, the application item Skype its logs and caches.
TEST(ApplicationSections, NoApplicationSectionTakesABuiltInName) {
  TCleanCatalogue c;
  std::set<std::string> builtIn;
  for (const auto& category : c.Categories()) {
    builtIn.insert(UpperCase(category->Text));
    for (const auto& item : category->Children) builtIn.insert(UpperCase(item->Text));
  }
  ASSERT_TRUE(builtIn.count("PAINT"));
  for (const std::string& s : ApplicationSections())
    if (s != "Skype") {
      EXPECT_FALSE(builtIn.count(UpperCase(s))) << s;
    }
}

// --- What a line may remove -------------------------------------------------------------

// Lines that a word test alone would refuse, each allowed for one section with its reason.
struct Allowed {
  std::string section, what, why;
};
const std::vector<Allowed> kAllowed = {
    {"WinZip", "filemenu,", "the archives WinZip lists as recently opened on its File menu"},
    {"WinZip", "extract,", "the extract-to folders WinZip last used"},
    {"Windows Media Player", "*.wmdb", "the library database, which the player rebuilds from the watched folders"},
    {"VLC media player", "art", "cover art VLC fetched for what was played"},
    {"Adobe Flash Player", "#SharedObjects", "Flash cookies (local shared objects)"},
    {"FileZilla", "recentservers.xml", "the recently used Quickconnect servers; saved sites and settings are in other files"},
    {"XnView", "Thumb.db", "XnView MP's thumbnail cache; ratings and tags are in XnView.db"},
    {"Safari", "Cache.db", "Safari's page cache"},
    {"Safari", "WebpageIcons.db", "Safari's site icon cache"},
    {"Safari", "History.plist", "Safari's history"},
    {"Safari", "Webpage Previews", "the page thumbnails of Top Sites"},
    {"TeamViewer", "Connections.txt", "the log of outgoing connections"},
    {"TeamViewer", "Connections_incoming.txt", "the log of incoming connections"},
    {"iTunes", "iPhone Software Updates", "device firmware iTunes downloaded, fetched again when needed"},
    {"iTunes", "iPad Software Updates", "device firmware iTunes downloaded, fetched again when needed"},
    {"iTunes", "iPod Software Updates", "device firmware iTunes downloaded, fetched again when needed"},
    {"Go Programming Language", "go-build", "Go's build cache (GOCACHE)"},
};

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string part;
  for (char ch : s) {
    if (ch == sep) {
      out.push_back(part);
      part.clear();
    } else {
      part += ch;
    }
  }
  out.push_back(part);
  return out;
}

// The words of a name: runs of letters and digits, split again where a small letter is
// followed by a capital ("CrashLog" is "Crash", "Log"), in upper case.
std::vector<std::string> Words(const std::string& name) {
  std::vector<std::string> out;
  std::string word;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char ch = name[i];
    if (!std::isalnum(ch)) {
      if (!word.empty()) out.push_back(word);
      word.clear();
      continue;
    }
    if (!word.empty() && std::isupper(ch) && std::islower(static_cast<unsigned char>(name[i - 1]))) {
      out.push_back(word);
      word.clear();
    }
    word += static_cast<char>(std::toupper(ch));
  }
  if (!word.empty()) out.push_back(word);
  return out;
}

// Whether a folder name, file pattern or registry name says it holds traces of a kind.
bool NamesATrace(const std::string& name) {
  const std::string upper = UpperCase(name);
  for (const char* part : {"CACHE", "CRASH", "DUMP", "THUMBNAIL", "HISTORY", "SESSION", "RECENT", "COOKIE",
                           "TOP SITES", "MRU", "JUMPLIST"})
    if (upper.find(part) != std::string::npos) return true;
  for (const std::string& w : Words(name))
    for (const char* word : {"LOG", "LOGS", "LOGFILE", "TMP", "TEMP", "TRACE", "TABS"})
      if (w == word) return true;
  return false;
}

// File kinds that hold settings or a user's own data: refused as patterns unless allowed.
bool SettingsOrDataFile(const std::string& pattern) {
  const std::string upper = UpperCase(pattern);
  for (const char* ext : {".INI", ".XML", ".CFG", ".CONF", ".CONFIG", ".JSON", ".XCU", ".REG", ".PLIST", ".DB",
                          ".SQLITE", ".DAT", ".PST", ".OST", ".KDBX", ".BLEND", ".SUBLIME-SESSION"})
    if (upper.size() >= std::string(ext).size() && upper.compare(upper.size() - std::string(ext).size(), std::string::npos, ext) == 0)
      return true;
  return false;
}

// Folders below which a user's own work or settings live: never on the path of a line.
bool UserDataFolder(const std::string& name) {
  static const std::set<std::string> names = {"USER", "BACKUP", "BACKUPS", "LOCALHISTORY", "MOBILESYNC", "SAVES",
                                              "SAVED GAMES", "DOCUMENTS", "MY DOCUMENTS", "DESKTOP", "MAIL",
                                              "IMAPMAIL", "PLAYLISTS", "CONFIGURATION", "OPTIONS"};
  return names.count(UpperCase(name)) > 0;
}

// Why a line of an application section may take more than traces, or nullopt when it names
// only traces of a kind.
std::optional<std::string> Objection(const std::string& section, const std::string& line) {
  auto allowed = [&](const std::string& what) {
    return std::any_of(kAllowed.begin(), kAllowed.end(),
                       [&](const Allowed& a) { return a.section == section && a.what == what; });
  };
  const auto eq = line.find('=');
  if (eq == std::string::npos) return "no \"=\"";
  const bool reg = line.find("DelRegValue") != std::string::npos;
  const bool file = line.find("DelFile") != std::string::npos;
  if (reg == file) return "not exactly one of DelRegValue and DelFile";
  const std::string value = line.substr(eq + 1);
  if (reg) {
    const std::string root = "HKEY_CURRENT_USER\\Software\\";
    if (value.compare(0, root.size(), root) != 0) return "not below HKEY_CURRENT_USER\\Software";
    const std::string rest = value.substr(root.size());
    const auto comma = rest.find(',');
    const auto keyParts = Split(rest.substr(0, comma), '\\');
    if (keyParts.size() < 2 || keyParts[0].empty() || keyParts[1].empty()) return "a vendor's whole key";
    // What goes: the named value, or the key below the vendor's with all it holds.
    const std::string taken = comma != std::string::npos && comma + 1 < rest.size()
                                  ? rest.substr(comma + 1)
                                  : rest.substr(keyParts[0].size() + 1);
    if (!NamesATrace(taken) && !allowed(keyParts.back() + ",")) return "not a history, MRU or cache: " + taken;
    return std::nullopt;
  }
  const auto slash = value.find('\\');
  if (slash == std::string::npos) return "no \"\\\" after the base";
  const std::string base = value.substr(0, slash);
  if (base != "{Local AppData}" && base != "{Current AppData}" && base != "{Common AppData}" &&
      base != "%ProgramFiles%")
    return "base " + base + " is not an application-data or program folder";
  const std::string rest = value.substr(slash + 1);
  const auto comma = rest.find(',');
  std::vector<std::string> folders = Split(rest.substr(0, comma), '\\');
  if (!folders.empty() && folders.back().empty()) folders.pop_back();  // "Foo\,x.log"
  for (const std::string& f : folders) {
    if (f.empty()) return "an empty folder name";
    if (UserDataFolder(f)) return "below " + f;
  }
  if (comma == std::string::npos) {
    if (folders.empty()) return "the whole base folder";
    if (folders[0].find('*') != std::string::npos) return "a \"*\" for the program's own folder";
    if (!NamesATrace(folders.back()) && !allowed(folders.back())) return "not a cache or log folder: " + folders.back();
    return std::nullopt;
  }
  const std::string pattern = rest.substr(comma + 1);
  if (folders.empty() && pattern.find('*') != std::string::npos) return "a pattern over the whole base folder";
  if (!folders.empty() && folders[0].find('*') != std::string::npos) return "a \"*\" for the program's own folder";
  if (allowed(pattern)) return std::nullopt;
  if (SettingsOrDataFile(pattern)) return "a settings or data file kind: " + pattern;
  if (!NamesATrace(pattern)) return "not a trace file: " + pattern;
  return std::nullopt;
}

TEST(ApplicationSections, TheLineCheckRefusesWhatAUserWouldMiss) {
  struct Case {
    std::string line;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"DelFile1={Current AppData}\\Foo\\Logs", false},
      {"DelFile1={Local AppData}\\Foo\\CrashLog", false},
      {"DelFile1={Local AppData}\\Foo\\Profiles\\*\\cache2", false},
      {"DelFile1={Local AppData}\\,foo.log", false},
      {"DelFile1={Current AppData}\\Foo\\,*.log", false},
      {"DelFile1=%ProgramFiles%\\Foo\\,Foo_Logfile*.log", false},
      {"DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo\\Bar,Recent Files", false},
      {"DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo\\Recent File List,", false},
      {"DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo\\MRU", false},
      {"DelFile1={Current AppData}", true},                          // no folder at all
      {"DelFile1={Local AppData}\\", true},                          // the base itself
      {"DelFile1={Local AppData}Foo\\Cache", true},                  // not a placeholder
      {"DelFile1={Local AppData}\\Foo", true},                       // a program's whole folder
      {"DelFile1={Local AppData}\\Foo\\Catalog", true},              // "log" inside a word
      {"DelFile1={Current AppData}\\Notepad++\\backup", true},       // unsaved work
      {"DelFile1={Current AppData}\\Code\\User\\History", true},     // an editor's file history
      {"DelFile1={Current AppData}\\Foo\\Backups\\Cache", true},
      {"DelFile1={Current AppData}\\Foo\\,*.*", true},
      {"DelFile1={Current AppData}\\Foo\\,*", true},
      {"DelFile1={Current AppData}\\vlc\\,vlc-qt-interface.ini", true},
      {"DelFile1={Current AppData}\\Foo\\,history.xml", true},       // a settings kind, even named so
      {"DelFile1={Current AppData}\\Foo\\,places.sqlite", true},
      {"DelFile1={Current AppData}\\Winamp\\,winamp.m3u", true},     // a playlist
      {"DelFile1={Local AppData}\\,*.log", true},                    // other programs' logs too
      {"DelFile1={Local AppData}\\*\\Cache", true},                  // every program's cache
      {"DelFile1=C:\\Foo\\Cache", true},
      {"DelFile1={C: Drive}\\Foo\\Cache", true},
      {"DelFile1=%windir%\\Temp", true},
      {"DelFile1={Current AppData}\\Foo\\Logs,*.log DelRegValue", true},
      {"DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo,", true},      // the vendor's whole key
      {"DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo", true},
      {"DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo\\Settings,", true},
      {"DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo\\History,Window", true},
      {"DelRegValue1=HKEY_LOCAL_MACHINE\\Software\\Foo\\History,", true},
      {"DelRegValue1=HKEY_CURRENT_USER\\Control Panel\\Desktop\\MRU,", true},
      {"Foo=Bar", true},
  };
  for (const Case& c : cases) EXPECT_EQ(Objection("Foo", c.line).has_value(), c.refused) << c.line;
  // An allowance holds for its own section only.
  EXPECT_FALSE(Objection("FileZilla", "DelFile1={Current AppData}\\FileZilla\\,recentservers.xml"));
  EXPECT_TRUE(Objection("Foo", "DelFile1={Current AppData}\\FileZilla\\,recentservers.xml"));
  EXPECT_FALSE(Objection("WinZip", "DelRegValue1=HKEY_CURRENT_USER\\Software\\Nico Mak Computing\\WinZip\\extract,"));
  EXPECT_TRUE(Objection("Foo", "DelRegValue1=HKEY_CURRENT_USER\\Software\\Foo\\extract,"));
}

TEST(ApplicationSections, EveryLineTakesOnlyTracesOfAKind) {
  TIniFile shipped(kData / "qvtk.dat");
  std::set<std::pair<std::string, std::string>> used;
  for (const std::string& section : ApplicationSections()) {
    const auto lines = shipped.ReadSectionLines(section);
    int working = 0;
    for (const std::string& line : lines) {
      if (line.empty() || line[0] == ';') continue;
      ++working;
      const auto why = Objection(section, line);
      EXPECT_FALSE(why) << "[" << section << "] " << line << ": " << why.value_or("");
      for (const Allowed& a : kAllowed)
        if (a.section == section && line.find(a.what) != std::string::npos) used.insert({a.section, a.what});
    }
    EXPECT_GT(working, 0) << "[" << section << "] has no lines";
  }
  for (const Allowed& a : kAllowed) EXPECT_TRUE(used.count({a.section, a.what})) << "unused allowance " << a.what;
}

}  // namespace
}  // namespace kestrove
