#include "regscan/RestorePoint.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <system_error>

#include "app/Helpers.h"
#include "regscan/BackupOrigin.h"

namespace kestrove {

namespace fs = std::filesystem;

namespace {

// "<year>_<MM>_<DD>_<hhmmss>" in local time, as the Fix backups are named.
std::string DatedName(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  ::localtime_r(&t, &local);
  return std::to_string(local.tm_year + 1900) + "_" + TwoDigit(local.tm_mon + 1) + "_" + TwoDigit(local.tm_mday) +
         "_" + TwoDigit(local.tm_hour) + TwoDigit(local.tm_min) + TwoDigit(local.tm_sec);
}

// A file being made: ".<name>.kestrove-<pid>.tmp" beside where it goes.
fs::path TempPathFor(const fs::path& file) {
  return file.parent_path() / ("." + file.filename().string() + ".kestrove-" + std::to_string(::getpid()) + ".tmp");
}

// A restore point's name is one plain folder name of ours: never a path, never hidden (the
// temporary folders of points being made are).
bool ValidName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace

TRestorePoints::TRestorePoints(fs::path backupFolder, std::shared_ptr<Env> env)
    : folder_(std::move(backupFolder) / kRestorePointsFolder), env_(std::move(env)) {}

void TRestorePoints::WriteFileAtomically(const fs::path& file, const std::string& data) {
  const fs::path tmp = TempPathFor(file);
  env_->Remove(tmp);
  std::string error;
  auto out = env_->NewWritableFile(tmp, error);
  if (!out) throw RestorePointError("Could not write " + file.string() + ": " + error);
  if (!out->Append(data) || !out->Sync() || !out->Close()) {
    error = out->Error();
    env_->Remove(tmp);
    throw RestorePointError("Could not write " + file.string() + ": " + error);
  }
  if (!env_->Rename(tmp, file, error)) {
    env_->Remove(tmp);
    throw RestorePointError("Could not write " + file.string() + ": " + error);
  }
}

// Called with the registry's write lock held. The point is built in a hidden folder and
// renamed to its name at the end, so a listed point is always complete.
std::string TRestorePoints::CopyPoint(const std::vector<fs::path>& files, const TTargetIdentity& origin,
                                      std::chrono::system_clock::time_point when, const std::atomic<bool>* stop) {
  std::set<std::string> names;
  for (const fs::path& f : files)
    if (!names.insert(f.filename().string()).second)
      throw RestorePointError("Two registry files share the name " + f.filename().string() + ".");
  std::error_code ec;
  fs::create_directories(folder_, ec);
  if (ec) throw RestorePointError("Could not create the folder " + folder_.string() + ": " + ec.message());

  const std::string base = DatedName(when);
  std::string name = base;
  for (int n = 2; fs::exists(folder_ / name, ec); ++n) name = base + "_" + std::to_string(n);
  const fs::path tmpDir = TempPathFor(folder_ / name);
  fs::remove_all(tmpDir, ec);  // left by a crash: only ever a point being made
  if (!fs::create_directory(tmpDir, ec) || ec)
    throw RestorePointError("Could not create the folder " + tmpDir.string() + ": " + ec.message());
  try {
    std::size_t copied = 0;
    for (const fs::path& f : files) {
      if (stop && stop->load()) throw RestorePointError("The restore point was stopped.");
      std::string error;
      ReadFailure why = ReadFailure::None;
      auto data = env_->ReadFile(f, kMaxHiveFileBytes, error, &why);
      if (!data) {
        if (why == ReadFailure::Missing) continue;  // a hive without a file yet: nothing to keep
        throw RestorePointError("Could not read the registry file " + error);
      }
      WriteFileAtomically(tmpDir / f.filename(), *data);
      ++copied;
    }
    if (copied == 0) throw RestorePointError("The registry has no files to copy.");
    WriteFileAtomically(tmpDir / kRestorePointOriginFile, OriginLine(origin) + "\n");
    std::string error;
    if (!env_->Rename(tmpDir, folder_ / name, error))
      throw RestorePointError("Could not create the restore point " + name + ": " + error);
  } catch (...) {
    fs::remove_all(tmpDir, ec);
    throw;
  }
  return name;
}

std::string TRestorePoints::Create(RegistryStore& store, const TTargetIdentity& origin,
                                   std::chrono::system_clock::time_point when, const std::atomic<bool>* stop) {
  std::string name;
  store.WithHiveFiles([&](const std::vector<fs::path>& files) { name = CopyPoint(files, origin, when, stop); });
  return name;
}

std::vector<TRestorePointInfo> TRestorePoints::List() const {
  std::vector<TRestorePointInfo> points;
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!ValidName(name) || !it->is_directory(ec) || it->is_symlink(ec)) continue;
    TRestorePointInfo info;
    info.Name = name;
    std::error_code fec;
    for (fs::directory_iterator f(it->path(), fec), fend; !fec && f != fend; f.increment(fec)) {
      const std::string file = f->path().filename().string();
      if (file.empty() || file[0] == '.' || !f->is_regular_file(fec)) continue;
      info.Files.push_back(file);
      info.Bytes += f->file_size(fec);
    }
    std::sort(info.Files.begin(), info.Files.end());
    info.Origin = ReadRestorePointOrigin(it->path());
    points.push_back(std::move(info));
  }
  std::sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.Name < b.Name; });
  return points;
}

