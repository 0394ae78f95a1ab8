#include "platform/wine/WineSample.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <system_error>
#include <vector>

#include "platform/TRegistry.h"
#include "platform/wine/WinePrefixTarget.h"
#include "platform/wine/WineSampleBrowsers.h"
#include "platform/wine/WineSampleCleaner.h"
#include "platform/wine/WineSampleDefinitions.h"
#include "platform/wine/WineSampleInternetExplorer.h"
#include "platform/wine/WineSampleRegScan.h"

namespace kestrove::wine {

namespace fs = std::filesystem;

namespace {

const char* const kTemplateFiles[] = {"system.reg", "user.reg", "userdef.reg"};

// ---- the steps of the sample -------------------------------------------------------------

// The folders a fresh Wine prefix has besides the user's shell folders.
void SystemFolders(SampleBuilder& b) {
  TargetSystem& t = b.Target();
  b.Folder(t.WindowsFolder());
  b.Folder(t.SystemFolder());
  b.Folder(t.WindowsFolder() + "\\temp");
  b.Folder(t.WindowsFolder() + "\\Fonts");
  b.Folder(t.ProgramFilesFolder() + "\\Common Files");
  b.Folder("C:\\Program Files (x86)\\Common Files");
  b.Folder("C:\\ProgramData");
  b.Folder("C:\\users\\Public");
}

// Every shell folder the registry names, so that each one exists as on a used system.
void ShellFolders(SampleBuilder& b) {
  for (const auto& [name, path] : b.Target().ShellFolders()) b.Folder(path);
  b.Folder(b.Target().UserProfileFolder() + "\\AppData\\Local\\Temp");
}

void TemporaryFiles(SampleBuilder& b) {
  TargetSystem& t = b.Target();
  std::string temp = t.TempFolder();
  b.File(temp + "~DF3A1C.tmp", std::string(2048, '\0'), 72);
  b.File(temp + "setup_install.log", "Installing...\r\nDone.\r\n", 48);
  b.File(temp + "wine_update\\patch.tmp", "partial download", 30);
  b.File(t.UserProfileFolder() + "\\AppData\\Local\\Temp\\msi4c21.tmp", std::string(512, 'x'), 26);
  b.File(t.WindowsFolder() + "\\temp\\install_001.tmp", "temporary installer data", 100);
}

void Documents(SampleBuilder& b) {
  TargetSystem& t = b.Target();
  const std::string docs = t.ShellFolder("Personal").value_or(t.UserProfileFolder() + "\\Documents");
  b.File(docs + "\\report.txt", "Quarterly report\r\n");
  b.File(docs + "\\notes.txt", "Things to do\r\n");
  b.File(t.ShellFolder("Desktop").value_or(t.UserProfileFolder() + "\\Desktop") + "\\todo.txt", "Call back\r\n");
}

// Recent documents: shortcuts in the Recent folder and their list under Explorer\RecentDocs.
void RecentDocuments(SampleBuilder& b) {
  TargetSystem& t = b.Target();
  const std::string recent =
      t.ShellFolder("Recent").value_or(t.UserProfileFolder() + "\\AppData\\Roaming\\Microsoft\\Windows\\Recent");
  const std::string docs = t.ShellFolder("Personal").value_or(t.UserProfileFolder() + "\\Documents");
  struct Doc {
    const char* file;
    const char* link;
  };
  const Doc docsList[] = {{"report.txt", "report.lnk"}, {"notes.txt", "notes.lnk"}, {"old_letter.doc", "old_letter.lnk"}};
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RecentDocs";
  // Explorer numbers the entries of the whole list and of each extension's list apart;
  // MRUListEx holds the numbers, most recent first, ended by -1.
  std::map<std::string, std::vector<std::uint32_t>> lists;
  std::uint32_t index = 0;
  for (const Doc& d : docsList) {
    // old_letter.doc is gone: its shortcut points at nothing, as on a used system.
    const Bytes link = MakeShellLink(docs + "\\" + d.file);
    b.File(recent + "\\" + d.link, std::string(link.begin(), link.end()), 24);
    // Each entry: the document's name, then the shortcut's name.
    Bytes entry = Utf8ToUtf16Le(d.file, true);
    const std::string lnk = d.link;
    entry.insert(entry.end(), lnk.begin(), lnk.end());
    entry.push_back(0);
    const std::string file = d.file;
    const std::string subKey = key + "\\" + file.substr(file.rfind('.'));
    auto& subList = lists[subKey];
    b.Binary(HKEY_CURRENT_USER, key, std::to_string(index), entry);
    b.Binary(HKEY_CURRENT_USER, subKey, std::to_string(subList.size()), entry);
    lists[key].insert(lists[key].begin(), index);
    subList.insert(subList.begin(), static_cast<std::uint32_t>(subList.size()));
    ++index;
  }
  for (const auto& [k, numbers] : lists) {
    Bytes order;
    for (std::uint32_t n : numbers) {
      for (int shift = 0; shift < 32; shift += 8) order.push_back(static_cast<std::uint8_t>(n >> shift));
    }
    for (int i = 0; i < 4; ++i) order.push_back(0xFF);
    b.Binary(HKEY_CURRENT_USER, k, "MRUListEx", order);
  }
}

// The Run dialog's history.
void RunHistory(SampleBuilder& b) {
  const char* key = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU";
  b.String(HKEY_CURRENT_USER, key, "a", "notepad\\1");
  b.String(HKEY_CURRENT_USER, key, "b", "cmd\\1");
  b.String(HKEY_CURRENT_USER, key, "c", "regedit\\1");
  b.String(HKEY_CURRENT_USER, key, "MRUList", "cba");
}

// Addresses typed into Internet Explorer.
void TypedUrls(SampleBuilder& b) {
  const char* key = "Software\\Microsoft\\Internet Explorer\\TypedURLs";
  b.String(HKEY_CURRENT_USER, key, "url1", "http://www.winehq.org/");
  b.String(HKEY_CURRENT_USER, key, "url2", "http://example.com/downloads");
}

const SampleStep kSteps[] = {SystemFolders,   ShellFolders, WineProgramFiles, TemporaryFiles, Documents,
                             RecentDocuments, RunHistory,   TypedUrls,        CleanerTraces,  RegistryScanTraces,
                             DefinitionTraces,
                             BrowserTraces};

// ---- building ----------------------------------------------------------------------------

void CopyFile(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec) throw SampleError("Cannot copy " + from.string() + " to " + to.string() + ": " + ec.message());
  // The template may be read-only (shared test data); the prefix must be writable.
  fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
}

void MakeLink(const fs::path& target, const fs::path& link) {
  std::error_code ec;
  fs::create_symlink(target, link, ec);
  if (ec) throw SampleError("Cannot create the link " + link.string() + ": " + ec.message());
}

void Build(const fs::path& prefix, const fs::path& templateFolder) {
  for (const char* name : kTemplateFiles) CopyFile(templateFolder / name, prefix / name);
  // Without it Wine would update the prefix at its next start.
  std::error_code ec;
  if (fs::exists(templateFolder / "update-timestamp", ec)) {
    CopyFile(templateFolder / "update-timestamp", prefix / ".update-timestamp");
  }
  fs::create_directories(prefix / "dosdevices", ec);
  if (!ec) fs::create_directories(prefix / "drive_c", ec);
  if (ec) throw SampleError("Cannot create folders in " + prefix.string() + ": " + ec.message());
  MakeLink("../drive_c", prefix / "dosdevices" / "c:");
  MakeLink("/", prefix / "dosdevices" / "z:");

  WinePrefixTarget target(prefix);
  AddSampleContent(target, templateFolder);
  target.Registry()->Commit();
}

fs::path MakeStagingFolder(const fs::path& folder) {
  const fs::path parent = folder.parent_path();
  std::error_code ec;
  fs::create_directories(parent, ec);
  if (ec) throw SampleError("Cannot create " + parent.string() + ": " + ec.message());
  // Created as any new folder (mkdtemp's would be private to the owner), under a name
  // nobody else uses.
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path staging =
        parent / ("." + folder.filename().string() + ".partial-" + std::to_string(random() % 1000000));
    if (fs::create_directory(staging, ec)) return staging;
    if (ec) break;
  }
  throw SampleError("Cannot create a folder in " + parent.string() + (ec ? ": " + ec.message() : ""));
}

}  // namespace

