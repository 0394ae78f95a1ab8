// The scan sections that judge registry keys by what they hold rather than by a file on disk:
// empty keys, extension keys with nothing in them, Start Menu order keys of folders that are
// gone, uninstall entries without an uninstall command, interfaces and classes that name an
// unregistered type library or AppID, and installer cache entries of programs no longer listed.
#include <filesystem>
#include <system_error>
#include <utility>
#include <unordered_set>

#include "platform/PathResolver.h"
#include "platform/TRegistry.h"
#include "platform/Text.h"
#include "regscan/ScanTaskThread.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

// As deep as the other walks go: Windows keeps no deeper keys, and a hostile hive could
// otherwise exhaust the worker's stack or make one key cost a walk of the whole chain.
constexpr int kMaxKeyDepth = 512;

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kArpCacheKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache";
const char kFileExtsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts";
const char* const kMenuOrderKeys[] = {
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Start Menu2\\Programs",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Start Menu\\Programs",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Start Menu\\&Programs",
};

std::string Child(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + "\\" + name;
}

}  // namespace

int TScanTaskThread::CountContent(TRootKey root, std::string_view path) {
  // A path starting with "\" is taken from the root, as every path here is.
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  std::string key(path);
  // Every key met on the way holds what the first one holds (each has no value and one
  // subkey): the walks ask about the keys of the same chain next, and get the answer at once.
  contentChain_.clear();
  contentChainRoot_ = root;
  auto answer = [&](int n) {
    contentChain_.emplace(std::move(key), n);
    for (auto& [k, count] : contentChain_) count = n;
    return n;
  };
  // A chain of keys with one subkey each is followed by a loop, not by recursion: a hostile
  // hive can make such a chain deeper than any stack.
  for (int depth = 0;; ++depth) {
    auto info = store_.QueryKeyInfo(root, key);
    if (!info) return answer(0);
    if (info->valueCount >= 1) return answer(static_cast<int>(info->valueCount));
    if (info->subKeyCount > 1) return answer(static_cast<int>(info->subKeyCount));
    if (info->subKeyCount == 0) return answer(0);
    auto names = store_.SubKeyNames(root, key);
    if (!names || names->empty()) return answer(0);
    std::string child = Child(key, names->front());
    // A link key is content: its presence is the point of it, and removing its parent would
    // remove the link.
    if (store_.IsLink(root, child)) return answer(1);
    // Deeper than any real registry: what cannot be judged is not called empty.
    if (depth >= kMaxKeyDepth) return answer(1);
    contentChain_.emplace(std::exchange(key, std::move(child)), 0);
  }
}

int TScanTaskThread::KnownContent(TRootKey root, const std::string& path) {
  if (root == contentChainRoot_) {
    if (auto it = contentChain_.find(path); it != contentChain_.end()) return it->second;
  }
  return CountContent(root, path);
}

void TScanTaskThread::WalkEmptyKeys(TRootKey root, const std::string& path, int type, int depth) {
  if (Terminated() || depth > kMaxKeyDepth) return;
  auto names = store_.SubKeyNames(root, path);
  if (!names) return;
  const char* problemType = type == 10   ? problem::kObsoleteSoftware
                            : type == 23 ? problem::kEmptyUninstall
                                         : problem::kEmptyKeys;
  const std::string location = RootKeyName(root) + "\\" + path;
  for (const std::string& name : *names) {
    if (Terminated()) return;
    if (root == HKEY_USERS && AsciiLower(name) == ".default") continue;
    const std::string child = Child(path, name);
    // A link key shows a tree that lives elsewhere; the walk never enters it and never calls
    // it empty (judged through the link, a dangling one would look empty).
    if (store_.IsLink(root, child)) continue;
    SetKeyMemo(path + "\\" + name);
    if (KnownContent(root, child) == 0) AddRow(problemType, name, location, TLocationKind::lkDataSubkey);
    if (type == 23 || type == 25) WalkEmptyKeys(root, child, type, depth + 1);
  }
}

// Start Menu: the order Explorer keeps for each Programs folder, kept on after the folder went.
void TScanTaskThread::ScanStartMenu() {
  std::unordered_set<std::string> folders;
  for (const char* shellFolder : {"Programs", "Common Programs"}) {
    auto folder = target_.ShellFolder(shellFolder);
    if (!folder || folder->empty()) continue;
    auto host = target_.HostPath(*folder);
    if (!host) continue;
    std::error_code ec;
    for (fs::directory_iterator it(*host, ec), end; !ec && it != end; it.increment(ec)) {
      if (Terminated()) return;
      std::error_code sec;
      if (it->is_directory(sec)) folders.insert(FoldName(it->path().filename().string()));
    }
  }
  for (const char* key : kMenuOrderKeys) {
    auto names = store_.SubKeyNames(HKEY_CURRENT_USER, key);
    if (!names) continue;
    for (const std::string& name : *names) {
      if (Terminated()) return;
      SetKeyMemo(std::string(key) + "\\" + name);
      if (!folders.count(FoldName(name))) {
        AddRow(problem::kStartMenu, name, std::string("HKEY_CURRENT_USER\\") + key, TLocationKind::lkDataSubkey);
      }
    }
  }
}

