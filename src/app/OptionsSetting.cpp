#include "app/OptionsSetting.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string_view>

namespace kestrove {

namespace {

constexpr const char* kOptions = "Options";
constexpr const char* kHotkey = "Hotkey";
constexpr const char* kSchedule = "SChedule";
constexpr const char* kNodeSelected = "NodeSelected";
constexpr const char* kFirstNodeExpand = "FirstNodeExpand";
constexpr const char* kSettings = "Settings";
constexpr const char* kTreeViewNodeCheck = "TreeViewNodeCheck";
constexpr const char* kIgnoreValue = "IgnoreValue";
constexpr const char* kIgnoreKey = "IgnoreKey";
constexpr const char* kWindow = "Window";

constexpr std::uint16_t kF5 = 116;

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), s.begin(), [](char a, char b) {
           return FoldCase(a) == FoldCase(b);
         });
}

// A list number as the save writes it: decimal, no sign, no leading zeros, at least 1.
std::optional<std::int64_t> ListIndex(std::string_view s) {
  if (s.empty() || s.size() > 10 || s.front() == '0') return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

// The texts of keys prefix + 1 to prefix + count of a section, read in one pass over the
// file. A key missing among them reads as an empty text. The count is trusted only up to
// the highest key present: a damaged count must not make the load hang or fill memory with
// empty entries.
std::vector<std::string> ReadNumberedList(const TIniFile& ini, const char* section, std::string_view prefix,
                                          std::int32_t count) {
  std::map<std::int64_t, std::string> byIndex;
  for (auto& [key, value] : ini.ReadSectionValues(section)) {
    if (!StartsWithNoCase(key, prefix)) continue;
    if (std::optional<std::int64_t> k = ListIndex(std::string_view(key).substr(prefix.size())))
      byIndex.emplace(*k, std::move(value));
  }
  std::int64_t last = byIndex.empty() ? 0 : byIndex.rbegin()->first;
  std::int64_t n = std::min<std::int64_t>(count, last);
  std::vector<std::string> list;
  for (std::int64_t k = 1; k <= n; ++k) {
    auto it = byIndex.find(k);
    list.push_back(it == byIndex.end() ? std::string() : it->second);
  }
  return list;
}

// Checks the first node of the group whose stored name is text, searching depth-first; a
// match ends the search in its group of siblings. Returns whether this group had a match.
bool MarkInGroup(ICheckTree& tree, bool topLevel, ICheckTree::Node parent, int depth, const std::string& text) {
  std::size_t count = topLevel ? tree.TopCount() : tree.ChildCount(parent);
  for (std::size_t i = 0; i < count; ++i) {
    ICheckTree::Node node = topLevel ? tree.Top(i) : tree.Child(parent, i);
    if (CheckTreeItemName(tree, node, parent, depth) == text) {
      tree.SetChecked(node, true);
      return true;
    }
    MarkInGroup(tree, false, node, depth + 1, text);
  }
  return false;
}

std::string FolderOf(const TIniFile& ini) {
  std::string folder = ini.FileName().parent_path().string();
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

TIniFile TOptionsSetting::OptionsFile(const std::string& programFolder) {
  return TIniFile(programFolder + "options.ini");
}

void TOptionsSetting::Load(const TIniFile& file, ICheckTree& cleanItems, const TWindowDefaults& window) {
  // Some seventy reads, each of which would read and parse the whole file again.
  const TIniFile ini = file.Frozen();
  IsAskBeforeClear = ini.ReadBool(kOptions, "IsAskBeforeClear", true);
  IsWipeFile = ini.ReadBool(kOptions, "IsWipeFile", false);
  WipeNumber = ini.ReadInteger(kOptions, "WipeNumber", 1);
  if (WipeNumber < 1 || WipeNumber > 10) WipeNumber = 1;

  EnableHotkey = ini.ReadBool(kHotkey, "EnableHotkey", false);
  Hotkey.IsCtrl = ini.ReadBool(kHotkey, "IsCtrl", true);
  Hotkey.IsShift = ini.ReadBool(kHotkey, "IsShift", false);
  Hotkey.IsAlt = ini.ReadBool(kHotkey, "IsAlt", false);
  Hotkey.CharString = ini.ReadString(kHotkey, "CharString", "F5");
  // A key code that does not fit 16 bits names no key: keep the default rather than a
  // truncated, unrelated one.
  std::int32_t code = ini.ReadInteger(kHotkey, "CharAscII", kF5);
  Hotkey.CharAscII = (code >= 0 && code <= 0xFFFF) ? static_cast<std::uint16_t>(code) : kF5;
  EnableIE = ini.ReadBool(kHotkey, "EnableIE", false);
  EnableNetscape = ini.ReadBool(kHotkey, "EnableNetscape", false);
  EnableFirefox = ini.ReadBool(kHotkey, "EnableFirefox", false);
  EnableOpera = ini.ReadBool(kHotkey, "EnableOpera", false);
  EnableChrome = ini.ReadBool(kHotkey, "EnableChrome", false);

  AutoClean = ini.ReadBool(kSchedule, "AutoClean", false);
  CleanInterval = ini.ReadInteger(kSchedule, "CleanInterval", 0);
  StartClean = ini.ReadBool(kSchedule, "StartClean", false);
  ShutdownClean = ini.ReadBool(kSchedule, "ShutdownClean", false);

  WalkCheckTree(cleanItems, [&](ICheckTree::Node node, ICheckTree::Node, int) { cleanItems.SetChecked(node, false); });
  SelectedCount = ini.ReadInteger(kNodeSelected, "SelectedCount", 0);
  for (const std::string& text : ReadNumberedList(ini, kNodeSelected, "", SelectedCount)) {
    if (!text.empty()) MarkInGroup(cleanItems, true, ICheckTree::Node{}, 0, text);
  }
  // A category is checked whenever one of its items is.
  WalkCheckTree(cleanItems, [&](ICheckTree::Node node, ICheckTree::Node parent, int depth) {
    if (depth == 1 && cleanItems.Checked(node)) cleanItems.SetChecked(parent, true);
  });

  for (int i = 0; i < kExpandSlotCount; ++i)
    FirstNodeExpand[static_cast<std::size_t>(i)] = ini.ReadBool(kFirstNodeExpand, std::to_string(i + 1), true);

  ShowLogTempInternetFiles = ini.ReadBool(kSettings, "ShowLogTempInternetFiles", false);
  ShowLogRecycleBin = ini.ReadBool(kSettings, "ShowLogRecycleBin", false);
  FastScan = ini.ReadBool(kSettings, "FastScan", true);

  OutputDirectory = ini.ReadString(kOptions, "OutputDirectory", FolderOf(ini) + "Backup");
  DeleteBackupFile = ini.ReadBool(kOptions, "DeleteBackupFile", true);
  IncludeRemoveMedia = ini.ReadBool(kOptions, "IncludeRemoveMedia", true);
  IncludeCDdrive = ini.ReadBool(kOptions, "IncludeCDdrive", false);

  for (int i = 0; i < kRegistryCheckSlotCount; ++i)
    TreeViewNodeCheck[static_cast<std::size_t>(i)] = ini.ReadBool(kTreeViewNodeCheck, std::to_string(i + 1), true);

  IgnoreValues = ReadNumberedList(ini, kIgnoreValue, "Value", ini.ReadInteger(kIgnoreValue, "Count", 0));
  IgnoreValueCount = static_cast<std::int32_t>(IgnoreValues.size());
  IgnoreKeys = ReadNumberedList(ini, kIgnoreKey, "Key", ini.ReadInteger(kIgnoreKey, "Count", 0));
  IgnoreKeyCount = static_cast<std::int32_t>(IgnoreKeys.size());

  if (ini.ReadInteger(kWindow, "State", 1) == 3) {
    WindowMaximized = true;
  } else {
    WindowMaximized = false;
    WindowLeft = ini.ReadInteger(kWindow, "Left", (window.ScreenWidth - window.WindowWidth) / 2);
    WindowTop = ini.ReadInteger(kWindow, "Top", (window.ScreenHeight - window.WindowHeight) / 2);
    WindowWidth = ini.ReadInteger(kWindow, "Width", window.WindowWidth);
    WindowHeight = ini.ReadInteger(kWindow, "Height", window.WindowHeight);
  }

  RestorePoint = ini.ReadBool(kOptions, "RestorePoint", false);
}

void TOptionsSetting::Save(TIniFile& ini, const ICheckTree& cleanItems, const ICheckTree& registrySections,
                           const TWindowPlacement& placement) {
  ini.WriteBool(kOptions, "IsAskBeforeClear", IsAskBeforeClear);
  ini.WriteBool(kOptions, "IsWipeFile", IsWipeFile);
  ini.WriteInteger(kOptions, "WipeNumber", WipeNumber);

  ini.WriteBool(kHotkey, "EnableHotkey", EnableHotkey);
  ini.WriteBool(kHotkey, "IsCtrl", Hotkey.IsCtrl);
  ini.WriteBool(kHotkey, "IsShift", Hotkey.IsShift);
  ini.WriteBool(kHotkey, "IsAlt", Hotkey.IsAlt);
  ini.WriteString(kHotkey, "CharString", Hotkey.CharString);
  ini.WriteInteger(kHotkey, "CharAscII", Hotkey.CharAscII);
  ini.WriteBool(kHotkey, "EnableIE", EnableIE);
  ini.WriteBool(kHotkey, "EnableNetscape", EnableNetscape);
  ini.WriteBool(kHotkey, "EnableFirefox", EnableFirefox);
  ini.WriteBool(kHotkey, "EnableOpera", EnableOpera);
  ini.WriteBool(kHotkey, "EnableChrome", EnableChrome);

  ini.WriteBool(kSchedule, "AutoClean", AutoClean);
  ini.WriteInteger(kSchedule, "CleanInterval", CleanInterval);
  ini.WriteBool(kSchedule, "StartClean", StartClean);
  ini.WriteBool(kSchedule, "ShutdownClean", ShutdownClean);

  // Keys of an earlier, longer selection stay behind; the count says how many are read.
  std::vector<std::string> selection;
  WalkCheckTree(cleanItems, [&](ICheckTree::Node node, ICheckTree::Node parent, int depth) {
    if (cleanItems.Checked(node)) selection.push_back(CheckTreeItemName(cleanItems, node, parent, depth));
  });
  for (std::size_t k = 0; k < selection.size(); ++k) ini.WriteString(kNodeSelected, std::to_string(k + 1), selection[k]);
  ini.WriteInteger(kNodeSelected, "SelectedCount", static_cast<std::int32_t>(selection.size()));
  SelectedCount = static_cast<std::int32_t>(selection.size());

  for (int i = 0; i < kExpandSlotCount; ++i)
    ini.WriteBool(kFirstNodeExpand, std::to_string(i + 1), FirstNodeExpand[static_cast<std::size_t>(i)]);

  ini.WriteBool(kSettings, "ShowLogTempInternetFiles", ShowLogTempInternetFiles);
  ini.WriteBool(kSettings, "ShowLogRecycleBin", ShowLogRecycleBin);
  ini.WriteBool(kSettings, "FastScan", FastScan);
  ini.WriteString(kOptions, "OutputDirectory", OutputDirectory);
  ini.WriteBool(kOptions, "DeleteBackupFile", DeleteBackupFile);
  ini.WriteBool(kOptions, "IncludeRemoveMedia", IncludeRemoveMedia);
  ini.WriteBool(kOptions, "IncludeCDdrive", IncludeCDdrive);

  WalkCheckTree(registrySections, [&](ICheckTree::Node node, ICheckTree::Node, int) {
    int index = registrySections.ImageIndex(node);
    if (index >= 1 && index <= kRegistryCheckSlotCount)
      TreeViewNodeCheck[static_cast<std::size_t>(index - 1)] = registrySections.Checked(node);
  });
  for (int i = 0; i < kRegistryCheckSlotCount; ++i)
    ini.WriteBool(kTreeViewNodeCheck, std::to_string(i + 1), TreeViewNodeCheck[static_cast<std::size_t>(i)]);

  // The lists themselves are the truth: a count that disagrees with them is corrected
  // rather than written past their end.
  IgnoreValueCount = static_cast<std::int32_t>(IgnoreValues.size());
  ini.WriteInteger(kIgnoreValue, "Count", IgnoreValueCount);
  for (std::size_t k = 0; k < IgnoreValues.size(); ++k)
    ini.WriteString(kIgnoreValue, "Value" + std::to_string(k + 1), IgnoreValues[k]);
  IgnoreKeyCount = static_cast<std::int32_t>(IgnoreKeys.size());
  ini.WriteInteger(kIgnoreKey, "Count", IgnoreKeyCount);
  for (std::size_t k = 0; k < IgnoreKeys.size(); ++k)
    ini.WriteString(kIgnoreKey, "Key" + std::to_string(k + 1), IgnoreKeys[k]);

  if (placement.State != TWindowShowState::Unknown) {
    ini.WriteInteger(kWindow, "State", static_cast<std::int32_t>(placement.State));
    WindowMaximized = placement.State == TWindowShowState::Maximized;
  }
  ini.WriteInteger(kWindow, "Left", placement.Left);
  ini.WriteInteger(kWindow, "Top", placement.Top);
  ini.WriteInteger(kWindow, "Width", placement.Width);
  ini.WriteInteger(kWindow, "Height", placement.Height);
  WindowLeft = placement.Left;
  WindowTop = placement.Top;
  WindowWidth = placement.Width;
  WindowHeight = placement.Height;

  ini.WriteBool(kOptions, "RestorePoint", RestorePoint);
}

void TOptionsSetting::StoreExpandedStates(const ICheckTree& cleanItems) {
  for (std::size_t i = 0; i < cleanItems.TopCount(); ++i) {
    ICheckTree::Node node = cleanItems.Top(i);
    int index = cleanItems.ImageIndex(node);
    if (index >= 1 && index <= kExpandSlotCount)
      FirstNodeExpand[static_cast<std::size_t>(index - 1)] = cleanItems.Expanded(node);
  }
}

void TOptionsSetting::RestoreExpandedStates(ICheckTree& cleanItems) const {
  for (std::size_t i = 0; i < cleanItems.TopCount(); ++i) {
    ICheckTree::Node node = cleanItems.Top(i);
    int index = cleanItems.ImageIndex(node);
    if (index >= 1 && index <= kExpandSlotCount && FirstNodeExpand[static_cast<std::size_t>(index - 1)])
      cleanItems.SetExpanded(node, true);
  }
}

void TOptionsSetting::RestoreRegistryChecks(ICheckTree& registrySections) const {
  WalkCheckTree(registrySections, [&](ICheckTree::Node node, ICheckTree::Node, int) {
    int index = registrySections.ImageIndex(node);
    registrySections.SetChecked(node, index >= 1 && index <= kRegistryCheckSlotCount &&
                                          TreeViewNodeCheck[static_cast<std::size_t>(index - 1)]);
  });
}

}  // namespace kestrove
