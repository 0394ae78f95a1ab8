#include "cleaner/ClearTask.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "app/Helpers.h"
#include "cleaner/ItemOperations.h"

namespace kestrove {

namespace {

constexpr auto kProgressInterval = std::chrono::seconds(2);

// The item names with operations of their own, in the order the job dispatches on them.
const std::vector<std::string> kBuiltInNames = {
    "Windows - Recent Documents",
    "Windows - Start Run",
    "Windows - Search Assistant",
    "Windows - Empty Recycle Bin",
    "Windows - Temporary Files",
    "Windows - Clipboard",
    "Windows - Memory Dumps",
    "Windows - Chkdsk File Fragments",
    "Advanced - Open File History",
    "Advanced - Menu Order Cache",
    "Advanced - Tray Notifications Cache",
    "Advanced - User Assist History",
    "Advanced - Paint",
    "Instant Messengers - MSN Messenger",
    "Instant Messengers - Yahoo! Messenger",
    "Instant Messengers - Skype",
    "Internet Explorer - Temporary Internet Files",
    "Internet Explorer - Cookies",
    "Internet Explorer - Visited URL History",
    "Internet Explorer - Recently Typed URLs",
    "Internet Explorer - Index.dat Files",
    "Internet Explorer - Last Download Location",
    "Internet Explorer - Autocomplete History",
    "Mozilla Firefox - Cookies",
    "Mozilla Firefox - Visited URL History",
    "Mozilla Firefox - Temporary Internet Files",
    "Mozilla Firefox - Download Manager History",
    "Mozilla Firefox - Autocomplete History",
    "Mozilla Firefox - Preferences",
    "Mozilla Firefox - Saved Form Information",
    "Netscape - Cookies",
    "Netscape - Temporary Internet Files",
    "Netscape - Visited URL History",
    "Netscape - Preferences",
    "Netscape - Saved Form Information",
    "Opera - Temporary Internet Files",
    "Opera - Cookies",
    "Opera - Visited URL History",
    "Opera - Recently Typed URLs",
    "Opera - Autocomplete History",
    "Opera - Transfers",
    "Microsoft Office - Access",
    "Microsoft Office - Excel",
    "Microsoft Office - FrontPage",
    "Microsoft Office - Powerpoint",
    "Microsoft Office - Word",
    "Microsoft Office - Recent Files",
    "Google Chrome - Temporary Internet Files",
    "Google Chrome - Cookies",
    "Google Chrome - Visited URL History",
    "Google Chrome - Stored passwords in Forms",
};

const std::string kFirefoxDownloadHistory = "Mozilla Firefox - Download Manager History";

// Built-in items whose operation is not built yet find nothing.
void FindsNothing(TClearTaskThread&) {}

// The list above is the one list of built-in names: an operation filed under any other name
// (a misspelling) would never run and its item would silently fall through to "qvtk.dat",
// so building the table refuses it.
const std::map<std::string, TItemOperation>& OperationTable() {
  static const std::map<std::string, TItemOperation> table = [] {
    std::map<std::string, TItemOperation> t;
    for (const std::string& name : kBuiltInNames) t[name] = FindsNothing;
    for (auto* group : {WindowsItemOperations, InternetExplorerItemOperations, BrowserItemOperations}) {
      for (const TItemEntry& entry : group()) {
        auto it = t.find(entry.Name);
        if (it == t.end()) throw std::logic_error(std::string("an item operation names no built-in item: ") + entry.Name);
        it->second = entry.Operation;
      }
    }
    return t;
  }();
  return table;
}

}  // namespace

TItemOperation DispatchItem(const std::string& itemName) {
  if (itemName.find("Custom Lists -") != std::string::npos)
    return [itemName](TClearTaskThread& job) { RunDefinition(job, "Custom.dat", itemName); };
  const auto& table = OperationTable();
  // The tree's "Download Manager" node means Firefox's download history, which has an
  // operation of its own; a definition-file section of that name would be a surprise.
  const std::string& name =
      itemName == "Mozilla Firefox - Download Manager" ? kFirefoxDownloadHistory : itemName;
  if (auto it = table.find(name); it != table.end()) return it->second;
  return [itemName](TClearTaskThread& job) { RunDefinition(job, "qvtk.dat", itemName); };
}

const std::vector<std::string>& BuiltInItemNames() { return kBuiltInNames; }

bool TClearTaskThread::Describe(TTracePlace place) {
  if (!places_) return false;
  if (std::find(places_->begin(), places_->end(), place) == places_->end()) places_->push_back(std::move(place));
  return true;
}

namespace {

// A describing run's surroundings: its log lines go nowhere, a call for the owner runs at
// once, and every question is answered No.
class TNoOwner : public IOwnerThread {
 public:
  void Post(std::function<void()>) override {}
  void Send(const std::function<void()>& call) override { call(); }
};

class TNoEvents : public IClearTaskEvents {
 public:
  void AddLogLine(const std::string&) override {}
  void ScrollLogToEnd() override {}
  void CleanProgress(int) override {}
  void CleanDone(int) override {}
  void JobEnded(bool, const std::string&) override {}
};

class TNoPrompt : public IPrompt {
 public:
  TMsgResult Ask(const TMessageRequest& r) override {
    switch (r.Buttons) {
      case TMsgButtons::Ok: return TMsgResult::Ok;
      case TMsgButtons::OkCancel: return TMsgResult::Cancel;
      default: return TMsgResult::No;
    }
  }
};

}  // namespace

std::vector<TTracePlace> DescribeItem(TCleanContext context, const std::string& itemName) {
  TNoOwner owner;
  TNoEvents events;
  TNoPrompt prompt;
  context.Prompt = &prompt;
  context.Desktop = nullptr;
  // Fast mode: no operation reads its traces only to log them.
  const std::atomic<bool> fast{true};
  auto job = std::make_shared<TClearTaskThread>(context, owner, events, TestRun, std::vector<std::string>{itemName}, fast);
  std::vector<TTracePlace> places;
  job->DescribeInto(&places);
  try {
    DispatchItem(itemName)(*job);
  } catch (const std::exception&) {
    // What was found before the failure still describes the item.
  }
  return places;
}

TTraceWords TracePlaceWords(const TTracePlace& p) {
  switch (p.Kind) {
    case TTraceKind::RegistryKey:
      return {"the registry key, with everything below it:", p.Where};
    case TTraceKind::RegistryValues:
      if (p.Detail.empty()) return {"every value and subkey of the registry key", p.Where};
      return {"the registry value \"" + p.Detail + "\" of", p.Where};
    case TTraceKind::Files:
      return {"the files " + p.Detail + (p.Recursive ? " in and below" : " in"), p.Where};
    case TTraceKind::FolderContents:
      return {"everything" + (p.Detail.empty() ? std::string() : " but " + p.Detail) + " in", p.Where};
    case TTraceKind::File:
      return {"the file" + (p.Detail.empty() ? std::string() : ", " + p.Detail + ","), p.Where};
    case TTraceKind::DatabaseRows:
      return {"the rows of the table " + p.Detail + " in", p.Where};
    case TTraceKind::UrlCacheEntries:
      return {"the " + p.Detail + " entries of the index", p.Where};
    case TTraceKind::Clipboard:
      return {"what the clipboard holds", {}};
  }
  return {{}, p.Where};
}

std::string TotalsLine(bool testMode, int totalCount, std::uint64_t totalBytes) {
  if (testMode)
    return "Total items will be removed = " + std::to_string(totalCount) + " ; " + "Total files will be removed = " +
           SizeToKBText(totalBytes) + " KB";
  return "Total items to be removed = " + std::to_string(totalCount) + " ; " + "Total files to be removed = " +
         SizeToKBText(totalBytes) + " KB";
}

TClearTaskThread::TClearTaskThread(TCleanContext context, IOwnerThread& owner, IClearTaskEvents& events,
                                   TRunMode mode, std::vector<std::string> itemNames,
                                   const std::atomic<bool>& fastMode)
    : ItemNames(std::move(itemNames)),
      LinePrefix(mode == TestRun ? "Test: " : "Clean: "),
      RemovedWord(mode == TestRun ? "will be removed" : "to be removed"),
      context_(context),
      owner_(owner),
      events_(events),
      mode_(mode),
      fastMode_(fastMode) {}

TClearTaskThread::~TClearTaskThread() {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();  // the job's last reference went with its own run
    else
      thread_.join();
  }
}

