#include "regscan/ScanTypes.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <ostream>
#include <set>

#include "app/Helpers.h"
#include "platform/PathResolver.h"

namespace kestrove {

namespace {

const std::vector<TScanSection> kSections = {
    {1, "My Computers", 0, nullptr},
    {2, "Files and Folders", 1, nullptr},
    {3, "HKEY_CLASSES_ROOT", 2, "Scanning: HKEY_CLASSES_ROOT"},
    {4, "HKEY_CURRENT_USER", 2, "Scanning: HKEY_CURRENT_USER"},
    {5, "HKEY_LOCAL_MACHINE", 2, "Scanning: HKEY_LOCAL_MACHINE"},
    {6, "HKEY_USERS", 2, "Scanning: HKEY_USERS"},
    {7, "Shared DLLs", 1, "Scanning: Shared DLLs"},
    {8, "Software Locations", 1, "Scanning: Software Locations"},
    {9, "Start Menu Section", 1, "Scanning: Start Menu"},
    {10, "Obsolete Software", 1, "Scanning: Software Locations"},
    {11, "File Extensions", 1, "Scanning: File Extensions"},
    {12, "Fonts Section", 1, "Scanning: Fonts Sections"},
    {13, "Help File Paths", 1, "Scanning: Invalid Help Files"},
    {14, "Startup Programs", 1, "Scanning: Startup Programs"},
    {15, "Add/Remove Programs", 1, "Scanning: Add/Remove Programs"},
    {16, "Custom Controls", 1, "Scanning: Custom Controls"},
    {17, "Windows Services", 1, "Scanning: Windows Services"},
    {18, "Shortcuts", 1, "Scanning: Shortcuts"},
    {19, "Sound and Appevents", 1, "Scanning: Sound and Appevents"},
    {20, "Invalid ActiveX", 1, "Scanning: Invalid ActiveX"},
    {21, "Installer", 1, "Scanning: Installer"},
    {22, "Applications", 1, nullptr},
    {23, "Uninstaller Entry", 1, "Scanning: Empty Uninstaller Entry"},
    {24, "MRU History Lists", 1, "Scanning: MRU and History Lists"},
    {25, "Empty Registry Keys", 1, "Scanning: Empty Registry Keys"},
};

const std::vector<std::string> kBuiltInIgnoreKeys = {
    "HKEY_CLASSES_ROOT\\.DAT",
    "HKEY_CLASSES_ROOT\\.hta",
    "HKEY_CLASSES_ROOT\\.htc",
    "HKEY_CLASSES_ROOT\\.manifest",
    "HKEY_CLASSES_ROOT\\Applications\\WINWORD.EXE\\TaskbarExceptionsIcons",
    "HKEY_CLASSES_ROOT\\CLSID\\{08EE6878-C867-4D8C-A360-FED4B6501D54}",
    "HKEY_CURRENT_USER\\Software\\Lexmark",
    "HKEY_CURRENT_USER\\Software\\JavaSoft",
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\lexmark\\MarkVision\\LexBCE\\Debug Options",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\WBEM\\WDM",
    "HKEY_USERS\\S-1-5-20\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
    "HKEY_USERS\\S-1-5-19\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
    "HKEY_USERS\\S-1-5-20\\Software\\Microsoft\\MediaPlayer\\Setup\\CreatedLinks",
    "HKEY_USERS\\S-1-5-21-6497018-2779423360-1663385191-1005\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\IMAPI\\StashInfo",
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\10.0\\Outlook\\Journal",
    "HKEY_USERS\\S-1-5-21-6497018-2779423360-1663385191-1005\\Software\\Microsoft\\Office\\10.0\\Outlook\\Journal",
    "HKEY_CURRENT_USER\\Software\\ThinPrint",
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\11.0\\Outlook\\Journal",
    "HKEY_USERS\\S-1-5-21-6497018-2779423360-1663385191-1005\\Software\\Microsoft\\Office\\11.0\\Outlook\\Journal",
    "HKEY_CURRENT_USER\\Software\\Ahead\\Nero - Burning Rom\\Database",
    "HKEY_USERS\\S-1-5-21-6497018-2779423360-1663385191-1005\\Software\\Ahead\\Nero - Burning Rom\\Database",
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Citrix Program Neighborhood",
    "HKEY_CURRENT_USER\\Software\\Funk Software, Inc.",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug",
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
    "HKEY_USERS\\S-1-5-21-1229272821-854245398-1343024091-1003\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Media Center\\MRU",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Hewlett-Packard\\DigitalImaging",
    "HKEY_CLASSES_ROOT\\CLSID\\{DFEAF541-F3E1-4c24-ACAC-99C30715084A}",
};

// Containment without regard to case; an empty needle is found nowhere, so that an empty
// key never matches every entry.
bool ContainsFolded(const std::string& haystackFolded, const std::string& needleFolded) {
  return !needleFolded.empty() && haystackFolded.find(needleFolded) != std::string::npos;
}

std::string Trimmed(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

const std::vector<TScanSection>& ScanSections() { return kSections; }

const TScanSection* FindScanSection(int code) {
  for (const TScanSection& s : kSections) {
    if (s.Code == code) return &s;
  }
  return nullptr;
}

std::optional<int> ScanSectionByName(std::string_view nameOrNumber) {
  const std::string name = Trimmed(nameOrNumber);
  if (name.empty()) return std::nullopt;
  int code = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), code);
  if (ec == std::errc() && end == name.data() + name.size()) {
    if (FindScanSection(code)) return code;
    return std::nullopt;
  }
  const std::string folded = FoldName(name);
  for (const TScanSection& s : kSections) {
    if (FoldName(s.Text) == folded) return s.Code;
  }
  return std::nullopt;
}

std::vector<int> ScanSectionWithChildren(int code) {
  std::vector<int> out;
  const TScanSection* node = FindScanSection(code);
  if (!node) return out;
  bool inside = false;
  for (const TScanSection& s : kSections) {
    if (s.Code == code) {
      inside = true;
      out.push_back(s.Code);
      continue;
    }
    if (!inside) continue;
    if (s.Level <= node->Level) break;
    out.push_back(s.Code);
  }
  return out;
}

int ScanStepFor(const std::vector<std::string>& selection) {
  int walks = 0;
  for (const std::string& entry : selection) {
    if (entry == "3" || entry == "4" || entry == "5" || entry == "6" || entry == "25") ++walks;
  }
  static const int kSteps[] = {10, 5, 4, 3, 2, 1};
  return kSteps[std::min(walks, 5)];
}

// ---- ignore lists ------------------------------------------------------------------------

const std::vector<std::string>& BuiltInIgnoreKeys() { return kBuiltInIgnoreKeys; }

std::optional<TIgnoreTarget> IgnoreTargetOf(const TScanResult& row) {
  const std::string& loc = row.Location;
  if (loc.find('\\') == std::string::npos) return std::nullopt;
  TIgnoreTarget t;
  switch (row.LocationKind) {
    case TLocationKind::lkKey:
      t.Key = loc;
      break;
    case TLocationKind::lkPathValue: {
      const std::size_t last = loc.rfind('\\');
      t.Key = loc.substr(0, last);
      t.Value = loc.substr(last + 1);
      break;
    }
    case TLocationKind::lkDataValue:
      t.Key = loc;
      t.Value = row.Data;
      break;
    case TLocationKind::lkDataSubkey:
      t.Key = loc + "\\" + row.Data;
      break;
    case TLocationKind::lkShortcutFile:
      return std::nullopt;
    case TLocationKind::lkDefaultValue:
      t.Key = loc;
      t.Value = "@";
      break;
    case TLocationKind::lkEncodedDataValue:
      t.Key = loc;
      t.Value = ROT13(row.Data);
      break;
  }
  return t;
}

void ApplyIgnoreLists(std::vector<TScanResult>& rows, const std::vector<std::string>& ignoreValues,
                      const std::vector<std::string>& ignoreKeys) {
  const std::vector<bool> removed = IgnoredRows(rows, ignoreValues, ignoreKeys);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (removed[i]) continue;
    if (kept != i) rows[kept] = std::move(rows[i]);
    ++kept;
  }
  rows.resize(kept);
}

