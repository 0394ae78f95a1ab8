// kestrove-cli items | test | clean: the cleaner page without a window.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>

#include "app/Helpers.h"
#include "app/OptionsSetting.h"
#include "app/ProgramFolder.h"
#include "cleaner/CleanCatalogue.h"
#include "cleaner/CleanerController.h"
#include "cli/Commands.h"

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

// The log goes to standard output; a counting pass stays silent, as its log is hidden in
// the window. A progress bar is drawn on a terminal only.
class TConsoleCleanerView : public ICleanerView {
 public:
  TConsoleCleanerView(TCleanCatalogue& catalogue, std::vector<std::string> items, IPrompt& prompt,
                      std::ostream& out, std::ostream& err)
      : catalogue_(catalogue), items_(std::move(items)), prompt_(prompt), out_(out), err_(err),
        bar_(::isatty(STDERR_FILENO) != 0) {}

  std::vector<std::string> CollectSelection() override {
    return items_.empty() ? catalogue_.CollectSelection() : items_;
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
    ClearBar();
    out_ << line << "\n";
    ++lines_;
    DrawBar();
  }
  void ScrollLogToEnd() override { out_.flush(); }
  void FitLogWidth() override {}
  void SetTimerEnabled(bool enabled) override { timer_ = enabled; }
  void JobFailed(const std::string& message) override {
    ClearBar();
    err_ << "kestrove-cli: " << message << "\n";
    failed_ = true;
  }

  void Finish() { ClearBar(); }
  bool failed() const { return failed_; }
  bool declined() const { return declined_; }
  bool timerEnabled() const { return timer_; }

 private:
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
    out_.flush();
    err_ << "\r\033[K[" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(kWidth - filled), ' ') << "] "
         << (!captionShown_ ? std::string() : caption_.empty() ? std::to_string(position_ / 10) + "%" : caption_)
         << std::flush;
    drawn_ = true;
  }

  TCleanCatalogue& catalogue_;
  std::vector<std::string> items_;
  IPrompt& prompt_;
  std::ostream& out_;
  std::ostream& err_;
  const bool bar_;
  bool drawn_ = false;
  bool visible_ = false;
  bool hidden_ = false;
  bool failed_ = false;
  bool declined_ = false;
  bool timer_ = false;
  int position_ = 0;
  std::string caption_;
  bool captionShown_ = false;  // hidden: the bar of a Test moves without a figure
  std::size_t lines_ = 0;
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
// meaning all its items), without regard to case.
bool ResolveItems(const TCleanCatalogue& catalogue, const Args& args, std::vector<std::string>& items,
                  std::ostream& err) {
  for (const std::string& arg : args) {
    bool found = false;
    for (const auto& category : catalogue.Categories()) {
      if (UpperCase(category->Text) == UpperCase(arg)) {
        for (const auto& item : category->Children) items.push_back(TCleanCatalogue::ItemName(*item));
        found = true;
        break;
      }
      for (const auto& item : category->Children) {
        if (UpperCase(TCleanCatalogue::ItemName(*item)) == UpperCase(arg)) {
          items.push_back(TCleanCatalogue::ItemName(*item));
          found = true;
          break;
        }
      }
      if (found) break;
    }
    if (!found) {
      err << "kestrove-cli: no clean item named '" << arg << "' (see kestrove-cli items)\n";
      return false;
    }
  }
  return true;
}

int RunCleaner(CliContext& ctx, const Args& args, bool clean) {
  TAnswerPolicy policy = TAnswerPolicy::Ask;
  bool details = false;
  Args names;
  for (const std::string& a : args) {
    if (a == "--yes" || a == "-y")
      policy = TAnswerPolicy::Yes;
    else if (a == "--yes-all")
      policy = TAnswerPolicy::YesAll;
    else if (a == "--no")
      policy = TAnswerPolicy::No;
    else if (a == "--details")
      details = true;
    else if (a.rfind("--", 0) == 0) {
      ctx.err << "kestrove-cli: unknown option " << a << "\n";
      return 2;
    } else
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
  TConsoleCleanerView view(s.catalogue, items, prompt, ctx.out, ctx.err);
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
  // Timer1 of the window: the bar of a Test moves on its own every half second.
  auto nextTick = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (!done()) {
    queue.ProcessUntil([&] { return done() || (gInterrupted.load() && controller.Busy); },
                       std::chrono::milliseconds(100));
    if (view.timerEnabled() && std::chrono::steady_clock::now() >= nextTick) {
      controller.Timer1Timer(true);
      nextTick = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    }
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
  if (controller.ProgressCaption() != kFinished) {
    // No job ran: nothing selected, or a message said why.
    if (controller.SelectedItems.empty())
      ctx.err << "kestrove-cli: no clean item selected: name items or categories after the command (kestrove-cli "
              << (clean ? "clean" : "test") << " \"Windows - Start Run\" Advanced; kestrove-cli items lists them), "
              << "or tick them in the window\n";
    return 1;
  }
  return 0;
}

}  // namespace

int CmdItems(CliContext& ctx, const Args& args) {
  if (!args.empty()) {
    ctx.err << "kestrove-cli: items takes no arguments\n";
    return 2;
  }
  TCleanerSetup s;
  Prepare(ctx, s);
  for (const auto& category : s.catalogue.Categories()) {
    ctx.out << (category->StateIndex == kStateChecked ? "[x] " : "[ ] ") << category->Text << "\n";
    for (const auto& item : category->Children)
      ctx.out << (item->StateIndex == kStateChecked ? "    [x] " : "    [ ] ") << TCleanCatalogue::ItemName(*item)
              << "\n";
  }
  return 0;
}

int CmdTest(CliContext& ctx, const Args& args) { return RunCleaner(ctx, args, false); }
int CmdClean(CliContext& ctx, const Args& args) { return RunCleaner(ctx, args, true); }

}  // namespace kestrove::cli
