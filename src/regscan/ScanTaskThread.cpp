#include "regscan/ScanTaskThread.h"

#include <charconv>

#include "platform/TRegistry.h"

namespace kestrove {

namespace {

// Windows keeps keys no deeper than this; a deeper tree is no registry the walk should
// follow (and would only exhaust the worker's stack).
constexpr int kMaxKeyDepth = 512;

const char kAppPathsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

const char* const kExclusionPathsHKLM[] = {
    "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls",
    "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths",
    "Software\\Microsoft\\Windows\\Help",
    "Software\\Microsoft\\Windows\\Html Help",
    "Software\\Classes\\Applications",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
    "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache",
};

const char* const kExclusionPathsHKCU[] = {
    "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
    "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
    "AppEvents\\Schemes\\Apps",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ComDlg32\\OpenSaveMRU",
};

template <std::size_t N>
bool IsExcluded(std::string_view path, const char* const (&list)[N]) {
  for (const char* e : list) {
    if (SameName(path, e)) return true;
  }
  return false;
}

bool StartsWithName(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameName(text.substr(0, prefix.size()), prefix);
}

// The 32-bit counterparts of the machine walk's exclusions: on a 64-bit system the
// sections that own those keys read them too.
const std::vector<std::string>& Wow6432NodeExclusionsHKLM() {
  static const std::vector<std::string> paths = [] {
    std::vector<std::string> out;
    for (const char* e : kExclusionPathsHKLM) {
      if (auto wow = Wow6432NodePath(HKEY_LOCAL_MACHINE, e)) out.push_back(std::move(*wow));
    }
    return out;
  }();
  return paths;
}

bool IsWow6432NodeExcluded(std::string_view path) {
  for (const std::string& e : Wow6432NodeExclusionsHKLM()) {
    if (SameName(path, e)) return true;
  }
  return false;
}

int SectionNumber(const std::string& entry) {
  int code = 0;
  auto [end, ec] = std::from_chars(entry.data(), entry.data() + entry.size(), code);
  if (ec != std::errc() || end != entry.data() + entry.size()) return 0;
  return code;
}

}  // namespace

std::optional<std::string> Wow6432NodePath(TRootKey root, std::string_view path) {
  constexpr std::string_view kNode = "Wow6432Node";
  // `name` is the first component of `text`.
  auto startsWith = [](std::string_view text, std::string_view name) {
    return StartsWithName(text, name) && (text.size() == name.size() || text[name.size()] == '\\');
  };
  // The view goes below the first `skip` characters of the path (its parent keys and "\").
  std::size_t skip = 0;
  if (root == HKEY_LOCAL_MACHINE && startsWith(path, "Software") && path.size() > 9) {
    skip = 9;
    if (startsWith(path.substr(skip), "Classes") && path.size() > 17) skip = 17;
  } else if (root != HKEY_CLASSES_ROOT) {
    return std::nullopt;
  }
  const std::string_view rest = path.substr(skip);
  if (rest.empty() || startsWith(rest, kNode) || (skip == 9 && SameName(rest, "Classes"))) return std::nullopt;
  std::string out(path.substr(0, skip));
  out += kNode;
  out += '\\';
  out += rest;
  return out;
}

std::optional<std::string> RegStringData(const RegValue& value) {
  std::string text;
  if (!RegStringDataInto(value, text)) return std::nullopt;
  return text;
}

bool RegStringDataInto(const RegValue& value, std::string& text) {
  if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return false;
  // Most registry texts are plain ASCII and need no conversion; the hive walks read every
  // value of a hive, so this matters.
  const std::size_t units = value.data.size() / 2;
  const std::uint8_t* d = value.data.data();
  text.clear();
  std::size_t k = 0;
  for (; k < units; ++k) {
    const std::uint8_t lo = d[2 * k], hi = d[2 * k + 1];
    if (hi != 0 || lo >= 0x80) break;
    if (lo == 0) return true;  // the text ends at the first zero character
    text.push_back(static_cast<char>(lo));
  }
  if (k == units) return true;
  std::size_t end = k;
  while (end < units && (d[2 * end] != 0 || d[2 * end + 1] != 0)) ++end;
  text = Utf16LeToUtf8(d, end * 2);
  return true;
}

// ---- the worker ----------------------------------------------------------------------------

TScanTaskThread::TScanTaskThread(TargetSystem& target, IScanEvents& events, bool includeRemoveMedia)
    : IncludeRemoveMedia(includeRemoveMedia), target_(target), store_(*target.Registry()), events_(events) {
  ScanDrives = ComputeScanDrives(target, includeRemoveMedia);
  IsWow64 = false;
  TargetIs64Bit = target.Is64Bit();
}

TScanTaskThread::~TScanTaskThread() {
  Terminate();
  WaitFor();
}

void TScanTaskThread::ProbeFloppyDrives() {
  if (IncludeRemoveMedia) return;
  FloppyAHasMedia = ProbeFloppyMedia(target_, 'A');
  FloppyBHasMedia = ProbeFloppyMedia(target_, 'B');
}

void TScanTaskThread::Resume() {
  if (thread_.joinable() || finished_.load()) return;
  thread_ = std::thread([this] { Execute(); });
}

void TScanTaskThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

TPathRules& TScanTaskThread::Rules() {
  if (!rules_) {
    probe_ = std::make_unique<TFileProbe>(target_);
    TPathRuleSettings settings;
    settings.ScanDrives = ScanDrives;
    settings.IncludeRemoveMedia = IncludeRemoveMedia;
    settings.FloppyAHasMedia = FloppyAHasMedia;
    settings.FloppyBHasMedia = FloppyBHasMedia;
    settings.IsWow64 = IsWow64;
    rules_ = std::make_unique<TPathRules>(target_, *probe_, std::move(settings));
  }
  return *rules_;
}

void TScanTaskThread::Execute() {
  bool completed = false;
  std::string error;
  try {
    events_.OnTitle("");
    events_.OnKeyMemo("");
    Rules();
    for (const std::string& entry : SectionCodes) {
      if (Terminated()) break;
      events_.OnSync(terminated_);
      RunSection(SectionNumber(entry));
      if (!Terminated()) events_.OnScanStep();
    }
    // A stop during the last section ends the run as a stop before it would: the owner has
    // already run its end-of-scan steps for the Cancel.
    // What the sections learnt about files and keys is of no further use, and the rows still
    // on their way to the owner need the memory: it goes before the end is announced.
    rules_.reset();
    probe_.reset();
    contentChain_ = {};
    examinedShortcuts_ = {};
    if (!Terminated()) {
      events_.OnTitle("Optimizing...Do not close the dialog.");
      events_.OnKeyMemo("Please wait...");
      events_.OnScanDone();
      completed = true;
    }
  } catch (const std::exception& e) {
    error = e.what();
    if (error.empty()) error = "unknown error";
  } catch (...) {
    error = "unknown error";
  }
  events_.OnScanEnded(completed, error);
  finished_.store(true);
}

bool TScanTaskThread::SectionSelected(int code) const {
  const std::string text = std::to_string(code);
  for (const std::string& entry : SectionCodes) {
    if (entry == text) return true;
  }
  return false;
}

std::vector<std::string> TScanTaskThread::KeyViews(TRootKey root, const std::string& path) {
  std::vector<std::string> views{path};
  if (!TargetIs64Bit) return views;
  auto wow = Wow6432NodePath(root, path);
  if (!wow) return views;
  // Every key on the way must be a plain key: Wine links the shared class keys
  // (Wow6432Node\TypeLib, \AppId) to the 64-bit ones, and Software\Wow6432Node\Classes to
  // Classes\Wow6432Node, which is read under its own name.
  for (std::size_t end = wow->find('\\'); end != std::string::npos; end = wow->find('\\', end + 1)) {
    if (store_.IsLink(root, wow->substr(0, end))) return views;
  }
  if (store_.IsLink(root, *wow) || !store_.KeyExists(root, *wow)) return views;
  views.push_back(std::move(*wow));
  return views;
}

void TScanTaskThread::RunSection(int code) {
  const TScanSection* section = FindScanSection(code);
  if (!section) return;
  currentSection_ = code;
  if (section->Caption) SetTitle(section->Caption);
  switch (code) {
    case 3: WalkValues(HKEY_CLASSES_ROOT, "", problem::kFileOrFolder, ""); break;
    case 4: WalkValues(HKEY_CURRENT_USER, "", problem::kFileOrFolder, ""); break;
    case 5: WalkValues(HKEY_LOCAL_MACHINE, "Software", problem::kFileOrFolder, ""); break;
    case 6: WalkValues(HKEY_USERS, "", problem::kFileOrFolder, ""); break;
    case 7: ScanSharedDlls(); break;
    case 8:
      for (const std::string& key : KeyViews(HKEY_LOCAL_MACHINE, kAppPathsKey)) {
        if (Terminated()) break;
        WalkValues(HKEY_LOCAL_MACHINE, key, problem::kSoftwareLocations, "");
      }
      break;
    case 9: ScanStartMenu(); break;
    case 10:
      WalkEmptyKeys(HKEY_CURRENT_USER, "Software", 10);
      WalkEmptyKeys(HKEY_LOCAL_MACHINE, "Software", 10);
      break;
    case 11: ScanFileExtensions(); break;
    case 12: ScanFonts(); break;
    case 13: ScanHelpFiles(); break;
    case 14: ScanStartup(); break;
    case 15: ScanAddRemovePrograms(); break;
    // The first steps of 16 and 20 leave their keys to the machine walk when it runs; the
    // second steps always run.
    case 16:
      ScanCustomControls();
      ScanInterfaceTypeLibs();
      break;
    case 17: ScanServices(); break;
    case 18: ScanShortcuts(); break;
    case 19: ScanSoundEvents(); break;
    case 20:
      ScanActiveX();
      ScanClassAppIds();
      break;
    case 21:
      ScanInstaller();
      ScanArpCache();
      break;
    case 22: ScanApplications(); break;
    case 23:
      for (const std::string& key : KeyViews(HKEY_LOCAL_MACHINE, kUninstallKey)) {
        if (Terminated()) break;
        WalkEmptyKeys(HKEY_LOCAL_MACHINE, key, 23);
      }
      break;
    case 24: ScanMruLists(); break;
    case 25: WalkEmptyKeys(HKEY_USERS, "", 25); break;
    // 1 and 2 are groups.
    default: break;
  }
  currentSection_ = 0;
}

void TScanTaskThread::AddRow(const char* problemType, std::string data, std::string location, TLocationKind kind) {
  // A stop means Cancel: the owner must get no further row.
  if (Terminated()) return;
  TScanResult row;
  row.ProblemType = problemType;
  row.Data = std::move(data);
  row.Location = std::move(location);
  row.LocationKind = kind;
  row.Selected = false;
  events_.OnRow(row);
}

void TScanTaskThread::AddValueRow(const char* problemType, TRootKey root, std::string_view keyPath,
                                  const std::string& name, const std::string& data) {
  std::string location = RootKeyName(root);
  location.reserve(location.size() + keyPath.size() + name.size() + 2);
  location += '\\';
  location += keyPath;
  if (name.find('\\') != std::string::npos) {
    AddRow(problemType, name, std::move(location), TLocationKind::lkDataValue);
  } else {
    location += '\\';
    location += name;
    AddRow(problemType, data, std::move(location), TLocationKind::lkPathValue);
  }
}

void TScanTaskThread::SetKeyMemo(std::string_view text) {
  // A window redraws some 60 times a second: texts that come faster are never seen.
  constexpr auto kMemoEvery = std::chrono::milliseconds(30);
  const auto now = std::chrono::steady_clock::now();
  if (memoGiven_ && now - *memoGiven_ < kMemoEvery) return;
  memoGiven_ = now;
  memo_.assign(text);
  events_.OnKeyMemo(memo_);
}

// ---- shared walkers ------------------------------------------------------------------------

void TScanTaskThread::WalkValues(TRootKey root, const std::string& path, const char* problemType,
                                 std::string_view anchor, int depth) {
  if (Terminated()) return;
  TPathRules& rules = Rules();
  // The store shows every key once, from its node: a path is never looked up again from its
  // root, and a key's values are read only when the key is not passed over.
  store_.WalkTree(root, path, [&](TWalkedKey& key) {
    if (Terminated()) return TWalkStep::Stop;
    if (depth + key.Depth() > kMaxKeyDepth) return TWalkStep::Skip;
    const std::string_view keyPath = key.Path();
    // Subtrees that have sections of their own are left to them.
    if (currentSection_ == 5 &&
        (IsExcluded(keyPath, kExclusionPathsHKLM) || (TargetIs64Bit && IsWow6432NodeExcluded(keyPath))))
      return TWalkStep::Skip;
    if (currentSection_ == 4 && IsExcluded(keyPath, kExclusionPathsHKCU)) return TWalkStep::Skip;
    // The reflected 32-bit view of the 32-bit view.
    if (root == HKEY_LOCAL_MACHINE && StartsWithName(keyPath, "Software\\Wow6432Node\\Wow6432Node"))
      return TWalkStep::Skip;
    const std::vector<RegValue>* values = key.Values();
    if (!values) return TWalkStep::Skip;
    SetKeyMemo(keyPath);
    for (const RegValue& v : *values) {
      if (Terminated()) return TWalkStep::Stop;
      if (!RegStringDataInto(v, text_)) continue;
      if (rules.IsMissingPath(text_, anchor, true)) AddValueRow(problemType, root, keyPath, v.name, text_);
    }
    return TWalkStep::Enter;
  });
}

void TScanTaskThread::WalkDefaultValues(TRootKey root, const std::string& path, int depth) {
  if (Terminated() || depth > kMaxKeyDepth) return;
  if (!store_.KeyExists(root, path)) return;
  SetKeyMemo(path);
  if (auto v = store_.QueryValue(root, path, "")) {
    auto text = RegStringData(*v);
    if (text && Rules().IsMissingPath(*text, "", false)) {
      AddRow(problem::kCustomControls, *text, RootKeyName(root) + "\\" + path, TLocationKind::lkKey);
    }
  }
  auto names = store_.SubKeyNames(root, path);
  if (!names) return;
  for (const std::string& name : *names) {
    if (Terminated()) return;
    const std::string child = path + "\\" + name;
    if (store_.IsLink(root, child)) continue;
    WalkDefaultValues(root, child, depth + 1);
  }
}

std::optional<std::pair<std::string, std::string>> TScanTaskThread::FindNextCommandKey(const std::string& startPath,
                                                                                     std::string& lastFound,
                                                                                     int depth) {
  if (Terminated() || depth > kMaxKeyDepth) return std::nullopt;
  if (!store_.KeyExists(HKEY_LOCAL_MACHINE, startPath)) return std::nullopt;
  std::string open = startPath;
  const std::string commandKey = startPath + "\\command";
  if (store_.KeyExists(HKEY_LOCAL_MACHINE, commandKey)) {
    // The search goes on below the command key once it is open, as the original search
    // does: the command key's subkey names are looked for below startPath.
    open = commandKey;
    auto v = store_.QueryValue(HKEY_LOCAL_MACHINE, commandKey, "");
    std::optional<std::string> text = v ? RegStringData(*v) : std::optional<std::string>(std::string());
    if (text) {
      if (lastFound.empty()) return std::make_pair(startPath, *text);
      if (lastFound == startPath) lastFound.clear();
    }
  }
  auto names = store_.SubKeyNames(HKEY_LOCAL_MACHINE, open);
  if (!names) return std::nullopt;
  for (const std::string& name : *names) {
    if (Terminated()) return std::nullopt;
    if (auto found = FindNextCommandKey(startPath + "\\" + name, lastFound, depth + 1)) return found;
  }
  return std::nullopt;
}

}  // namespace kestrove