TIgnoreFilter::TIgnoreFilter(const std::vector<std::string>& ignoreValues, const std::vector<std::string>& ignoreKeys) {
  values_.reserve(ignoreValues.size());
  for (const std::string& e : ignoreValues) values_.push_back(FoldName(e));
  // The key list, each entry ending with "\". An empty entry (a count larger than the keys
  // written) would become "\" and hide every row: it names no key and is left out.
  keys_.reserve(kBuiltInIgnoreKeys.size() + ignoreKeys.size());
  for (const auto* list : {&kBuiltInIgnoreKeys, &ignoreKeys}) {
    for (const std::string& e : *list) {
      if (e.empty()) continue;
      std::string k = FoldName(e);
      if (k.back() != '\\') k += '\\';
      keys_.push_back(std::move(k));
    }
  }
}

bool TIgnoreFilter::Ignores(const TScanResult& row) const {
  auto target = IgnoreTargetOf(row);
  if (!target) return false;
  const std::string key = FoldName(target->Key);
  const std::string value = FoldName(target->Value);
  for (const std::string& e : values_) {
    if (!value.empty() ? (key + "\\" + value == e) : ContainsFolded(e, key)) return true;
  }
  if (key.empty()) return false;
  const std::string k = key.back() == '\\' ? key : key + "\\";
  for (const std::string& e : keys_) {
    if (ContainsFolded(k, e) || (value.empty() && ContainsFolded(e, k))) return true;
  }
  return false;
}