// ---- SampleBuilder -------------------------------------------------------------------------

fs::path SampleBuilder::Host(std::string_view windowsPath) {
  auto host = target_.HostPath(windowsPath);
  if (!host) throw SampleError("The sample names a path on no drive: " + std::string(windowsPath));
  return *host;
}

void SampleBuilder::Folder(std::string_view windowsPath) {
  const fs::path host = Host(windowsPath);
  std::error_code ec;
  fs::create_directories(host, ec);
  if (ec) throw SampleError("Cannot create " + host.string() + ": " + ec.message());
}

void SampleBuilder::File(std::string_view windowsPath, std::string_view contents, int ageHours) {
  const fs::path host = Host(windowsPath);
  std::error_code ec;
  fs::create_directories(host.parent_path(), ec);
  if (ec) throw SampleError("Cannot create " + host.parent_path().string() + ": " + ec.message());
  {
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    if (!out) throw SampleError("Cannot write " + host.string());
  }
  if (ageHours > 0) {
    fs::last_write_time(host, fs::file_time_type::clock::now() - std::chrono::hours(ageHours), ec);
  }
}

void SampleBuilder::String(TRootKey root, std::string_view key, std::string_view name, std::string_view value) {
  TRegistry reg(target_.Registry());
  reg.SetRootKey(root);
  if (!reg.OpenKey(key, true)) throw SampleError("Cannot create the key " + RootKeyName(root) + "\\" + std::string(key));
  reg.WriteString(name, value);
}