std::vector<TRestorePointInfo> TRestorePoints::ListFor(const TTargetIdentity& current) const {
  std::vector<TRestorePointInfo> points = List();
  std::stable_sort(points.begin(), points.end(), [&](const auto& a, const auto& b) {
    return MatchOrigin(a.Origin, current) < MatchOrigin(b.Origin, current);
  });
  return points;
}

std::string TRestorePoints::Restore(RegistryStore& store, const std::string& name, const TTargetIdentity& into,
                                    bool intoOtherSystem, std::chrono::system_clock::time_point when) {
  const fs::path point = folder_ / name;
  std::error_code ec;
  if (!ValidName(name) || fs::is_symlink(point, ec) || !fs::is_directory(point, ec))
    throw RestorePointError("There is no restore point " + name + " in " + folder_.string() + ".");
  const std::optional<TTargetIdentity> origin = ReadRestorePointOrigin(point);
  if (MatchOrigin(origin, into) == TOriginMatch::OtherSystem && !intoOtherSystem)
    throw RestorePointError(OtherSystemMessage("The restore point " + name, *origin, into) + " Nothing was restored.");
  if (auto reason = store.WriteBlockReason()) throw RegistryError(*reason);

  std::string saved;
  RegistryStore::THiveReplacement replacement;
  // The point is read whole, and the store checks every file of it, before the registry as it
  // is now is saved and before anything is replaced.
  replacement.read = [&](const std::vector<fs::path>& files) {
    std::vector<std::optional<std::string>> contents(files.size());
    bool any = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
      const fs::path copy = point / files[i].filename();
      if (fs::is_symlink(copy, ec)) throw RestorePointError("The restore point file " + copy.string() + " is a link.");
      std::string error;
      ReadFailure why = ReadFailure::None;
      auto data = env_->ReadFile(copy, kMaxHiveFileBytes, error, &why);
      if (!data) {
        if (why == ReadFailure::Missing) continue;
        throw RestorePointError("Could not read the restore point file " + error);
      }
      contents[i] = std::move(*data);
      any = true;
    }
    if (!any) throw RestorePointError("The restore point " + name + " holds no registry file.");
    return contents;
  };
  replacement.beforeReplace = [&](const std::vector<fs::path>& files) { saved = CopyPoint(files, into, when, nullptr); };
  try {
    store.ReplaceHiveFiles(replacement);
  } catch (const RegistryError& e) {
    // The point's own files name themselves by the hive file they replace: say which point.
    if (saved.empty()) throw RestorePointError("The restore point " + name + " was not put back: " + e.what());
    throw RestorePointError("The restore point " + name + " was not put back: " + e.what() +
                            " The registry as it was is kept in the restore point " + saved + ".");
  }
  return saved;
}

TCreateSystemPointThread::TCreateSystemPointThread(std::shared_ptr<RegistryStore> store, TTargetIdentity origin,
                                                   fs::path backupFolder, IOwnerThread& owner,
                                                   std::function<void(int, const std::string&)> done)
    : store_(std::move(store)),
      origin_(std::move(origin)),
      backupFolder_(std::move(backupFolder)),
      owner_(owner),
      done_(std::move(done)) {}

TCreateSystemPointThread::~TCreateSystemPointThread() { Stop(); }

void TCreateSystemPointThread::Start() { thread_ = std::thread([this] { Execute(); }); }

void TCreateSystemPointThread::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

// Reports exactly once; the posted call holds copies only, so it may run after this object
// is gone.
void TCreateSystemPointThread::Execute() {
  int lParam = kRestorePointRefused;
  std::string error;
  try {
    TRestorePoints(backupFolder_).Create(*store_, origin_, std::chrono::system_clock::now(), &stop_);
    lParam = kRestorePointCreated;
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "The restore point could not be created.";
  }
  owner_.Post([done = done_, lParam, error] { done(lParam, error); });
}

}  // namespace kestrove
