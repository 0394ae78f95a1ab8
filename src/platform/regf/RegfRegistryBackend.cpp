#include "platform/regf/RegfRegistryBackend.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/RegistryTypes.h"
#include "platform/regf/RegfFormat.h"
#include "platform/regf/RegfReader.h"
#include "platform/regf/RegfWriter.h"

namespace kestrove::regf {

namespace fs = std::filesystem;
using regtree::Hive;
using regtree::Node;

TRegfRegistryBackend::TRegfRegistryBackend(fs::path root, fs::path configFolder, TOfflineProfile user,
                                           std::shared_ptr<Env> env)
    : TFileHiveBackend(std::move(root), std::move(env)), config_(std::move(configFolder)), user_(std::move(user)) {
  // The machine's hives as Windows mounts them; one the installation lacks (a SAM removed
  // from a copy) is left out rather than made anew.
  struct Machine {
    const char* file;
    const char* path;
  };
  for (const Machine m : {Machine{"SOFTWARE", "Machine\\Software"}, Machine{"SYSTEM", "Machine\\System"},
                          Machine{"SAM", "Machine\\SAM"}, Machine{"SECURITY", "Machine\\Security"},
                          Machine{"DEFAULT", "User\\.Default"}}) {
    // Anything under the name is mounted, so that a hive file that is a link, a FIFO or a
    // folder is refused by name when it is read rather than silently left out.
    if (auto file = FindEntryNoCase(config_, m.file)) mounts_.push_back({m.path, *file});
  }
  if (user_.UserHive) mounts_.push_back({"User\\" + user_.Sid, *user_.UserHive});
  if (user_.ClassesHive) mounts_.push_back({"User\\" + user_.Sid + "_Classes", *user_.ClassesHive});
  for (const TMount& m : mounts_) files_.push_back({m.file, std::nullopt});
  refusals_.resize(mounts_.size());
  warnings_.resize(mounts_.size());
  rootNames_.resize(mounts_.size());
}

std::vector<THiveMount> TRegfRegistryBackend::Mounts() {
  std::vector<THiveMount> mounts;
  for (const TMount& m : mounts_) mounts.push_back({m.path, m.file.string()});
  return mounts;
}

void TRegfRegistryBackend::LoadHive(std::size_t index, Hive& hive) {
  THiveFile& f = files_[index];
  f.stamp = env_->Stat(f.file);
  TRegfLoadReport report = LoadRegfHive(f.file, hive);
  rootNames_[index] = hive.rootName;
  AddVolatileKeys(index, hive);
  std::lock_guard lock(reportMutex_);
  refusals_[index] = std::move(report.writeRefusal);
  warnings_[index] = std::move(report.warnings);
}

void TRegfRegistryBackend::CheckHiveData(std::size_t index, const std::string& data, const std::string& shownName) {
  Node root;
  Hive hive;
  hive.root = &root;
  hive.label = shownName;
  const TRegfLoadReport report = LoadRegfHiveData(data, {}, shownName, hive);
  if (report.writeRefusal)
    throw RegistryError(shownName + " is a hive Windows did not finish writing; it cannot be put back on its own.");
  if (!rootNames_[index].empty() && hive.rootName != rootNames_[index])
    throw RegistryError(shownName + " holds the hive whose root is \"" + hive.rootName + "\", not " +
                        files_[index].file.filename().string() + " (\"" + rootNames_[index] + "\")");
}

void TRegfRegistryBackend::AddVolatileKeys(std::size_t index, Hive& hive) {
  if (mounts_[index].path == "Machine\\System") AddCurrentControlSet(hive);
  if (user_.ClassesHive && mounts_[index].path == "User\\" + user_.Sid) AddUserClassesLink(hive);
}

// A compacted copy must be a whole hive of its own, of the same hive, and need nothing from
// logs: it is read as the hive's file is, with the links Windows adds, so that it compares
// key for key with the tree it was written from.
void TRegfRegistryBackend::LoadHiveCopy(std::size_t index, const fs::path& copy, Hive& hive) {
  const TRegfLoadReport report = LoadRegfHive(copy, hive);
  if (report.writeRefusal || report.logsApplied)
    throw RegistryError(copy.string() + " is not a hive written whole; it is not put in place.");
  if (!rootNames_[index].empty() && hive.rootName != rootNames_[index])
    throw RegistryError(copy.string() + " holds the hive whose root is \"" + hive.rootName + "\", not " +
                        files_[index].file.filename().string() + " (\"" + rootNames_[index] + "\")");
  AddVolatileKeys(index, hive);
}

void TRegfRegistryBackend::LoadValues(const Hive& hive, Node& node) { LoadRegfValues(hive, node); }

namespace {

Node* AddVolatileLink(Node* parent, std::string_view name, const std::string& target) {
  bool created = false;
  Node* link = parent->FindOrAdd(name, created);
  link->isLink = true;
  if (!link->extra) link->extra = std::make_unique<regtree::KeyExtra>();
  link->extra->flags |= kKeyVolatile;
  link->values.push_back({"SymbolicLinkValue", REG_LINK, Utf8ToUtf16Le(target, false)});
  link->valuesReady = true;
  return link;
}

}  // namespace

void TRegfRegistryBackend::AddCurrentControlSet(Hive& hive) {
  Node* root = hive.root;
  if (root->Find("CurrentControlSet")) return;
  Node* select = root->Find("Select");
  if (!select) return;
  if (!select->valuesReady.load()) {
    LoadRegfValues(hive, *select);
    select->valuesReady = true;
  }
  const RegValue* current = select->FindValue("Current");
  if (!current || current->type != REG_DWORD || current->data.size() < 4) return;
  const std::uint32_t n = Get32(current->data.data());
  if (n == 0 || n > 999) return;
  char name[16];
  std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(n));
  if (!root->Find(name)) return;
  AddVolatileLink(root, "CurrentControlSet", std::string("\\Registry\\Machine\\System\\") + name);
}