// File Extensions: class keys that say nothing, and Explorer's per-extension keys that hold
// nothing.
void TScanTaskThread::ScanFileExtensions() {
  const std::string classes = "Software\\Classes";
  // The class keys are many (every extension and ProgID): each is read from its node as the
  // walk passes it, not found again by its path. Links are not shown.
  store_.WalkTree(HKEY_LOCAL_MACHINE, classes, [&](TWalkedKey& key) {
    if (key.Depth() == 0) return TWalkStep::Enter;
    if (Terminated()) return TWalkStep::Stop;
    SetKeyMemo(key.Path());
    const std::vector<RegValue>* values = key.Values();
    if (!values) return TWalkStep::Skip;
    const RegValue* def = nullptr;
    for (const RegValue& v : *values) {
      if (v.name.empty()) def = &v;
    }
    std::optional<std::string> text;
    if (def) {
      text = RegStringData(*def);
      if (!text) return TWalkStep::Skip;
    }
    if (key.SubKeyCount() != 0) return TWalkStep::Skip;
    if (values->empty() || (values->size() == 1 && def && text->empty())) {
      AddRow(problem::kFileExtension, std::string(key.Path().substr(classes.size() + 1)),
             "HKEY_LOCAL_MACHINE\\" + classes, TLocationKind::lkDataSubkey);
    }
    return TWalkStep::Skip;
  });
  auto extensions = store_.SubKeyNames(HKEY_CURRENT_USER, kFileExtsKey);
  if (!extensions) return;
  for (const std::string& ext : *extensions) {
    if (Terminated()) return;
    const std::string path = std::string(kFileExtsKey) + "\\" + ext;
    SetKeyMemo(path);
    if (store_.IsLink(HKEY_CURRENT_USER, path)) continue;
    if (CountContent(HKEY_CURRENT_USER, path) == 0) {
      AddRow(problem::kFileExtension, ext, std::string("HKEY_CURRENT_USER\\") + kFileExtsKey,
             TLocationKind::lkDataSubkey);
    }
  }
}

// Add/Remove Programs: entries that give no way to uninstall and are not hidden system parts.
void TScanTaskThread::ScanAddRemovePrograms() {
  for (const std::string& key : KeyViews(HKEY_LOCAL_MACHINE, kUninstallKey)) {
    auto names = store_.SubKeyNames(HKEY_LOCAL_MACHINE, key);
    if (!names) continue;
    for (const std::string& name : *names) {
      if (Terminated()) return;
      // Windows Installer's product codes are left alone.
      if (!name.empty() && name.front() == '{') continue;
      const std::string path = key + "\\" + name;
      SetKeyMemo(path);
      auto values = store_.ValueNames(HKEY_LOCAL_MACHINE, path);
      if (!values) continue;
      bool uninstall = false;
      for (const std::string& v : *values) {
        // Letter case as written: "QuietUninstallString" counts, "uninstallstring" does not.
        if (v.find("UninstallString") != std::string::npos) uninstall = true;
      }
      if (uninstall || store_.QueryValue(HKEY_LOCAL_MACHINE, path, "SystemComponent")) continue;
      AddRow(problem::kAddRemovePrograms, name, "HKEY_LOCAL_MACHINE\\" + key, TLocationKind::lkDataSubkey);
    }
  }
}

// Custom Controls, second step: interfaces whose type library is not registered.
void TScanTaskThread::ScanInterfaceTypeLibs() {
  std::vector<std::string> libs;
  for (const std::string& key : KeyViews(HKEY_CLASSES_ROOT, "TypeLib")) {
    for (std::string& name : store_.SubKeyNames(HKEY_CLASSES_ROOT, key).value_or(std::vector<std::string>())) {
      libs.push_back(FoldName(name));
    }
  }
  for (const std::string& key : KeyViews(HKEY_CLASSES_ROOT, "Interface")) {
    auto names = store_.SubKeyNames(HKEY_CLASSES_ROOT, key);
    if (!names) continue;
    for (const std::string& iface : *names) {
      if (Terminated()) return;
      const std::string path = key + "\\" + iface;
      SetKeyMemo(path);
      auto nameValue = store_.QueryValue(HKEY_CLASSES_ROOT, path, "");
      auto name = nameValue ? RegStringData(*nameValue) : std::nullopt;
      if (!name) continue;
      auto libValue = store_.QueryValue(HKEY_CLASSES_ROOT, path + "\\TypeLib", "");
      auto lib = libValue ? RegStringData(*libValue) : std::nullopt;
      if (!lib) continue;
      const std::string folded = FoldName(*lib);
      bool registered = false;
      for (const std::string& l : libs) {
        if (l.find(folded) != std::string::npos) {
          registered = true;
          break;
        }
      }
      if (!registered) {
        AddRow(problem::kCustomControls, *name + " - " + *lib, "HKEY_CLASSES_ROOT\\" + path, TLocationKind::lkKey);
      }
    }
  }
}

