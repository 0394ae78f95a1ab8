#include "app/AutoStart.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "app/Prompt.h"
#include "platform/RegistryTypes.h"
#include "platform/TRegistry.h"
#include "platform/TargetSystem.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

constexpr const char* kRootKeyLine = "X-Kestrove-Root=";

std::optional<std::string> RunValue(TargetSystem& target) {
  const auto v = target.Registry()->QueryValue(HKEY_CURRENT_USER, kRunKey, kProductName);
  if (!v) return std::nullopt;
  TRegistry reg(target.Registry());
  reg.SetRootKey(HKEY_CURRENT_USER);
  if (!reg.OpenKeyReadOnly(kRunKey)) return std::nullopt;
  try {
    return reg.ReadString(kProductName);
  } catch (const ERegistryException&) {
    return std::string();  // not a text: not ours
  }
}

// One argument of an Exec line: always quoted, with the characters that are special inside
// quotes escaped; then the backslashes and percent signs the file format itself escapes.
std::string ExecArgument(const std::string& arg) {
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string out;
  for (char c : quoted) {
    if (c == '\\') out += "\\\\";
    else if (c == '%') out += "%%";
    else out += c;
  }
  return out;
}

// The value of a plain string key, with the file format's escapes undone.
std::string EntryValue(const std::string& raw) {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size()) {
      const char n = raw[++i];
      out += n == 's' ? ' ' : n == 'n' ? '\n' : n == 't' ? '\t' : n == 'r' ? '\r' : n;
    } else {
      out += raw[i];
    }
  }
  return out;
}

std::string EscapeValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

bool EntryNamesTarget(const fs::path& entry, const fs::path& targetFolder) {
  std::ifstream in(entry);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(kRootKeyLine, 0) == 0) return EntryValue(line.substr(std::string(kRootKeyLine).size())) == targetFolder.string();
  }
  return false;
}

void WriteEntry(const fs::path& folder, const std::string& name, const std::string& text) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path file = folder / name;
  const fs::path tmp = folder / ("." + name + "." + std::to_string(::getpid()));
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      fs::remove(tmp, ec);
      throw std::runtime_error("Unable to write to " + file.string());
    }
  }
  fs::rename(tmp, file, ec);
  if (ec) {
    fs::remove(tmp, ec);
    throw std::runtime_error("Unable to write to " + file.string());
  }
}

void RemoveEntry(const fs::path& entry) {
  std::error_code ec;
  if (!fs::remove(entry, ec) && ec) throw std::runtime_error("Unable to remove " + entry.string() + ": " + ec.message());
}

// The folder an entry names its target by.
fs::path EntryRoot(TargetSystem& target) { return fs::absolute(target.Folder()).lexically_normal(); }

}  // namespace

std::string AutostartEntryName(TargetSystem& target) {
  const TTargetIdentity id = target.Identity();
  // Short and stable: the same target gets the same name in every run, two targets two names.
  std::uint64_t h = 14695981039346656037ull;  // FNV-1a, 64 bits
  // An offline installation has a Run value in each user's hive: each user is a target of its own.
  const std::string user = target.Kind() == "offline Windows" ? id.UserSid : std::string();
  for (const std::string* part : {&id.Kind, &id.Folder, &user}) {
    if (part->empty() && part == &user) break;
    for (char c : *part + '\n') {
      h ^= static_cast<unsigned char>(c);
      h *= 1099511628211ull;
    }
  }
  static const char* kDigits = "0123456789abcdef";
  std::string name = "kestrove-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kDigits[(h >> shift) & 0xF];
  return name + ".desktop";
}

bool AutoStartRegistered(TargetSystem& target) {
  const auto value = RunValue(target);
  return value && value->find("/Auto") != std::string::npos;
}

bool AutoStartEnabled(TargetSystem& target, const fs::path& autostartFolder) {
  if (!AutoStartRegistered(target)) return false;
  if (autostartFolder.empty()) return true;
  const fs::path root = EntryRoot(target);
  return EntryNamesTarget(autostartFolder / AutostartEntryName(target), root) ||
         EntryNamesTarget(autostartFolder / kSharedAutostartEntryName, root);
}

std::string AutoStartCommand(TargetSystem& target, const fs::path& programFile) {
  const fs::path absolute = fs::absolute(programFile);
  const auto windows = target.WindowsPath(absolute);
  return (windows ? *windows : absolute.string()) + " /Auto";
}

fs::path XdgAutostartFolder(const std::function<const char*(const char*)>& getenv) {
  auto get = [&](const char* name) -> const char* { return getenv ? getenv(name) : std::getenv(name); };
  const char* config = get("XDG_CONFIG_HOME");
  if (config && *config == '/') return fs::path(config) / "autostart";
  const char* home = get("HOME");
  if (home && *home) return fs::path(home) / ".config" / "autostart";
  return {};
}

std::string AutostartDesktopEntry(const fs::path& programFile, const fs::path& targetFolder, const fs::path& programFolder,
                                  const std::string& user) {
  const std::string root = fs::absolute(targetFolder).lexically_normal().string();
  std::string home;
  if (!user.empty()) home = " " + ExecArgument("KESTROVE_USER=" + user);
  if (!programFolder.empty()) {
    fs::path folder = fs::absolute(programFolder).lexically_normal();
    if (!folder.has_filename()) folder = folder.parent_path();
    home += " " + ExecArgument("KESTROVE_HOME=" + folder.string());
  }
  std::ostringstream out;
  out << "[Desktop Entry]\n"
      << "Type=Application\n"
      << "Name=" << kProductName << "\n"
      << "Comment=Cleans the Windows system " << EscapeValue(root) << " in the background\n"
      << "Exec=env " << ExecArgument("KESTROVE_ROOT=" + root) << home << " "
      << ExecArgument(fs::absolute(programFile).string()) << " /Auto\n"
      << "Terminal=false\n"
      << "NoDisplay=true\n"
      << kRootKeyLine << EscapeValue(root) << "\n";
  return out.str();
}

void SetAutoStart(TargetSystem& target, bool on, const fs::path& programFile, const fs::path& autostartFolder,
                  const fs::path& programFolder) {
  const std::string wanted = AutoStartCommand(target, programFile);
  const auto current = RunValue(target);
  const bool changeNeeded = on ? current != wanted : current.has_value();
  if (changeNeeded) {
    auto store = target.Registry();
    if (auto reason = store->WriteBlockReason()) throw RegistryError(*reason);
    TRegistry reg(store);
    reg.SetRootKey(HKEY_CURRENT_USER);
    if (!reg.OpenKey(kRunKey, true)) throw ERegistryException(std::string("Failed to set data for '") + kProductName + "'");
    if (on)
      reg.WriteString(kProductName, wanted);
    else
      reg.DeleteValue(kProductName);
    reg.CloseKey();
    store->Commit();
  }
  if (autostartFolder.empty()) return;
  const fs::path root = EntryRoot(target);
  const std::string name = AutostartEntryName(target);
  const fs::path entry = autostartFolder / name;
  if (on)
    WriteEntry(autostartFolder, name,
               AutostartDesktopEntry(programFile, root, programFolder,
                                     target.Kind() == "offline Windows" ? target.Identity().UserSid : std::string()));
  else if (EntryNamesTarget(entry, root))
    RemoveEntry(entry);
  // The shared entry would start this target a second time, or, turned off, still once.
  const fs::path shared = autostartFolder / kSharedAutostartEntryName;
  if (EntryNamesTarget(shared, root)) RemoveEntry(shared);
}

}  // namespace kestrove