void TClearTaskThread::Resume() {
  // The worker holds the job until its run has ended, as a self-freeing thread would.
  auto self = shared_from_this();
  thread_ = std::thread([self] { self->Execute(); });
}

void TClearTaskThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TClearTaskThread::LogLine(const std::string& line) {
  owner_.Post([this, line] { events_.AddLogLine(line); });
}

void TClearTaskThread::LogDetail(const std::string& line, int step) {
  LogLine(line);
  if (step <= 0) {
    owner_.Post([this] { events_.ScrollLogToEnd(); });
    return;
  }
  const int n = IsTestMode() ? step : std::max(1, step / 2);
  if (++LinesSinceScroll % n == 0) {
    owner_.Post([this] { events_.ScrollLogToEnd(); });
    LinesSinceScroll = 0;
  }
}

void TClearTaskThread::ProgressPacing() {
  const auto now = std::chrono::steady_clock::now();
  if (now - LastProgressTime > kProgressInterval) {
    LastProgressTime = now;
    const int count = TotalCount + ItemCount;
    owner_.Post([this, count] { events_.CleanProgress(count); });
  }
}

void TClearTaskThread::ItemReset() {
  ItemCount = 0;
  ItemSizeText = "0";
  ItemBytes = 0;
  WorkPath.clear();
  LastProgressTime = std::chrono::steady_clock::now();
  LinesSinceScroll = 0;
}

