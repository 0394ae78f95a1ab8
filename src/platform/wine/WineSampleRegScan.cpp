#include "platform/wine/WineSampleRegScan.h"

#include <cctype>
#include <set>
#include <string_view>

#include "platform/PathResolver.h"
#include "platform/TRegistry.h"
#include "platform/Text.h"

namespace kestrove::wine {

namespace {

bool IsAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// The texts of the string values of a key and everything below it; link keys are left to
// where they point.
void CollectTexts(TargetSystem& t, TRootKey root, const std::string& path, std::vector<std::string>& out, int depth) {
  RegistryStore& store = *t.Registry();
  if (depth > 64) return;
  if (auto values = store.Values(root, path)) {
    for (const RegValue& v : *values) {
      if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
        std::string text = Utf16LeToUtf8(v.data);
        if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
        out.push_back(v.type == REG_EXPAND_SZ ? t.ExpandEnvironmentStrings(text) : text);
      } else if (v.type == REG_MULTI_SZ) {
        const std::string all = Utf16LeToUtf8(v.data);
        std::size_t start = 0;
        while (start < all.size()) {
          std::size_t end = all.find('\0', start);
          if (end == std::string::npos) end = all.size();
          if (end > start) out.push_back(all.substr(start, end - start));
          start = end + 1;
        }
      }
    }
  }
  if (auto names = store.SubKeyNames(root, path)) {
    for (const std::string& name : *names) {
      const std::string child = path.empty() ? name : path + "\\" + name;
      if (store.IsLink(root, child)) continue;
      CollectTexts(t, root, child, out, depth + 1);
    }
  }
}

// The little-endian bytes of a number, as the registry keeps binary data.
Bytes LittleEndian(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

// A UserAssist count value: session, run count, last run time.
Bytes UserAssistData(std::uint32_t runs) {
  Bytes data = LittleEndian(1);
  Bytes count = LittleEndian(runs);
  data.insert(data.end(), count.begin(), count.end());
  for (int i = 0; i < 8; ++i) data.push_back(runs ? 0x5A : 0);
  return data;
}

void Shortcut(SampleBuilder& b, const std::string& file, const std::string& target) {
  const Bytes link = MakeShellLink(target);
  b.File(file, std::string(link.begin(), link.end()), 12);
}

}  // namespace

void WineProgramFiles(SampleBuilder& b) {
  TargetSystem& t = b.Target();
  std::vector<std::string> prefixes = {AsciiLower(t.WindowsFolder()) + "\\", AsciiLower(t.ProgramFilesFolder()) + "\\"};
  if (auto x86 = t.Environment().Get("ProgramFiles(x86)")) prefixes.push_back(AsciiLower(*x86) + "\\");
  static const std::set<std::string> kExtensions = {"acm", "ax",  "com", "cpl", "dll", "dls", "drv", "ds",  "exe",
                                                    "ime", "msstyles", "ocx", "olb", "scr", "sys", "tlb", "tsp"};
  std::vector<std::string> texts;
  CollectTexts(t, HKEY_LOCAL_MACHINE, "", texts, 0);
  CollectTexts(t, HKEY_USERS, "", texts, 0);

  std::set<std::string> files;  // folded, so that each is written once
  std::vector<std::string> ordered;
  std::vector<std::string> folders;
  for (const std::string& text : texts) {
    const std::string lower = AsciiLower(text);
    // A value that is a folder below them and nothing else: the folder is there too.
    for (const std::string& prefix : prefixes) {
      if (lower.rfind(prefix, 0) == 0 && lower.size() > prefix.size() &&
          lower.find_first_of("\",:;|%*?<>.", prefix.size()) == std::string::npos) {
        folders.push_back(text);
      }
    }
    for (const std::string& prefix : prefixes) {
      for (std::size_t at = lower.find(prefix); at != std::string::npos; at = lower.find(prefix, at + 1)) {
        // The path runs to the first name with a program file's extension.
        for (std::size_t dot = lower.find('.', at + prefix.size()); dot != std::string::npos;
             dot = lower.find('.', dot + 1)) {
          const std::string_view between(lower.data() + at, dot - at);
          if (between.find_first_of("\",;|%") != std::string_view::npos) break;
          std::size_t end = dot + 1;
          while (end < lower.size() && IsAlnum(lower[end])) ++end;
          if (!kExtensions.count(lower.substr(dot + 1, end - dot - 1))) continue;
          const std::string path = text.substr(at, end - at);
          if (files.insert(FoldName(path)).second) ordered.push_back(path);
          break;
        }
      }
    }
  }
  for (const std::string& path : folders) {
    auto host = t.HostPath(path);
    std::error_code ec;
    if (!host || std::filesystem::exists(*host, ec)) continue;
    b.Folder(path);
  }
  for (const std::string& path : ordered) {
    auto host = t.HostPath(path);
    std::error_code ec;
    if (!host || std::filesystem::exists(*host, ec)) continue;
    b.File(path, "MZ");
  }
}

void RegistryScanTraces(SampleBuilder& b) {
  TargetSystem& t = b.Target();
  const std::string kp = kSampleInstalledApp;
  const std::string ot = kSampleRemovedApp;
  const std::string docs = t.ShellFolder("Personal").value_or(t.UserProfileFolder() + "\\Documents");
  const std::string windows = t.WindowsFolder();

  // What is on disk: Kestrel Paint and its help, a font, a sound, the documents.
  for (const char* f : {"kpaint.exe", "kptray.exe", "kpsvc.exe", "uninstall.exe", "kpcore.dll", "kpfilter.dll",
                        "kpshell.dll", "kpaint.hlp", "Help\\kpaint.chm"}) {
    b.File(kp + "\\" + f, "MZ");
  }
  b.File(windows + "\\Fonts\\kestrelsans.ttf", "font");
  b.File(windows + "\\Media\\chord.wav", "RIFF");

  // Shared DLLs: a counted file, a missing one and one counted down to nothing.
  const char* shared = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";
  b.Dword(HKEY_LOCAL_MACHINE, shared, kp + "\\kpcore.dll", 2);
  b.Dword(HKEY_LOCAL_MACHINE, shared, ot + "\\trackhook.dll", 1);
  b.Dword(HKEY_LOCAL_MACHINE, shared, kp + "\\kpfilter.dll", 0);

  // App Paths.
  const std::string appPaths = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths";
  b.String(HKEY_LOCAL_MACHINE, appPaths + "\\kpaint.exe", "", kp + "\\kpaint.exe");
  b.String(HKEY_LOCAL_MACHINE, appPaths + "\\kpaint.exe", "Path", kp);
  b.String(HKEY_LOCAL_MACHINE, appPaths + "\\tracker.exe", "", ot + "\\tracker.exe");
  b.String(HKEY_LOCAL_MACHINE, appPaths + "\\tracker.exe", "Path", ot);

  // Fonts: by name in the Fonts folder, by name only, and by a full path that is gone.
  const char* fonts = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
  b.String(HKEY_LOCAL_MACHINE, fonts, "Kestrel Sans (TrueType)", "kestrelsans.ttf");
  b.String(HKEY_LOCAL_MACHINE, fonts, "Kestrel Serif (TrueType)", "KESTRELSERIF.TTF");
  b.String(HKEY_LOCAL_MACHINE, fonts, "Tracker Symbols (TrueType)", ot + "\\trsym.ttf");

  // Help files: name = file, data = its folder.
  b.String(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\Help", "kpaint.hlp", kp + "\\");
  b.String(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\Help", "tracker.hlp", ot);
  b.String(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\Html Help", "kpaint.chm", kp + "\\Help");
  b.String(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\Html Help", "tracker.chm", ot + "\\Help\\");

  // Startup programs.
  const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  b.String(HKEY_CURRENT_USER, run, "KestrelPaintTray", "\"" + kp + "\\kptray.exe\" -minimized");
  b.String(HKEY_CURRENT_USER, run, "OldTracker", ot + "\\tracker.exe /background");
  b.String(HKEY_CURRENT_USER, run, "Leftover", "");
  b.String(HKEY_CURRENT_USER, run, "QuotedNothing", "\"\"");
  b.Dword(HKEY_CURRENT_USER, run, "NotAProgram", 1);
  b.String(HKEY_LOCAL_MACHINE, run, "TrackerUpdate", "\"" + ot + "\\update.exe\" /check");
  b.String(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "KestrelCleanup",
           "rundll32.exe shell32.dll,Control_RunDLL");
  const char* startupreg = "Software\\Microsoft\\Shared Tools\\MSConfig\\startupreg";
  b.String(HKEY_LOCAL_MACHINE, std::string(startupreg) + "\\OldTracker", "command", ot + "\\tracker.exe");
  b.String(HKEY_LOCAL_MACHINE, std::string(startupreg) + "\\KestrelPaintTray", "command", kp + "\\kptray.exe");

  // A shell extension: its server and its type library.
  const std::string trackerClsid = "CLSID\\{6F1C3A52-0E7B-4D39-9C41-7A2B5E8D0F13}";
  const std::string paintClsid = "CLSID\\{2B8E4C71-5A90-4F3D-B6E2-19C7D4A03E58}";
  b.String(HKEY_CLASSES_ROOT, trackerClsid, "", "Old Tracker Shell Extension");
  b.String(HKEY_CLASSES_ROOT, trackerClsid + "\\InprocServer32", "", ot + "\\trackext.dll");
  b.String(HKEY_CLASSES_ROOT, paintClsid, "", "Kestrel Paint Thumbnails");
  b.String(HKEY_CLASSES_ROOT, paintClsid + "\\InprocServer32", "", kp + "\\kpshell.dll");
  b.String(HKEY_CLASSES_ROOT, "TypeLib\\{6F1C3A52-0E7B-4D39-9C41-7A2B5E8D0F14}\\1.0\\0\\win32", "",
           ot + "\\trackext.dll");
  b.String(HKEY_CLASSES_ROOT, "TypeLib\\{6F1C3A52-0E7B-4D39-9C41-7A2B5E8D0F14}\\1.0\\0\\win64", "",
           ot + "\\trackext.tlb");
  b.String(HKEY_CLASSES_ROOT, "TypeLib\\{2B8E4C71-5A90-4F3D-B6E2-19C7D4A03E59}\\1.0\\0\\win32", "",
           kp + "\\kpshell.dll\\2");

  // Services: a program that is gone, one that is there, and a folder.
  const char* services = "SYSTEM\\CurrentControlSet\\Services";
  b.String(HKEY_LOCAL_MACHINE, std::string(services) + "\\OldTrackerSvc", "ImagePath", ot + "\\trsvc.exe -service");
  b.String(HKEY_LOCAL_MACHINE, std::string(services) + "\\KestrelPaintSvc", "ImagePath",
           "\"" + kp + "\\kpsvc.exe\"");
  b.String(HKEY_LOCAL_MACHINE, std::string(services) + "\\KestrelPaintData", "ImagePath", kp);

  // Shortcuts on the desktop and in the Start Menu.
  const std::string desktop = t.ShellFolder("Desktop").value_or(t.UserProfileFolder() + "\\Desktop");
  const std::string startMenu = t.ShellFolder("Programs").value_or(
      t.UserProfileFolder() + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs");
  Shortcut(b, desktop + "\\Kestrel Paint.lnk", kp + "\\kpaint.exe");
  Shortcut(b, desktop + "\\Old Tracker.lnk", ot + "\\tracker.exe");
  Shortcut(b, desktop + "\\My Documents.lnk", docs);
  Shortcut(b, startMenu + "\\Kestrel Paint\\Kestrel Paint.lnk", kp + "\\kpaint.exe");
  Shortcut(b, startMenu + "\\Old Tracker\\Uninstall Old Tracker.LNK", ot + "\\uninst.exe");
  b.File(startMenu + "\\Old Tracker\\readme.txt", "Old Tracker 2.1\r\n");

  // Sound scheme: the current and default sounds are checked, other ones are not.
  const char* apps = "AppEvents\\Schemes\\Apps";
  b.String(HKEY_CURRENT_USER, std::string(apps) + "\\.Default\\SystemAsterisk\\.Current", "",
           windows + "\\Media\\chord.wav");
  b.String(HKEY_CURRENT_USER, std::string(apps) + "\\.Default\\SystemHand\\.Current", "",
           windows + "\\Media\\critical stop.wav");
  b.String(HKEY_CURRENT_USER, std::string(apps) + "\\KestrelPaint\\Saved\\.Default", "", ot + "\\sounds\\saved.wav");
  b.String(HKEY_CURRENT_USER, std::string(apps) + "\\KestrelPaint\\Saved\\.Modified", "", ot + "\\sounds\\mine.wav");

  // Uninstall entries and the installer's folder list.
  const std::string uninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  b.String(HKEY_LOCAL_MACHINE, uninstall + "\\OldTracker", "DisplayName", "Old Tracker 2.1");
  b.String(HKEY_LOCAL_MACHINE, uninstall + "\\OldTracker", "UninstallString",
           ot + "\\uninst.exe /x {6F1C3A52-0E7B-4D39-9C41-7A2B5E8D0F15}");
  b.String(HKEY_LOCAL_MACHINE, uninstall + "\\OldTracker", "DisplayIcon", ot + "\\tracker.exe,0");
  b.String(HKEY_LOCAL_MACHINE, uninstall + "\\KestrelPaint", "DisplayName", "Kestrel Paint 3");
  b.String(HKEY_LOCAL_MACHINE, uninstall + "\\KestrelPaint", "UninstallString", "\"" + kp + "\\uninstall.exe\" /S");
  b.String(HKEY_LOCAL_MACHINE, uninstall + "\\KestrelPaint", "ModifyPath",
           "MsiExec.exe /I{2B8E4C71-5A90-4F3D-B6E2-19C7D4A03E5A}");
  const char* folders = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders";
  b.String(HKEY_LOCAL_MACHINE, folders, kp + "\\", "");
  b.String(HKEY_LOCAL_MACHINE, folders, kp + "\\Help\\", "");
  b.String(HKEY_LOCAL_MACHINE, folders, ot + "\\", "");

  // "Open with" applications.
  const std::string classes = "Software\\Classes\\Applications";
  b.String(HKEY_LOCAL_MACHINE, classes + "\\kpaint.exe\\shell\\open\\command", "", "\"" + kp + "\\kpaint.exe\" \"%1\"");
  b.String(HKEY_LOCAL_MACHINE, classes + "\\kpaint.exe\\shell\\edit\\command", "", "\"" + kp + "\\kpaint.exe\" /e \"%1\"");
  b.String(HKEY_LOCAL_MACHINE, classes + "\\tracker.exe\\shell\\open\\command", "", "\"" + ot + "\\tracker.exe\" \"%1\"");
  b.String(HKEY_LOCAL_MACHINE, classes + "\\tracker.exe\\shell\\print\\command", "", "");

  // The file dialogs' history: per extension, and in the list itself without extension.
  const std::string mru = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ComDlg32\\OpenSaveMRU";
  b.String(HKEY_CURRENT_USER, mru + "\\txt", "a", docs + "\\report.txt");
  b.String(HKEY_CURRENT_USER, mru + "\\txt", "b", docs + "\\lost plans.txt");
  b.String(HKEY_CURRENT_USER, mru + "\\txt", "MRUList", "ba");
  b.String(HKEY_CURRENT_USER, mru + "\\*", "a", docs + "\\notes.txt");
  b.String(HKEY_CURRENT_USER, mru + "\\*", "b", docs + "\\old_letter.doc");
  b.String(HKEY_CURRENT_USER, mru + "\\*", "MRUList", "ab");
  b.String(HKEY_CURRENT_USER, mru, "a", docs + "\\notes");
  b.String(HKEY_CURRENT_USER, mru, "b", docs + "\\gone");
  b.String(HKEY_CURRENT_USER, mru, "MRUList", "ab");

  // UserAssist: names in ROT13, a run counter in each.
  const std::string count =
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\UserAssist\\{75048700-EF1F-11D0-9888-006097DEACF9}\\Count";
  b.Binary(HKEY_CURRENT_USER, count, ROT13("UEME_RUNPATH:" + kp + "\\kpaint.exe"), UserAssistData(5));
  b.Binary(HKEY_CURRENT_USER, count, ROT13("UEME_RUNPATH:" + ot + "\\tracker.exe"), UserAssistData(3));
  b.Binary(HKEY_CURRENT_USER, count, ROT13("UEME_RUNPIDL:%csidl2%\\Kestrel Paint\\Kestrel Paint.lnk"),
           UserAssistData(0));
  b.Binary(HKEY_CURRENT_USER, count, ROT13("UEME_CTLCUACount:ctor"), UserAssistData(1));
  b.Binary(HKEY_CURRENT_USER, count, ROT13("UEME_CTLSESSION"), LittleEndian(7));

  // What the whole-hive walks find on their own: settings the removed application left.
  b.String(HKEY_CURRENT_USER, "Software\\Old Tracker\\Settings", "DataFolder", ot + "\\data");
  b.String(HKEY_CURRENT_USER, "Software\\Old Tracker\\Settings", "Version", "2.1");
  b.String(HKEY_CURRENT_USER, "Software\\Kestrel Paint\\Settings", "LastFolder", docs);
  b.String(HKEY_CURRENT_USER, "Software\\Kestrel Paint\\Settings", "Palette", kp + "\\kpcore.dll,3");
}

}  // namespace kestrove::wine
