// Running cleaning jobs in tests: a harness that owns everything a job needs besides its
// target (options, prompt, desktop, owner queue, events), runs a whole job synchronously or
// hands out a job whose item operations the test calls itself, and reads the log back.
//
//   memory::MemoryTarget target;
//   testing::TCleanJobHarness h(target);
//   auto run = h.Run(TestRun, {"Windows - Temporary Files"});
//   EXPECT_EQ(run.Summary("Windows - Temporary Files").Count, 3);
//
//   auto job = h.MakeJob(DirectClean);      // operations run on the test thread
//   int counter = 0;
//   ClearFolder(*job, "C:\\x", false, true, "", counter);
//   auto lines = h.TakeLines();
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/OwnerThread.h"
#include "cleaner/ClearTask.h"
#include "platform/TargetSystem.h"

namespace kestrove::testing {

// Answers questions by a rule the test sets (default: No, the default button) and keeps
// every question asked. Safe to ask from the worker.
class TRulePrompt : public IPrompt {
 public:
  std::function<TMsgResult(const TMessageRequest&)> Rule;

  TMsgResult Ask(const TMessageRequest& request) override {
    std::lock_guard lock(mu_);
    asked_.push_back(request);
    return Rule ? Rule(request) : TMsgResult::No;
  }
  std::vector<TMessageRequest> Asked() const {
    std::lock_guard lock(mu_);
    return asked_;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const TMessageRequest& r : Asked()) out.push_back(r.Text);
    return out;
  }
  // Yes to everything except the questions whose text contains `marker`.
  void NoTo(std::string marker) {
    Rule = [marker](const TMessageRequest& r) {
      return r.Text.find(marker) != std::string::npos ? TMsgResult::No : TMsgResult::Yes;
    };
  }

 private:
  mutable std::mutex mu_;
  std::vector<TMessageRequest> asked_;
};

// A desktop whose clipboard and browser session calls are counted.
class TCountingDesktop : public IDesktopServices {
 public:
  std::atomic<int> ClipboardEmptied{0};
  std::atomic<int> SessionsEnded{0};
  bool TopLevelWindowOfClassExists(std::string_view) override { return false; }
  bool EmptyClipboard() override {
    ++ClipboardEmptied;
    return true;
  }
  void EndBrowserSession() override { ++SessionsEnded; }
};

// Every call of the job, in order, on the owner (test) thread.
class TJobEvents : public IClearTaskEvents {
 public:
  std::vector<std::string> Lines;
  std::vector<int> Progress;
  std::optional<int> Done;
  bool Ended = false;
  bool Completed = false;
  std::string Error;
  int Failed = 0;  // entries the job could not remove

  void AddLogLine(const std::string& line) override { Lines.push_back(line); }
  void ScrollLogToEnd() override {}
  void CleanProgress(int count) override { Progress.push_back(count); }
  void CleanDone(int total) override { Done = total; }
  void RemovalsFailed(int count) override { Failed += count; }
  void JobEnded(bool completed, const std::string& error) override {
    Ended = true;
    Completed = completed;
    Error = error;
  }
};

struct TItemSummary {
  int Count = -1;
  std::string KB;  // as the summary line writes it ("1,024")
};

// What a whole job wrote.
struct TJobResult {
  std::vector<std::string> Lines;
  bool Completed = false;
  std::string Error;
  std::optional<int> Done;
  int Failed = 0;

  // The item's summary, read from the line after its detail lines; Count -1 when the item
  // is not in the log.
  TItemSummary Summary(const std::string& item) const {
    TItemSummary out;
    bool inItem = false;
    for (const std::string& line : Lines) {
      if (line.find("Clearing " + item + " ...") != std::string::npos) {
        inItem = true;
        continue;
      }
      if (!inItem) continue;
      const auto items = line.find(" items ");
      const auto semi = line.find("; ");
      const auto kb = line.find(" KB ");
      if (items != std::string::npos && semi != std::string::npos && kb != std::string::npos &&
          line.find("deleting") == std::string::npos) {
        out.Count = std::stoi(line.substr(0, items));
        out.KB = line.substr(semi + 2, kb - semi - 2);
        return out;
      }
    }
    return out;
  }
  // The "deleting" lines without their "Test: " or "Clean: ", in order.
  std::vector<std::string> Deleting() const {
    std::vector<std::string> out;
    for (const std::string& line : Lines) {
      const auto colon = line.find(": deleting");
      if (colon != std::string::npos) out.push_back(line.substr(colon + 2));
    }
    return out;
  }
};

class TCleanJobHarness {
 public:
  explicit TCleanJobHarness(TargetSystem& target) : target_(target) {
    Options.WipeNumber = 1;
    ProgramFolder = (target.Folder() / "kestrove-program").string() + "/";
  }

  TOptionsSetting Options;
  TRulePrompt Prompt;
  TCountingDesktop Desktop;
  std::atomic<bool> FastMode{false};
  std::string ProgramFolder;

  TCleanContext Context() {
    TCleanContext c;
    c.Target = &target_;
    c.ProgramFolder = ProgramFolder;
    c.Prompt = &Prompt;
    c.Desktop = &Desktop;
    c.Options = &Options;
    return c;
  }

  // Runs a whole job on its worker and waits for its end.
  TJobResult Run(TRunMode mode, std::vector<std::string> items,
                 std::chrono::seconds timeout = std::chrono::seconds(120)) {
    TJobEvents events;
    auto job = std::make_shared<TClearTaskThread>(Context(), queue_, events, mode, std::move(items), FastMode);
    job->Resume();
    const bool ended = queue_.ProcessUntil([&] { return events.Ended; }, timeout);
    EXPECT_TRUE(ended) << "the job did not end in time";
    if (!ended) {
      job->Terminate();
      queue_.ProcessUntil([&] { return events.Ended; });
    }
    job->WaitFor();
    TJobResult result;
    result.Lines = std::move(events.Lines);
    result.Completed = events.Completed;
    result.Error = events.Error;
    result.Done = events.Done;
    result.Failed = events.Failed;
    return result;
  }

  // A job that is never resumed: the test calls item operations on it from its own thread,
  // which is the job's owner, so questions and log lines need no waiting.
  std::shared_ptr<TClearTaskThread> MakeJob(TRunMode mode) {
    auto job = std::make_shared<TClearTaskThread>(Context(), queue_, loose_, mode, std::vector<std::string>{},
                                                  FastMode);
    job->LastProgressTime = std::chrono::steady_clock::now();
    made_.push_back(job);  // its queued log lines refer to it
    return job;
  }

  // The lines the jobs of MakeJob wrote since the last call.
  std::vector<std::string> TakeLines() {
    queue_.ProcessPending();
    std::vector<std::string> out;
    out.swap(loose_.Lines);
    return out;
  }

 private:
  TargetSystem& target_;
  TMessageQueue queue_;
  TJobEvents loose_;
  std::vector<std::shared_ptr<TClearTaskThread>> made_;
};

// Lines that contain `text`.
inline std::vector<std::string> LinesWith(const std::vector<std::string>& lines, const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.find(text) != std::string::npos) out.push_back(l);
  return out;
}

// Each line once, at its first place.
inline std::vector<std::string> FirstOccurrences(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  std::map<std::string, bool> seen;
  for (const std::string& l : lines)
    if (!seen[l]) {
      seen[l] = true;
      out.push_back(l);
    }
  return out;
}

}  // namespace kestrove::testing
