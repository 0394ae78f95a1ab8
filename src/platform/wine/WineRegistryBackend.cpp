#include "platform/wine/WineRegistryBackend.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

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

}  // namespace

TWineRegistryBackend::TWineRegistryBackend(fs::path prefix, std::shared_ptr<Env> env)
    : TFileHiveBackend(std::move(prefix), std::move(env)) {
  sid_ = UserSidOf(prefix_ / "user.reg", *env_);
  for (const char* name : {"system.reg", "userdef.reg", "user.reg"}) files_.push_back({prefix_ / name, std::nullopt});
  relativeTo_ = {"REGISTRY\\\\Machine", "REGISTRY\\\\User\\\\.Default", "REGISTRY\\\\User\\\\" + sid_};
}

std::vector<THiveMount> TWineRegistryBackend::Mounts() {
  return {{"Machine", files_[0].file.string()},
          {"User\\.Default", files_[1].file.string()},
          {"User\\" + sid_, files_[2].file.string()}};
}

void TWineRegistryBackend::Focus(std::size_t index, THiveFocus focus, bool changes) {
  focusHive_ = index;
  focus_ = std::move(focus);
  focusChanges_ = changes;
}

namespace {

using TSpan = THiveFocusFilter::TSpan;

// The span a key's text in the cut text came from; nullptr for a bare subkey line.
const TSpan* SpanOf(const std::vector<TSpan>& spans, const Node& n) {
  auto it = std::upper_bound(spans.begin(), spans.end(), n.rawBegin,
                             [](std::size_t at, const TSpan& s) { return at < s.cut; });
  if (it == spans.begin()) return nullptr;
  --it;
  return n.rawEnd <= it->cut + it->size ? &*it : nullptr;
}

// Every key of a tree, parents before children and children in order: the order a hive is
// written in.
template <typename Fn>
void ForEachKey(Node& root, Fn fn) {
  std::vector<Node*> pending{&root};
  while (!pending.empty()) {
    Node* n = pending.back();
    pending.pop_back();
    fn(*n);
    for (auto it = n->children.rbegin(); it != n->children.rend(); ++it) pending.push_back(it->get());
  }
}

}  // namespace

// The focused cut of the hive's file, parsed. False when the file needs a whole read: a link
// may lead anywhere in the registry, a key named twice has no one place to be rewritten in,
// and a fault is reported as it stands in the file.
bool TWineRegistryBackend::LoadFocused(THiveFile& f, Hive& hive) {
  THiveFocusFilter filter(focus_);
  std::string error;
  if (!env_->ReadFilePieces(f.file, kMaxHiveFileBytes, [&](std::string_view piece) { filter.Feed(piece); }, error))
    throw RegistryError("Cannot read the registry file " + error);
  auto text = filter.Finish();
  if (!text) return false;
  hive.buffer = std::move(*text);
  try {
    ParseHive(hive);
  } catch (const RegistryError&) {
    return false;
  }
  spans_ = filter.Spans();
  insertAt_ = filter.InsertAt();
  fileKeys_ = 0;
  bool whole = false;
  ForEachKey(*hive.root, [&](Node& n) {
    if (n.isLink || (focusChanges_ && n.dirty)) whole = true;
    if (n.HasRaw() && SpanOf(spans_, n)) ++fileKeys_;
  });
  // With its whole subtree in the cut, the focus may go: where each of its keys' text lies in
  // the file.
  removable_.clear();
  if (focus_.subtree && focusChanges_) {
    Node* focus = hive.root;
    for (std::size_t i = 0; i < focus_.path.size() && focus; ++i) focus = focus->Find(focus_.path[i]);
    if (focus)
      ForEachKey(*focus, [&](Node& n) {
        const TSpan* span = n.HasRaw() ? SpanOf(spans_, n) : nullptr;
        if (span)
          removable_.push_back({n.rawBegin, span->file + (n.rawBegin - span->cut), span->file + (n.rawEnd - span->cut)});
      });
  }
  return !whole;
}

