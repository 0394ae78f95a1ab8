// The key tree shared by every kind of target; the hives' files are the backend's.
#include "platform/HiveStore.h"

#include <algorithm>
#include <exception>

namespace kestrove {

using regtree::Hive;
using regtree::Node;

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
  // Through the other calls, one full path at a time; THiveStore walks its nodes instead.
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

// A key of the walk through the other calls: its values asked of the store by path.
class TPathWalkedKey final : public TWalkedKey {
 public:
  TPathWalkedKey(RegistryStore& store, TRootKey root) : store_(store), root_(root) {}
  void Reset(std::string_view path, int depth) {
    path_ = path;
    depth_ = depth;
    read_ = false;
    values_.reset();
  }
  const std::vector<RegValue>* Values() override {
    if (!read_) {
      values_ = store_.Values(root_, path_);
      read_ = true;
    }
    return values_ ? &*values_ : nullptr;
  }
  std::size_t SubKeyCount() override {
    auto info = store_.QueryKeyInfo(root_, path_);
    return info ? info->subKeyCount : 0;
  }

 private:
  RegistryStore& store_;
  const TRootKey root_;
  bool read_ = false;
  std::optional<std::vector<RegValue>> values_;
};

}  // namespace

void RegistryStore::WalkTree(TRootKey root, std::string_view path, const WalkVisitor& visit) {
  if (!KeyExists(root, path)) return;
  TPathWalkedKey key(*this, root);
  // Keys still to show, the next one last.
  std::vector<std::pair<std::string, int>> pending;
  pending.emplace_back(std::string(path), 0);
  while (!pending.empty()) {
    auto [keyPath, depth] = std::move(pending.back());
    pending.pop_back();
    if (depth > 0 && IsLink(root, keyPath)) continue;
    key.Reset(keyPath, depth);
    const TWalkStep step = visit(key);
    if (step == TWalkStep::Stop) return;
    if (step == TWalkStep::Skip) continue;
    auto names = SubKeyNames(root, keyPath);
    if (!names) continue;
    for (auto it = names->rbegin(); it != names->rend(); ++it)
      pending.emplace_back(keyPath.empty() ? *it : keyPath + "\\" + *it, depth + 1);
  }
}

namespace {

constexpr int kMaxLinkDepth = 16;
constexpr std::size_t kMaxKeyNameLen = 255;  // UTF-16 units, as Windows allows

bool ValidPath(std::string_view path) {
  for (auto part : SplitKeyPath(path))
    if (Utf16Length(part) > kMaxKeyNameLen) return false;
  return true;
}

Hive* HiveOf(Node* n) {
  for (; n; n = n->parent)
    if (n->hive) return n->hive;
  return nullptr;
}

}  // namespace

THiveStore::THiveStore(std::unique_ptr<IHiveBackend> backend) : backend_(std::move(backend)) {
  sid_ = backend_->UserSid();
  top_ = std::make_unique<Node>();
  bool created = false;
  machine_ = top_->FindOrAdd("Machine", created);
  users_ = top_->FindOrAdd("User", created);
  const std::string overlay = backend_->ClassesOverlay();
  for (THiveMount& mount : backend_->Mounts()) {
    Node* root = top_.get();
    for (std::string_view part : SplitKeyPath(mount.path)) root = root->FindOrAdd(part, created);
    auto hive = std::make_unique<Hive>();
    hive->root = root;
    hive->label = std::move(mount.label);
    root->hive = hive.get();
    hives_.push_back(std::move(hive));
    mounts_.push_back(mount.path);
    if (!overlay.empty() && SameName(mount.path, overlay)) userClasses_ = root;
  }
  std::unique_lock lock(mu_);
  backend_->RecoverInterruptedCommit();
  for (std::size_t i = 0; i < hives_.size(); ++i) Load(i);
}

bool THiveStore::KeyExists(TRootKey root, std::string_view path) {
  std::shared_lock lock(mu_);
  return Resolve(root, path) != nullptr;
}

