// kestrove-cli scan [SECTION...]: the registry scan without a window, run by the Registry
// page's controller. Rows are printed as the page's "Save as Text" writes them, after the
// ignore lists, then the status; with --format as rows for scripts, without the status.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <ostream>
#include <set>

#include "app/OptionsSetting.h"
#include "app/OwnerThread.h"
#include "app/ProgramFolder.h"
#include "cli/Commands.h"
#include "cli/OutputFormat.h"
#include "platform/TargetSystem.h"
#include "regscan/RestorePoint.h"
#include "regscan/ScanController.h"
#include "regscan/ScanTypes.h"

namespace kestrove::cli {

namespace fs = std::filesystem;

namespace {

std::string SectionList() {
  std::string out;
  for (const TScanSection& s : ScanSections()) {
    out += "  " + std::to_string(s.Code) + (s.Code < 10 ? "   " : "  ") + std::string(s.Level * 2, ' ') + s.Text + "\n";
  }
  return out;
}

// Shows the running section and the count of rows on the terminal's last line.
class Progress {
 public:
  Progress(std::ostream& err, bool enabled) : err_(err), enabled_(enabled) {}
  ~Progress() { Clear(); }
  void Section(const std::string& title) {
    if (!title.empty()) title_ = title;
    Show(true);
  }
  void Rows(std::size_t rows) {
    rows_ = rows;
    Show(false);
  }
  void Clear() {
    if (enabled_ && shown_) err_ << "\r\033[K" << std::flush;
    shown_ = false;
  }

 private:
  void Show(bool now) {
    if (!enabled_) return;
    const auto t = std::chrono::steady_clock::now();
    if (!now && t - last_ < std::chrono::milliseconds(100)) return;
    last_ = t;
    err_ << "\r\033[K" << title_ << "  (" << rows_ << " found)" << std::flush;
    shown_ = true;
  }
  std::ostream& err_;
  bool enabled_;
  bool shown_ = false;
  std::string title_ = "Scanning...";
  std::size_t rows_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

// The rows' texts, kept in large shared blocks: a few hundred thousand rows cost their bytes,
// not an allocation each. Texts stay until the whole list is dropped.
class TRowTexts {
 public:
  // Copies `first` and `second` one after the other; returns where the copy starts.
  const char* Add(std::string_view first, std::string_view second = {}) {
    const std::size_t size = first.size() + second.size();
    if (size > left_) {
      const std::size_t block = std::max<std::size_t>(kBlockSize, size);
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
      free_ = blocks_.back().get();
      left_ = block;
    }
    char* at = free_;
    if (!first.empty()) std::memcpy(at, first.data(), first.size());
    if (!second.empty()) std::memcpy(at + first.size(), second.data(), second.size());
    free_ += size;
    left_ -= size;
    return at;
  }
  void Clear() {
    blocks_.clear();
    free_ = nullptr;
    left_ = 0;
  }

 private:
  static constexpr std::size_t kBlockSize = 256 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;
  std::size_t left_ = 0;
};

// A result row as the command-line view keeps it. A location is split after its last
// backslash: the key part is shared with the row before when both name the same key, as the
// rows of one key's values come one after another.
class TCompactRow {
 public:
  TCompactRow(const TScanResult& row, const TCompactRow* before, TRowTexts& texts)
      : problem_(row.ProblemType), kind_(row.LocationKind), selected_(row.Selected) {
    const std::string_view location = row.Location;
    const std::size_t cut = location.rfind('\\');
    const std::string_view key = cut == std::string_view::npos ? std::string_view() : location.substr(0, cut + 1);
    const std::string_view rest = location.substr(key.size());
    dataLength_ = static_cast<std::uint32_t>(row.Data.size());
    restLength_ = static_cast<std::uint32_t>(rest.size());
    keyLength_ = static_cast<std::uint32_t>(key.size());
    key_ = before && before->Key() == key ? before->key_ : texts.Add(key);
    text_ = texts.Add(row.Data, rest);
  }
  TScanResult Row() const {
    TScanResult r;
    RowInto(r);
    return r;
  }
  // Fills `r`, reusing its strings' memory.
  void RowInto(TScanResult& r) const {
    r.ProblemType = problem_;
    r.Data.assign(text_, dataLength_);
    r.Location.assign(key_, keyLength_);
    r.Location.append(text_ + dataLength_, restLength_);
    r.LocationKind = kind_;
    r.Selected = selected_;
  }
  void Select() { selected_ = true; }
  bool Selected() const { return selected_; }

