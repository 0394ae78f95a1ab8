// The short (8.3) names Wine gives files on a prefix. Wine stores no short names: it
// derives one from each long name that is not already a valid 8.3 name (the first letters,
// "~", three letters of a hash of the whole name, the first letters of the extension), and
// installers record paths written with them ("C:\PROGRA~1\ACME~JQI\ACME~NKN.EXE").
#pragma once

#include <string>
#include <string_view>

namespace kestrove::wine {

// True when the name is a valid 8.3 name as Wine judges it; such a name is its own short name.
bool IsLegal8Dot3Name(std::u16string_view name);

// The short name Wine derives for a long name, in upper case; empty for a valid 8.3 name.
std::u16string HashedShortName(std::u16string_view name);

// True when `name` could be a derived short name at all (valid 8.3 and holding a "~"): only
// then is a folder's listing searched for a long name it stands for.
bool MayBeHashedShortName(std::u16string_view name);

}  // namespace kestrove::wine
