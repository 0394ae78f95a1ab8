#include "platform/wine/WineRegistryBackend.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

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

// ".<hive>.kestrove-<pid>.tmp": a commit's new hive file before it is renamed into place;
// ".<hive>.kestrove-<pid>.old": the file it replaced, while the commit's other hives are put in place.
std::string TempName(const std::string& hiveName, long pid, std::string_view tail = ".tmp") {
  return "." + hiveName + ".kestrove-" + std::to_string(pid) + std::string(tail);
}

bool IsTempName(std::string_view name, std::string_view hiveName) {
  const std::string head = "." + std::string(hiveName) + ".kestrove-";
  for (std::string_view tail : {".tmp", ".old"}) {
    if (name.size() <= head.size() + tail.size() || !name.starts_with(head) || !name.ends_with(tail)) continue;
    const std::string_view pid = name.substr(head.size(), name.size() - head.size() - tail.size());
    if (pid.find_first_not_of("0123456789") == std::string_view::npos) return true;
  }
  return false;
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
bool TWineRegistryBackend::LoadFocused(HiveFile& f, Hive& hive) {
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
  return !whole;
}

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
  if (focusHive_) {
    if (!focusChanges_ || index != *focusHive_)
      throw RegistryError("The registry of " + prefix_.string() + " was opened for one key only.");
    // A store that could not keep its focus when opened was never handed out for writing: this
    // one lost it reading the file again, which another program had changed in between.
    if (focusFailed_) fail("it was changed by another program meanwhile");
    if (f.stamp) {
      StageSplice(f, hive, ensureValues, fail);
      f.staged = env_->Stat(tmp);
      return;
    }
  }
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
  f.staged = env_->Stat(tmp);
}

// A whole file's bytes as a hive's new file, staged as StageHive stages one.
void TWineRegistryBackend::StageHiveData(std::size_t index, const std::string& data) {
  HiveFile& f = files_[index];
  if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
  const fs::path tmp = StagedFile(f);
  auto fail = [&](const std::string& why) {
    env_->Remove(tmp);
    throw RegistryError("Could not save the registry file " + f.file.string() + ": " + why +
                        ". The file was left as it was.");
  };
  env_->Remove(tmp);
  std::string error;
  auto file = env_->NewWritableFile(tmp, error);
  if (!file) fail(error);
  if (!file->Append(data) || !file->Sync() || !file->Close()) fail(file->Error());
  f.staged = env_->Stat(tmp);
}

// The file must be one Wine reads whole, of the very hive it replaces: Wine loads a file
// whatever place its preamble names, and a file cut short loads as a hive missing its keys.
void TWineRegistryBackend::CheckHiveData(std::size_t index, const std::string& data, const std::string& shownName) {
  const HiveFile& f = files_[index];
  regtree::Node root;
  Hive hive;
  hive.label = shownName;
  hive.buffer = data;
  hive.root = &root;
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
  if (!SameName(named, f.relativeTo))
    throw RegistryError(shownName + ":" + std::to_string(line) + ": the file holds " + std::string(named) +
                        ", not " + f.relativeTo + " as " + f.file.filename().string() + " does");
}

