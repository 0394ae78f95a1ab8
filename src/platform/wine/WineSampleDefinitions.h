// The sample's traces for the items that run the shipped definition file.
#pragma once

#include "platform/wine/WineSample.h"

namespace kestrove::wine {

// Windows log files, ICQ and AIM folders, and the three toolbars' search histories.
void DefinitionTraces(SampleBuilder& b);

}  // namespace kestrove::wine