bool THiveStore::CreateKey(TRootKey root, std::string_view path) {
  std::unique_lock lock(mu_);
  if (Node* n = Resolve(root, path)) return n != nullptr;
  if (!ValidPath(path)) return false;
  BeginWrite();
  Node* base = Base(root, true);
  return base && Walk(base, path, true, true) != nullptr;
}

std::optional<std::vector<std::string>> THiveStore::SubKeyNames(TRootKey root, std::string_view path) {
  std::shared_lock lock(mu_);
  std::vector<Node*> found;
  for (Node* base : Bases(root))
    if (Node* n = Walk(base, path, false, true)) found.push_back(n);
  if (found.empty()) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(found[0]->children.size());
  for (auto& c : found[0]->children) names.push_back(c->name);
  if (found.size() > 1) {
    // The merged view: both lists are in name order, a name in both is listed once.
    std::vector<std::string> merged;
    std::size_t a = 0, b = 0;
    const auto& more = found[1]->children;
    while (a < names.size() || b < more.size()) {
      const int order = a == names.size() ? 1 : b == more.size() ? -1 : CompareNames(names[a], more[b]->name);
      if (order <= 0) merged.push_back(std::move(names[a++]));
      if (order >= 0) {
        if (order > 0) merged.push_back(more[b]->name);
        ++b;
      }
    }
    names = std::move(merged);
  }
  return names;
}

std::optional<std::vector<std::string>> THiveStore::ValueNames(TRootKey root, std::string_view path) {
  std::shared_lock lock(mu_);
  Node* n = Resolve(root, path);
  if (!n) return std::nullopt;
  EnsureValues(*n);
  std::vector<std::string> names;
  names.reserve(n->values.size());
  for (auto& v : n->values) names.push_back(v.name);
  return names;
}

std::optional<std::vector<RegValue>> THiveStore::Values(TRootKey root, std::string_view path) {
  std::shared_lock lock(mu_);
  Node* n = Resolve(root, path);
  if (!n) return std::nullopt;
  if (!n->valuesReady.load(std::memory_order_acquire)) {
    // All of an unread key's values are read straight from the file's text and not kept:
    // a walk over every key (the scan) would otherwise hold the whole hive's values in the
    // tree, besides the text they come from.
    if (Hive* h = HiveOf(n)) {
      Node scratch;
      scratch.rawBegin = n->rawBegin;
      scratch.rawEnd = n->rawEnd;
      std::lock_guard guard(lazyMu_);
      backend_->LoadValues(*h, scratch);
      return std::move(scratch.values);
    }
  }
  EnsureValues(*n);
  return n->values;
}

std::optional<RegValue> THiveStore::QueryValue(TRootKey root, std::string_view path, std::string_view name) {
  std::shared_lock lock(mu_);
  Node* n = Resolve(root, path);
  if (!n) return std::nullopt;
  EnsureValues(*n);
  if (RegValue* v = n->FindValue(name)) return *v;
  return std::nullopt;
}

