// The user's settings: one record for the whole process, kept between runs in
// "options.ini" in the program's folder. Loaded once when the main window is created; saved
// when it closes, when the session ends and when the options dialog is confirmed.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "app/CheckTree.h"
#include "app/IniFile.h"

namespace kestrove {

// The boss key's combination.
struct TShortcut {
  bool IsCtrl = false;
  bool IsShift = false;
  bool IsAlt = false;
  std::string CharString;        // the key's display name, such as "F5"
  std::uint16_t CharAscII = 0;   // the key's virtual-key code
};

// The window's show command as the window system reports it; Unknown when it cannot be read.
enum class TWindowShowState { Unknown = 0, Normal = 1, Minimized = 2, Maximized = 3 };

// The main window's placement at save time. The bounds are the normal (restored) bounds,
// also while the window is maximised or hidden.
struct TWindowPlacement {
  TWindowShowState State = TWindowShowState::Unknown;
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
};

// What the default window bounds are computed from at load: the screen and the window's
// size as created.
struct TWindowDefaults {
  int ScreenWidth = 0;
  int ScreenHeight = 0;
  int WindowWidth = 0;
  int WindowHeight = 0;
};

// Slots of the stored tables: categories of the cleaner tree with image index 1 to 10, and
// registry sections with image index 1 to 22. Entry i - 1 belongs to image index i.
inline constexpr int kExpandSlotCount = 10;
inline constexpr int kRegistryCheckSlotCount = 22;

struct TOptionsSetting {
  bool IsAskBeforeClear = false;
  bool IsWipeFile = false;
  std::int32_t WipeNumber = 0;
  bool EnableHotkey = false;
  TShortcut Hotkey;
  bool EnableIE = false;
  bool EnableNetscape = false;
  bool EnableFirefox = false;
  bool EnableOpera = false;
  // Google Chrome and Chromium, which came after the four above (key EnableChrome).
  bool EnableChrome = false;
  bool AutoClean = false;
  std::int32_t CleanInterval = 0;
  bool StartClean = false;
  bool ShutdownClean = false;
  bool FastScan = false;
  std::int32_t SelectedCount = 0;
  std::array<bool, kExpandSlotCount> FirstNodeExpand{};
  bool ShowLogTempInternetFiles = false;
  bool ShowLogRecycleBin = false;
  std::string OutputDirectory;
  bool DeleteBackupFile = false;
  bool IncludeRemoveMedia = false;
  bool IncludeCDdrive = false;
  std::array<bool, kRegistryCheckSlotCount> TreeViewNodeCheck{};
  std::int32_t IgnoreValueCount = 0;
  std::vector<std::string> IgnoreValues;
  std::int32_t IgnoreKeyCount = 0;
  std::vector<std::string> IgnoreKeys;
  bool WindowMaximized = false;
  std::int32_t WindowLeft = 0;
  std::int32_t WindowTop = 0;
  std::int32_t WindowHeight = 0;
  std::int32_t WindowWidth = 0;
  bool RestorePoint = false;

  // "options.ini" in the program's folder (given with its trailing separator).
  static TIniFile OptionsFile(const std::string& programFolder);

  // Fills the record from the file (missing file, keys or numbers give the defaults) and
  // marks the saved selection in the cleaner tree, after clearing every mark there. The
  // default backup folder is the options file's folder followed by "Backup".
  void Load(const TIniFile& ini, ICheckTree& cleanItems, const TWindowDefaults& window);

  // Writes the record, the cleaner tree's checked nodes, the registry sections' marks and
  // the window's placement. A failed write raises EIniFileError and ends the save there.
  void Save(TIniFile& ini, const ICheckTree& cleanItems, const ICheckTree& registrySections,
            const TWindowPlacement& placement);

  // Expanded states of the cleaner tree's categories, by image index.
  void StoreExpandedStates(const ICheckTree& cleanItems);
  void RestoreExpandedStates(ICheckTree& cleanItems) const;

  // Checks each registry section whose image index has a true entry, unchecks every other.
  void RestoreRegistryChecks(ICheckTree& registrySections) const;
};

}  // namespace kestrove