// A missing file is an empty hive that the first commit creates.
void TWineRegistryBackend::LoadHive(std::size_t index, Hive& hive) {
  THiveFile& f = files_[index];
  if (focusHive_ && index != *focusHive_) return;
  f.stamp = env_->Stat(f.file);
  if (!f.stamp) {
    hive.buffer = NewHivePreamble(relativeTo_[index]);
    hive.preambleEnd = hive.buffer.size();
    return;
  }
  std::string error;
  if (focusHive_ && !focusFailed_) {
    if (LoadFocused(f, hive)) return;
    focusFailed_ = true;
    // The cut may have held the hive's root key's own block: all it left on the root goes, or
    // the whole read would take the root for a key named twice, at offsets into the cut.
    hive.root->Clear();
  }
  auto data = env_->ReadFile(f.file, kMaxHiveFileBytes, error);
  if (!data) throw RegistryError("Cannot read the registry file " + error);
  hive.buffer = std::move(*data);
  ParseHive(hive);
}

void TWineRegistryBackend::LoadValues(const Hive& hive, Node& node) { wine::LoadValues(hive, node); }

void TWineRegistryBackend::StageHive(std::size_t index, const Hive& hive,
                                     const std::function<void(Node&)>& ensureValues) {
  THiveFile& f = files_[index];
  if (focusHive_) {
    if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
    if (!focusChanges_ || index != *focusHive_)
      throw RegistryError("The registry of " + prefix_.string() + " was opened for one key only.");
    auto fail = [&](const std::string& why) { FailSave(f, why); };
    // A store that could not keep its focus when opened was never handed out for writing: this
    // one lost it reading the file again, which another program had changed in between.
    if (focusFailed_) fail("it was changed by another program meanwhile");
    if (f.stamp) {
      StageSplice(f, hive, ensureValues, fail);
      f.staged = env_->Stat(StagedFile(f));
      return;
    }
  }
  StageWith(index, [&](const std::function<bool(std::string_view)>& sink) {
    WriteHive(hive, [&](std::string_view chunk) { sink(chunk); }, ensureValues);
  });
}

// The file must be one Wine reads whole, of the very hive it replaces: Wine loads a file
// whatever place its preamble names, and a file cut short loads as a hive missing its keys.
void TWineRegistryBackend::CheckHiveData(std::size_t index, const std::string& data, const std::string& shownName) {
  regtree::Node root;
  Hive hive;
  hive.label = shownName;
  hive.buffer = data;
  hive.root = &root;
  ParseCheckedHive(index, hive, shownName);
}

// A compacted copy is Wine's own text of the same keys, so it is read as the hive's file is.
void TWineRegistryBackend::LoadHiveCopy(std::size_t index, const fs::path& copy, Hive& hive) {
  std::string error;
  auto data = env_->ReadFile(copy, kMaxHiveFileBytes, error);
  if (!data) throw RegistryError("Cannot read the registry file " + error);
  hive.buffer = std::move(*data);
  ParseCheckedHive(index, hive, copy.string());
}

void TWineRegistryBackend::WriteHiveCopy(std::size_t, const Hive& hive, const std::function<void(Node&)>& ensureValues,
                                         const std::function<bool(std::string_view)>& sink) {
  WriteHive(hive, [&](std::string_view chunk) { sink(chunk); }, ensureValues);
}

void TWineRegistryBackend::ParseCheckedHive(std::size_t index, Hive& hive, const std::string& shownName) {
  const THiveFile& f = files_[index];
  ParseHive(hive);
  const std::string_view preamble = std::string_view(hive.buffer).substr(0, hive.preambleEnd);
  constexpr std::string_view kRelative = ";; All keys relative to ";
  const std::size_t at = preamble.find(kRelative);
  const std::size_t line = static_cast<std::size_t>(std::count(preamble.begin(), preamble.begin() +
      static_cast<std::ptrdiff_t>(at == std::string_view::npos ? preamble.size() : at), '\n')) + 1;
  if (at == std::string_view::npos)
    throw RegistryError(shownName + ":" + std::to_string(line) + ": the file does not say which hive it holds (no \"" +
                        std::string(kRelative) + "\" line)");
  std::string_view named = preamble.substr(at + kRelative.size());
  named = named.substr(0, named.find('\n'));
  while (!named.empty() && (named.back() == '\r' || named.back() == ' ')) named.remove_suffix(1);
  if (!SameName(named, relativeTo_[index]))
    throw RegistryError(shownName + ":" + std::to_string(line) + ": the file holds " + std::string(named) +
                        ", not " + relativeTo_[index] + " as " + f.file.filename().string() + " does");
}