 private:
  std::string_view Key() const { return {key_, keyLength_}; }

  TProblemText problem_;
  const char* text_ = nullptr;  // Data, then the location after the key part
  const char* key_ = nullptr;
  std::uint32_t dataLength_ = 0;
  std::uint32_t restLength_ = 0;
  std::uint32_t keyLength_ = 0;
  TLocationKind kind_;
  bool selected_;
};

// The Registry page on a terminal: the running section and the count of rows on the last
// line; the rows and the status text kept for the end.
class ScanView : public IScanView {
 public:
  ScanView(std::vector<std::string> sections, std::ostream& err, bool showProgress)
      : progress(err, showProgress), sections_(std::move(sections)) {}

  std::vector<std::string> CollectSections() override { return sections_; }
  void SetScanCaption(const std::string&) override {}
  void SetRestoreVisible(bool) override {}
  void SetMemoVisible(bool) override {}
  void SetMemoText(const std::string&) override {}
  void SetScanTitle(const std::string& text) override { progress.Section(text); }
  void ShowProgress() override {}
  void SetProgressPosition(int) override {}
  void SetProgressCaption(const std::string&, bool) override {}
  std::size_t RowCount() override { return rows.size(); }
  std::vector<TScanResult> Rows() override {
    std::vector<TScanResult> out;
    out.reserve(rows.size());
    for (const TCompactRow& r : rows) out.push_back(r.Row());
    return out;
  }
  std::size_t SelectedRowCount() override {
    std::size_t selected = 0;
    for (const TCompactRow& r : rows) selected += r.Selected() ? 1 : 0;
    return selected;
  }
  void ForEachRow(const std::function<void(const TScanResult&)>& visit) override {
    TScanResult row;
    for (const TCompactRow& r : rows) {
      r.RowInto(row);
      visit(row);
    }
  }
  void KeepRows(const std::vector<bool>& removed) override {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i < removed.size() && removed[i]) continue;
      if (kept != i) rows[kept] = std::move(rows[i]);
      ++kept;
    }
    while (rows.size() > kept) rows.pop_back();
  }
  void SetRows(const std::vector<TScanResult>& r) override {
    ClearRows();
    for (const TScanResult& row : r) Append(row);
  }
  void ClearRows() override {
    rows.clear();
    texts_.Clear();
  }
  void AddRow(const TScanResult& row) override {
    Append(row);
    progress.Rows(rows.size());
  }
  void RemoveLastRow() override { rows.pop_back(); }  // its texts stay until the list is dropped
  void SelectAllRows() override {
    for (TCompactRow& r : rows) r.Select();
  }
  void SetDefaultColumnWidths() override {}
  void FitColumnsToContents() override {}
  void SetStatusText(const std::string& text) override { status = text; }
  void SetTimerEnabled(bool) override {}
  void ScanEnded(bool c, const std::string& e) override {
    completed = c;
    error = e;
  }

  Progress progress;
  // A scan may find hundreds of thousands of rows: a deque takes them without ever holding
  // the list twice, as a growing vector does while it moves to a larger array.
  std::deque<TCompactRow> rows;
  std::string status;
  bool completed = false;
  std::string error;

 private:
  void Append(const TScanResult& row) { rows.emplace_back(row, rows.empty() ? nullptr : &rows.back(), texts_); }

  std::vector<std::string> sections_;
  TRowTexts texts_;
};

// Fix's questions: the backup folder question is answered by --yes or on a terminal, messages
// are shown on the error stream.
class FixPrompt : public IPrompt {
 public:
  FixPrompt(bool yes, std::ostream& err) : yes_(yes), err_(err) {}
  TMsgResult Ask(const TMessageRequest& r) override {
    if (r.Buttons != TMsgButtons::YesNo) {
      err_ << r.Text << "\n";
      return TMsgResult::Ok;
    }
    return AskYesNo(r.Text) ? TMsgResult::Yes : TMsgResult::No;
  }
  bool AskYesNo(const std::string& text) {
    if (yes_) return true;
    if (!::isatty(STDIN_FILENO)) {
      err_ << text << "\n(no answer possible without a terminal: taken as No; use --yes)\n";
      return false;
    }
    err_ << text << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
  }