std::optional<RegKeyInfo> THiveStore::QueryKeyInfo(TRootKey root, std::string_view path) {
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

bool THiveStore::SetValue(TRootKey root, std::string_view path, std::string_view name, std::uint32_t type,
                          const Bytes& data) {
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

bool THiveStore::DeleteValue(TRootKey root, std::string_view path, std::string_view name) {
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

// The key `path` below `base` and its parent, when the key may be deleted: hive roots and the
// top keys are not ours to delete.
std::pair<Node*, Node*> THiveStore::Deletable(Node* base, std::string_view path) {
  auto parts = SplitKeyPath(path);
  if (parts.empty() || !base) return {nullptr, nullptr};
  Node* parent = base;
  for (std::size_t i = 0; i + 1 < parts.size() && parent; ++i) parent = Step(parent, parts[i], false, true);
  if (!parent) return {nullptr, nullptr};
  Node* victim = parent->Find(parts.back());
  if (!victim || victim->hive || victim == machine_ || victim == users_ || !HiveOf(parent)) return {nullptr, nullptr};
  return {parent, victim};
}

bool THiveStore::CanDeleteKey(TRootKey root, std::string_view path) {
  std::shared_lock lock(mu_);
  for (Node* base : Bases(root))
    if (Deletable(base, path).second) return true;
  return false;
}

// In a merged view the key goes from every hive that has it, or it would still be seen.
bool THiveStore::DeleteKey(TRootKey root, std::string_view path) {
  std::unique_lock lock(mu_);
  bool any = false;
  for (Node* base : Bases(root)) any = any || Deletable(base, path).second;
  if (!any) return false;
  BeginWrite();
  bool deleted = false;
  // Resolved again: a reload may have replaced the tree.
  for (Node* base : Bases(root)) {
    auto [parent, victim] = Deletable(base, path);
    if (!victim) continue;
    parent->Remove(victim);
    Touch(*parent);
    deleted = true;
  }
  return deleted;
}

bool THiveStore::CreateLink(TRootKey root, std::string_view path, std::string_view target) {
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
  Bytes data = Utf8ToUtf16Le(target, false);  // link targets are kept without a final zero
  link->values.push_back(RegValue{"SymbolicLinkValue", REG_LINK, std::move(data)});
  Touch(*link);
  return true;
}

bool THiveStore::IsLink(TRootKey root, std::string_view path) {
  std::shared_lock lock(mu_);
  auto parts = SplitKeyPath(path);
  for (Node* n : Bases(root)) {
    for (std::size_t i = 0; i < parts.size() && n; ++i) n = Step(n, parts[i], false, i + 1 < parts.size());
    if (n) return n->isLink;
  }
  return false;
}

std::size_t THiveStore::TreeValueCount(TRootKey root, std::string_view path) {
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

void THiveStore::WalkTree(TRootKey root, std::string_view path, const WalkVisitor& visit) {
  // The key shown to the visitor: its node, and its values read when asked, as Values()
  // reads them: an unread key's values come straight from its hive's text into a scratch key
  // (reused from key to key) and are not kept.
  class NodeKey final : public TWalkedKey {
   public:
    explicit NodeKey(THiveStore& store) : store_(store) {}
    void Reset(std::string_view path, int depth, Node* node, Hive* hive) {
      path_ = path;
      depth_ = depth;
      node_ = node;
      hive_ = hive;
      values_ = nullptr;
      read_ = false;
    }
    const std::vector<RegValue>* Values() override {
      if (read_) return values_;
      read_ = true;
      values_ = &node_->values;
      if (!node_->valuesReady.load(std::memory_order_acquire)) {
        if (hive_) {
          scratch_.values.clear();
          scratch_.rawBegin = node_->rawBegin;
          scratch_.rawEnd = node_->rawEnd;
          std::lock_guard guard(store_.lazyMu_);
          store_.backend_->LoadValues(*hive_, scratch_);
          values_ = &scratch_.values;
        } else {
          store_.EnsureValues(*node_);
        }
      }
      return values_;
    }
    std::size_t SubKeyCount() override { return node_->children.size(); }

   private:
    THiveStore& store_;
    Node* node_ = nullptr;
    Hive* hive_ = nullptr;
    const std::vector<RegValue>* values_ = nullptr;
    bool read_ = false;
    Node scratch_;
  };

  // A key whose subkeys are being shown: where it is found below each base, in the order of
  // Bases() (the first is the one Values() reads; the subkeys are those of both, merged as
  // SubKeyNames merges them), their hives (found once, not from every key up), and how far
  // each list of subkeys has been shown.
  struct Frame {
    Node* nodes[2] = {nullptr, nullptr};
    Hive* hives[2] = {nullptr, nullptr};
    std::size_t next[2] = {0, 0};
    std::size_t pathSize = 0;
    int depth = 0;
  };

  std::shared_lock lock(mu_);
  Frame start;
  std::size_t found = 0;
  for (Node* base : Bases(root)) {
    if (Node* n = Walk(base, path, false, true); n && found < 2) {
      start.hives[found] = HiveOf(n);
      start.nodes[found++] = n;
    }
  }
  if (found == 0) return;
  std::string keyPath(path);
  NodeKey key(*this);
  key.Reset(keyPath, 0, start.nodes[0], start.hives[0]);
  if (visit(key) != TWalkStep::Enter) return;
  start.pathSize = keyPath.size();
  std::vector<Frame> stack{start};
  while (!stack.empty()) {
    Frame& f = stack.back();
    // The next subkey in the merged order; a name both lists hold is shown once, as the
    // first list's key.
    Node* child = nullptr;
    Node* also = nullptr;
    Hive* childHive = f.hives[0];
    Hive* alsoHive = f.hives[1];
    const auto& first = f.nodes[0]->children;
    if (!f.nodes[1]) {
      if (f.next[0] < first.size()) child = first[f.next[0]++].get();
    } else {
      const auto& second = f.nodes[1]->children;
      const bool hasFirst = f.next[0] < first.size(), hasSecond = f.next[1] < second.size();
      if (hasFirst || hasSecond) {
        const int order = !hasFirst    ? 1
                          : !hasSecond ? -1
                                       : CompareNames(first[f.next[0]]->name, second[f.next[1]]->name);
        if (order <= 0) child = first[f.next[0]++].get();
        if (order >= 0) {
          (order > 0 ? child : also) = second[f.next[1]].get();
          if (order > 0) childHive = f.hives[1];
          ++f.next[1];
        }
      }
    }
    if (!child) {
      stack.pop_back();
      continue;
    }
    // IsLink answers for the key Values() would read; the walk never enters a link.
    if (child->isLink) continue;
    // SubKeyNames follows a link at the end of a path, in whichever list it is.
    if (also && also->isLink) {
      also = FollowLink(also, 0);
      alsoHive = also ? HiveOf(also) : nullptr;
    }
    if (child->hive) childHive = child->hive;
    if (also && also->hive) alsoHive = also->hive;
    keyPath.resize(f.pathSize);
    if (!keyPath.empty()) keyPath += '\\';
    keyPath += child->name;
    const int depth = f.depth + 1;
    key.Reset(keyPath, depth, child, childHive);
    const TWalkStep step = visit(key);
    if (step == TWalkStep::Stop) return;
    if (step == TWalkStep::Skip) continue;
    Frame below;
    below.nodes[0] = child;
    below.nodes[1] = also;
    below.hives[0] = childHive;
    below.hives[1] = alsoHive;
    below.pathSize = keyPath.size();
    below.depth = depth;
    stack.push_back(below);  // `f` is not used after this
  }
}

std::optional<std::string> THiveStore::WriteBlockReason() { return backend_->WriteBlockReason(); }

void THiveStore::Commit() {
  std::unique_lock lock(mu_);
  // Every changed hive is written out before any replaces its file: a change that spans
  // hives (an imported file with machine and user keys) must not land half.
  std::vector<std::size_t> staged;
  try {
    for (std::size_t i = 0; i < hives_.size(); ++i) {
      if (!hives_[i]->dirty) continue;
      backend_->StageHive(i, *hives_[i], [&](Node& n) { EnsureValues(n); });
      staged.push_back(i);
    }
  } catch (...) {
    for (std::size_t i : staged) backend_->DropStagedHive(i);
    throw;
  }
  PublishStaged(staged);
  for (std::size_t i : staged) hives_[i]->dirty = false;
  EndWrite();
}

void THiveStore::PublishStaged(const std::vector<std::size_t>& staged) {
  if (staged.empty()) return;
  try {
    backend_->BeginPublish(staged);
  } catch (...) {
    for (std::size_t i : staged) backend_->DropStagedHive(i);
    throw;
  }
  for (std::size_t k = 0; k < staged.size(); ++k) {
    try {
      backend_->PublishHive(staged[k]);
    } catch (...) {
      for (std::size_t rest = k + 1; rest < staged.size(); ++rest) backend_->DropStagedHive(staged[rest]);
      // Hives already replaced get their old files back: the commit lands whole or not at all.
      for (std::size_t done = 0; done < k; ++done) backend_->UnpublishHive(staged[done]);
      backend_->EndPublish();
      throw;
    }
  }
  for (std::size_t i : staged) backend_->ForgetReplacedHive(i);
  backend_->EndPublish();
}

bool THiveStore::HasUncommittedChanges() {
  std::shared_lock lock(mu_);
  for (auto& hive : hives_)
    if (hive->dirty) return true;
  return false;
}

void THiveStore::Discard() {
  std::unique_lock lock(mu_);
  for (std::size_t i = 0; i < hives_.size(); ++i) {
    if (!hives_[i]->dirty) continue;
    hives_[i]->dirty = false;
    Load(i);
  }
  EndWrite();
}

void RegistryStore::WithHiveFiles(const HiveFilesFn&) {
  throw RegistryError("The registry of " + Describe() + " has no files.");
}

void RegistryStore::ReplaceHiveFiles(const THiveReplacement&) {
  throw RegistryError("The registry of " + Describe() + " has no files.");
}

std::optional<std::string> RegistryStore::CanonicalKeyPath(TRootKey root, std::string_view path) {
  if (!KeyExists(root, path)) return std::nullopt;
  std::string out = "Root" + std::to_string(static_cast<long long>(root));
  for (std::string_view part : SplitKeyPath(path)) out += "\\" + std::string(part);
  return out;
}

// Under the store's exclusive lock no commit of this process runs, and the backend's write
// session keeps other Kestrove processes out; a session already open for uncommitted changes
// is that same right, kept.
void THiveStore::WithHiveFiles(const HiveFilesFn& fn) {
  std::unique_lock lock(mu_);
  const std::vector<std::filesystem::path> files = backend_->HiveFiles();
  if (files.empty()) throw RegistryError("The registry of " + backend_->Describe() + " has no files.");
  const bool wasWriting = writing_;
  if (!wasWriting) backend_->BeginWriteSession();
  try {
    fn(files);
  } catch (...) {
    if (!wasWriting) backend_->EndWriteSession();
    throw;
  }
  if (!wasWriting) backend_->EndWriteSession();
}

void THiveStore::ReplaceHiveFiles(const THiveReplacement& replacement) {
  std::unique_lock lock(mu_);
  const std::vector<std::filesystem::path> files = backend_->HiveFiles();
  if (files.empty()) throw RegistryError("The registry of " + backend_->Describe() + " has no files.");
  if (!writing_) {
    backend_->BeginWriteSession();
    writing_ = true;
  }
  std::vector<std::size_t> staged;
  try {
    // The files as they are now are the ones a replaced file must still be when it goes.
    for (std::size_t i = 0; i < hives_.size(); ++i)
      if (backend_->HiveChanged(i)) Reload(i);
    const std::vector<std::optional<std::string>> contents = replacement.read(files);
    for (std::size_t i = 0; i < contents.size() && i < files.size(); ++i)
      if (contents[i]) backend_->CheckHiveData(i, *contents[i], files[i].filename().string());
    if (replacement.beforeReplace) replacement.beforeReplace(files);
    for (std::size_t i = 0; i < contents.size() && i < files.size(); ++i) {
      if (!contents[i]) continue;
      backend_->StageHiveData(i, *contents[i]);
      staged.push_back(i);
    }
  } catch (...) {
    for (std::size_t i : staged) backend_->DropStagedHive(i);
    try {
      ReloadAll();
    } catch (...) {
    }
    throw;
  }
  try {
    PublishStaged(staged);
  } catch (...) {
    try {
      ReloadAll();
    } catch (...) {
    }
    throw;
  }
  ++view_;
  ReloadAll();
}

// ---- Compacting hives

FileStamp RegistryStore::SaveHiveCopy(std::size_t, const std::filesystem::path&) {
  throw RegistryError("The registry of " + Describe() + " has no files.");
}

std::vector<std::string> RegistryStore::InstallHiveCopies(const std::vector<std::optional<THiveCopy>>&,
                                                          const HiveFilesFn&) {
  throw RegistryError("The registry of " + Describe() + " has no files.");
}

std::vector<RegistryStore::THiveFileInfo> THiveStore::HiveFileTable() {
  std::shared_lock lock(mu_);
  const std::vector<std::filesystem::path> files = backend_->HiveFiles();
  std::vector<THiveFileInfo> table;
  for (std::size_t i = 0; i < files.size() && i < mounts_.size(); ++i) table.push_back({mounts_[i], files[i]});
  return table;
}

// Under the write session, so that no other Kestrove process replaces the file while its
// tree is written out, and on the file as it is now.
FileStamp THiveStore::SaveHiveCopy(std::size_t index, const std::filesystem::path& target) {
  std::unique_lock lock(mu_);
  if (index >= hives_.size()) throw RegistryError("The registry of " + backend_->Describe() + " has no such hive.");
  if (hives_[index]->dirty)
    throw RegistryError("The registry hive " + hives_[index]->label + " has changes not saved yet.");
  const bool wasWriting = writing_;
  if (!wasWriting) backend_->BeginWriteSession();
  try {
    if (backend_->HiveChanged(index)) Reload(index);
    backend_->SaveHiveCopy(index, *hives_[index], [&](Node& n) { EnsureValues(n); }, target);
  } catch (...) {
    if (!wasWriting) backend_->EndWriteSession();
    throw;
  }
  const std::optional<FileStamp> stamp = backend_->LoadedStamp(index);
  if (!wasWriting) backend_->EndWriteSession();
  if (!stamp) throw RegistryError("The registry hive " + hives_[index]->label + " has no file.");
  return *stamp;
}

namespace {

// The values of a key of `hive`, read into `scratch` when the key's own are not read yet, so
// that comparing two whole hives does not keep every value of both in memory.
const std::vector<RegValue>& ValuesOf(IHiveBackend& backend, const Hive& hive, Node& node, Node& scratch) {
  if (node.valuesReady.load(std::memory_order_acquire)) return node.values;
  scratch.values.clear();
  scratch.rawBegin = node.rawBegin;
  scratch.rawEnd = node.rawEnd;
  backend.LoadValues(hive, scratch);
  return scratch.values;
}

// Where two hives first differ in their keys, classes or values, or "" when they hold the
// same. Walks without recursion: keys may be nested as deep as a file allows.
std::string FirstDifference(IHiveBackend& backend, const Hive& liveHive, Node& live, const Hive& copyHive,
                            Node& copy, std::mutex& lazyMu) {
  struct Pair {
    Node* a;
    Node* b;
    std::string path;
  };
  std::vector<Pair> pending{{&live, &copy, ""}};
  Node scratchA, scratchB;
  while (!pending.empty()) {
    Pair p = std::move(pending.back());
    pending.pop_back();
    const std::string where = p.path.empty() ? "the hive's root key" : "the key " + p.path;
    if (p.a->children.size() != p.b->children.size()) return where + " has another number of subkeys";
    const std::optional<std::string>* classA = p.a->Class();
    const std::optional<std::string>* classB = p.b->Class();
    const std::optional<std::string> none;
    if ((classA ? *classA : none) != (classB ? *classB : none)) return where + " has another class";
    if (p.a->isLink != p.b->isLink) return where + " differs in being a link";
    {
      std::lock_guard guard(lazyMu);
      const std::vector<RegValue>& va = ValuesOf(backend, liveHive, *p.a, scratchA);
      const std::vector<RegValue>& vb = ValuesOf(backend, copyHive, *p.b, scratchB);
      if (va.size() != vb.size()) return where + " has another number of values";
      for (std::size_t i = 0; i < va.size(); ++i)
        if (va[i].name != vb[i].name || va[i].type != vb[i].type || va[i].data != vb[i].data)
          return where + " has another value " + (va[i].name.empty() ? "(Default)" : "\"" + va[i].name + "\"");
    }
    for (std::size_t i = 0; i < p.a->children.size(); ++i) {
      Node* ca = p.a->children[i].get();
      Node* cb = p.b->children[i].get();
      if (ca->name != cb->name) return where + " has another subkey (" + ca->name + ", " + cb->name + ")";
      pending.push_back({ca, cb, p.path.empty() ? ca->name : p.path + "\\" + ca->name});
    }
  }
  return "";
}

}  // namespace

std::vector<std::string> THiveStore::InstallHiveCopies(const std::vector<std::optional<THiveCopy>>& copies,
                                                       const HiveFilesFn& beforeReplace) {
  std::unique_lock lock(mu_);
  const std::vector<std::filesystem::path> files = backend_->HiveFiles();
  if (files.empty()) throw RegistryError("The registry of " + backend_->Describe() + " has no files.");
  if (!writing_) {
    backend_->BeginWriteSession();
    writing_ = true;
  }
  std::vector<std::string> failures(files.size());
  std::vector<std::size_t> chosen;
  std::vector<std::size_t> staged;
  try {
    for (std::size_t i = 0; i < hives_.size(); ++i)
      if (backend_->HiveChanged(i)) Reload(i);
    for (std::size_t i = 0; i < copies.size() && i < files.size(); ++i) {
      if (!copies[i]) continue;
      const THiveCopy& c = *copies[i];
      if (backend_->LoadedStamp(i) != std::optional<FileStamp>(c.madeFrom) || hives_[i]->dirty) {
        failures[i] = files[i].string() + " was changed since its copy was made";
        continue;
      }
      Node copyRoot;
      Hive copyHive;
      copyHive.root = &copyRoot;
      copyHive.label = c.copy.string();
      try {
        backend_->LoadHiveCopy(i, c.copy, copyHive);
      } catch (const RegistryError& e) {
        failures[i] = e.what();
        continue;
      }
      const std::string diff = FirstDifference(*backend_, *hives_[i], *hives_[i]->root, copyHive, copyRoot, lazyMu_);
      if (!diff.empty()) {
        failures[i] = c.copy.string() + " does not hold what " + files[i].string() + " holds: " + diff;
        continue;
      }
      chosen.push_back(i);
    }
    if (!chosen.empty()) {
      std::vector<std::filesystem::path> replaced;
      for (std::size_t i : chosen) replaced.push_back(files[i]);
      if (beforeReplace) beforeReplace(replaced);
      for (std::size_t i : chosen) {
        backend_->StageHiveCopy(i, copies[i]->copy);
        staged.push_back(i);
      }
    }
  } catch (...) {
    for (std::size_t i : staged) backend_->DropStagedHive(i);
    try {
      ReloadAll();
    } catch (...) {
    }
    throw;
  }
  try {
    PublishStaged(staged);
  } catch (...) {
    try {
      ReloadAll();
    } catch (...) {
    }
    throw;
  }
  if (!staged.empty()) ++view_;
  ReloadAll();
  return failures;
}

// Whatever was replaced, the tree must be what the files now hold. A hive that cannot be read
// is left empty and its error reported once the write session is let go.
void THiveStore::ReloadAll() {
  std::exception_ptr failed;
  for (std::size_t i = 0; i < hives_.size(); ++i) {
    hives_[i]->dirty = false;
    try {
      Reload(i);
    } catch (...) {
      if (!failed) failed = std::current_exception();
    }
  }
  EndWrite();
  if (failed) std::rethrow_exception(failed);
}

std::uint64_t THiveStore::View() {
  std::shared_lock lock(mu_);
  return view_;
}

std::uint64_t THiveStore::Refresh() {
  std::unique_lock lock(mu_);
  if (!writing_) {
    for (std::size_t i = 0; i < hives_.size(); ++i)
      if (!hives_[i]->dirty && backend_->HiveChanged(i)) Reload(i);
  }
  return view_;
}

std::uint64_t THiveStore::BeginChanges() {
  std::unique_lock lock(mu_);
  BeginWrite();
  return view_;
}

std::optional<std::string> THiveStore::CanonicalKeyPath(TRootKey root, std::string_view path) {
  std::shared_lock lock(mu_);
  Node* n = Resolve(root, path);
  if (!n) return std::nullopt;
  std::vector<const Node*> way;
  for (const Node* p = n; p && p != top_.get(); p = p->parent) way.push_back(p);
  std::string out;
  for (auto it = way.rbegin(); it != way.rend(); ++it) {
    if (!out.empty()) out += '\\';
    out += (*it)->name;
  }
  return out;
}

void THiveStore::Load(std::size_t index) {
  Hive& hive = *hives_[index];
  hive.root->Clear();
  backend_->LoadHive(index, hive);
}

void THiveStore::Reload(std::size_t index) {
  ++view_;
  Load(index);
}

// Before the first change since the last commit: the backend refuses or waits for its right
// to write, and any hive another process changed meanwhile is read again, so the change is
// made on what is on disk now. The session lasts until the commit, so this is done once per
// run of changes.
void THiveStore::BeginWrite() {
  if (writing_) return;
  backend_->BeginWriteSession();
  writing_ = true;
  for (std::size_t i = 0; i < hives_.size(); ++i) {
    if (hives_[i]->dirty) continue;
    if (backend_->HiveChanged(i)) Reload(i);
  }
}

void THiveStore::EndWrite() {
  if (!writing_) return;
  writing_ = false;
  backend_->EndWriteSession();
}

void THiveStore::Touch(Node& n) {
  n.dirty = true;
  n.modif = regtree::NowFileTime();
  if (Hive* h = HiveOf(&n)) h->dirty = true;
}

void THiveStore::EnsureValues(Node& n) {
  if (n.valuesReady.load(std::memory_order_acquire)) return;
  std::lock_guard guard(lazyMu_);
  if (n.valuesReady.load(std::memory_order_relaxed)) return;
  if (Hive* h = HiveOf(&n)) backend_->LoadValues(*h, n);
  n.valuesReady.store(true, std::memory_order_release);
}

Node* THiveStore::FollowLink(Node* n, int depth) {
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

// One step down; creates the child when asked. Links are followed when `follow`. `hive`, when
// given, carries the hive of the key stepped from from one step to the next (nullptr: not known
// yet), so that a walk down a deep path does not climb back to the hive's root at every level.
Node* THiveStore::Step(Node* n, std::string_view name, bool create, bool follow, Hive** hive) {
  Node* child = n->Find(name);
  if (!child) {
    if (!create) return nullptr;
    Hive* h = hive && *hive ? *hive : HiveOf(n);
    if (!h) return nullptr;
    bool created = false;
    child = n->FindOrAdd(name, created);
    child->modif = regtree::NowFileTime();
    child->dirty = true;
    n->dirty = true;
    n->modif = regtree::NowFileTime();
    h->dirty = true;
    if (hive) *hive = h;
  } else if (hive && child->hive) {
    *hive = child->hive;
  }
  if (follow && child->isLink) {
    child = FollowLink(child, 0);
    if (hive) *hive = nullptr;  // a link may lead into another hive
  }
  return child;
}

Node* THiveStore::Walk(Node* base, std::string_view path, bool create, bool followLast) {
  auto parts = SplitKeyPath(path);
  Node* n = base;
  Hive* hive = nullptr;
  for (std::size_t i = 0; i < parts.size() && n; ++i)
    n = Step(n, parts[i], create, followLast || i + 1 < parts.size(), &hive);
  return n;
}

Node* THiveStore::Base(TRootKey root, bool create) {
  switch (root) {
    case TRootKey::LocalMachine: return machine_;
    case TRootKey::Users: return users_;
    case TRootKey::CurrentUser: return users_->Find(sid_);
    // HKEY_CLASSES_ROOT as Wine has it: exactly HKLM\Software\Classes. A target whose
    // HKEY_CLASSES_ROOT merges in the user's classes needs a merged view here.
    case TRootKey::ClassesRoot: return Walk(machine_, "Software\\Classes", create, true);
    case TRootKey::CurrentConfig:
      return Walk(machine_, "System\\CurrentControlSet\\Hardware Profiles\\Current", create, true);
    default: return nullptr;
  }
}

std::vector<Node*> THiveStore::Bases(TRootKey root) {
  std::vector<Node*> bases;
  // The user's classes come first: where a key is in both, the user's is the one seen.
  if (root == TRootKey::ClassesRoot && userClasses_) bases.push_back(userClasses_);
  if (Node* base = Base(root, false)) bases.push_back(base);
  return bases;
}

Node* THiveStore::Resolve(TRootKey root, std::string_view path) {
  for (Node* base : Bases(root))
    if (Node* n = Walk(base, path, false, true)) return n;
  return nullptr;
}

}  // namespace kestrove