// The new file is the old one with the changed keys' text replaced where it stood, removed keys'
// text taken out and new keys put where they sort, every other byte copied as it is. The bytes
// the store was built from are checked against the file as it is copied, so a file changed in
// between is never mixed in.
void TWineRegistryBackend::StageSplice(THiveFile& f, const Hive& hive, const std::function<void(Node&)>& ensureValues,
                                       const std::function<void(const std::string&)>& fail) {
  struct Edit {
    std::uint64_t begin, end;
    std::string text;
    bool removal = false;  // the blank lines after the removed text go with it
  };
  std::vector<Edit> edits;
  std::vector<std::string> added;  // keys that were not in the file, in the order they are written
  std::size_t fileKeys = 0;
  bool bareChanged = false;
  std::unordered_set<std::size_t> present;  // the keys of the file still in the tree, by their text's place
  ForEachKey(*hive.root, [&](Node& n) {
    const TSpan* span = n.HasRaw() ? SpanOf(spans_, n) : nullptr;
    if (span) {
      ++fileKeys;
      if (!removable_.empty()) present.insert(n.rawBegin);
    }
    if (!n.dirty) return;
    if (n.HasRaw() && !span) {
      bareChanged = true;  // a subkey known by name only
      return;
    }
    ensureValues(n);
    std::string text;
    if (!AppendKeyText(text, n)) return;
    if (span)
      edits.push_back({span->file + (n.rawBegin - span->cut), span->file + (n.rawEnd - span->cut), std::move(text)});
    else
      added.push_back(std::move(text));
  });
  std::size_t removed = 0;
  std::uint64_t removedAt = ~std::uint64_t{0};
  for (const TRemovable& r : removable_) {
    if (present.count(r.cut)) continue;
    ++removed;
    removedAt = std::min(removedAt, r.begin);
    edits.push_back({r.begin, r.end, {}, true});
  }
  // Only the focus's values, the keys on its way and the focus with all below it may change:
  // anything else (a key removed beside it, a subkey known by name only) is not in the cut and
  // cannot be written from it.
  if (bareChanged || fileKeys + removed != fileKeys_) fail("only one key's values can be changed here");
  if (!added.empty()) {
    // A key that comes to be written once the focus is gone (its parent, left empty) stands
    // where the focus stood.
    const std::uint64_t at = removed ? removedAt : insertAt_;
    std::string text;
    for (const std::string& key : added) text += at < static_cast<std::uint64_t>(f.stamp->size) ? key + "\n" : "\n" + key;
    edits.push_back({at, at, std::move(text)});
  }
  std::sort(edits.begin(), edits.end(),
            [](const Edit& a, const Edit& b) { return a.begin < b.begin || (a.begin == b.begin && a.end < b.end); });

  env_->Remove(StagedFile(f));  // left over from a crash
  std::string error;
  auto file = env_->NewWritableFile(StagedFile(f), error);
  if (!file) fail(error);
  if (env_->Stat(f.file) != f.stamp) fail("it was changed by another program meanwhile");
  bool ok = true, same = true, skipBlank = false;
  std::uint64_t at = 0;  // file offset of the piece
  std::size_t next = 0, span = 0;
  auto passed = [&] { skipBlank = edits[next++].removal; };
  auto write = [&](std::string_view bytes) {
    if (ok && !bytes.empty() && !file->Append(bytes)) ok = false;
  };
  // The line ends at the end of what was copied are held back until more text follows: when
  // the file's last keys were removed, the blank line that led to them goes too.
  std::size_t heldNewlines = 0;
  auto put = [&](std::string_view bytes) {
    std::size_t text = bytes.size();
    while (text > 0 && bytes[text - 1] == '\n') --text;
    if (text > 0) {
      write(std::string(heldNewlines, '\n'));
      heldNewlines = 0;
      write(bytes.substr(0, text));
    }
    heldNewlines += bytes.size() - text;
  };
  const bool read = env_->ReadFilePieces(f.file, kMaxHiveFileBytes, [&](std::string_view piece) {
    const std::uint64_t end = at + piece.size();
    // The bytes the store holds must be the file's.
    for (; span < spans_.size() && spans_[span].file < end; ++span) {
      const TSpan& s = spans_[span];
      const std::uint64_t from = std::max(s.file, at), to = std::min(s.file + s.size, end);
      if (from < to && std::memcmp(piece.data() + (from - at), hive.buffer.data() + s.cut + (from - s.file), to - from) != 0)
        same = false;
      if (s.file + s.size > end) break;
    }
    std::uint64_t p = at;
    while (p < end) {
      if (next < edits.size() && edits[next].begin <= p) {
        put(edits[next].text);
        edits[next].text.clear();
        if (edits[next].end <= p) {
          passed();
          continue;
        }
        p = std::min(end, edits[next].end);
        if (p == edits[next].end) passed();
        continue;
      }
      const std::uint64_t stop = next < edits.size() ? std::min(end, edits[next].begin) : end;
      // The blank lines that separated a removed key from the next one go with it.
      while (skipBlank && p < stop) {
        if (piece[p - at] != '\n') skipBlank = false;
        else ++p;
      }
      put(piece.substr(p - at, stop - p));
      p = stop;
    }
    at = end;
  }, error);
  for (; next < edits.size(); ++next) put(edits[next].text);  // new keys at the end of the file
  write(std::string(skipBlank ? std::min<std::size_t>(heldNewlines, 1) : heldNewlines, '\n'));
  if (!read) fail(error);
  if (!same || at != static_cast<std::uint64_t>(f.stamp->size) || env_->Stat(f.file) != f.stamp)
    fail("it was changed by another program meanwhile");
  if (!ok || !file->Sync() || !file->Close()) fail(file->Error());
}

