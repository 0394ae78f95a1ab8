#include "platform/regf/OfflineWindows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/RegistryTree.h"
#include "platform/RegistryTypes.h"
#include "platform/TargetSystem.h"
#include "platform/Text.h"
#include "platform/regf/RegfReader.h"

namespace kestrove::regf {

namespace fs = std::filesystem;

std::optional<fs::path> FindEntryNoCase(const fs::path& folder, std::string_view name) {
  std::error_code ec;
  const fs::path exact = folder / std::string(name);
  if (fs::symlink_status(exact, ec).type() != fs::file_type::not_found && !ec) return exact;
  std::optional<fs::path> found;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    // Of two names that differ only in case (possible on a case-sensitive copy), the first
    // in byte order, so that the choice does not depend on the listing's order.
    if (SameName(entry, name) && (!found || entry < found->filename().string())) found = it->path();
  }
  return found;
}

std::optional<fs::path> FindPathNoCase(const fs::path& folder, std::string_view relative) {
  fs::path at = folder;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = relative.size();
    const std::string_view part = relative.substr(start, end - start);
    // A path from a hive ("C:\..\..\elsewhere") must not climb out of the installation.
    if (part == "..") return std::nullopt;
    if (end > start && part != ".") {
      auto next = FindEntryNoCase(at, part);
      if (!next) return std::nullopt;
      at = *next;
    }
    start = end + 1;
  }
  return at;
}

std::optional<fs::path> OfflineConfigFolder(const fs::path& folder) {
  auto config = FindPathNoCase(folder, "Windows/System32/config");
  if (!config) return std::nullopt;
  std::error_code ec;
  if (!fs::is_directory(*config, ec)) return std::nullopt;
  auto software = FindEntryNoCase(*config, "SOFTWARE");
  if (!software || !fs::is_regular_file(*software, ec)) return std::nullopt;
  return config;
}

