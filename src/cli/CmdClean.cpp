// kestrove-cli items | test | clean: the cleaner page without a window.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <optional>

#include "app/Helpers.h"
#include "app/OptionsSetting.h"
#include "app/ProgramFolder.h"
#include "cleaner/CleanCatalogue.h"
#include "cleaner/CleanerController.h"
#include "cleaner/ItemIds.h"
#include "cli/Commands.h"
#include "cli/OutputFormat.h"

namespace kestrove::cli {

namespace {

std::atomic<bool> gInterrupted{false};
// The user answered No to the clean's confirmation: nothing ran, and a script can tell.
constexpr int kDeclinedStatus = 3;
extern "C" void OnInterrupt(int) { gInterrupted.store(true); }

// --yes answers the confirmation; the questions a clean asks before it empties a drive root
// or the user's documents are answered yes only by --yes-all, since an unattended yes there
// can take everything the user has.
enum class TAnswerPolicy { Ask, Yes, YesAll, No };

// Questions go to the terminal, or are answered by --yes, --yes-all or --no.
class TTerminalPrompt : public IPrompt {
 public:
  TTerminalPrompt(TAnswerPolicy policy, std::ostream& err) : policy_(policy), err_(err) {}
  TMsgResult Ask(const TMessageRequest& r) override {
    const bool yesNo = r.Buttons == TMsgButtons::YesNo || r.Buttons == TMsgButtons::YesNoCancel;
    const bool okCancel = r.Buttons == TMsgButtons::OkCancel;
    if (!yesNo && !okCancel) {  // a message: show it
      err_ << r.Text << "\n";
      return TMsgResult::Ok;
    }
    const TMsgResult yes = yesNo ? TMsgResult::Yes : TMsgResult::Ok;
    const TMsgResult no = yesNo ? TMsgResult::No : TMsgResult::Cancel;
    if (policy_ == TAnswerPolicy::YesAll || (policy_ == TAnswerPolicy::Yes && okCancel)) return yes;
    if (policy_ == TAnswerPolicy::No) return no;
    if (!::isatty(STDIN_FILENO)) {
      err_ << r.Text << "\n(no answer possible without a terminal: taken as No; "
           << (policy_ == TAnswerPolicy::Yes ? "use --yes-all to answer Yes" : "use --yes, --yes-all or --no") << ")\n";
      return no;
    }
    err_ << r.Text << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return no;
    return (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes") ? yes : no;
  }

 private:
  TAnswerPolicy policy_;
  std::ostream& err_;
};

// A line of a Test's log taken apart for --details --format: the action, what it is done to,
// and what the line adds ("skipped X (why)": why). Lines that are none of the known forms are
// notes, kept whole.
struct TLogEntry {
  std::string Action;
  std::string Entry;
  std::string Note;
};

TLogEntry SplitLogLine(const std::string& line, const std::string& prefix) {
  const std::string text = line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line;
  // The longer forms first: "deleting registry key X" also starts with "deleting ".
  static const std::pair<const char*, const char*> kForms[] = {{"deleting registry key ", "delete-key"},
                                                               {"deleting registry value ", "delete-value"},
                                                               {"deleting ", "delete"}};
  for (const auto& [start, action] : kForms)
    if (text.rfind(start, 0) == 0) return {action, text.substr(std::strlen(start)), ""};
  if (text.rfind("skipped ", 0) == 0 && text.ends_with(')')) {
    const std::size_t open = text.rfind(" (");
    if (open != std::string::npos && open > 8)
      return {"skip", text.substr(8, open - 8), text.substr(open + 2, text.size() - open - 3)};
  }
  return {"note", "", text};
}

// The lines a Test writes around every item's entries (its header, separators, its summary and
// the totals): --format says what they say in its rows.
bool IsFrameLine(const std::string& line, const std::string& prefix) {
  if (line.find_first_not_of('-') == std::string::npos) return true;  // empty, or a separator
  if (line.rfind(prefix + "Clearing ", 0) == 0 && std::string_view(line).ends_with(" ...")) return true;
  if (line.rfind("Total items ", 0) == 0) return true;
  // "12 items will be removed; 1,024 KB will be removed."
  const std::string_view tail = " KB will be removed.";
  const std::size_t digits = line.find_first_not_of("0123456789");
  return digits > 0 && digits != std::string::npos && line.compare(digits, 7, " items ") == 0 &&
         std::string_view(line).ends_with(tail);
}

// The log goes to standard output; a counting pass stays silent, as its log is hidden in
// the window. A progress bar is drawn on a terminal only; a Test's bar moves as its items are
// gone through. With --format the log becomes rows: one per item, or with --details one per
// entry; what else a Test says goes to the error stream without --details.
class TConsoleCleanerView : public ICleanerView {
 public:
  TConsoleCleanerView(TCleanCatalogue& catalogue, std::vector<std::string> items, IPrompt& prompt,
                      std::ostream& out, std::ostream& err, bool test)
      : catalogue_(catalogue), items_(std::move(items)), prompt_(prompt), out_(out), err_(err), test_(test),
        bar_(::isatty(STDERR_FILENO) != 0) {}