// The new file is the old one with the changed keys' text replaced where it stood and new keys
// put where they sort, every other byte copied as it is. The bytes the store was built from are
// checked against the file as it is copied, so a file changed in between is never mixed in.
void TWineRegistryBackend::StageSplice(HiveFile& f, const Hive& hive, const std::function<void(Node&)>& ensureValues,
                                       const std::function<void(const std::string&)>& fail) {
  struct Edit {
    std::uint64_t begin, end;
    std::string text;
  };
  std::vector<Edit> edits;
  std::string added;  // keys that were not in the file, in the order they are written
  std::size_t fileKeys = 0;
  bool bareChanged = false;
  ForEachKey(*hive.root, [&](Node& n) {
    const TSpan* span = n.HasRaw() ? SpanOf(spans_, n) : nullptr;
    if (span) ++fileKeys;
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
      added += (insertAt_ < static_cast<std::uint64_t>(f.stamp->size) ? text + "\n" : "\n" + text);
  });
  // Only the focus's values and the keys on its way may change: anything else (a key removed,
  // a subkey known by name only) is not in the cut and cannot be written from it.
  if (bareChanged || fileKeys != fileKeys_) fail("only one key's values can be changed here");
  if (!added.empty()) edits.push_back({insertAt_, insertAt_, std::move(added)});
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.begin < b.begin; });

  env_->Remove(StagedFile(f));  // left over from a crash
  std::string error;
  auto file = env_->NewWritableFile(StagedFile(f), error);
  if (!file) fail(error);
  if (env_->Stat(f.file) != f.stamp) fail("it was changed by another program meanwhile");
  bool ok = true, same = true;
  std::uint64_t at = 0;  // file offset of the piece
  std::size_t next = 0, span = 0;
  auto put = [&](std::string_view bytes) {
    if (ok && !bytes.empty() && !file->Append(bytes)) ok = false;
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
          ++next;
          continue;
        }
        p = std::min(end, edits[next].end);
        if (p == edits[next].end) ++next;
        continue;
      }
      const std::uint64_t stop = next < edits.size() ? std::min(end, edits[next].begin) : end;
      put(piece.substr(p - at, stop - p));
      p = stop;
    }
    at = end;
  }, error);
  for (; next < edits.size(); ++next) put(edits[next].text);  // new keys at the end of the file
  if (!read) fail(error);
  if (!same || at != static_cast<std::uint64_t>(f.stamp->size) || env_->Stat(f.file) != f.stamp)
    fail("it was changed by another program meanwhile");
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
  // Wine may have started while we wrote: it would overwrite the file when it exits. Looking
  // for it takes a while, so the file is compared with what the change was made on after that,
  // right before it is replaced.
  if (auto reason = WriteBlockReason()) fail(*reason);
  if (env_->Stat(f.file) != f.stamp) fail("it was changed by another program meanwhile");
  std::string error, ignored;
  // The old file keeps a second name until the whole commit is in place.
  const fs::path old = ReplacedFile(f);
  env_->Remove(old);
  f.replaced = env_->Stat(f.file);
  f.kept = f.replaced && env_->Link(f.file, old, ignored);
  if (!env_->Rename(tmp, f.file, error)) {
    if (f.kept) env_->Remove(old);
    fail(error);
  }
  f.published = true;
  f.stamp = env_->Stat(f.file);
  // A focused hive's cut describes the old file: the next change reads the new one.
  if (focusHive_) f.stamp = FileStamp{};
}

void TWineRegistryBackend::DropStagedHive(std::size_t index) { env_->Remove(StagedFile(files_[index])); }

// The old file back under its name (or no file, when there was none): the store's tree still
// holds the change, uncommitted, on the old file.
void TWineRegistryBackend::UnpublishHive(std::size_t index) {
  HiveFile& f = files_[index];
  if (!f.published) return;
  f.published = false;
  std::string error;
  if (f.kept ? env_->Rename(ReplacedFile(f), f.file, error) : !f.replaced && env_->Remove(f.file)) f.stamp = f.replaced;
  f.kept = false;
}

void TWineRegistryBackend::ForgetReplacedHive(std::size_t index) {
  HiveFile& f = files_[index];
  if (f.kept) env_->Remove(ReplacedFile(f));
  f.published = f.kept = false;
}

fs::path TWineRegistryBackend::StagedFile(const HiveFile& f) const {
  return f.file.parent_path() / TempName(f.file.filename().string(), ::getpid());
}

fs::path TWineRegistryBackend::ReplacedFile(const HiveFile& f) const {
  return f.file.parent_path() / TempName(f.file.filename().string(), ::getpid(), ".old");
}

// The commit journal: which hive files a commit is replacing, what each was and what it
// becomes, so that the next process to open the prefix can tell a commit cut between two
// renames from files changed since, and undo only the former.
namespace {

constexpr std::string_view kJournalHead = "KESTROVE REGISTRY COMMIT 1";
constexpr std::string_view kJournalEnd = "END";

std::string StampText(const std::optional<FileStamp>& s) {
  if (!s) return "-";
  return std::to_string(s->device) + ":" + std::to_string(s->inode) + ":" + std::to_string(s->size) + ":" +
         std::to_string(s->mtimeNs);
}

bool ParseStamp(std::string_view text, std::optional<FileStamp>& out) {
  if (text == "-") {
    out.reset();
    return true;
  }
  std::int64_t parts[4];
  for (int i = 0; i < 4; ++i) {
    const std::size_t colon = i < 3 ? text.find(':') : text.size();
    if (colon == std::string_view::npos || colon == 0) return false;
    std::int64_t v = 0;
    bool negative = false;
    std::size_t k = 0;
    if (text[0] == '-') negative = true, k = 1;
    if (k == colon) return false;
    for (; k < colon; ++k) {
      if (text[k] < '0' || text[k] > '9' || v > (INT64_MAX - 9) / 10) return false;
      v = v * 10 + (text[k] - '0');
    }
    parts[i] = negative ? -v : v;
    text.remove_prefix(i < 3 ? colon + 1 : colon);
  }
  out = FileStamp{static_cast<std::uint64_t>(parts[0]), static_cast<std::uint64_t>(parts[1]), parts[2], parts[3]};
  return true;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> out;
  for (std::size_t at = 0;;) {
    const std::size_t tab = line.find('\t', at);
    out.push_back(line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at));
    if (tab == std::string_view::npos) return out;
    at = tab + 1;
  }
}

}  // namespace

