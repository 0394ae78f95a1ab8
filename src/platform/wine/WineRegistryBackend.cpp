#include "platform/wine/WineRegistryBackend.h"

#include <unistd.h>

#include <algorithm>

#include "platform/wine/WineHive.h"

namespace kestrove::wine {

using regtree::Hive;
using regtree::Node;
namespace fs = std::filesystem;

namespace {

// The user's SID, from the line ";; All keys relative to REGISTRY\\User\\S-..." of user.reg.
// That line comes within the file's first lines: only they are read, however large the file.
std::string UserSidOf(const fs::path& userReg, Env& env) {
  auto data = env.ReadFileHead(userReg, 1024);
  if (data) {
    std::string_view text(*data);
    std::size_t at = text.find(";; All keys relative to ");
    if (at != std::string_view::npos && at < 200) {
      std::size_t eol = text.find('\n', at);
      std::string_view line = text.substr(at, eol == std::string_view::npos ? std::string_view::npos : eol - at);
      std::size_t s = line.rfind("\\S-");
      if (s != std::string_view::npos) {
        std::string sid(line.substr(s + 1));
        while (!sid.empty() && (sid.back() == '\r' || sid.back() == ' ')) sid.pop_back();
        if (!sid.empty()) return sid;
      }
    }
  }
  return RegistryStore::kDefaultUserSid;
}

// ".<hive>.kestrove-<pid>.tmp": a commit's new hive file before it is renamed into place.
std::string TempName(const std::string& hiveName, long pid) {
  return "." + hiveName + ".kestrove-" + std::to_string(pid) + ".tmp";
}

bool IsTempName(std::string_view name, std::string_view hiveName) {
  const std::string head = "." + std::string(hiveName) + ".kestrove-";
  constexpr std::string_view tail = ".tmp";
  if (name.size() <= head.size() + tail.size() || !name.starts_with(head) || !name.ends_with(tail)) return false;
  const std::string_view pid = name.substr(head.size(), name.size() - head.size() - tail.size());
  return pid.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

TWineRegistryBackend::TWineRegistryBackend(fs::path prefix, std::shared_ptr<Env> env)
    : prefix_(std::move(prefix)), env_(std::move(env)) {
  sid_ = UserSidOf(prefix_ / "user.reg", *env_);
  files_.push_back({prefix_ / "system.reg", "REGISTRY\\\\Machine", std::nullopt});
  files_.push_back({prefix_ / "userdef.reg", "REGISTRY\\\\User\\\\.Default", std::nullopt});
  files_.push_back({prefix_ / "user.reg", "REGISTRY\\\\User\\\\" + sid_, std::nullopt});
}

std::vector<THiveMount> TWineRegistryBackend::Mounts() {
  return {{"Machine", files_[0].file.string()},
          {"User\\.Default", files_[1].file.string()},
          {"User\\" + sid_, files_[2].file.string()}};
}

void TWineRegistryBackend::ReadOnlyFocus(std::size_t index, THiveFocus focus) {
  focusHive_ = index;
  focus_ = std::move(focus);
}

namespace {

bool HasLink(const Node& root) {
  std::vector<const Node*> pending{&root};
  while (!pending.empty()) {
    const Node* n = pending.back();
    pending.pop_back();
    if (n->isLink) return true;
    for (const auto& c : n->children) pending.push_back(c.get());
  }
  return false;
}

}  // namespace

// A missing file is an empty hive that the first commit creates.
void TWineRegistryBackend::LoadHive(std::size_t index, Hive& hive) {
  HiveFile& f = files_[index];
  if (focusHive_ && index != *focusHive_) return;
  f.stamp = env_->Stat(f.file);
  if (!f.stamp) {
    hive.buffer = NewHivePreamble(f.relativeTo);
    hive.preambleEnd = hive.buffer.size();
    return;
  }
  std::string error;
  if (focusHive_ && !focusFailed_) {
    THiveFocusFilter filter(focus_);
    if (!env_->ReadFilePieces(f.file, kMaxHiveFileBytes, [&](std::string_view piece) { filter.Feed(piece); }, error))
      throw RegistryError("Cannot read the registry file " + error);
    if (auto text = filter.Finish()) {
      hive.buffer = std::move(*text);
      try {
        ParseHive(hive);
        // A link may lead anywhere in the registry.
        focusFailed_ = HasLink(*hive.root);
        if (!focusFailed_) return;
      } catch (const RegistryError&) {
      }
    }
    // Read whole: a fault is then reported as it stands in the file.
    focusFailed_ = true;
    hive.root->children.clear();
    hive.root->values.clear();
  }
  auto data = env_->ReadFile(f.file, kMaxHiveFileBytes, error);
  if (!data) throw RegistryError("Cannot read the registry file " + error);
  hive.buffer = std::move(*data);
  ParseHive(hive);
}

void TWineRegistryBackend::LoadValues(const Hive& hive, Node& node) { wine::LoadValues(hive, node); }

// The new file goes to a temporary file beside the hive and reaches the disk; PublishHive
// renames it over the hive, so that a crash leaves the old file or the new one, never a torn one.
void TWineRegistryBackend::StageHive(std::size_t index, const Hive& hive,
                                     const std::function<void(Node&)>& ensureValues) {
  HiveFile& f = files_[index];
  if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
  const fs::path tmp = StagedFile(f);
  auto fail = [&](const std::string& why) {
    env_->Remove(tmp);
    throw RegistryError("Could not save the registry file " + f.file.string() + ": " + why +
                        ". The file was left as it was.");
  };
  env_->Remove(tmp);  // left over from a crash
  std::string error;
  auto file = env_->NewWritableFile(tmp, error);
  if (!file) fail(error);
  bool ok = true;
  WriteHive(
      hive,
      [&](std::string_view chunk) {
        if (ok && !file->Append(chunk)) ok = false;
      },
      ensureValues);
  if (!ok || !file->Sync() || !file->Close()) fail(file->Error());
}

void TWineRegistryBackend::PublishHive(std::size_t index) {
  HiveFile& f = files_[index];
  const fs::path tmp = StagedFile(f);
  auto fail = [&](const std::string& why) {
    env_->Remove(tmp);
    throw RegistryError("Could not save the registry file " + f.file.string() + ": " + why +
                        ". The file was left as it was.");
  };
  // Wine may have started while we wrote: it would overwrite the file when it exits.
  if (auto reason = WriteBlockReason()) fail(*reason);
  std::string error;
  if (!env_->Rename(tmp, f.file, error)) fail(error);
  f.stamp = env_->Stat(f.file);
}

void TWineRegistryBackend::DropStagedHive(std::size_t index) { env_->Remove(StagedFile(files_[index])); }

fs::path TWineRegistryBackend::StagedFile(const HiveFile& f) const {
  return f.file.parent_path() / TempName(f.file.filename().string(), ::getpid());
}

bool TWineRegistryBackend::HiveChanged(std::size_t index) {
  return env_->Stat(files_[index].file) != files_[index].stamp;
}

std::optional<std::string> TWineRegistryBackend::WriteBlockReason() {
  if (RunningWineServer(prefix_)) return WineRunningMessage(prefix_);
  return std::nullopt;
}

// Looking for Wine walks every process, so it is done when a run of changes begins and again
// around each commit's rename, not at every change.
void TWineRegistryBackend::BeginWriteSession() {
  if (focusHive_) throw RegistryError("The registry of " + prefix_.string() + " was opened to read one key only.");
  if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
  std::string error;
  if (!lock_.Acquire(prefix_ / ".kestrove-registry.lock", std::chrono::seconds(10), error))
    throw RegistryError(error);
  RemoveStaleTempFiles();
}

void TWineRegistryBackend::EndWriteSession() { lock_.Release(); }

std::vector<fs::path> TWineRegistryBackend::HiveFiles() {
  std::vector<fs::path> files;
  for (const HiveFile& f : files_) files.push_back(f.file);
  return files;
}

// A commit killed between writing its temporary file and the rename leaves the file behind.
// Temporary files are only written while the lock is held, so with the lock in our hands
// every one of them is an orphan, whichever process made it.
void TWineRegistryBackend::RemoveStaleTempFiles() {
  std::error_code ec;
  for (fs::directory_iterator it(prefix_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    for (const HiveFile& f : files_) {
      if (IsTempName(name, f.file.filename().string())) {
        env_->Remove(it->path());
        break;
      }
    }
  }
}

}  // namespace kestrove::wine

namespace kestrove {

std::unique_ptr<RegistryStore> RegistryStore::OpenWinePrefix(const std::filesystem::path& prefix,
                                                             std::shared_ptr<Env> env) {
  return std::make_unique<THiveStore>(std::make_unique<wine::TWineRegistryBackend>(prefix, std::move(env)));
}

std::unique_ptr<RegistryStore> RegistryStore::OpenWinePrefixToRead(const std::filesystem::path& prefix,
                                                                   const TRegistryFocus& focus,
                                                                   std::shared_ptr<Env> env) {
  auto backend = std::make_unique<wine::TWineRegistryBackend>(prefix, env);
  // The focus as a path below \Registry, as the store mounts the hives.
  std::string full;
  switch (focus.root) {
    case TRootKey::LocalMachine: full = "Machine"; break;
    case TRootKey::ClassesRoot: full = "Machine\\Software\\Classes"; break;
    case TRootKey::CurrentUser: full = "User\\" + backend->UserSid(); break;
    case TRootKey::Users: full = "User"; break;
    default: return OpenWinePrefix(prefix, std::move(env));  // HKEY_CURRENT_CONFIG is reached through a link
  }
  full += "\\" + focus.path;
  const std::vector<std::string_view> parts = SplitKeyPath(full);
  const std::vector<THiveMount> mounts = backend->Mounts();
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    const std::vector<std::string_view> mount = SplitKeyPath(mounts[i].path);
    if (mount.size() > parts.size() || !std::equal(mount.begin(), mount.end(), parts.begin(), SameName)) continue;
    wine::THiveFocus hiveFocus{{parts.begin() + static_cast<std::ptrdiff_t>(mount.size()), parts.end()}, focus.subtree};
    wine::TWineRegistryBackend* focused = backend.get();
    focused->ReadOnlyFocus(i, std::move(hiveFocus));
    auto store = std::make_unique<THiveStore>(std::move(backend));
    if (focused->FocusFailed()) return OpenWinePrefix(prefix, std::move(env));
    return store;
  }
  // Above every hive (HKEY_USERS itself) or beside them all.
  return OpenWinePrefix(prefix, std::move(env));
}

}  // namespace kestrove
