// The registry scan's shared vocabulary: the result row, how a row names the item Fix
// removes, the problem texts, the section catalogue of the Registry page's tree, the scan's
// window messages, and the window-side helpers that work on the result list (ignore lists,
// status text, text export lines).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrove {

// Posted by the scanning worker to the window (wParam and lParam 0).
inline constexpr unsigned WM_SCANSTEP = 0x6413;  // after each section: refresh the counts
inline constexpr unsigned WM_SCANDONE = 0x6414;  // the end of the scan (also sent to itself on Cancel)

// How Location and Data name the item that Fix removes. Stored as a small integer.
enum class TLocationKind : std::uint8_t {
  lkKey = 0,               // the key Location, with everything below it
  lkPathValue = 1,         // the value named by Location's last component, in the key before it
  lkDataValue = 2,         // the value named Data in key Location
  lkDataSubkey = 3,        // the key Location\Data
  lkShortcutFile = 4,      // the shortcut file Location
  lkDefaultValue = 5,      // the default value of key Location
  lkEncodedDataValue = 6,  // the value named ROT13(Data) in key Location
};

// The text of the "Problem" column. A scan may find hundreds of thousands of rows that share
// a score of texts, so each distinct text is kept once for the life of the program and a row
// holds a pointer to it; it reads as the std::string it stands for.
class TProblemText {
 public:
  TProblemText();  // the empty text
  TProblemText(std::string_view text);
  TProblemText(const char* text);
  TProblemText(const std::string& text) : TProblemText(std::string_view(text)) {}

  const std::string& str() const { return *text_; }
  operator const std::string&() const { return *text_; }
  bool empty() const { return text_->empty(); }

  // Equal texts are the same kept string.
  friend bool operator==(const TProblemText& a, const TProblemText& b) { return a.text_ == b.text_; }
  friend bool operator==(const TProblemText& a, const std::string& b) { return *a.text_ == b; }
  friend bool operator==(const TProblemText& a, const char* b) { return *a.text_ == b; }
  friend bool operator<(const TProblemText& a, const TProblemText& b) { return *a.text_ < *b.text_; }

 private:
  const std::string* text_;
};
std::ostream& operator<<(std::ostream& out, const TProblemText& text);

// One row of the result list.
struct TScanResult {
  TProblemText ProblemType;  // "Problem" column
  std::string Data;         // "Data" column
  std::string Location;     // "Registry key" column: a registry path, or a file for lkShortcutFile
  TLocationKind LocationKind = TLocationKind::lkKey;
  bool Selected = false;  // the row's check box: it takes part in Fix

  bool operator==(const TScanResult&) const = default;
};

// The texts of the "Problem" column, as the program's string table spells them.
namespace problem {
inline constexpr const char* kSoundFile = "Non-existent Sound File";
inline constexpr const char* kObsoleteSoftware = "Obsolete Software Entry";
inline constexpr const char* kFonts = "Invalid Windows Fonts";
inline constexpr const char* kAddRemovePrograms = "Invalid Add/Remove Programs";
inline constexpr const char* kCustomControls = "Custom Controls Issue";
inline constexpr const char* kShortcut = "Missing ShortCut reference";
inline constexpr const char* kMruLists = "Non-existent MRU and History Lists file";
inline constexpr const char* kInstaller = "Installer Refrence Issue";
inline constexpr const char* kService = "Windows Service Issue";
inline constexpr const char* kEmptyUninstall = "Empty Uninstall Entries";
inline constexpr const char* kFileOrFolder = "Non-existent File or Folder";
inline constexpr const char* kEmptyKeys = "Empty Registry Keys";
inline constexpr const char* kSharedDlls = "Non-existent Shared Dlls";
inline constexpr const char* kFileExtension = "Useless File Extension";
inline constexpr const char* kActiveX = "ActiveX Issue";
inline constexpr const char* kSoftwareLocations = "Software Locations Issue";
inline constexpr const char* kHelpFiles = "Invalid Help Files Item";
inline constexpr const char* kOpenWith = "Open with Application Issue";
inline constexpr const char* kStartMenu = "Old Start Menu Key";
inline constexpr const char* kStartup = "Non-existent Startup Programs";
}  // namespace problem

