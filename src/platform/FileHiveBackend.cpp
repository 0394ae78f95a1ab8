#include "platform/FileHiveBackend.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

namespace kestrove {

namespace fs = std::filesystem;

namespace {

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

TFileHiveBackend::TFileHiveBackend(fs::path folder, std::shared_ptr<Env> env)
    : folder_(std::move(folder)), env_(std::move(env)) {}

[[noreturn]] void TFileHiveBackend::FailSave(const THiveFile& f, const std::string& why) {
  env_->Remove(StagedFile(f));
  throw RegistryError("Could not save the registry file " + f.file.string() + ": " + why +
                      ". The file was left as it was.");
}

// The new file goes to a temporary file beside the hive and reaches the disk; PublishHive
// renames it over the hive, so that a crash leaves the old file or the new one, never a torn one.
void TFileHiveBackend::StageWith(std::size_t index,
                                 const std::function<void(const std::function<bool(std::string_view)>&)>& write) {
  THiveFile& f = files_[index];
  if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
  const fs::path tmp = StagedFile(f);
  env_->Remove(tmp);  // left over from a crash
  std::string error;
  auto file = env_->NewWritableFile(tmp, error);
  if (!file) FailSave(f, error);
  bool ok = true;
  try {
    write([&](std::string_view chunk) { return ok = ok && file->Append(chunk); });
  } catch (...) {
    file->Close();
    env_->Remove(tmp);
    throw;
  }
  if (!ok || !file->Sync() || !file->Close()) FailSave(f, file->Error());
  f.staged = env_->Stat(tmp);
}

// A whole file's bytes as a hive's new file, staged as StageHive stages one.
void TFileHiveBackend::StageHiveData(std::size_t index, const std::string& data) {
  THiveFile& f = files_[index];
  if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
  const fs::path tmp = StagedFile(f);
  env_->Remove(tmp);
  std::string error;
  auto file = env_->NewWritableFile(tmp, error);
  if (!file) FailSave(f, error);
  if (!file->Append(data) || !file->Sync() || !file->Close()) FailSave(f, file->Error());
  f.staged = env_->Stat(tmp);
}

// The copy is written under a temporary name and renamed over `target` once it is whole and
// on the disk, so that a save cut short never leaves a copy that looks complete; the rename
// replaces whatever `target` is (a link there is replaced, never followed).
void TFileHiveBackend::SaveHiveCopy(std::size_t index, const regtree::Hive& hive,
                                    const std::function<void(regtree::Node&)>& ensureValues, const fs::path& target) {
  if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
  const fs::path tmp = target.parent_path() / TempName(target.filename().string(), ::getpid());
  env_->Remove(tmp);
  std::string error;
  auto fail = [&](const std::string& why) {
    env_->Remove(tmp);
    throw RegistryError("Could not write the copy " + target.string() + " of " + files_[index].file.string() + ": " +
                        why + ".");
  };
  auto file = env_->NewWritableFile(tmp, error);
  if (!file) fail(error);
  bool ok = true;
  try {
    WriteHiveCopy(index, hive, ensureValues, [&](std::string_view chunk) { return ok = ok && file->Append(chunk); });
  } catch (...) {
    file->Close();
    env_->Remove(tmp);
    throw;
  }
  if (!ok || !file->Sync() || !file->Close()) fail(file->Error());
  if (!env_->Rename(tmp, target, error)) fail(error);
}

// The copy gets the staged file's name as a second name, so that a replacement that does not
// go through leaves it as it was; where the file system has no second names, its bytes are
// staged instead.
void TFileHiveBackend::StageHiveCopy(std::size_t index, const fs::path& copy) {
  THiveFile& f = files_[index];
  if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
  const fs::path tmp = StagedFile(f);
  env_->Remove(tmp);
  std::string error;
  if (env_->Link(copy, tmp, error)) {
    f.staged = env_->Stat(tmp);
    f.stagedCopy = copy;
    return;
  }
  auto data = env_->ReadFile(copy, kMaxHiveFileBytes, error);
  if (!data) throw RegistryError("Cannot read the registry file " + error);
  StageHiveData(index, *data);
  f.stagedCopy = copy;
}

void TFileHiveBackend::PublishHive(std::size_t index) {
  THiveFile& f = files_[index];
  const fs::path tmp = StagedFile(f);
  auto fail = [&](const std::string& why) { FailSave(f, why); };
  // The system may have started while we wrote (Wine would overwrite the file when it exits).
  // Looking for it takes a while, so the file is compared with what the change was made on
  // after that, right before it is replaced.
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
  Published(index);
}

void TFileHiveBackend::DropStagedHive(std::size_t index) {
  env_->Remove(StagedFile(files_[index]));
  files_[index].stagedCopy.reset();
}

// The old file back under its name (or no file, when there was none): the store's tree still
// holds the change, uncommitted, on the old file.
void TFileHiveBackend::UnpublishHive(std::size_t index) {
  THiveFile& f = files_[index];
  f.stagedCopy.reset();
  if (!f.published) return;
  f.published = false;
  std::string error;
  if (f.kept ? env_->Rename(ReplacedFile(f), f.file, error) : !f.replaced && env_->Remove(f.file)) f.stamp = f.replaced;
  f.kept = false;
}

void TFileHiveBackend::ForgetReplacedHive(std::size_t index) {
  THiveFile& f = files_[index];
  if (f.kept) env_->Remove(ReplacedFile(f));
  // The copy is the hive now; under its own name it would be a second way to write the hive.
  if (f.published && f.stagedCopy) env_->Remove(*f.stagedCopy);
  f.stagedCopy.reset();
  f.published = f.kept = false;
}

fs::path TFileHiveBackend::StagedFile(const THiveFile& f) const {
  return f.file.parent_path() / TempName(f.file.filename().string(), ::getpid());
}

fs::path TFileHiveBackend::ReplacedFile(const THiveFile& f) const {
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

fs::path TFileHiveBackend::JournalFile() const { return folder_ / ".kestrove-registry.journal"; }

void TFileHiveBackend::BeginPublish(const std::vector<std::size_t>& staged) {
  std::string text = std::string(kJournalHead) + "\n";
  for (std::size_t i : staged) {
    const THiveFile& f = files_[i];
    text += f.file.filename().string() + "\t" + StampText(f.stamp) + "\t" + StampText(f.staged) + "\t" +
            ReplacedFile(f).filename().string() + "\n";
  }
  text += std::string(kJournalEnd) + "\n";
  std::string error;
  auto file = env_->NewWritableFile(JournalFile(), error);
  if (!file || !file->Append(text) || !file->Sync() || !file->Close()) {
    if (file) error = file->Error();
    env_->Remove(JournalFile());
    throw RegistryError("Could not save the registry of " + folder_.string() + ": " + error +
                        ". The files were left as they were.");
  }
}

void TFileHiveBackend::EndPublish() { env_->Remove(JournalFile()); }

void TFileHiveBackend::RecoverInterruptedCommit() {
  if (!env_->Stat(JournalFile())) return;
  // Wine has loaded the files as they are, and writes its own copy when it exits: that copy
  // no longer matches the journal, which then undoes nothing.
  if (WriteBlockReason()) return;
  const bool held = lock_.Held();
  std::string error;
  // A journal of a commit still under way goes with that commit, once its lock is let go.
  if (!held && !lock_.Acquire(folder_ / ".kestrove-registry.lock", std::chrono::seconds(10), error)) return;
  RollBackJournal();
  if (!held) lock_.Release();
}

// With the lock held, every journal is a dead process's. Each hive it names is the new file
// (renamed into place: put the old one back), still the old one (nothing to do), or something
// else (changed since): then nothing is undone, as a partial undo would mix states again.
void TFileHiveBackend::RollBackJournal() {
  auto data = env_->ReadFileHead(JournalFile(), 64 * 1024);
  if (!data) return;
  struct Step {
    const THiveFile* hive;
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
    const THiveFile* hive = nullptr;
    for (const THiveFile& f : files_)
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
    const fs::path kept = hive->file.parent_path() / std::string(fields[3]);
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

bool TFileHiveBackend::HiveChanged(std::size_t index) {
  return env_->Stat(files_[index].file) != files_[index].stamp;
}

// Asking whether the system runs may be slow (looking for Wine walks every process), so it is
// done when a run of changes begins and again around each commit's rename, not at every change.
void TFileHiveBackend::BeginWriteSession() {
  if (auto reason = WriteBlockReason()) throw RegistryError(*reason);
  std::string error;
  if (!lock_.Acquire(folder_ / ".kestrove-registry.lock", std::chrono::seconds(10), error))
    throw RegistryError(error);
  // A commit cut short is undone before its kept old files are taken for leftovers.
  RollBackJournal();
  RemoveStaleTempFiles();
}

void TFileHiveBackend::EndWriteSession() { lock_.Release(); }

std::vector<fs::path> TFileHiveBackend::HiveFiles() {
  std::vector<fs::path> files;
  for (const THiveFile& f : files_) files.push_back(f.file);
  return files;
}

// A commit killed between writing its temporary file and the rename leaves the file behind, and
// one killed before all its hives were in place leaves the old files' second names.
// Temporary files are only written while the lock is held, so with the lock in our hands
// every one of them is an orphan, whichever process made it.
void TFileHiveBackend::RemoveStaleTempFiles() {
  std::vector<fs::path> folders;
  for (const THiveFile& f : files_)
    if (std::find(folders.begin(), folders.end(), f.file.parent_path()) == folders.end())
      folders.push_back(f.file.parent_path());
  for (const fs::path& folder : folders) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      for (const THiveFile& f : files_) {
        // A hive's compacted copy is written under a temporary name of its own.
        const std::string hive = f.file.filename().string();
        if (f.file.parent_path() == folder && (IsTempName(name, hive) || IsTempName(name, hive + ".fdc"))) {
          env_->Remove(it->path());
          break;
        }
      }
    }
  }
}

}  // namespace kestrove
