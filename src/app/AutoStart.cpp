#include "app/AutoStart.h"

#include <unistd.h>

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

void WriteEntry(const fs::path& folder, const std::string& text) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path file = folder / kAutostartEntryName;
  const fs::path tmp = folder / (std::string(".") + kAutostartEntryName + "." + std::to_string(::getpid()));
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

}  // namespace

bool AutoStartRegistered(TargetSystem& target) {
  const auto value = RunValue(target);
  return value && value->find("/Auto") != std::string::npos;
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

std::string AutostartDesktopEntry(const fs::path& programFile, const fs::path& targetFolder, const fs::path& programFolder) {
  const std::string root = fs::absolute(targetFolder).lexically_normal().string();
  std::string home;
  if (!programFolder.empty()) {
    fs::path folder = fs::absolute(programFolder).lexically_normal();
    if (!folder.has_filename()) folder = folder.parent_path();
    home = " " + ExecArgument("KESTROVE_HOME=" + folder.string());
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
  const fs::path root = fs::absolute(target.Folder()).lexically_normal();
  const fs::path entry = autostartFolder / kAutostartEntryName;
  if (on) {
    WriteEntry(autostartFolder, AutostartDesktopEntry(programFile, root, programFolder));
  } else if (EntryNamesTarget(entry, root)) {
    std::error_code ec;
    if (!fs::remove(entry, ec) && ec) throw std::runtime_error("Unable to remove " + entry.string() + ": " + ec.message());
  }
}

}  // namespace kestrove