  // Rows for scripts instead of the log; `id` gives an item name's id.
  void WriteRows(TRecordWriter& rows, bool details, std::function<std::string(const std::string&)> id) {
    rows_ = &rows;
    details_ = details;
    id_ = std::move(id);
  }

  std::vector<std::string> CollectSelection() override {
    selection_ = items_.empty() ? catalogue_.CollectSelection() : items_;
    return selection_;
  }
  bool FirefoxCategoryChecked() override {
    for (const std::string& item : CollectSelection())
      if (item.rfind("Mozilla Firefox - ", 0) == 0) return true;
    return false;
  }
  bool ConfirmClean() override {
    const bool ok =
        prompt_.Ask({"Run Cleaner",
                     "Are you sure you want to start to clean the selected item? Are you sure you wish to proceed?",
                     TMsgButtons::OkCancel, TMsgIcon::Warning}) == TMsgResult::Ok;
    declined_ = !ok;
    return ok;
  }
  void SetTestCaption(const std::string&) override {}
  void SetProgressVisible(bool visible) override { visible_ = visible; }
  void SetProgressPosition(int position) override {
    position_ = position;
    DrawBar();
  }
  void SetProgressCaption(const std::string& caption, bool shown) override {
    caption_ = shown ? caption : std::string();
    captionShown_ = shown;
    DrawBar();
  }
  void SetLogHidden(bool hidden) override { hidden_ = hidden; }
  bool LogHidden() override { return hidden_; }
  void ClearLog() override {}
  void AddLogLine(const std::string& line) override {
    if (hidden_) return;
    if (rows_) {
      RowLine(line);
      return;
    }
    ClearBar();
    out_ << line << "\n";
    DrawBar();
  }
  void ScrollLogToEnd() override { out_.flush(); }
  void FitLogWidth() override {}
  void ItemDone(const TItemDone& item) override {
    if (hidden_) return;
    done_ = static_cast<std::size_t>(item.Index) + 1;
    if (rows_ && !details_) rows_->Row({id_(item.Name), item.Name, item.Entries, item.Bytes});
    if (test_ && item.Items > 0)
      SetProgressPosition(static_cast<int>(done_ * 1000 / static_cast<std::size_t>(item.Items)));
  }
  void SetTimerEnabled(bool) override {}
  void JobFailed(const std::string& message) override {
    ClearBar();
    err_ << "kestrove-cli: " << message << "\n";
    failed_ = true;
  }

  void Finish() { ClearBar(); }
  bool failed() const { return failed_; }
  bool declined() const { return declined_; }

 private:
  void RowLine(const std::string& line) {
    const std::string prefix = test_ ? "Test: " : "Clean: ";
    if (IsFrameLine(line, prefix)) return;
    const TLogEntry entry = SplitLogLine(line, prefix);
    if (!details_) {
      // Entries (listed when Fast Mode is off in the settings) are what the counts count;
      // what else the log says is not lost.
      if (entry.Action.rfind("delete", 0) == 0) return;
      ClearBar();
      err_ << line << "\n";
      DrawBar();
      return;
    }
    // The entries before an item's summary are the item's after those done.
    const std::string item = done_ < selection_.size() ? selection_[done_] : std::string();
    rows_->Row({id_(item), item, entry.Action, entry.Entry, entry.Note});
  }
  void ClearBar() {
    if (bar_ && drawn_) {
      err_ << "\r\033[K" << std::flush;
      drawn_ = false;
    }
  }
  void DrawBar() {
    if (!bar_ || !visible_) return;
    constexpr int kWidth = 30;
    const int filled = position_ * kWidth / 1000;
    std::string caption = caption_;
    if (test_ && !captionShown_ && !selection_.empty())
      caption = std::to_string(done_) + " of " + std::to_string(selection_.size()) + " items";
    else if (captionShown_ && caption.empty())
      caption = std::to_string(position_ / 10) + "%";
    out_.flush();
    err_ << "\r\033[K[" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(kWidth - filled), ' ') << "] " << caption << std::flush;
    drawn_ = true;
  }