void TClearTaskThread::ItemSummary() {
  events_.AddLogLine("");
  events_.AddLogLine(std::to_string(ItemCount) + " items " + RemovedWord + "; " + ItemSizeText + " KB " +
                     RemovedWord + ".");
  events_.AddLogLine("");
  events_.ScrollLogToEnd();
  events_.ItemDone({CurrentIndex, static_cast<int>(ItemNames.size()), ItemNames[static_cast<std::size_t>(CurrentIndex)],
                    ItemCount, ItemBytes});
  TotalCount += ItemCount;
  TotalBytes += ItemBytes;
  const int total = TotalCount;
  owner_.Post([this, total] { events_.CleanProgress(total); });
}

void TClearTaskThread::RunItem(const std::string& name) {
  (Dispatcher ? Dispatcher(name) : DispatchItem(name))(*this);
  ItemSizeText = SizeToKBText(ItemBytes);
}

void TClearTaskThread::Execute() {
  bool completed = false;
  std::string error;
  try {
    CurrentIndex = -1;
    // Another program (Wine, a restore) may have written the registry since it was read.
    if (context_.Target) context_.Target->RefreshRegistry();
    for (std::size_t i = 0; i < ItemNames.size() && !Terminated(); ++i) {
      CurrentIndex = static_cast<int>(i);
      Synchronize([this] { ItemReset(); });
      // The owner may have taken a stop while the worker waited for it: the item does not start.
      if (Terminated()) break;
      if (i > 0) LogLine(std::string(kSeparatorLength, '-'));
      LogLine(LinePrefix + "Clearing" + " " + ItemNames[i] + " ...");
      RunItem(ItemNames[i]);
      // A walk cut short by a stop has no meaningful count: no summary for it.
      if (Terminated()) break;
      Synchronize([this] { ItemSummary(); });
    }
    // A stop that came during the last item must not look like a finished run: the owner
    // takes the done message of a counting pass as the go-ahead for removing.
    if (!Terminated()) {
      const std::string separator(kSeparatorLength, '-');
      LogLine(separator);
      LogLine(TotalsLine(IsTestMode(), TotalCount, TotalBytes));
      LogLine(separator);
      const int total = TotalCount;
      owner_.Post([this, total] { events_.CleanDone(total); });
      completed = true;
    }
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "unknown error";
  }
  finished_.store(true);
  // Keep the job alive until the owner has handled its last call.
  auto self = shared_from_this();
  if (const int failures = failures_; failures > 0)
    owner_.Post([self, failures] { self->events_.RemovalsFailed(failures); });
  owner_.Post([self, stopped = itemsStopped_] { self->events_.ItemsStopped(stopped); });
  owner_.Post([self, completed, error] { self->events_.JobEnded(completed, error); });
}

}  // namespace kestrove