// At logon Windows shows the user's classes hive as HKCU\Software\Classes.
void TRegfRegistryBackend::AddUserClassesLink(Hive& hive) {
  Node* software = hive.root->Find("Software");
  if (!software || software->Find("Classes")) return;
  AddVolatileLink(software, "Classes", "\\Registry\\User\\" + user_.Sid + "_Classes");
}

// Keys Windows makes at boot or logon (the links above) are not part of the file: they are
// taken out of the tree while it is written and put back after, failure or not. The store
// holds its exclusive lock around a commit, so no one sees the tree without them.
class TVolatileKeysAside {
 public:
  explicit TVolatileKeysAside(Node& root) {
    std::vector<Node*> pending{&root};
    while (!pending.empty()) {
      Node* n = pending.back();
      pending.pop_back();
      for (std::size_t i = n->children.size(); i-- > 0;) {
        Node* child = n->children[i].get();
        if (child->extra && (child->extra->flags & kKeyVolatile)) {
          aside_.push_back({n, i, std::move(n->children[i])});
          n->children.erase(n->children.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
          pending.push_back(child);
        }
      }
    }
  }
  ~TVolatileKeysAside() {
    // Back in the reverse order they were taken, so every index is where it was.
    for (auto it = aside_.rbegin(); it != aside_.rend(); ++it)
      it->parent->children.insert(it->parent->children.begin() + static_cast<std::ptrdiff_t>(it->index),
                                  std::move(it->node));
  }
  TVolatileKeysAside(const TVolatileKeysAside&) = delete;
  TVolatileKeysAside& operator=(const TVolatileKeysAside&) = delete;

 private:
  struct TAside {
    Node* parent;
    std::size_t index;
    std::unique_ptr<Node> node;
  };
  std::vector<TAside> aside_;
};

void TRegfRegistryBackend::StageHive(std::size_t index, const Hive& hive,
                                     const std::function<void(Node&)>& ensureValues) {
  TRegfWriteOptions options;
  options.now = regtree::NowFileTime();
  StageWith(index, [&](const std::function<bool(std::string_view)>& sink) {
    std::string file;
    {
      TVolatileKeysAside aside(*hive.root);
      file = WriteRegfHive(hive, ensureValues, options);
    }
    sink(file);
  });
}

void TRegfRegistryBackend::WriteHiveCopy(std::size_t, const Hive& hive, const std::function<void(Node&)>& ensureValues,
                                         const std::function<bool(std::string_view)>& sink) {
  TRegfWriteOptions options;
  options.now = regtree::NowFileTime();
  std::string file;
  {
    // The hive as Windows saves it: what Windows makes at boot is not part of it.
    TVolatileKeysAside aside(*hive.root);
    file = WriteRegfHive(hive, ensureValues, options);
  }
  sink(file);
}

void TRegfRegistryBackend::ForgetReplacedHive(std::size_t index) {
  const bool replaced = files_[index].published;
  TFileHiveBackend::ForgetReplacedHive(index);
  if (replaced) EmptyLogs(files_[index].file);
  std::lock_guard lock(reportMutex_);
  refusals_[index].reset();
  warnings_[index].clear();
}

// Each log is replaced by an empty file rather than truncated in place, so that a crash leaves
// the old log or an empty one. The new hive's sequence numbers are past every entry of the
// old logs, so Windows would not replay them even if one survived.
void TRegfRegistryBackend::EmptyLogs(const fs::path& hiveFile) {
  const std::string name = hiveFile.filename().string();
  for (const char* tail : {".LOG", ".LOG1", ".LOG2"}) {
    auto log = FindEntryNoCase(hiveFile.parent_path(), name + tail);
    if (!log) continue;
    auto stamp = env_->Stat(*log);
    if (!stamp || stamp->size == 0) continue;
    const fs::path tmp = log->parent_path() / ("." + log->filename().string() + ".kestrove-" +
                                               std::to_string(::getpid()) + ".tmp");
    std::string error;
    env_->Remove(tmp);
    auto file = env_->NewWritableFile(tmp, error);
    if (!file || !file->Sync() || !file->Close() || !env_->Rename(tmp, *log, error)) env_->Remove(tmp);
  }
}

namespace {

// A hive whose folder is reached through a link, or lies on another mount than the
// installation's own volume, is somebody else's file as far as writing goes.
std::optional<std::string> OutsideReason(const fs::path& root, const fs::path& file) {
  std::error_code ec;
  const fs::path realRoot = fs::canonical(root, ec);
  if (ec) return "The Windows installation at " + root.string() + " cannot be reached: " + ec.message() + ".";
  const fs::path realFolder = fs::canonical(file.parent_path(), ec);
  struct stat rootSt {}, folderSt {};
  const bool within = !ec && realFolder.lexically_relative(realRoot).native().rfind("..", 0) != 0 &&
                      realFolder.lexically_relative(realRoot) == fs::path(file.parent_path()).lexically_relative(root);
  if (!within || ::stat(realRoot.c_str(), &rootSt) != 0 || ::stat(realFolder.c_str(), &folderSt) != 0 ||
      rootSt.st_dev != folderSt.st_dev)
    return "The registry file " + file.string() + " lies outside the Windows installation at " + root.string() +
           " (through a link or on another mount): nothing is written there.";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> TRegfRegistryBackend::WriteBlockReason() {
  if (auto reason = OfflineWriteBlockReason(folder_, config_)) return reason;
  for (const TMount& m : mounts_)
    if (auto reason = OutsideReason(folder_, m.file)) return reason;
  std::lock_guard lock(reportMutex_);
  for (const auto& refusal : refusals_)
    if (refusal) return refusal;
  return std::nullopt;
}

std::vector<std::string> TRegfRegistryBackend::Warnings() {
  std::lock_guard lock(reportMutex_);
  std::vector<std::string> all;
  for (const auto& w : warnings_) all.insert(all.end(), w.begin(), w.end());
  return all;
}

}  // namespace kestrove::regf
