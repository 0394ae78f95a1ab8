#include "platform/wine/WineSampleCleaner.h"

#include <string>

#include "platform/Text.h"

namespace kestrove::wine {

namespace {

const char kExplorer[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";

// UserAssist keeps its value names rotated by 13 letters.
Bytes Blob(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

std::string Profile(SampleBuilder& b) { return b.Target().UserProfileFolder(); }

std::string Documents(SampleBuilder& b) {
  return b.Target().ShellFolder("Personal").value_or(Profile(b) + "\\Documents");
}

std::string AppData(SampleBuilder& b) {
  return b.Target().ShellFolder("AppData").value_or(Profile(b) + "\\AppData\\Roaming");
}

void Histories(SampleBuilder& b) {
  const std::string search = "Software\\Microsoft\\Search Assistant\\ACMru\\5603";
  b.String(HKEY_CURRENT_USER, search, "000", "quarterly report");
  b.String(HKEY_CURRENT_USER, search, "001", "holiday photos");

  const std::string docs = Documents(b);
  const std::string openSave = std::string(kExplorer) + "ComDlg32\\OpenSaveMRU";
  b.String(HKEY_CURRENT_USER, openSave + "\\txt", "a", docs + "\\notes.txt");
  b.String(HKEY_CURRENT_USER, openSave + "\\txt", "MRUList", "a");
  b.String(HKEY_CURRENT_USER, openSave + "\\*", "a", docs + "\\notes.txt");
  b.String(HKEY_CURRENT_USER, openSave + "\\*", "b", docs + "\\report.txt");
  b.String(HKEY_CURRENT_USER, openSave + "\\*", "MRUList", "ba");

  b.String(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Paint\\Recent File List",
           "File1", b.Target().ShellFolder("My Pictures").value_or(docs) + "\\holiday.bmp");
}

void ExplorerCaches(SampleBuilder& b) {
  const std::string menu = std::string(kExplorer) + "MenuOrder\\Start Menu2\\Programs";
  b.Binary(HKEY_CURRENT_USER, menu, "Order", Blob(64, 3));
  b.Binary(HKEY_CURRENT_USER, menu + "\\Accessories", "Order", Blob(48, 5));

  const std::string tray = std::string(kExplorer) + "TrayNotify";
  b.Binary(HKEY_CURRENT_USER, tray, "IconStreams", Blob(120, 11));
  b.Binary(HKEY_CURRENT_USER, tray, "PastIconsStream", Blob(40, 13));
  b.Dword(HKEY_CURRENT_USER, tray, "BalloonTip", 1);  // a setting, not a cache: it stays

  const std::string assist = std::string(kExplorer) + "UserAssist\\";
  const std::string apps = assist + "{5E6AB780-7743-11CF-A12B-00AA004AE837}\\Count";
  const std::string shortcuts = assist + "{75048700-EF1F-11D0-9888-006097DEACF9}\\Count";
  b.Binary(HKEY_CURRENT_USER, apps, ROT13("UEME_CTLSESSION"), Blob(8, 1));
  b.Binary(HKEY_CURRENT_USER, apps, ROT13("UEME_UIQCUT"), Blob(8, 2));
  b.Binary(HKEY_CURRENT_USER, shortcuts, ROT13("UEME_RUNPATH:C:\\windows\\notepad.exe"), Blob(16, 4));
  b.Binary(HKEY_CURRENT_USER, shortcuts, ROT13("UEME_RUNPATH:C:\\windows\\regedit.exe"), Blob(16, 6));
}

// A Windows 98 style bin on C: with its INFO2 index (header and one 800-byte record) and
// desktop.ini, two deleted files and a deleted folder.
void RecycleBin(SampleBuilder& b) {
  Bytes info2 = {5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0x03, 0, 0, 0, 0, 0, 0};
  Bytes record(800, 0);
  const std::string original = "C:\\users\\Public\\old_budget.xls";
  for (std::size_t i = 0; i < original.size(); ++i) record[i] = static_cast<std::uint8_t>(original[i]);
  info2.insert(info2.end(), record.begin(), record.end());
  b.File("C:\\Recycled\\INFO2", std::string(info2.begin(), info2.end()), 200);
  b.File("C:\\Recycled\\desktop.ini",
         "[.ShellClassInfo]\r\nCLSID={645FF040-5081-101B-9F08-00AA002F954E}\r\n", 200);
  b.File("C:\\Recycled\\Dc1.xls", std::string(3000, 'b'), 190);
  b.File("C:\\Recycled\\Dc2.txt", "an old draft\r\n", 180);
  b.File("C:\\Recycled\\Dc3\\scan01.bmp", std::string(5000, '\x7f'), 170);
  b.File("C:\\Recycled\\Dc3\\scan02.bmp", std::string(5000, '\x3f'), 170);
}

// A full dump spelt as Windows writes it, small dumps in both letter cases, and the
// fragments chkdsk leaves in the system folder.
void DumpsAndFragments(SampleBuilder& b) {
  TargetSystem& t = b.Target();
  const std::string windows = t.WindowsFolder();
  b.File(windows + "\\memory.dmp", std::string(8192, '\0'), 300);
  b.File(windows + "\\Minidump\\Mini010125-01.dmp", std::string(2048, 'm'), 300);
  b.File(windows + "\\Minidump\\MINI020125-01.DMP", std::string(1024, 'M'), 250);
  b.File(windows + "\\Minidump\\readme.txt", "not a dump\r\n", 250);
  b.File(t.SystemFolder() + "\\FILE0000.CHK", std::string(4096, 'c'), 400);
  b.File(t.SystemFolder() + "\\File0001.chk", std::string(512, 'c'), 400);
}

// Office's Recent folder and the recent lists of Office 97 (8.0) to Office 2007 (12.0).
void Office(SampleBuilder& b) {
  const std::string recent = AppData(b) + "\\Microsoft\\Office\\Recent";
  b.File(recent + "\\contacts.mdb", std::string(700, 'a'), 20);
  b.File(recent + "\\budget.xls", std::string(900, 'x'), 20);
  b.File(recent + "\\index.htm", "<html></html>\r\n", 20);
  b.File(recent + "\\about.html", "<html><body>About</body></html>\r\n", 20);
  b.File(recent + "\\slides.ppt", std::string(1500, 'p'), 20);
  b.File(recent + "\\letter.doc", std::string(1100, 'w'), 20);
  b.File(recent + "\\index.dat", std::string(256, '\0'), 20);
  b.File(recent + "\\letter.doc.LNK", std::string(300, 'l'), 20);

  const std::string docs = Documents(b);
  for (int n = 8; n <= 12; ++n) {
    const std::string office = "Software\\Microsoft\\Office\\" + std::to_string(n) + ".0";
    b.String(HKEY_CURRENT_USER, office + "\\Access\\Settings", "MRU1", docs + "\\contacts.mdb");
    b.String(HKEY_CURRENT_USER, office + "\\Excel\\Recent Files", "File1", docs + "\\budget.xls");
    b.Dword(HKEY_CURRENT_USER, office + "\\Excel\\Options", "Options", 0x1e3);
    b.String(HKEY_CURRENT_USER, office + "\\PowerPoint\\Recent File List", "File1", docs + "\\slides.ppt");
    b.String(HKEY_CURRENT_USER, office + "\\PowerPoint\\Recent Folder List", "Folder1", docs);
    b.Binary(HKEY_CURRENT_USER, office + "\\Word\\Data", "Settings", Blob(96, static_cast<std::uint8_t>(n)));
  }
  const std::string frontPage = "Software\\Microsoft\\FrontPage\\Explorer\\FrontPage Explorer\\";
  b.String(HKEY_CURRENT_USER, frontPage + "Recent File List", "File1", docs + "\\My Webs\\index.htm");
  b.String(HKEY_CURRENT_USER, frontPage + "Recent Web List", "Web1", docs + "\\My Webs");
}

void Messengers(SampleBuilder& b) {
  TargetSystem& t = b.Target();
  const std::string docs = Documents(b);
  // MSN: one passport whose log folder is gone, one whose folder exists.
  const std::string passports = "Software\\Microsoft\\MSNMessenger\\PerPassportSettings";
  b.String(HKEY_CURRENT_USER, passports + "\\1234567890", "MessageLogPath", "C:\\MSN Logs Of An Old Disk");
  b.String(HKEY_CURRENT_USER, passports + "\\2345678901", "MessageLogPath", docs + "\\My Chat Logs");
  b.File(docs + "\\My Chat Logs\\friend@example.com.xml", "<Log></Log>\r\n", 40);
  b.File(docs + "\\My Chat Logs\\MessageLog.xsl", "<xsl/>\r\n", 40);
  b.File(docs + "\\My Received Files\\photo.jpg", std::string(4000, 'j'), 40);

  const std::string yahoo = t.ProgramFilesFolder() + "\\Yahoo!\\Messenger";
  b.File(yahoo + "\\ypager.log", "Login OK\r\n", 30);
  b.File(yahoo + "\\YahooMessenger.exe", std::string(2048, 'e'));  // the program itself stays
  b.File(yahoo + "\\IMVCache\\avatar_friend.png", std::string(1200, 'v'), 30);
  b.File(yahoo + "\\Profiles\\sampleuser\\Archive\\Messages\\friend\\20250101-sampleuser.dat", "...", 30);

  const std::string skype = AppData(b) + "\\Skype";
  b.File(skype + "\\shared.xml", "<config/>\r\n", 10);  // settings, not history: it stays
  b.File(skype + "\\sample.user\\user256.dbb", std::string(2560, 'u'), 10);
  b.File(skype + "\\sample.user\\chatmsg256.dbb", std::string(2560, 'c'), 10);
  b.File(skype + "\\sample.user\\call256.DBB", std::string(256, 'k'), 10);
}

}  // namespace

void CleanerTraces(SampleBuilder& b) {
  Histories(b);
  ExplorerCaches(b);
  RecycleBin(b);
  DumpsAndFragments(b);
  Office(b);
  Messengers(b);
}

}  // namespace kestrove::wine
