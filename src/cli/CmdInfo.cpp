// kestrove-cli info: what the program sees of the target system.
#include <ostream>

#include "cli/Commands.h"
#include "platform/RegistryTypes.h"
#include "platform/TargetSystem.h"
#include "platform/regf/OfflineWindowsTarget.h"

namespace kestrove::cli {

namespace {

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// "C:\windows  (/home/u/.wine/drive_c/windows)"
std::string WithHost(TargetSystem& target, const std::string& windowsPath) {
  auto host = target.HostPath(windowsPath);
  if (!host) return windowsPath + "  (on no drive)";
  return windowsPath + "  (" + host->string() + ")";
}

std::string PlatformName(std::uint32_t platformId) {
  switch (platformId) {
    case VER_PLATFORM_WIN32_WINDOWS: return "Windows 9x";
    case VER_PLATFORM_WIN32_NT: return "NT";
    default: return "Win32s";
  }
}

}  // namespace

int CmdInfo(CliContext& ctx, const Args& args) {
  if (!args.empty()) {
    ctx.err << "kestrove-cli: info takes no arguments\n";
    return 2;
  }
  std::unique_ptr<TargetSystem> target;
  try {
    target = OpenTarget(ctx.root);
    std::ostream& out = ctx.out;
    out << "Target: " << target->Kind() << " " << target->Folder().string() << "\n";

    const TWindowsVersionInfo v = target->VersionInfo();
    const std::string name = WindowsSystemName(v);
    out << "Windows version: " << static_cast<int>(ClassifyWindowsVersion(v)) << " ("
        << (name.empty() ? std::string("no name in the table") : name) << "; " << PlatformName(v.platformId) << " "
        << v.major << "." << v.minor;
    if (v.build) out << " build " << v.build;
    if (!v.csdVersion.empty()) out << " " << v.csdVersion;
    out << ")\n";

    out << "Drives:\n";
    for (const DriveInfo& d : target->Drives()) {
      out << "  " << d.letter << ":  " << Padded(DriveTypeName(d.type), 10) << d.hostRoot.string();
      // Such a drive is read (the scanner looks through it) but never cleaned.
      if (!d.insideTarget) out << "  (outside the Windows system: nothing on it is removed)";
      out << "\n";
    }

    out << "Windows folder: " << WithHost(*target, target->WindowsFolder()) << "\n";
    out << "System folder: " << WithHost(*target, target->SystemFolder()) << "\n";
    out << "Program files folder: " << WithHost(*target, target->ProgramFilesFolder()) << "\n";
    out << "Temporary folder: " << WithHost(*target, target->TempFolder()) << "\n";
    out << "User profile: " << WithHost(*target, target->UserProfileFolder()) << "\n";

    if (auto* offline = dynamic_cast<regf::OfflineWindowsTarget*>(target.get())) {
      out << "Users (--user NAME chooses; * is the one whose hive is HKEY_CURRENT_USER):\n";
      for (const regf::TOfflineProfile& p : offline->Profiles()) {
        out << "  " << (p.Sid == offline->User().Sid ? "* " : "  ") << Padded(p.Name, 16) << p.Sid << "  "
            << p.WindowsPath << (p.UserHive ? "" : "  (no NTUSER.DAT)") << "\n";
      }
      // Windows keeps the short name it gave each file in NTFS; only ntfs-3g shows them.
      const auto programFiles = target->HostPath(target->ProgramFilesFolder());
      const bool shown = programFiles && NtfsStoredShortName(*programFiles).has_value();
      out << "Short (8.3) names: "
          << (shown ? "as NTFS stores them"
                    : "not resolved: this mount does not show the short names NTFS stores (ntfs-3g does)")
          << "\n";
      for (const std::string& warning : offline->Warnings()) out << "Warning: " << warning << "\n";
      if (auto reason = target->Registry()->WriteBlockReason()) out << "Writing: refused. " << *reason << "\n";
    }

    out << "Shell folders:\n";
    for (const auto& [folderName, path] : target->ShellFolders()) {
      out << "  " << folderName << " = " << path << "\n";
    }
  } catch (const TargetError& e) {
    ctx.err << "kestrove-cli: " << e.what() << "\n";
    return 1;
  } catch (const RegistryError& e) {
    ctx.err << "kestrove-cli: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace kestrove::cli
