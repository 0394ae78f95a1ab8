// Starting the program with the user's session: the Run value of the target's
// HKEY_CURRENT_USER (what Windows itself reads, and Wine too when the prefix starts), and
// beside it a desktop entry in the XDG autostart folder, since a Wine prefix is not started
// with the session. Each target has an entry of its own.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace kestrove {

class TargetSystem;

inline constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// The one entry earlier versions wrote for whichever target was set last.
inline constexpr const char* kSharedAutostartEntryName = "kestrove.desktop";

// The desktop entry's file name for a target: "kestrove-" and a digest of the target's kind
// and folder, ".desktop".
std::string AutostartEntryName(TargetSystem& target);

// Whether the Run value named after the product holds "/Auto". Reads only: a missing key is
// not created.
bool AutoStartRegistered(TargetSystem& target);
// Whether the target starts with the session: the Run value holds "/Auto", and
// `autostartFolder` holds an entry starting this target (its own, or the shared one of an
// earlier version naming it). An empty folder: the Run value alone.
bool AutoStartEnabled(TargetSystem& target, const std::filesystem::path& autostartFolder);

// The Run value's text: the program file's full path followed by " /Auto". The path is the
// target's own name for the file when one of its drives reaches it, else the host path.
std::string AutoStartCommand(TargetSystem& target, const std::filesystem::path& programFile);

// $XDG_CONFIG_HOME/autostart, else ~/.config/autostart. Empty when neither is known.
std::filesystem::path XdgAutostartFolder(const std::function<const char*(const char*)>& getenv = nullptr);

// The desktop entry that starts `programFile /Auto` on this target (KESTROVE_ROOT set to it)
// with the settings of `programFolder` (KESTROVE_HOME set to it; an empty path: the
// program's own choice of folder), for `user` of an offline installation (KESTROVE_USER).
std::string AutostartDesktopEntry(const std::filesystem::path& programFile, const std::filesystem::path& targetFolder,
                                  const std::filesystem::path& programFolder = {}, const std::string& user = {});

// Turns the automatic start on (writes the Run value, creating the key) or off (deletes the
// value), commits the registry, then writes or removes the target's desktop entry in
// `autostartFolder` (an empty path: no entry). Only an entry made for this target is removed;
// the shared entry of an earlier version goes when it names this target, in either case, and
// stays when it names another.
// When the Run value already is what is asked for, the registry is left alone. Raises
// RegistryError when the registry may not be written now (Wine runs on the target) or the
// commit fails, ERegistryException "Failed to set data for '...'" when the value cannot be
// set, std::runtime_error when the entry cannot be written; nothing after the failure is done.
// The entry names `programFolder`, the folder whose settings asked for the start: a start
// that found another folder would not clean as asked.
void SetAutoStart(TargetSystem& target, bool on, const std::filesystem::path& programFile,
                  const std::filesystem::path& autostartFolder, const std::filesystem::path& programFolder = {});

}  // namespace kestrove
