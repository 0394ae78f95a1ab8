// The sample's traces for the cleaner's Windows, Advanced, Office and messenger items: one
// sample step that leaves something for each of them to find.
#pragma once

#include "platform/wine/WineSample.h"

namespace kestrove::wine {

// Search and Run histories, Explorer's caches, a recycle bin with its INFO2 index, memory
// dumps, chkdsk fragments, Office's recent files and keys of versions 8.0 to 12.0, and the
// MSN, Yahoo! and Skype folders. Writes only below the user's registry, never HKLM.
void CleanerTraces(SampleBuilder& b);

}  // namespace kestrove::wine
