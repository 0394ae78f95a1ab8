#include "defrag/HiveAnalysis.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "app/Helpers.h"
#include "platform/RegistryStore.h"
#include "platform/TargetSystem.h"
#include "platform/Text.h"

namespace kestrove {

namespace fs = std::filesystem;

// ---- Sizes and texts

std::string FormatSizeKB(std::int64_t bytes) {
  if (bytes >= 0) return SizeToKBText(static_cast<std::uint64_t>(bytes)) + " KB";
  // Division that truncates towards zero, as for any other size: -1 ("cannot be listed")
  // gives 1 KB.
  const std::int64_t kb = bytes / 1024 + (bytes % 1024 != 0 ? 1 : 0);
  const std::uint64_t magnitude = static_cast<std::uint64_t>(kb < 0 ? -kb : kb) * 1024;
  return (kb < 0 ? "-" : "") + SizeToKBText(magnitude) + " KB";
}

std::int64_t HiveFileSize(const fs::path& file) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) == 0) return static_cast<std::int64_t>(st.st_size);
  return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
}

// ---- The hive table

std::string HiveDevicePathToFile(std::string_view text, bool wow64, const TDosDevices& devices) {
  constexpr std::string_view kDevice = "Device\\HarddiskVolume";
  const std::size_t at = AsciiFindNoCase(text, kDevice);
  if (at == std::string_view::npos) return "";
  const std::size_t numberAt = at + kDevice.size();
  const std::size_t slash = text.find('\\', numberAt);
  const std::string device = "\\" + std::string(kDevice) + std::string(text.substr(numberAt, slash == std::string_view::npos
                                                                                             ? std::string_view::npos
                                                                                             : slash - numberAt));
  const std::string rest = slash == std::string_view::npos ? "" : std::string(text.substr(slash));
  std::string drive;
  for (const std::string& root : devices.LogicalDrives ? devices.LogicalDrives() : std::vector<std::string>{}) {
    if (root.size() < 2 || !devices.IsFixed || !devices.IsFixed(root)) continue;
    const std::string letter = root.substr(0, 2);
    const auto target = devices.DeviceOf ? devices.DeviceOf(letter) : std::nullopt;
    if (target && AsciiEqualNoCase(*target, device)) {
      drive = letter;
      break;
    }
  }
  if (drive.empty()) return "";
  std::string result = drive + rest;
  if (wow64) {
    const std::size_t sys = AsciiFindNoCase(result, "system32");
    if (sys != std::string::npos) {
      std::string native = result;
      native.replace(sys, 8, "sysnative");
      if (devices.FileExists && devices.FileExists(native)) result = native;
    }
  }
  if (!devices.FileExists || !devices.FileExists(result)) return "";
  return result;
}

std::string HiveListName(std::string_view mount) {
  std::string name = "\\REGISTRY";
  std::size_t i = 0;
  for (std::string_view part : SplitKeyPath(mount)) {
    // The roots and the machine's hives are written in capitals, users' SIDs as they are.
    const bool machineHive = i == 1 && !name.empty() && name.ends_with("\\MACHINE");
    name += "\\";
    name += (i == 0 || machineHive || SameName(part, ".Default")) ? AsciiUpper(part) : std::string(part);
    ++i;
  }
  return name;
}