std::vector<bool> IgnoredRows(const std::vector<TScanResult>& rows, const std::vector<std::string>& ignoreValues,
                              const std::vector<std::string>& ignoreKeys) {
  // Each row's fate depends on that row alone, so the order of the tests does not matter.
  const TIgnoreFilter filter(ignoreValues, ignoreKeys);
  std::vector<bool> removed(rows.size(), false);
  for (std::size_t i = 0; i < rows.size(); ++i) removed[i] = filter.Ignores(rows[i]);
  return removed;
}

TScanColumnWidths DefaultScanColumnWidths(int listWidth) {
  return TScanColumnWidths{listWidth * 100 / 450, listWidth * 190 / 450, listWidth * 140 / 450};
}

std::string ScanStatusText(std::size_t total, std::size_t selected) {
  return " " + std::to_string(total) + " Errors Found, " + " " + std::to_string(selected) + " Errors Selected.";
}

std::string UpdateScanStatus(const std::vector<TScanResult>& rows) {
  const auto selected = static_cast<std::size_t>(
      std::count_if(rows.begin(), rows.end(), [](const TScanResult& r) { return r.Selected; }));
  return ScanStatusText(rows.size(), selected);
}

namespace {

// The program's own texts, found by their address without a lock: the scan names its rows
// with these constants.
constexpr const char* const kKnownProblems[] = {
    problem::kSoundFile,        problem::kObsoleteSoftware, problem::kFonts,        problem::kAddRemovePrograms,
    problem::kCustomControls,   problem::kShortcut,         problem::kMruLists,     problem::kInstaller,
    problem::kService,          problem::kEmptyUninstall,   problem::kFileOrFolder, problem::kEmptyKeys,
    problem::kSharedDlls,       problem::kFileExtension,    problem::kActiveX,      problem::kSoftwareLocations,
    problem::kHelpFiles,        problem::kOpenWith,         problem::kStartMenu,    problem::kStartup,
};
constexpr std::size_t kKnownCount = sizeof kKnownProblems / sizeof kKnownProblems[0];

struct TProblemTexts {
  std::string known[kKnownCount];
  const std::string empty;
  std::mutex mu;
  std::set<std::string, std::less<>> others;  // nodes never move: rows point at them

  TProblemTexts() {
    for (std::size_t i = 0; i < kKnownCount; ++i) known[i] = kKnownProblems[i];
  }
  const std::string* Find(std::string_view text) {
    if (text.empty()) return &empty;
    for (const std::string& k : known)
      if (k == text) return &k;
    std::lock_guard lock(mu);
    return &*others.emplace(text).first;
  }
};

// Never destroyed: rows may outlive every other static.
TProblemTexts& ProblemTexts() {
  static TProblemTexts* texts = new TProblemTexts;
  return *texts;
}

}  // namespace

TProblemText::TProblemText() : text_(&ProblemTexts().empty) {}

TProblemText::TProblemText(std::string_view text) : text_(ProblemTexts().Find(text)) {}

TProblemText::TProblemText(const char* text) {
  TProblemTexts& texts = ProblemTexts();
  for (std::size_t i = 0; i < kKnownCount; ++i)
    if (text == kKnownProblems[i]) {
      text_ = &texts.known[i];
      return;
    }
  text_ = texts.Find(text);
}

std::ostream& operator<<(std::ostream& out, const TProblemText& text) { return out << text.str(); }

std::string SaveAsTextLine(const TScanResult& row) {
  return row.ProblemType.str() + kSaveTextSeparator + row.Data + kSaveTextSeparator + row.Location;
}

}  // namespace kestrove