// A focused hive's cut describes the old file: the next change reads the new one.
void TWineRegistryBackend::Published(std::size_t) {
  if (focusHive_) files_[*focusHive_].stamp = FileStamp{};
}

void TWineRegistryBackend::BeginWriteSession() {
  if (focusHive_ && !focusChanges_)
    throw RegistryError("The registry of " + prefix_.string() + " was opened to read one key only.");
  TFileHiveBackend::BeginWriteSession();
}

std::optional<std::string> TWineRegistryBackend::WriteBlockReason() {
  if (RunningWineServer(prefix_)) return WineRunningMessage(prefix_);
  return std::nullopt;
}

}  // namespace kestrove::wine

namespace kestrove {

std::unique_ptr<RegistryStore> RegistryStore::OpenWinePrefix(const std::filesystem::path& prefix,
                                                             std::shared_ptr<Env> env) {
  return std::make_unique<THiveStore>(std::make_unique<wine::TWineRegistryBackend>(prefix, std::move(env)));
}

std::unique_ptr<RegistryStore> RegistryStore::OpenWinePrefixFocused(const std::filesystem::path& prefix,
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
    // A change of a hive's root itself is rare enough to take the whole hive.
    if (focus.changes && hiveFocus.path.empty()) break;
    wine::TWineRegistryBackend* focused = backend.get();
    focused->Focus(i, std::move(hiveFocus), focus.changes);
    auto store = std::make_unique<THiveStore>(std::move(backend));
    if (focused->FocusFailed()) return OpenWinePrefix(prefix, std::move(env));
    return store;
  }
  // Above every hive (HKEY_USERS itself) or beside them all.
  return OpenWinePrefix(prefix, std::move(env));
}

}  // namespace kestrove