namespace {

constexpr std::string_view kProfileList = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

const regtree::Node* FindKey(const regtree::Node* n, std::string_view path) {
  std::size_t start = 0;
  while (n && start < path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    n = n->Find(path.substr(start, end - start));
    start = end + 1;
  }
  return n;
}

std::optional<std::string> StringValue(const regtree::Hive& hive, regtree::Node& key, std::string_view name) {
  if (!key.valuesReady.load()) {
    LoadRegfValues(hive, key);
    key.valuesReady = true;
  }
  const RegValue* v = key.FindValue(name);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
  std::string text = Utf16LeToUtf8(v->data);
  if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

// What Windows sets before any profile is loaded, which is all a profile path may use.
std::string ExpandSystemVariables(std::string text, const std::string& systemRoot) {
  EnvironmentBlock env;
  env.Set("SystemDrive", "C:");
  env.Set("SystemRoot", systemRoot);
  env.Set("windir", systemRoot);
  return ExpandEnvironmentStrings(text, env);
}

// The host path of "C:\..." on an installation whose folder is drive C:.
std::optional<fs::path> HostOf(const fs::path& root, std::string_view windowsPath) {
  if (windowsPath.size() < 2 || windowsPath[1] != ':' || AsciiLower(windowsPath[0]) != 'c') return std::nullopt;
  return FindPathNoCase(root, windowsPath.substr(2));
}

std::int64_t ModifiedNs(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return 0;
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

std::vector<TOfflineProfile> ListOfflineProfiles(const fs::path& root, const fs::path& configFolder) {
  const auto softwareFile = FindEntryNoCase(configFolder, "SOFTWARE");
  if (!softwareFile) throw RegistryError("There is no SOFTWARE hive in " + configFolder.string() + ".");
  regtree::Node top;
  regtree::Hive software;
  software.root = &top;
  software.label = softwareFile->string();
  LoadRegfHive(*softwareFile, software);

  std::string systemRoot = "C:\\Windows";
  if (regtree::Node* nt = const_cast<regtree::Node*>(FindKey(&top, "Microsoft\\Windows NT\\CurrentVersion")))
    if (auto v = StringValue(software, *nt, "SystemRoot"); v && !v->empty()) systemRoot = *v;

  std::vector<TOfflineProfile> profiles;
  auto* list = const_cast<regtree::Node*>(FindKey(&top, kProfileList));
  if (!list) return profiles;
  for (auto& child : list->children) {
    // People's accounts; the system's own (S-1-5-18 and the like) have no one to clean for.
    if (!child->name.starts_with("S-1-5-21-") || child->name.ends_with(".bak")) continue;
    auto image = StringValue(software, *child, "ProfileImagePath");
    if (!image || image->empty()) continue;
    TOfflineProfile p;
    p.Sid = child->name;
    p.WindowsPath = ExpandSystemVariables(*image, systemRoot);
    while (p.WindowsPath.size() > 3 && p.WindowsPath.back() == '\\') p.WindowsPath.pop_back();
    p.Name = p.WindowsPath.substr(p.WindowsPath.find_last_of('\\') + 1);
    p.Folder = HostOf(root, p.WindowsPath);
    if (p.Folder) {
      // Whatever is under a hive's name is taken, so that one that is no plain file is refused
      // by name when it is read, not passed over.
      p.UserHive = FindEntryNoCase(*p.Folder, "NTUSER.DAT");
      // Vista on keep the user's classes under the local application data; XP in its own
      // "Local Settings".
      for (std::string_view where : {"AppData/Local/Microsoft/Windows/UsrClass.dat",
                                     "Local Settings/Application Data/Microsoft/Windows/UsrClass.dat"}) {
        if (auto classes = FindPathNoCase(*p.Folder, where)) {
          p.ClassesHive = classes;
          break;
        }
      }
      if (p.UserHive) p.HiveWrittenNs = ModifiedNs(*p.UserHive);
    }
    profiles.push_back(std::move(p));
  }
  return profiles;
}

TOfflineProfile ChooseOfflineProfile(const std::vector<TOfflineProfile>& profiles, const std::string& user,
                                     const fs::path& root) {
  auto names = [&] {
    std::string list;
    for (const TOfflineProfile& p : profiles) list += (list.empty() ? "" : ", ") + p.Name + " (" + p.Sid + ")";
    return list.empty() ? std::string("none") : list;
  };
  if (!user.empty()) {
    for (const TOfflineProfile& p : profiles) {
      if (SameName(p.Name, user) || SameName(p.Sid, user)) {
        if (!p.UserHive)
          throw TargetError("The user " + p.Name + " of the Windows installation at '" + root.string() +
                            "' has no NTUSER.DAT in " + p.WindowsPath + ".");
        return p;
      }
    }
    throw TargetError("The Windows installation at '" + root.string() + "' has no user named " + user +
                      ". Its users: " + names() + ".");
  }
  const TOfflineProfile* chosen = nullptr;
  for (const TOfflineProfile& p : profiles)
    if (p.UserHive && (!chosen || p.HiveWrittenNs > chosen->HiveWrittenNs)) chosen = &p;
  if (!chosen)
    throw TargetError("The Windows installation at '" + root.string() +
                      "' has no user with a registry hive (NTUSER.DAT). Its users: " + names() + ".");
  return *chosen;
}

std::optional<std::string> OfflineWriteBlockReason(const fs::path& root, const fs::path& configFolder) {
  struct statvfs vfs {};
  if (::statvfs(configFolder.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
    return "The Windows installation at " + root.string() +
           " is mounted read-only: nothing can be changed. Mount it for writing, then try again.";
  if (auto hiberfil = FindEntryNoCase(root, "hiberfil.sys")) {
    const int fd = ::open(hiberfil->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st {};
      char head[4] = {};
      const bool read = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::read(fd, head, 4) == 4;
      ::close(fd);
      // "hibr" (or "HIBR" from Windows 8 on) while Windows sleeps in it, "wake" or zeros once
      // it has resumed or the file was cleared.
      const std::string_view sig(head, 4);
      if (read && (SameName(sig, "hibr") || SameName(sig, "rstr")))
        return "The Windows installation at " + root.string() +
               " is hibernated or was shut down with fast start, so its disk holds a running "
               "system: nothing can be changed. Start Windows and shut it down fully (Shift and "
               "Shut down, or turn fast start off), then try again.";
    }
  }
  if (::access(configFolder.c_str(), W_OK) != 0)
    return "The registry of the Windows installation at " + root.string() +
           " cannot be written by this user (" + configFolder.string() + ").";
  return std::nullopt;
}

}  // namespace kestrove::regf