fs::path TWineRegistryBackend::JournalFile() const { return prefix_ / ".kestrove-registry.journal"; }

void TWineRegistryBackend::BeginPublish(const std::vector<std::size_t>& staged) {
  std::string text = std::string(kJournalHead) + "\n";
  for (std::size_t i : staged) {
    const HiveFile& f = files_[i];
    text += f.file.filename().string() + "\t" + StampText(f.stamp) + "\t" + StampText(f.staged) + "\t" +
            ReplacedFile(f).filename().string() + "\n";
  }
  text += std::string(kJournalEnd) + "\n";
  std::string error;
  auto file = env_->NewWritableFile(JournalFile(), error);
  if (!file || !file->Append(text) || !file->Sync() || !file->Close()) {
    if (file) error = file->Error();
    env_->Remove(JournalFile());
    throw RegistryError("Could not save the registry of " + prefix_.string() + ": " + error +
                        ". The files were left as they were.");
  }
}

void TWineRegistryBackend::EndPublish() { env_->Remove(JournalFile()); }

void TWineRegistryBackend::RecoverInterruptedCommit() {
  if (!env_->Stat(JournalFile())) return;
  // Wine has loaded the files as they are, and writes its own copy when it exits: that copy
  // no longer matches the journal, which then undoes nothing.
  if (WriteBlockReason()) return;
  const bool held = lock_.Held();
  std::string error;
  // A journal of a commit still under way goes with that commit, once its lock is let go.
  if (!held && !lock_.Acquire(prefix_ / ".kestrove-registry.lock", std::chrono::seconds(10), error)) return;
  RollBackJournal();
  if (!held) lock_.Release();
}

// With the lock held, every journal is a dead process's. Each hive it names is the new file
// (renamed into place: put the old one back), still the old one (nothing to do), or something
// else (changed since): then nothing is undone, as a partial undo would mix states again.
void TWineRegistryBackend::RollBackJournal() {
  auto data = env_->ReadFileHead(JournalFile(), 64 * 1024);
  if (!data) return;
  struct Step {
    const HiveFile* hive;
    fs::path keptOld;
    bool hadOld;
  };
  std::vector<Step> undo;
  bool sound = true, ended = false;
  std::string_view text(*data);
  std::size_t lineNo = 0;
  while (!text.empty() && sound) {
    const std::size_t eol = text.find('\n');
    if (eol == std::string_view::npos) {
      sound = false;
      break;
    }
    const std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol + 1);
    if (lineNo++ == 0) {
      sound = line == kJournalHead;
      continue;
    }
    if (line == kJournalEnd) {
      ended = true;
      break;
    }
    const auto fields = SplitTabs(line);
    const HiveFile* hive = nullptr;
    for (const HiveFile& f : files_)
      if (fields.size() == 4 && fields[0] == f.file.filename().string()) hive = &f;
    std::optional<FileStamp> before, after;
    if (!hive || !ParseStamp(fields[1], before) || !ParseStamp(fields[2], after) || !after ||
        !IsTempName(fields[3], hive->file.filename().string())) {
      sound = false;
      break;
    }
    const std::optional<FileStamp> now = env_->Stat(hive->file);
    if (now == before) continue;
    if (now != after) {
      sound = false;
      break;
    }
    const fs::path kept = prefix_ / std::string(fields[3]);
    if (before && env_->Stat(kept) != before) {
      sound = false;
      break;
    }
    undo.push_back({hive, kept, before.has_value()});
  }
  if (sound && ended) {
    for (const Step& step : undo) {
      std::string error;
      if (step.hadOld)
        env_->Rename(step.keptOld, step.hive->file, error);
      else
        env_->Remove(step.hive->file);
    }
  }
  env_->Remove(JournalFile());
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
  if (focusHive_ && !focusChanges_)
    throw RegistryError("The registry of " + prefix_.string() + " was opened to read one key only.");
  if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
  std::string error;
  if (!lock_.Acquire(prefix_ / ".kestrove-registry.lock", std::chrono::seconds(10), error))
    throw RegistryError(error);
  // A commit cut short is undone before its kept old files are taken for leftovers.
  RollBackJournal();
  RemoveStaleTempFiles();
}

void TWineRegistryBackend::EndWriteSession() { lock_.Release(); }

std::vector<fs::path> TWineRegistryBackend::HiveFiles() {
  std::vector<fs::path> files;
  for (const HiveFile& f : files_) files.push_back(f.file);
  return files;
}

// A commit killed between writing its temporary file and the rename leaves the file behind, and
// one killed before all its hives were in place leaves the old files' second names.
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