void SampleBuilder::Binary(TRootKey root, std::string_view key, std::string_view name, const Bytes& data) {
  TRegistry reg(target_.Registry());
  reg.SetRootKey(root);
  if (!reg.OpenKey(key, true)) throw SampleError("Cannot create the key " + RootKeyName(root) + "\\" + std::string(key));
  reg.WriteRaw(name, REG_BINARY, data);
}

void SampleBuilder::Dword(TRootKey root, std::string_view key, std::string_view name, std::uint32_t value) {
  TRegistry reg(target_.Registry());
  reg.SetRootKey(root);
  if (!reg.OpenKey(key, true)) throw SampleError("Cannot create the key " + RootKeyName(root) + "\\" + std::string(key));
  reg.WriteInteger(name, static_cast<std::int32_t>(value));
}

// ---- the public functions ----------------------------------------------------------------

void AddSampleContent(TargetSystem& target, const fs::path& templateFolder) {
  SampleBuilder builder(target);
  for (SampleStep step : kSteps) {
    step(builder);
    // A step may have changed what the next one reads.
    target.Refresh();
  }
  InternetExplorerTraces(builder, templateFolder);
  // Each sample is a system of its own, as each installation is: a new machine GUID.
  std::random_device random;
  std::string guid;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) guid += '-';
    guid += "0123456789abcdef"[random() & 0xF];
  }
  target.Registry()->SetValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Cryptography", "MachineGuid", REG_SZ,
                              Utf8ToUtf16Le(guid, true));
}

std::optional<fs::path> FindSampleTemplate(const fs::path& programFolder) {
  const fs::path candidates[] = {programFolder / "sample", programFolder / ".." / "data" / "sample",
                                 programFolder / ".." / "share" / "kestrove" / "sample"};
  std::vector<fs::path> tries;
  for (const fs::path& c : candidates) {
    tries.push_back(c);
    // Also by name: "x/.." is no path at all when x is missing or a link elsewhere.
    tries.push_back(c.lexically_normal());
  }
  for (const fs::path& c : tries) {
    bool complete = true;
    std::error_code ec;
    for (const char* name : kTemplateFiles) complete = complete && fs::is_regular_file(c / name, ec);
    if (complete) return c.lexically_normal();
  }
  return std::nullopt;
}

