// Steps of the sample prefix for the registry scan: the program files a fresh Wine prefix
// holds, and the traces of an installed and of a removed application that the scan must
// tell apart.
#pragma once

#include <string>
#include <vector>

#include "platform/wine/WineSample.h"

namespace kestrove::wine {

// A placeholder file for every program file (DLL, EXE, driver, control, type library...)
// that the registry names in the Windows and Program Files folders, as wineboot installs
// its own there.
void WineProgramFiles(SampleBuilder& b);

// "Kestrel Paint", installed and whole, and "Old Tracker", removed but for its registry
// entries: every kind of reference the registry scan checks, healthy and broken.
void RegistryScanTraces(SampleBuilder& b);

// The folders of the two applications (Windows paths).
inline constexpr const char* kSampleInstalledApp = "C:\\Program Files\\Kestrel Paint";
inline constexpr const char* kSampleRemovedApp = "C:\\Program Files\\Old Tracker";

}  // namespace kestrove::wine