  TCleanCatalogue& catalogue_;
  std::vector<std::string> items_;
  std::vector<std::string> selection_;  // the job's items, as last collected
  IPrompt& prompt_;
  std::ostream& out_;
  std::ostream& err_;
  const bool test_;
  const bool bar_;
  TRecordWriter* rows_ = nullptr;
  bool details_ = false;
  std::function<std::string(const std::string&)> id_;
  bool drawn_ = false;
  bool visible_ = false;
  bool hidden_ = false;
  bool failed_ = false;
  bool declined_ = false;
  int position_ = 0;
  std::size_t done_ = 0;  // items gone through
  std::string caption_;
  bool captionShown_ = false;  // hidden: a Test's bar, which says how many items are done
};

struct TCleanerSetup {
  std::unique_ptr<TargetSystem> target;
  std::string folder;
  TOptionsSetting options;
  TCleanCatalogue catalogue;
};

// The catalogue with "Applications" filled and the stored selection applied, as the window
// has it after its creation.
void Prepare(CliContext& ctx, TCleanerSetup& s) {
  s.target = OpenTarget(ctx.root);
  s.folder = ProgramFolder();
  s.catalogue.FillApplications(*s.target, s.folder);
  s.options.Load(TOptionsSetting::OptionsFile(s.folder), s.catalogue, TWindowDefaults{});
}

// Item arguments: an item name ("Windows - Recent Documents") or a category ("Windows",
// meaning all its items), without regard to case, or the id of either (windows.recent-documents,
// windows).
bool ResolveItems(const TCleanCatalogue& catalogue, const Args& args, std::vector<std::string>& items,
                  std::ostream& err) {
  const std::vector<TCatalogueId> ids = CatalogueIds(catalogue);
  for (const std::string& arg : args) {
    const TCatalogueNode* found = FindById(ids, arg);
    for (const auto& category : catalogue.Categories()) {
      if (found) break;
      if (UpperCase(category->Text) == UpperCase(arg)) found = category.get();
      for (const auto& item : category->Children)
        if (!found && UpperCase(TCleanCatalogue::ItemName(*item)) == UpperCase(arg)) found = item.get();
    }
    if (!found) {
      err << "kestrove-cli: no clean item named '" << arg << "' (see kestrove-cli items)\n";
      return false;
    }
    if (found->Parent)
      items.push_back(TCleanCatalogue::ItemName(*found));
    else
      for (const auto& item : found->Children) items.push_back(TCleanCatalogue::ItemName(*item));
  }
  return true;
}

int RunCleaner(CliContext& ctx, const Args& args, bool clean) {
  TAnswerPolicy policy = TAnswerPolicy::Ask;
  bool details = false;
  TOutputFormat format = TOutputFormat::Plain;
  Args words = args;
  // A clean's log is its record of what went; only a Test has rows for scripts.
  if (!clean && !TakeFormatOption(words, format, ctx.err)) return 2;
  Args names;
  for (const std::string& a : words) {
    if (a == "--yes" || a == "-y")
      policy = TAnswerPolicy::Yes;
    else if (a == "--yes-all")
      policy = TAnswerPolicy::YesAll;
    else if (a == "--no")
      policy = TAnswerPolicy::No;
    else if (a == "--details")
      details = true;
    else if (a.rfind("--", 0) == 0)
      return UnknownOption(ctx, a);
    else
      names.push_back(a);
  }
  TCleanerSetup s;
  Prepare(ctx, s);
  std::vector<std::string> items;
  if (!ResolveItems(s.catalogue, names, items, ctx.err)) return 2;

  // Every entry on its own line: Fast Mode off for this run only (nothing is saved here).
  if (details) s.options.FastScan = false;
  TTerminalPrompt prompt(policy, ctx.err);
  TNoDesktop desktop;
  TMessageQueue queue;
  TConsoleCleanerView view(s.catalogue, items, prompt, ctx.out, ctx.err, !clean);
  // Said here rather than by the page's message, which asks for ticks in a tree there is not.
  if (view.CollectSelection().empty()) {
    ctx.err << "kestrove-cli: no clean item selected: name items or categories after the command (kestrove-cli "
            << (clean ? "clean" : "test") << " \"Windows - Start Run\" Advanced; kestrove-cli items lists them), "
            << "or tick them in the window\n";
    return 1;
  }
  std::optional<TRecordWriter> rows;
  if (format != TOutputFormat::Plain) {
    rows.emplace(ctx.out, format,
                 details ? std::vector<std::string>{"id", "item", "action", "entry", "note"}
                         : std::vector<std::string>{"id", "item", "entries", "bytes"});
    const std::vector<TCatalogueId> ids = CatalogueIds(s.catalogue);
    std::map<std::string, std::string> idOfName;
    for (const TCatalogueId& entry : ids)
      if (entry.Node->Parent) idOfName[TCleanCatalogue::ItemName(*entry.Node)] = entry.Id;
    view.WriteRows(*rows, details, [idOfName](const std::string& name) {
      const auto it = idOfName.find(name);
      return it == idOfName.end() ? std::string() : it->second;
    });
  }
  TCleanContext context{s.target.get(), s.folder, &prompt, &desktop, &s.options};
  TCleanerController controller(context, queue, view, s.options);
  controller.SkipConfirm = policy == TAnswerPolicy::Yes || policy == TAnswerPolicy::YesAll;

  gInterrupted.store(false);
  auto previous = std::signal(SIGINT, OnInterrupt);
  if (clean)
    controller.bCleanClick();
  else
    controller.bTestClick();
  bool stopped = false;
  auto done = [&] { return !controller.Busy && !controller.JobRunning(); };
  // The window's Timer1 is not run: a Test's bar here moves with its items instead of going
  // round on its own.
  while (!done()) {
    queue.ProcessUntil([&] { return done() || (gInterrupted.load() && controller.Busy); },
                       std::chrono::milliseconds(100));
    // As the Cancel button does. Checked on every turn, not once: whatever job is busy after
    // an interrupt is stopped, so no pass can follow the stopped one.
    if (gInterrupted.load() && controller.Busy) {
      controller.Stop();
      stopped = true;
    }
  }
  // The last calls of the job (its end, the commit of a clean) are still queued.
  queue.ProcessPending();
  std::signal(SIGINT, previous);
  view.Finish();
  if (rows) rows->Finish();
  if (stopped) ctx.err << "kestrove-cli: stopped\n";
  // Said last, after the log, so that it is the line a user sees at the end.
  if (controller.FailedRemovals > 0)
    ctx.err << "kestrove-cli: " << controller.FailedRemovals << " entries could not be removed\n";
  if (controller.StoppedItems > 0)
    ctx.err << "kestrove-cli: " << controller.StoppedItems
            << (controller.StoppedItems == 1 ? " item" : " items") << " stopped and removed nothing (see the log)\n";
  if (view.failed()) return 1;
  if (stopped) return 130;
  if (controller.FailedRemovals > 0 || controller.StoppedItems > 0) return 1;
  if (view.declined()) {
    ctx.err << "kestrove-cli: the clean was not confirmed; nothing was removed\n";
    return kDeclinedStatus;
  }
  // No job ran: a message (a running Firefox, a running Wine) said why.
  if (controller.ProgressCaption() != kFinished) return 1;
  return 0;
}

}  // namespace

int CmdItems(CliContext& ctx, const Args& args) {
  Args words = args;
  TOutputFormat format = TOutputFormat::Plain;
  if (!TakeFormatOption(words, format, ctx.err)) return 2;
  bool showIds = false;
  for (const std::string& a : words) {
    if (a == "--ids") {
      showIds = true;
    } else if (a.rfind("--", 0) == 0) {
      return UnknownOption(ctx, a);
    } else {
      ctx.err << "kestrove-cli: items takes no names (see kestrove-cli --help)\n";
      return 2;
    }
  }
  TCleanerSetup s;
  Prepare(ctx, s);
  const std::vector<TCatalogueId> ids = CatalogueIds(s.catalogue);
  if (format != TOutputFormat::Plain) {
    TRecordWriter rows(ctx.out, format, {"id", "item", "category", "selected"});
    for (const TCatalogueId& entry : ids)
      if (entry.Node->Parent)
        rows.Row({entry.Id, TCleanCatalogue::ItemName(*entry.Node), entry.Node->Parent->Text,
                  TValue::Bool(entry.Node->StateIndex == kStateChecked)});
    return 0;
  }
  // With --ids the ids stand in a column of their own, the names aligned after them.
  std::size_t width = 0;
  for (const TCatalogueId& entry : ids) width = std::max(width, entry.Id.size());
  auto column = [&](const TCatalogueNode& node, std::size_t indent) {
    if (!showIds) return std::string();
    std::string id = IdOf(ids, node);
    return id + std::string(width + indent - id.size() + 2, ' ');
  };
  for (const auto& category : s.catalogue.Categories()) {
    ctx.out << (category->StateIndex == kStateChecked ? "[x] " : "[ ] ") << column(*category, 4) << category->Text
            << "\n";
    for (const auto& item : category->Children)
      ctx.out << (item->StateIndex == kStateChecked ? "    [x] " : "    [ ] ") << column(*item, 0)
              << TCleanCatalogue::ItemName(*item) << "\n";
  }
  return 0;
}

int CmdTest(CliContext& ctx, const Args& args) { return RunCleaner(ctx, args, false); }
int CmdClean(CliContext& ctx, const Args& args) { return RunCleaner(ctx, args, true); }

}  // namespace kestrove::cli
