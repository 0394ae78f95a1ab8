// RegistryStore over a tree of hives: Wine's registry files, or memory only.
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <shared_mutex>

#include "platform/RegistryStore.h"
#include "platform/RegistryTree.h"
#include "platform/wine/WineHive.h"
#include "platform/wine/WineServer.h"

namespace kestrove {

using regtree::Hive;
using regtree::Node;
namespace fs = std::filesystem;

std::vector<std::string_view> SplitKeyPath(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\') {
      if (i > start) parts.push_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

std::size_t RegistryStore::TreeValueCount(TRootKey root, std::string_view path) {
  // Through the other calls, one full path at a time; HiveStore walks its nodes instead.
  std::size_t count = 0;
  std::vector<std::string> pending{std::string(path)};
  while (!pending.empty()) {
    const std::string key = std::move(pending.back());
    pending.pop_back();
    if (auto names = ValueNames(root, key)) count += names->size();
    if (auto subKeys = SubKeyNames(root, key)) {
      for (const std::string& name : *subKeys) {
        std::string child = key.empty() ? name : key + "\\" + name;
        if (!IsLink(root, child)) pending.push_back(std::move(child));
      }
    }
  }
  return count;
}

namespace {

constexpr int kMaxLinkDepth = 16;
constexpr std::size_t kMaxKeyNameLen = 255;  // UTF-16 units, as Windows allows

struct HiveSlot {
  Hive hive;
  fs::path file;  // empty: memory only
  std::string relativeTo;
  std::optional<FileStamp> stamp;
};

class HiveStore final : public RegistryStore {
 public:
  HiveStore(std::string sid, fs::path prefix, std::shared_ptr<Env> env)
      : sid_(std::move(sid)), prefix_(std::move(prefix)), env_(std::move(env)) {
    top_ = std::make_unique<Node>();
    bool created = false;
    machine_ = top_->FindOrAdd("Machine", created);
    users_ = top_->FindOrAdd("User", created);
    AddHive(machine_, "system.reg", "REGISTRY\\\\Machine");
    AddHive(users_->FindOrAdd(".Default", created), "userdef.reg", "REGISTRY\\\\User\\\\.Default");
    AddHive(users_->FindOrAdd(sid_, created), "user.reg", "REGISTRY\\\\User\\\\" + sid_);
  }

  void LoadAll() {
    std::unique_lock lock(mu_);
    for (auto& slot : slots_) Load(*slot);
  }

  bool KeyExists(TRootKey root, std::string_view path) override {
    std::shared_lock lock(mu_);
    return Resolve(root, path) != nullptr;
  }

  bool CreateKey(TRootKey root, std::string_view path) override {
    std::unique_lock lock(mu_);
    if (Node* n = Resolve(root, path)) return n != nullptr;
    if (!ValidPath(path)) return false;
    BeginWrite();
    Node* base = Base(root, true);
    return base && Walk(base, path, true, true) != nullptr;
  }

  std::optional<std::vector<std::string>> SubKeyNames(TRootKey root, std::string_view path) override {
    std::shared_lock lock(mu_);
    Node* n = Resolve(root, path);
    if (!n) return std::nullopt;
    std::vector<std::string> names;
    names.reserve(n->children.size());
    for (auto& c : n->children) names.push_back(c->name);
    return names;
  }

  std::optional<std::vector<std::string>> ValueNames(TRootKey root, std::string_view path) override {
    std::shared_lock lock(mu_);
    Node* n = Resolve(root, path);
    if (!n) return std::nullopt;
    EnsureValues(*n);
    std::vector<std::string> names;
    names.reserve(n->values.size());
    for (auto& v : n->values) names.push_back(v.name);
    return names;
  }

  std::optional<std::vector<RegValue>> Values(TRootKey root, std::string_view path) override {
    std::shared_lock lock(mu_);
    Node* n = Resolve(root, path);
    if (!n) return std::nullopt;
    EnsureValues(*n);
    return n->values;
  }

  std::optional<RegValue> QueryValue(TRootKey root, std::string_view path, std::string_view name) override {
    std::shared_lock lock(mu_);
    Node* n = Resolve(root, path);
    if (!n) return std::nullopt;
    EnsureValues(*n);
    if (RegValue* v = n->FindValue(name)) return *v;
    return std::nullopt;
  }

  std::optional<RegKeyInfo> QueryKeyInfo(TRootKey root, std::string_view path) override {
    std::shared_lock lock(mu_);
    Node* n = Resolve(root, path);
    if (!n) return std::nullopt;
    EnsureValues(*n);
    RegKeyInfo info;
    info.subKeyCount = n->children.size();
    for (auto& c : n->children) info.maxSubKeyLen = std::max(info.maxSubKeyLen, Utf16Length(c->name));
    info.valueCount = n->values.size();
    for (auto& v : n->values) {
      info.maxValueNameLen = std::max(info.maxValueNameLen, Utf16Length(v.name));
      info.maxDataLen = std::max(info.maxDataLen, v.data.size());
    }
    info.lastWriteTime = n->modif;
    return info;
  }

  bool SetValue(TRootKey root, std::string_view path, std::string_view name, std::uint32_t type,
                const Bytes& data) override {
    std::unique_lock lock(mu_);
    Node* n = Resolve(root, path);
    if (!n || !HiveOf(n)) return false;
    EnsureValues(*n);
    RegValue* v = n->FindValue(name);
    if (v && v->type == type && v->data == data) return true;  // nothing changes
    BeginWrite();
    n = Resolve(root, path);  // a reload may have replaced the tree
    if (!n) return false;
    EnsureValues(*n);
    v = n->FindValue(name);
    if (v) {
      v->type = type;
      v->data = data;
    } else {
      std::size_t at = 0;
      while (at < n->values.size() && CompareNames(n->values[at].name, name) < 0) ++at;
      n->values.insert(n->values.begin() + static_cast<std::ptrdiff_t>(at), RegValue{std::string(name), type, data});
    }
    Touch(*n);
    return true;
  }

  bool DeleteValue(TRootKey root, std::string_view path, std::string_view name) override {
    std::unique_lock lock(mu_);
    Node* n = Resolve(root, path);
    if (!n || !HiveOf(n)) return false;
    EnsureValues(*n);
    if (!n->FindValue(name)) return false;
    BeginWrite();
    n = Resolve(root, path);
    if (!n) return false;
    EnsureValues(*n);
    RegValue* v = n->FindValue(name);
    if (!v) return false;
    n->values.erase(n->values.begin() + (v - n->values.data()));
    Touch(*n);
    return true;
  }

  bool CanDeleteKey(TRootKey root, std::string_view path) override {
    std::shared_lock lock(mu_);
    auto parts = SplitKeyPath(path);
    if (parts.empty()) return false;
    Node* parent = Base(root, false);
    for (std::size_t i = 0; i + 1 < parts.size() && parent; ++i) parent = Step(parent, parts[i], false, true);
    if (!parent) return false;
    Node* victim = parent->Find(parts.back());
    return victim && !victim->hive && victim != machine_ && victim != users_ && HiveOf(parent);
  }

  bool DeleteKey(TRootKey root, std::string_view path) override {
    std::unique_lock lock(mu_);
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto parts = SplitKeyPath(path);
      if (parts.empty()) return false;
      Node* base = Base(root, false);
      if (!base) return false;
      Node* parent = base;
      for (std::size_t i = 0; i + 1 < parts.size() && parent; ++i) parent = Step(parent, parts[i], false, true);
      if (!parent) return false;
      Node* victim = parent->Find(parts.back());
      // Hive roots and the top keys are not ours to delete.
      if (!victim || victim->hive || victim == machine_ || victim == users_ || !HiveOf(parent)) return false;
      if (attempt == 0) {
        BeginWrite();
        continue;  // resolve again: a reload may have replaced the tree
      }
      parent->Remove(victim);
      Touch(*parent);
      return true;
    }
    return false;
  }

  bool CreateLink(TRootKey root, std::string_view path, std::string_view target) override {
    std::unique_lock lock(mu_);
    auto parts = SplitKeyPath(path);
    if (parts.empty() || !ValidPath(path)) return false;
    BeginWrite();
    Node* base = Base(root, true);
    Node* parent = base;
    for (std::size_t i = 0; i + 1 < parts.size() && parent; ++i) parent = Step(parent, parts[i], true, true);
    if (!parent || !HiveOf(parent) || parent->Find(parts.back())) return false;
    Node* link = Step(parent, parts.back(), true, false);
    link->isLink = true;
    Bytes data = Utf8ToUtf16Le(target, false);  // Wine stores the target without a final zero
    link->values.push_back(RegValue{"SymbolicLinkValue", REG_LINK, std::move(data)});
    Touch(*link);
    return true;
  }

  bool IsLink(TRootKey root, std::string_view path) override {
    std::shared_lock lock(mu_);
    auto parts = SplitKeyPath(path);
    Node* n = Base(root, false);
    for (std::size_t i = 0; i < parts.size() && n; ++i) n = Step(n, parts[i], false, i + 1 < parts.size());
    return n && n->isLink;
  }

  std::size_t TreeValueCount(TRootKey root, std::string_view path) override {
    std::shared_lock lock(mu_);
    Node* n = Resolve(root, path);
    if (!n) return 0;
    std::size_t count = 0;
    std::vector<Node*> pending{n};
    while (!pending.empty()) {
      Node* key = pending.back();
      pending.pop_back();
      EnsureValues(*key);
      count += key->values.size();
      for (auto& c : key->children)
        if (!c->isLink) pending.push_back(c.get());
    }
    return count;
  }

  std::optional<std::string> WriteBlockReason() override {
    if (prefix_.empty()) return std::nullopt;
    if (wine::RunningWineServer(prefix_)) return wine::WineRunningMessage(prefix_);
    return std::nullopt;
  }

  void Commit() override {
    std::unique_lock lock(mu_);
    for (auto& slot : slots_) {
      if (!slot->hive.dirty) continue;
      if (slot->file.empty()) {
        slot->hive.dirty = false;
        continue;
      }
      Save(*slot);
    }
    lock_.Release();
  }

  bool HasUncommittedChanges() override {
    std::shared_lock lock(mu_);
    for (auto& slot : slots_)
      if (slot->hive.dirty) return true;
    return false;
  }

  void Discard() override {
    std::unique_lock lock(mu_);
    for (auto& slot : slots_) {
      if (!slot->hive.dirty) continue;
      Clear(*slot->hive.root);
      slot->hive.dirty = false;
      if (!slot->file.empty()) Load(*slot);
    }
    lock_.Release();
  }

  std::string UserSid() override { return sid_; }
  std::string Describe() override { return prefix_.empty() ? std::string("memory") : prefix_.string(); }

 private:
  void AddHive(Node* root, const char* fileName, std::string relativeTo) {
    auto slot = std::make_unique<HiveSlot>();
    slot->hive.root = root;
    root->hive = &slot->hive;
    slot->relativeTo = std::move(relativeTo);
    if (!prefix_.empty()) slot->file = prefix_ / fileName;
    slot->hive.label = slot->file.empty() ? std::string(fileName) : slot->file.string();
    slot->hive.buffer = wine::NewHivePreamble(slot->relativeTo);
    slot->hive.preambleEnd = slot->hive.buffer.size();
    slot->hive.hasFile = !slot->file.empty();
    slots_.push_back(std::move(slot));
  }

  static void Clear(Node& root) {
    root.children.clear();
    root.values.clear();
    root.extra.reset();
    root.rawBegin = root.rawEnd = 0;
    root.dirty = false;
    root.isLink = false;
    root.valuesReady.store(true);
  }

  // Reads a hive's file; a missing file is an empty hive that the first commit creates.
  void Load(HiveSlot& slot) {
    Hive& hive = slot.hive;
    Clear(*hive.root);
    slot.stamp = env_->Stat(slot.file);
    if (!slot.stamp) {
      hive.buffer = wine::NewHivePreamble(slot.relativeTo);
      hive.preambleEnd = hive.buffer.size();
      return;
    }
    std::string error;
    auto data = env_->ReadFile(slot.file, kMaxHiveFileBytes, error);
    if (!data) throw RegistryError("Cannot read the registry file " + error);
    hive.buffer = std::move(*data);
    wine::ParseHive(hive);
  }

  void Save(HiveSlot& slot) {
    if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
    const fs::path tmp = slot.file.parent_path() / TempName(slot.file.filename().string(), ::getpid());
    auto fail = [&](const std::string& why) {
      env_->Remove(tmp);
      throw RegistryError("Could not save the registry file " + slot.file.string() + ": " + why +
                          ". The file was left as it was.");
    };
    env_->Remove(tmp);  // left over from a crash
    std::string error;
    auto file = env_->NewWritableFile(tmp, error);
    if (!file) fail(error);
    bool ok = true;
    wine::WriteHive(
        slot.hive,
        [&](std::string_view chunk) {
          if (ok && !file->Append(chunk)) ok = false;
        },
        [&](Node& n) { EnsureValues(n); });
    if (!ok || !file->Sync() || !file->Close()) fail(file->Error());
    // Wine may have started while we wrote: it would overwrite the file when it exits.
    if (auto reason = WriteBlockReason()) fail(*reason);
    if (!env_->Rename(tmp, slot.file, error)) fail(error);
    slot.stamp = env_->Stat(slot.file);
    slot.hive.dirty = false;
  }

  // Before the first change since the last commit: refuse while Wine runs, take the lock
  // that serialises Kestrove processes, and read again any hive another process changed.
  // Looking for Wine walks every process, so it is done once per run of changes (the lock is
  // held from the first change to the commit) and again around the commit's rename.
  void BeginWrite() {
    if (prefix_.empty() || lock_.Held()) return;
    if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
    std::string error;
    if (!lock_.Acquire(prefix_ / ".kestrove-registry.lock", std::chrono::seconds(10), error))
      throw RegistryError(error);
    RemoveStaleTempFiles();
    for (auto& slot : slots_) {
      if (slot->hive.dirty) continue;
      if (env_->Stat(slot->file) != slot->stamp) Load(*slot);
    }
  }

  // ".<hive>.kestrove-<pid>.tmp": a commit's new hive file before it is renamed into place.
  static std::string TempName(const std::string& hiveName, long pid) {
    return "." + hiveName + ".kestrove-" + std::to_string(pid) + ".tmp";
  }

  static bool IsTempName(std::string_view name, std::string_view hiveName) {
    const std::string head = "." + std::string(hiveName) + ".kestrove-";
    constexpr std::string_view tail = ".tmp";
    if (name.size() <= head.size() + tail.size() || !name.starts_with(head) || !name.ends_with(tail)) return false;
    const std::string_view pid = name.substr(head.size(), name.size() - head.size() - tail.size());
    return pid.find_first_not_of("0123456789") == std::string_view::npos;
  }

  // A commit killed between writing its temporary file and the rename leaves the file behind.
  // Temporary files are only written while the lock is held, so with the lock in our hands
  // every one of them is an orphan, whichever process made it.
  void RemoveStaleTempFiles() {
    std::error_code ec;
    for (fs::directory_iterator it(prefix_, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      for (const auto& slot : slots_) {
        if (IsTempName(name, slot->file.filename().string())) {
          env_->Remove(it->path());
          break;
        }
      }
    }
  }

  static bool ValidPath(std::string_view path) {
    for (auto part : SplitKeyPath(path))
      if (Utf16Length(part) > kMaxKeyNameLen) return false;
    return true;
  }

  Hive* HiveOf(Node* n) const {
    for (; n; n = n->parent)
      if (n->hive) return n->hive;
    return nullptr;
  }

  void Touch(Node& n) {
    n.dirty = true;
    n.modif = regtree::NowFileTime();
    if (Hive* h = HiveOf(&n)) h->dirty = true;
  }

  void EnsureValues(Node& n) {
    if (n.valuesReady.load(std::memory_order_acquire)) return;
    std::lock_guard guard(lazyMu_);
    if (n.valuesReady.load(std::memory_order_relaxed)) return;
    Hive* h = HiveOf(&n);
    if (h) wine::LoadValues(*h, n);
    n.valuesReady.store(true, std::memory_order_release);
  }

  Node* FollowLink(Node* n, int depth) {
    while (n && n->isLink) {
      if (depth++ > kMaxLinkDepth) return nullptr;
      EnsureValues(*n);
      RegValue* v = n->FindValue("SymbolicLinkValue");
      if (!v || v->type != REG_LINK) return n;  // a link without target acts as a plain key
      std::string target = Utf16LeToUtf8(v->data);
      while (!target.empty() && target.back() == '\0') target.pop_back();
      auto parts = SplitKeyPath(target);
      if (parts.empty() || !SameName(parts[0], "Registry")) return nullptr;
      Node* t = top_.get();
      for (std::size_t i = 1; i < parts.size() && t; ++i) {
        t = t->Find(parts[i]);
        if (t && t->isLink) t = FollowLink(t, depth);
      }
      n = t;
    }
    return n;
  }

  // One step down; creates the child when asked. Links are followed when `follow`.
  Node* Step(Node* n, std::string_view name, bool create, bool follow) {
    Node* child = n->Find(name);
    if (!child) {
      if (!create || !HiveOf(n)) return nullptr;
      bool created = false;
      child = n->FindOrAdd(name, created);
      child->modif = regtree::NowFileTime();
      child->dirty = true;
      Touch(*n);
    }
    if (follow && child->isLink) child = FollowLink(child, 0);
    return child;
  }

  Node* Walk(Node* base, std::string_view path, bool create, bool followLast) {
    auto parts = SplitKeyPath(path);
    Node* n = base;
    for (std::size_t i = 0; i < parts.size() && n; ++i)
      n = Step(n, parts[i], create, followLast || i + 1 < parts.size());
    return n;
  }

  Node* Base(TRootKey root, bool create) {
    switch (root) {
      case TRootKey::LocalMachine: return machine_;
      case TRootKey::Users: return users_;
      case TRootKey::CurrentUser: return users_->Find(sid_);
      // Wine's HKEY_CLASSES_ROOT is exactly HKLM\Software\Classes.
      case TRootKey::ClassesRoot: return Walk(machine_, "Software\\Classes", create, true);
      case TRootKey::CurrentConfig:
        return Walk(machine_, "System\\CurrentControlSet\\Hardware Profiles\\Current", create, true);
      default: return nullptr;
    }
  }

  Node* Resolve(TRootKey root, std::string_view path) {
    Node* base = Base(root, false);
    return base ? Walk(base, path, false, true) : nullptr;
  }

  std::shared_mutex mu_;
  std::mutex lazyMu_;
  std::string sid_;
  fs::path prefix_;
  std::shared_ptr<Env> env_;
  std::unique_ptr<Node> top_;
  Node* machine_ = nullptr;
  Node* users_ = nullptr;
  std::vector<std::unique_ptr<HiveSlot>> slots_;
  wine::AdvisoryLock lock_;
};

// The user's SID, from the line ";; All keys relative to REGISTRY\\User\\S-..." of user.reg.
std::string UserSidOf(const fs::path& userReg, Env& env) {
  std::string error;
  auto data = env.ReadFile(userReg, kMaxHiveFileBytes, error);
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

}  // namespace

std::unique_ptr<RegistryStore> RegistryStore::CreateInMemory(std::string userSid) {
  return std::make_unique<HiveStore>(std::move(userSid), fs::path(), Env::Default());
}

std::unique_ptr<RegistryStore> RegistryStore::OpenWinePrefix(const fs::path& prefix, std::shared_ptr<Env> env) {
  auto store = std::make_unique<HiveStore>(UserSidOf(prefix / "user.reg", *env), prefix, env);
  store->LoadAll();
  return store;
}

}  // namespace kestrove