THiveTable LoadHiveTable(TargetSystem& target) {
  THiveTable table;
  for (const RegistryStore::THiveFileInfo& h : target.Registry()->HiveFileTable()) {
    struct stat st {};
    // A hive without a file (never written yet) has nothing to measure.
    if (::lstat(h.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    table.Names.push_back(HiveListName(h.mount));
    table.Files.push_back(target.WindowsPath(h.file).value_or(h.file.string()));
    table.HostFiles.push_back(h.file);
  }
  return table;
}

fs::path HiveCopyFile(const fs::path& hostFile) {
  fs::path copy = hostFile;
  copy += ".fdc";
  return copy;
}

bool HiveCopyLocked(const fs::path& copy) {
  struct stat st {};
  if (::lstat(copy.c_str(), &st) != 0) return errno != ENOENT;
  if (!S_ISREG(st.st_mode)) return true;
  const int fd = ::open(copy.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return true;
  ::close(fd);
  return false;
}

namespace {

// A plain file or a link under the copy's name goes; anything else there stays.
void RemoveHiveCopy(const fs::path& copy) {
  struct stat st {};
  if (::lstat(copy.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) ::unlink(copy.c_str());
}

}  // namespace

void RemoveHiveCopies(const THiveTable& table) {
  for (const fs::path& hive : table.HostFiles) RemoveHiveCopy(HiveCopyFile(hive));
}

bool HoldsMachineSoftware(std::string_view hiveName) {
  return AsciiEqualNoCase(hiveName, "\\REGISTRY\\MACHINE") || AsciiEqualNoCase(hiveName, "\\REGISTRY\\MACHINE\\SOFTWARE");
}

// ---- The figures

TDefragFigures ComputeDefragFigures(const std::vector<std::pair<std::int64_t, std::int64_t>>& sizes) {
  TDefragFigures f;
  std::int64_t totalCurrent = 0, totalNew = 0;
  for (const auto& [current, now] : sizes) {
    totalCurrent += current;
    totalNew += now;
    TDefragRow row{FormatSizeKB(current), FormatSizeKB(now), "0%"};
    // An empty hive file has nothing to gain: 0% rather than a division by zero.
    if (now <= current && current > 0) row.Reduction = std::to_string((current - now) * 100 / current) + "%";
    f.Rows.push_back(std::move(row));
  }
  f.CurrentRegistrySize = FormatSizeKB(totalCurrent);
  f.NewRegistrySize = FormatSizeKB(totalNew);
  f.SizeReduction = totalNew > totalCurrent ? "0 KB" : FormatSizeKB(totalCurrent - totalNew);
  if (totalNew > totalCurrent || totalCurrent <= 0) {
    // Also for hives of no size at all, where the percentage would divide by zero.
    f.CompactPercent = "0%";
  } else {
    const float p = static_cast<float>(static_cast<double>(totalCurrent - totalNew) * 100.0 /
                                       static_cast<double>(totalCurrent));
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", static_cast<double>(p));
    f.CompactPercent = text;
    f.LowFragmentRate = p < 3.0f;
  }
  return f;
}

std::string FragmentRateMessage(const std::string& compactPercent) {
  return std::string(kFragmentRateOnly) + " " + compactPercent + ". " + kNoNeedToCompact;
}

// ---- The progress dialog's arithmetic

void TDefragProgress::Start(std::int64_t total) {
  Total = total;
  Done = Step = 0;
  Cap = 0;
  Finished = 0;
  Position = 0;
  TimerOn = true;
}

namespace {

// Hives of no size at all make a total of 0: the bar then has nothing to show but its end.
std::int64_t Per1000(std::int64_t part, std::int64_t total) { return total > 0 ? part * 1000 / total : 1000; }

}  // namespace

void TDefragProgress::HiveSaved(std::int64_t firstMs, std::size_t count, std::size_t hives, bool wow64,
                                const std::function<std::int64_t(std::size_t)>& sizeOf,
                                const std::function<std::int64_t(std::size_t)>& copySizeOf) {
  if (Finished >= hives) return;
  if (Finished == 0) {
    const std::int64_t f = copySizeOf(0);
    if (firstMs == 0 || Total <= 0) {
      Step = 40;
    } else {
      Step = f * 1000 * 1000 / (firstMs * Total);
      if (Step < 10)
        Step += 10;
      else if (Step < 30)
        Step = 2 * Step - 10;
      if (Step > 50) Step = 50;
    }
    if (wow64) Step = Step / 2 - 3;
  }
  Done += sizeOf(Finished);
  Position = Per1000(Done, Total);
  if (Finished + 1 < hives) Cap = static_cast<std::int32_t>(Per1000(Done + sizeOf(Finished + 1), Total));
  Finished = count;
}

void TDefragProgress::Tick(std::size_t hives, const std::function<std::int64_t(std::size_t)>& copySizeOf) {
  if (Finished >= hives) return;
  const std::int64_t g = copySizeOf(Finished);
  if (g != 0)
    Position = Per1000(Done + g, Total);
  else if (Position < Cap - Step)
    Position += Step;
  if (Position >= 1000) TimerOn = false;
}

// ---- The worker

FileStamp SaveHiveToFile(RegistryStore& store, const fs::path& hiveFile, const fs::path& target) {
  // The table keeps the store's order but leaves out hives without a file.
  const auto all = store.HiveFileTable();
  for (std::size_t k = 0; k < all.size(); ++k)
    if (all[k].file == hiveFile) return store.SaveHiveCopy(k, target);
  throw RegistryError(hiveFile.string() + " is no longer a hive of this registry.");
}

TScanDefragTaskThread::TScanDefragTaskThread(RegistryStore& store, THiveTable table, TEvents events)
    : store_(store), table_(std::move(table)), events_(std::move(events)) {
  madeFrom_.resize(table_.size());
  errors_.resize(table_.size());
}

TScanDefragTaskThread::~TScanDefragTaskThread() {
  Terminate();
  Wait();
}

void TScanDefragTaskThread::Resume() {
  if (thread_.joinable()) return;
  running_.store(true);
  thread_ = std::thread([this] { Execute(); });
}

void TScanDefragTaskThread::Wait() {
  if (thread_.joinable()) thread_.join();
}

// The backup right a Windows process asks for before saving hives has no counterpart: the
// copies are written from the registry as read.
void TScanDefragTaskThread::Execute() {
  const std::size_t n = table_.size();
  std::size_t done = 0;
  std::int64_t firstMs = 0;
  for (std::size_t i = 0; i < n && !terminated_.load(); ++i) {
    if (events_.SetMemo) events_.SetMemo(table_.Names[i]);
    const auto started = std::chrono::steady_clock::now();
    // A copy left from an earlier analysis must not be measured for this one.
    const fs::path copy = HiveCopyFile(table_.HostFiles[i]);
    RemoveHiveCopy(copy);
    try {
      madeFrom_[i] = SaveHiveToFile(store_, table_.HostFiles[i], copy);
    } catch (const std::exception& e) {
      // No copy, so its new size shows as 0; the reason is kept for whoever can show it.
      errors_[i] = e.what();
    }
    if (i == 0)
      firstMs = std::llround(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
    done = i + 1;
    if (events_.HiveSaved) events_.HiveSaved(firstMs, done);
  }
  allDone_ = done == n;
  if (allDone_ && events_.SetMemo) events_.SetMemo(kAnalysisFinished);
  running_.store(false);
  if (events_.Closed) events_.Closed();
}

TDefragAnalysis AnalyzeRegistry(TargetSystem& target, const std::function<void(const std::string&)>& onHive) {
  TDefragAnalysis a;
  a.Table = LoadHiveTable(target);
  if (a.Table.empty()) return a;
  // The copies are written beside the hives: not while the system may be writing them.
  if (auto reason = target.Registry()->WriteBlockReason()) {
    a.Refusal = *reason;
    return a;
  }
  for (const fs::path& hive : a.Table.HostFiles)
    if (HiveCopyLocked(HiveCopyFile(hive))) {
      a.Refusal = kCannotAnalyzeNow;
      return a;
    }
  TScanDefragTaskThread::TEvents events;
  events.SetMemo = [&](const std::string& text) {
    if (onHive && text != kAnalysisFinished) onHive(text);
  };
  TScanDefragTaskThread worker(*target.Registry(), a.Table, events);
  worker.Resume();
  worker.Wait();
  a.MadeFrom = worker.MadeFrom();
  a.Errors = worker.Errors();
  a.Finished = worker.AllDone();
  if (!a.Finished) return a;
  std::vector<std::pair<std::int64_t, std::int64_t>> sizes;
  for (std::size_t i = 0; i < a.Table.size(); ++i) {
    const std::int64_t current = HiveFileSize(a.Table.HostFiles[i]);
    const std::int64_t now = HiveFileSize(HiveCopyFile(a.Table.HostFiles[i]));
    if (HoldsMachineSoftware(a.Table.Names[i]) && now < current / 4) {
      a.Refusal = kFailedToAnalyze;
      a.Finished = false;
      return a;
    }
    sizes.emplace_back(current, now);
  }
  a.Figures = ComputeDefragFigures(sizes);
  return a;
}

}  // namespace kestrove