void WriteSampleFolder(const fs::path& folderIn, const fs::path& templateFolder,
                       const std::function<void(const fs::path&)>& build) {
  std::error_code ec;
  fs::path folder = fs::absolute(folderIn, ec).lexically_normal();
  if (ec) folder = folderIn;
  if (!folder.has_filename()) folder = folder.parent_path();
  if (fs::exists(fs::symlink_status(folder, ec))) {
    if (!fs::is_directory(fs::symlink_status(folder, ec))) {
      throw SampleError("Cannot write the sample into '" + folder.string() + "': it exists and is not a folder.");
    }
    if (!fs::is_empty(folder, ec) || ec) {
      throw SampleError("Cannot write the sample into '" + folder.string() +
                        "': the folder is not empty. Name a new or empty folder.");
    }
  }
  for (const char* name : kTemplateFiles) {
    if (!fs::is_regular_file(templateFolder / name, ec)) {
      throw SampleError("The sample's registry template is incomplete: " + (templateFolder / name).string() +
                        " is missing.");
    }
  }

  const fs::path staging = MakeStagingFolder(folder);
  try {
    build(staging);
    // An empty folder that was there is replaced; rename() fails if anything appeared in it.
    if (fs::exists(folder, ec)) fs::remove(folder, ec);
    fs::rename(staging, folder, ec);
    if (ec) throw SampleError("Cannot move the sample into '" + folder.string() + "': " + ec.message());
  } catch (const RegistryError& e) {
    fs::remove_all(staging, ec);
    throw SampleError(std::string("Cannot write the sample's registry: ") + e.what());
  } catch (const TargetError& e) {
    fs::remove_all(staging, ec);
    throw SampleError(std::string("Cannot open the sample: ") + e.what());
  } catch (...) {
    fs::remove_all(staging, ec);
    throw;
  }
}

void WriteSamplePrefix(const fs::path& folder, const fs::path& templateFolder) {
  WriteSampleFolder(folder, templateFolder, [&](const fs::path& staging) { Build(staging, templateFolder); });
}

Bytes MakeShellLink(std::string_view target) {
  Bytes out;
  auto u16 = [&](std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  auto u32 = [&](std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v));
    u16(static_cast<std::uint16_t>(v >> 16));
  };
  // Header: size, the shell link class ID, flags (HasLinkInfo | IsUnicode), attributes
  // (archive), three file times, size, icon, show command (normal), hot key, reserved.
  u32(0x4C);
  const std::uint8_t clsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  out.insert(out.end(), clsid, clsid + 16);
  u32(0x02 | 0x80);
  u32(0x20);
  for (int i = 0; i < 6; ++i) u32(0);
  u32(0);  // file size
  u32(0);  // icon index
  u32(1);  // SW_SHOWNORMAL
  u16(0);
  u16(0);
  u32(0);
  u32(0);

  // LinkInfo with a VolumeID (fixed drive, empty label) and the local base path.
  const std::uint32_t headerSize = 0x1C;
  const std::uint32_t volumeIdSize = 0x11;
  const std::uint32_t basePathOffset = headerSize + volumeIdSize;
  const std::uint32_t suffixOffset = basePathOffset + static_cast<std::uint32_t>(target.size()) + 1;
  const std::uint32_t linkInfoSize = suffixOffset + 1;
  u32(linkInfoSize);
  u32(headerSize);
  u32(0x01);  // VolumeIDAndLocalBasePath
  u32(headerSize);
  u32(basePathOffset);
  u32(0);  // no network location
  u32(suffixOffset);
  u32(volumeIdSize);
  u32(3);  // DRIVE_FIXED
  u32(0x4B455354);
  u32(0x10);  // label offset
  out.push_back(0);
  out.insert(out.end(), target.begin(), target.end());
  out.push_back(0);
  out.push_back(0);  // empty common path suffix
  u32(0);            // terminal block
  return out;
}

}  // namespace kestrove::wine
