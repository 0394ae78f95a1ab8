#include "platform/wine/WineSampleDefinitions.h"

namespace kestrove::wine {

void DefinitionTraces(SampleBuilder& b) {
  TargetSystem& t = b.Target();
  const std::string windows = t.WindowsFolder();
  const std::string appData = t.ShellFolder("AppData").value_or(t.UserProfileFolder() + "\\AppData\\Roaming");
  const std::string localAppData =
      t.ShellFolder("Local AppData").value_or(t.UserProfileFolder() + "\\AppData\\Local");

  b.File(windows + "\\setupact.log", "setup: done\r\n", 200);
  b.File(windows + "\\Debug\\netsetup.log", "join: none\r\n", 200);
  b.File(windows + "\\inf\\setupapi.dev.log", "[Device Install]\r\n", 200);
  b.File(windows + "\\Logs\\CBS\\CBS.log", "Loaded servicing stack\r\n", 200);

  b.File(appData + "\\ICQ\\Cache\\avatar1.bin", std::string(700, 'i'));
  b.File(appData + "\\ICQ\\Logs\\history.log", "hello\r\n");
  b.String(HKEY_CURRENT_USER, "Software\\ICQ\\ICQ\\MRU", "1", "friend@example.org");
  b.File(appData + "\\AIM\\Logs\\buddy.html", "<html>hi</html>");
  b.File(localAppData + "\\AIM\\Cache\\icon.gif", "GIF89a");

  b.String(HKEY_CURRENT_USER, "Software\\Google\\NavClient\\1.1\\History", "cheap flights", "");
  b.String(HKEY_CURRENT_USER, "Software\\Microsoft\\MSN Apps\\MSN Toolbar Suite\\History", "0", "weather");
  b.String(HKEY_CURRENT_USER, "Software\\Yahoo\\Companion\\SearchHistory", "0", "recipes");
}

}  // namespace kestrove::wine