 private:
  bool yes_;
  std::ostream& err_;
};

// The restore point Fix takes first when the settings ask for one, as the window's dialog
// takes it; a point that cannot be taken is a question, as there.
class TCliRestorePoint : public IRestorePointDialog {
 public:
  TCliRestorePoint(TargetSystem& target, std::filesystem::path backupFolder, FixPrompt& prompt, std::ostream& out,
                   std::ostream& err)
      : target_(target), folder_(std::move(backupFolder)), prompt_(prompt), out_(out), err_(err) {}
  bool Run() override {
    try {
      TRestorePoints points(folder_);
      const std::string name = points.Create(*target_.Registry(), target_.Identity());
      out_ << "Restore point " << name << " taken in " << points.Folder().string() << "\n";
      return true;
    } catch (const std::exception& e) {
      err_ << "kestrove-cli: fix: the restore point could not be taken: " << e.what() << "\n";
    }
    return prompt_.AskYesNo("Restore Point creation Failed! Contiue to fix?");
  }

 private:
  TargetSystem& target_;
  std::filesystem::path folder_;
  FixPrompt& prompt_;
  std::ostream& out_;
  std::ostream& err_;
};

// The user answered No (or could not be asked): nothing was removed.
constexpr int kDeclinedStatus = 3;

// What Fix removes for a row, as a word for --format.
const char* LocationKindWord(TLocationKind kind) {
  switch (kind) {
    case TLocationKind::lkKey: return "key";
    case TLocationKind::lkPathValue: return "path-value";
    case TLocationKind::lkDataValue: return "data-value";
    case TLocationKind::lkDataSubkey: return "data-subkey";
    case TLocationKind::lkShortcutFile: return "shortcut-file";
    case TLocationKind::lkDefaultValue: return "default-value";
    case TLocationKind::lkEncodedDataValue: return "encoded-data-value";
  }
  return "key";
}

int RunScan(CliContext& ctx, const Args& args, bool fix) {
  const char* name = fix ? "fix" : "scan";
  std::set<int> named;
  bool yes = false, restorePoint = true;
  Args words = args;
  TOutputFormat format = TOutputFormat::Plain;
  // Fix asks and reports as it goes: its output is for people only.
  if (!fix && !TakeFormatOption(words, format, ctx.err)) return 2;
  for (const std::string& a : words) {
    if (a == "-h" || a == "--help" || a == "/?") {
      ctx.out << "Usage: kestrove-cli " << name
              << (fix ? " [SECTION...] [--yes] [--no-restore-point]" : " [SECTION...] [--format tsv|json]")
              << "\n\nSections, by number or by name (any case; quote names with blanks):\n"
              << SectionList() << "\nExample:\n  "
              << (fix ? "kestrove-cli fix --yes \"Shared DLLs\"" : "kestrove-cli scan --format tsv \"Shared DLLs\" 14")
              << "\n";
      return 0;
    }
    if (fix && (a == "--yes" || a == "-y")) {
      yes = true;
      continue;
    }
    if (fix && a == "--no-restore-point") {
      restorePoint = false;
      continue;
    }
    if (IsOption(a)) return UnknownOption(ctx, a);
    auto code = ScanSectionByName(a);
    if (!code) {
      ctx.err << "kestrove-cli: " << name << ": no section is called '" << a << "'. The sections are:\n"
              << SectionList();
      return 2;
    }
    for (int c : ScanSectionWithChildren(*code)) named.insert(c);
  }

  // Settings: the stored sections, removable drives, the ignore lists.
  const std::string programFolder = ProgramFolder();
  const TIniFile ini = TOptionsSetting::OptionsFile(programFolder);
  TOptionsSetting options = LoadSettingsWithoutItems(ini);

  // The codes in tree order, as the window collects its ticked nodes.
  std::vector<std::string> selection;
  for (const TScanSection& s : ScanSections()) {
    const bool chosen = named.empty() ? (s.Code <= kRegistryCheckSlotCount &&
                                        options.TreeViewNodeCheck[static_cast<std::size_t>(s.Code - 1)])
                                     : named.count(s.Code) > 0;
    if (chosen) selection.push_back(std::to_string(s.Code));
  }
  if (selection.empty()) {
    ctx.err << "kestrove-cli: " << name << ": no section is ticked in " << ini.FileName().string()
            << "; name the sections to scan (kestrove-cli scan --help lists them).\n";
    return 1;
  }

  // A missing or unknown target ends the command through main's error line.
  std::unique_ptr<TargetSystem> target = OpenTarget(ctx.root);

  // The scan as the Registry page runs it; the rows and the status stay in the view.
  TMessageQueue owner;
  ScanView view(selection, ctx.err, ::isatty(STDERR_FILENO) == 1);
  FixPrompt prompt(yes, ctx.err);
  TScanController scan(*target, owner, view, options, &prompt);
  TCliRestorePoint point(*target, options.OutputDirectory, prompt, ctx.out, ctx.err);
  if (restorePoint) scan.RestorePointDialog = &point;
  scan.bScanClick();
  owner.ProcessUntil([&] { return !scan.JobRunning(); });
  view.progress.Clear();
  if (!view.completed) {
    ctx.err << "kestrove-cli: the scan stopped: "
            << (view.error.empty() ? std::string("it was interrupted") : view.error) << "\n";
    return 1;
  }
  if (format != TOutputFormat::Plain) {
    TRecordWriter rows(ctx.out, format, {"problem", "data", "location", "location_kind"});
    view.ForEachRow([&](const TScanResult& row) {
      rows.Row({row.ProblemType.str(), row.Data, row.Location, LocationKindWord(row.LocationKind)});
    });
    rows.Finish();
    return ctx.out.good() ? 0 : 1;
  }
  view.ForEachRow([&](const TScanResult& row) { ctx.out << SaveAsTextLine(row) << "\n"; });
  ctx.out << view.status << "\n";
  if (!fix) return ctx.out.good() ? 0 : 1;

  if (view.rows.empty()) {
    ctx.out << "Nothing to fix.\n";
    return 0;
  }
  ctx.out.flush();
  if (!prompt.AskYesNo("Fix these " + std::to_string(view.rows.size()) + " errors? Each item is first written to a "
                       "backup in " + options.OutputDirectory + ".")) {
    ctx.err << "kestrove-cli: fix: not confirmed; nothing was removed\n";
    return kDeclinedStatus;
  }
  const TFixResult result = scan.bFixErrorsClick();
  switch (result.Outcome) {
    case TFixOutcome::Fixed:
      break;
    case TFixOutcome::FolderDeclined:
      ctx.err << "kestrove-cli: fix: no backup folder; nothing was removed\n";
      return kDeclinedStatus;
    case TFixOutcome::NoRows:
      ctx.out << "Nothing to fix.\n";
      return 0;
    case TFixOutcome::RestorePointCancelled:
      ctx.err << "kestrove-cli: fix: cancelled; nothing was removed\n";
      return kDeclinedStatus;
    default:
      ctx.err << "kestrove-cli: fix: " << (result.Error.empty() ? std::string("stopped") : result.Error) << "\n";
      if (result.Removed > 0) ctx.err << "kestrove-cli: " << result.Removed << " items were removed before that\n";
      if (!result.BackupFile.empty() && fs::exists(result.BackupFile))
        ctx.err << "kestrove-cli: backup: " << result.BackupFile.string() << "\n";
      return 1;
  }
  if (fs::exists(result.BackupFile)) ctx.out << "Backup: " << result.BackupFile.string() << "\n";
  ctx.out << result.Removed << " items removed.";
  if (result.Rows != result.Removed + result.NotRemoved)
    ctx.out << " They stood for " << result.Rows << " rows: some rows name the same item.";
  ctx.out << "\n";
  if (result.NotRemoved > 0)
    ctx.err << "kestrove-cli: fix: " << result.NotRemoved
            << (result.NotRemoved == 1 ? " entry" : " entries") << " could not be removed\n";
  // Rows that name no registry item stay in the list: they were not handled.
  return view.rows.empty() && result.NotRemoved == 0 && ctx.out.good() ? 0 : 1;
}

}  // namespace

int CmdScan(CliContext& ctx, const Args& args) { return RunScan(ctx, args, false); }
int CmdFix(CliContext& ctx, const Args& args) { return RunScan(ctx, args, true); }

}  // namespace kestrove::cli
