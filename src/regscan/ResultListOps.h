// The commands of the scan result list's pop-up menu that are not about widgets: which of
// them are enabled, selecting rows by type, saving the list as text, and opening the
// registry editor at a row's key.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/Prompt.h"
#include "regscan/ScanTypes.h"

namespace kestrove {

class TargetSystem;

// ---- Enabling rules ------------------------------------------------------------------------

struct TResultMenuState {
  bool SelectItem = false;
  bool DeselectItem = false;
  bool SelectAllType = false;
  bool UnselectAllType = false;
  bool SelectAll = true;
  bool SelectNone = true;
  bool SaveText = false;
  bool OpenRegedit = false;
};

// `focused` is the list's current row index, below 0 when there is none.
TResultMenuState ResultMenuState(std::size_t rowCount, int focused);

// ---- Selection -----------------------------------------------------------------------------

void SetAllSelected(std::vector<TScanResult>& rows, bool selected);
// Every row whose type equals `type` exactly (letter case included); other rows keep their mark.
void SetTypeSelected(std::vector<TScanResult>& rows, const std::string& type, bool selected);

// ---- Save as Text --------------------------------------------------------------------------

// ".txt" is appended unless the name's extension is exactly ".txt" (so "a.TXT" gets one too).
std::string ScanTextFileName(const std::string& chosen);
// The file's contents: one line a row, in list order, each ending in CR LF; no header.
std::string ScanTextFileContents(const std::vector<TScanResult>& rows);
// Asks before replacing an existing file (No leaves it as it was), then writes it
// atomically. False when the user declined; throws std::runtime_error when it cannot be written.
bool SaveScanResultsToFile(const std::string& chosen, const std::vector<TScanResult>& rows, IPrompt& prompt);

// ---- The registry editor -------------------------------------------------------------------

// Where the editor keeps the key it opens at next.
inline constexpr const char* kRegeditAppletKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Regedit";
inline constexpr const char* kRegeditLastKey = "LastKey";

// The key a row is shown at: a value row at the value's key, a subkey row at the subkey, a
// shortcut row nowhere (empty), every other row at its Location.
std::string RegeditKeyOf(const TScanResult& row);

// Starts the registry editor on a target; returns a message for the user when it cannot be
// started for a reason worth telling (no Wine, a target Wine cannot run), else nullopt.
using TRegeditStarter = std::function<std::optional<std::string>(const TargetSystem& target)>;

// Wine's own regedit, run by the first `wine` found on `searchPath` (a PATH-style list) with
// WINEPREFIX set to the target, as a detached process: the window neither waits for it nor
// hears from it. Wine's regedit takes no "-m" (any switch without a file is an error there)
// and always opens a window of its own, so it is started without arguments.
std::optional<std::string> StartWineRegedit(const TargetSystem& target, const std::string& searchPath);
// The same with this process's PATH.
std::optional<std::string> StartWineRegedit(const TargetSystem& target);

// Writes LastKey under HKEY_CURRENT_USER (creating the key), commits it, then starts the
// editor. While Wine runs on the target nothing is written or started and the refusal is
// returned; so is a failed commit. Otherwise the starter's message, if any.
std::optional<std::string> OpenRegeditAt(TargetSystem& target, const TScanResult& row,
                                         const TRegeditStarter& starter);

}  // namespace kestrove
