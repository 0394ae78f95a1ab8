// The sample's traces for the cleaner's Firefox, Netscape, Opera and Chrome items.
#pragma once

#include "platform/wine/WineSample.h"

namespace kestrove::wine {

// Firefox profiles abcd.default and abcd.work (places, cookies and form history databases,
// the older text and Mork files, caches), a Netscape profile, Opera's files and its
// profile\cache4, and Chrome's Default profile (History, Cookies, Web Data with stored
// logins, a monthly history index, a cache). Databases have the browsers' own tables.
void BrowserTraces(SampleBuilder& b);

}  // namespace kestrove::wine
