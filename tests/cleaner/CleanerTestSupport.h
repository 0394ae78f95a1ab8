// Fakes for the cleaner's window side: a view that records what the controller shows, a
// prompt with scripted answers, and item operations made to order.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "cleaner/CleanCatalogue.h"
#include "cleaner/CleanerController.h"

namespace kestrove::testing {

class TScriptedPrompt : public IPrompt {
 public:
  std::deque<TMsgResult> answers;
  std::vector<TMessageRequest> asked;
  TMsgResult Ask(const TMessageRequest& r) override {
    asked.push_back(r);
    if (answers.empty()) return r.Buttons == TMsgButtons::YesNo ? TMsgResult::Yes : TMsgResult::Ok;
    TMsgResult a = answers.front();
    answers.pop_front();
    return a;
  }
};

class TRecordingView : public ICleanerView {
 public:
  std::vector<std::string> selection;
  bool firefox = false;
  bool confirm = true;
  int confirmations = 0;
  std::string testCaption = "Test";
  bool progressVisible = false;
  int position = 0;
  std::string caption;
  bool captionShown = false;
  bool hidden = false;
  bool timer = false;
  std::vector<std::string> log;         // what the list holds now
  std::vector<std::string> everLogged;  // every line ever added, hidden ones too
  std::vector<std::string> failures;
  int fits = 0;

  std::vector<std::string> CollectSelection() override { return selection; }
  bool FirefoxCategoryChecked() override { return firefox; }
  bool ConfirmClean() override {
    ++confirmations;
    return confirm;
  }
  void SetTestCaption(const std::string& c) override { testCaption = c; }
  void SetProgressVisible(bool v) override { progressVisible = v; }
  void SetProgressPosition(int p) override { position = p; }
  void SetProgressCaption(const std::string& c, bool shown) override {
    caption = c;
    captionShown = shown;
  }
  void SetLogHidden(bool h) override { hidden = h; }
  bool LogHidden() override { return hidden; }
  void ClearLog() override { log.clear(); }
  void AddLogLine(const std::string& line) override {
    log.push_back(line);
    everLogged.push_back((hidden ? "(hidden) " : "") + line);
  }
  void ScrollLogToEnd() override {}
  void FitLogWidth() override { ++fits; }
  void SetTimerEnabled(bool e) override { timer = e; }
  void JobFailed(const std::string& m) override { failures.push_back(m); }
};

// An item operation that finds `count` entries of `bytes` each, logging a detail line for
// each (in Fast Mode only the count).
inline TItemOperation Finds(int count, std::uint64_t bytes) {
  return [count, bytes](TClearTaskThread& job) {
    for (int i = 0; i < count && !job.Terminated(); ++i) {
      if (!job.FastMode()) job.LogDetail(job.LinePrefix + "deleting C:\\f" + std::to_string(i), 50);
      ++job.ItemCount;
      job.ItemBytes += bytes;
      job.ProgressPacing();
    }
  };
}

}  // namespace kestrove::testing
