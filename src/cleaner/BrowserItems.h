// The profile folders of the Firefox, Netscape, Opera and Chrome items, and whether a
// Firefox of the target runs (a clean that touches Firefox's files waits for it to close).
#pragma once

#include <string>

#include "platform/TargetSystem.h"

namespace kestrove {

// Windows paths; "" when the folder does not exist (the items then do nothing).
struct TBrowserFolders {
  std::string AppData;               // roaming Application Data, with a trailing "\"
  std::string LocalAppData;          // with a trailing "\"
  std::string FirefoxProfiles;       // no trailing "\"
  std::string FirefoxLocalProfiles;  // no trailing "\"
  std::string NetscapeProfile;       // with a trailing "\"
  std::string Opera;                 // with a trailing "\"
  std::string OperaLocal;            // with a trailing "\"
  std::string ChromeProfile;         // with a trailing "\"
};
TBrowserFolders BrowserFolders(TargetSystem& target);

// A Firefox of the target runs: the target's Wine runs firefox.exe, or someone holds a lock
// on the parent.lock file of one of the user's Firefox profiles.
bool FirefoxOfTargetRunning(TargetSystem& target);

}  // namespace kestrove