// Invalid ActiveX, second step: classes that name an AppID nobody registered.
void TScanTaskThread::ScanClassAppIds() {
  std::vector<std::string> appIds;
  for (const std::string& key : KeyViews(HKEY_CLASSES_ROOT, "AppID")) {
    for (std::string& name : store_.SubKeyNames(HKEY_CLASSES_ROOT, key).value_or(std::vector<std::string>())) {
      appIds.push_back(FoldName(name));
    }
  }
  // A class whose AppID names no registered AppID (nor the class itself).
  auto unknownAppId = [&](std::string_view clsid, const std::string& appId) {
    const std::string foldedId = FoldName(appId), foldedClass = FoldName(clsid);
    for (const std::string& n : appIds) {
      if (n.find(foldedId) != std::string::npos || n.find(foldedClass) != std::string::npos) return false;
    }
    return true;
  };
  for (const std::string& key : KeyViews(HKEY_CLASSES_ROOT, "CLSID")) {
    // The classes to report unless their server is the accessibility library, in order: path
    // and AppID. Every class key is read from its node as the walk passes it; the server,
    // asked of the store, only for these few once the walk is over.
    std::vector<std::pair<std::string, std::string>> unknown;
    const auto named = store_.SubKeyNames(HKEY_CLASSES_ROOT, key);
    if (!named) continue;
    const std::size_t listed = named->size();
    std::size_t shown = 0;
    store_.WalkTree(HKEY_CLASSES_ROOT, key, [&](TWalkedKey& k) {
      if (k.Depth() == 0) return TWalkStep::Enter;
      if (Terminated()) return TWalkStep::Stop;
      ++shown;
      SetKeyMemo(k.Path());
      std::optional<std::string> appId;
      if (const std::vector<RegValue>* values = k.Values()) {
        for (const RegValue& v : *values) {
          if (SameName(v.name, "AppID")) appId = RegStringData(v);
        }
      }
      if (appId && !appId->empty() && unknownAppId(k.Path().substr(key.size() + 1), *appId))
        unknown.emplace_back(std::string(k.Path()), std::move(*appId));
      return TWalkStep::Skip;
    });
    if (Terminated()) return;
    if (shown != listed) {
      // The walk passes link keys over, while a class reached through a link is judged as any
      // other: then the classes are judged as they are named.
      unknown.clear();
      for (const std::string& clsid : *named) {
        if (Terminated()) return;
        const std::string path = key + "\\" + clsid;
        SetKeyMemo(path);
        auto appIdValue = store_.QueryValue(HKEY_CLASSES_ROOT, path, "AppID");
        auto appId = appIdValue ? RegStringData(*appIdValue) : std::nullopt;
        if (appId && !appId->empty() && unknownAppId(clsid, *appId)) unknown.emplace_back(path, std::move(*appId));
      }
    }
    for (const auto& [path, appId] : unknown) {
      if (Terminated()) return;
      const std::string server = path + "\\InprocServer32";
      if (store_.KeyExists(HKEY_CLASSES_ROOT, server)) {
        auto serverValue = store_.QueryValue(HKEY_CLASSES_ROOT, server, "");
        auto file = serverValue ? RegStringData(*serverValue) : std::nullopt;
        // The accessibility library's classes live without an AppID of their own.
        if (!file || AsciiContainsNoCase(*file, "oleacc.dll")) continue;
      }
      AddRow(problem::kActiveX, appId, "HKEY_CLASSES_ROOT\\" + path, TLocationKind::lkKey);
    }
  }
}

// Installer, third step: the Add/Remove Programs cache of programs that are no longer listed.
void TScanTaskThread::ScanArpCache() {
  // The cache of either view may stand for an entry of either view: only one that no
  // Uninstall key lists is left over.
  std::unordered_set<std::string> installed;
  for (const std::string& key : KeyViews(HKEY_LOCAL_MACHINE, kUninstallKey)) {
    for (const std::string& name : store_.SubKeyNames(HKEY_LOCAL_MACHINE, key).value_or(std::vector<std::string>())) {
      installed.insert(FoldName(name));
    }
  }
  for (const std::string& key : KeyViews(HKEY_LOCAL_MACHINE, kArpCacheKey)) {
    auto names = store_.SubKeyNames(HKEY_LOCAL_MACHINE, key);
    if (!names) continue;
    for (const std::string& name : *names) {
      if (Terminated()) return;
      SetKeyMemo(key + "\\" + name);
      if (!installed.count(FoldName(name))) {
        AddRow(problem::kInstaller, name, "HKEY_LOCAL_MACHINE\\" + key, TLocationKind::lkDataSubkey);
      }
    }
  }
}

}  // namespace kestrove
