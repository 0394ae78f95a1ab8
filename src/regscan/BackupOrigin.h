// Which system a backup or a restore point was taken from. Fix's .reg backups carry it in a
// comment line after the header (regedit, Wine's and ours, skip comment lines); a restore
// point in a hidden file beside its hive copies. Files written before the origin was kept have
// none: their origin is unknown, and they stay restorable.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/TargetSystem.h"

namespace kestrove {

// The comment line's text after the ";".
inline constexpr std::string_view kOriginTag = "Kestrove-Origin:";
// A restore point's origin file.
inline constexpr const char* kRestorePointOriginFile = ".kestrove-origin";

// "Kestrove-Origin: kind=Wine%20prefix folder=/home/u/.wine user=S-1-... machine=0123..."; every
// field percent-encoded, so the line stays one line of plain ASCII whatever the folder's name.
std::string OriginLine(const TTargetIdentity& id);
// The identity of such a line (with or without the leading ";"); nullopt for any other line.
std::optional<TTargetIdentity> ParseOriginLine(std::string_view line);
// The origin recorded in a .reg file (either form, read from its first lines only), or nullopt.
std::optional<TTargetIdentity> ReadBackupOrigin(const std::filesystem::path& regFile);
// The same, from the file's first kOriginHeadBytes bytes.
inline constexpr std::size_t kOriginHeadBytes = 4096;
std::optional<TTargetIdentity> ParseBackupOriginHead(std::string head);
// A restore point's origin, or nullopt.
std::optional<TTargetIdentity> ReadRestorePointOrigin(const std::filesystem::path& pointFolder);

enum class TOriginMatch { ThisSystem, Unknown, OtherSystem };  // the order lists show them in

// The same system: same kind and user, and the same folder with the same machine digest
// (where both have one); or the same machine digest in another folder while nothing is left
// at the recorded one (the system was moved). A copy of a system, whose original is still in
// its folder, and a system made anew in the folder of an old one are other systems.
TOriginMatch MatchOrigin(const std::optional<TTargetIdentity>& origin, const TTargetIdentity& current);

// "Wine prefix /home/u/.wine (machine 0123abcd)".
std::string DescribeSystem(const TTargetIdentity& id);
// For a list's origin column: "this system", "origin unknown", or the system described.
std::string OriginColumnText(const std::optional<TTargetIdentity>& origin, const TTargetIdentity& current);
// Why `what` is not put into `current`: it names both systems.
std::string OtherSystemMessage(const std::string& what, const TTargetIdentity& origin, const TTargetIdentity& current);

}  // namespace kestrove
