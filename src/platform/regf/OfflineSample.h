// A small offline Windows 7 installation for trying the program out and for tests: the
// machine's and one user's hives in Windows' own format, the folders of a Windows 7 system,
// and the same traces of use as the sample Wine prefix.
#pragma once

#include <filesystem>

namespace kestrove::regf {

// The user the sample is made for.
inline constexpr const char* kOfflineSampleUser = "Alice";
inline constexpr const char* kOfflineSampleSid = "S-1-5-21-3623811015-3361044348-30300820-1001";

// Writes the sample into `folder`, which must not exist or be an empty folder; built beside it
// and renamed into place, so a failure leaves nothing behind. The keys of a fresh system come
// from the sample prefix's registry template in `templateFolder` (what Wine, a Windows
// reimplementation, puts into a new system), given a Windows 7 version, profile and folders.
// Throws wine::SampleError.
void WriteSampleOfflineWindows(const std::filesystem::path& folder, const std::filesystem::path& templateFolder);

}  // namespace kestrove::regf