// ---- Section catalogue -------------------------------------------------------------------

// One node of the Registry page's tree. The code is the node's image index and what the
// worker dispatches on.
struct TScanSection {
  int Code = 0;
  const char* Text = "";     // the node's text
  int Level = 0;             // 0 root, 1 section or group, 2 below "Files and Folders"
  const char* Caption = "";  // the status caption while it runs; nullptr leaves it unchanged
};

inline constexpr int kScanSectionCount = 25;

// The 25 nodes in tree order (depth-first: node, its children, its next sibling).
const std::vector<TScanSection>& ScanSections();
// The node with this code, or nullptr.
const TScanSection* FindScanSection(int code);
// The node whose text matches (ignoring letter case and surrounding blanks) or whose code is
// written as a decimal number; nullopt when none does.
std::optional<int> ScanSectionByName(std::string_view nameOrNumber);
// The codes below a node (itself first), in tree order: the root gives every code,
// "Files and Folders" gives 2 to 6, any other node itself.
std::vector<int> ScanSectionWithChildren(int code);

// The progress animation step: 10, 5, 4, 3, 2 or 1 as 0 to 5 of the whole-tree walks
// (codes 3, 4, 5, 6 and 25) are among the selected codes.
int ScanStepFor(const std::vector<std::string>& selection);

// ---- Window-side helpers on the result list ----------------------------------------------

// The built-in ignore list, 31 key paths in the order the filter tries them.
const std::vector<std::string>& BuiltInIgnoreKeys();

// The key and value name the ignore filter tests for a row. nullopt for rows that the
// filter always keeps: a Location without "\" and shortcut files.
struct TIgnoreTarget {
  std::string Key;
  std::string Value;  // empty: the row names a key
};
std::optional<TIgnoreTarget> IgnoreTargetOf(const TScanResult& row);

// Removes, from the last row to the first, every row matched by `ignoreValues` (exact
// value paths, or entries that contain a row's key) or by the key list (the built-in
// entries, then `ignoreKeys`). Letter case is ignored throughout. Never adds rows.
void ApplyIgnoreLists(std::vector<TScanResult>& rows, const std::vector<std::string>& ignoreValues,
                      const std::vector<std::string>& ignoreKeys);
// Which rows ApplyIgnoreLists removes, without touching the rows.
std::vector<bool> IgnoredRows(const std::vector<TScanResult>& rows, const std::vector<std::string>& ignoreValues,
                              const std::vector<std::string>& ignoreKeys);

// The ignore lists made ready once (letter case folded, key entries ending with "\"), to
// test rows one at a time.
class TIgnoreFilter {
 public:
  TIgnoreFilter(const std::vector<std::string>& ignoreValues, const std::vector<std::string>& ignoreKeys);
  bool Ignores(const TScanResult& row) const;

 private:
  std::vector<std::string> values_;
  std::vector<std::string> keys_;
};

// The list view's column widths when it has no rows: W*100/450, W*190/450, W*140/450.
struct TScanColumnWidths {
  int Problem = 0;
  int Data = 0;
  int RegistryKey = 0;
};
TScanColumnWidths DefaultScanColumnWidths(int listWidth);

// " N Errors Found,  M Errors Selected." for the rows and how many of them are selected.
std::string UpdateScanStatus(const std::vector<TScanResult>& rows);
std::string ScanStatusText(std::size_t total, std::size_t selected);

// One line of the text export: type, "  ^^^  ", Data, "  ^^^  ", Location.
inline constexpr const char* kSaveTextSeparator = "  ^^^  ";
std::string SaveAsTextLine(const TScanResult& row);

}  // namespace kestrove
