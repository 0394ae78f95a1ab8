#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "ScanTestSupport.h"
#include "platform/memory/MemoryTarget.h"
#include "regscan/ScanTaskThread.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using memory::MemoryTarget;
using testing::RecordingEvents;

// The registry of a memory target, except that reading below a key named "Poison" fails as
// a damaged hive file does.
class PoisonedStore : public RegistryStore {
 public:
  explicit PoisonedStore(std::shared_ptr<RegistryStore> inner) : in_(std::move(inner)) {}
  bool KeyExists(TRootKey r, std::string_view p) override { return in_->KeyExists(r, p); }
  bool CreateKey(TRootKey r, std::string_view p) override { return in_->CreateKey(r, p); }
  std::optional<std::vector<std::string>> SubKeyNames(TRootKey r, std::string_view p) override {
    Check(p);
    return in_->SubKeyNames(r, p);
  }
  std::optional<std::vector<std::string>> ValueNames(TRootKey r, std::string_view p) override {
    Check(p);
    return in_->ValueNames(r, p);
  }
  std::optional<std::vector<RegValue>> Values(TRootKey r, std::string_view p) override {
    Check(p);
    return in_->Values(r, p);
  }
  std::optional<RegValue> QueryValue(TRootKey r, std::string_view p, std::string_view n) override {
    return in_->QueryValue(r, p, n);
  }
  std::optional<RegKeyInfo> QueryKeyInfo(TRootKey r, std::string_view p) override { return in_->QueryKeyInfo(r, p); }
  bool SetValue(TRootKey r, std::string_view p, std::string_view n, std::uint32_t t, const Bytes& d) override {
    return in_->SetValue(r, p, n, t, d);
  }
  bool DeleteValue(TRootKey r, std::string_view p, std::string_view n) override { return in_->DeleteValue(r, p, n); }
  bool DeleteKey(TRootKey r, std::string_view p) override { return in_->DeleteKey(r, p); }
  bool CanDeleteKey(TRootKey r, std::string_view p) override { return in_->CanDeleteKey(r, p); }
  bool CreateLink(TRootKey r, std::string_view p, std::string_view t) override { return in_->CreateLink(r, p, t); }
  bool IsLink(TRootKey r, std::string_view p) override { return in_->IsLink(r, p); }
  std::optional<std::string> WriteBlockReason() override { return in_->WriteBlockReason(); }
  void Commit() override { in_->Commit(); }
  bool HasUncommittedChanges() override { return in_->HasUncommittedChanges(); }
  void Discard() override { in_->Discard(); }
  std::string UserSid() override { return in_->UserSid(); }
  std::string Describe() override { return in_->Describe(); }

 private:
  static void Check(std::string_view path) {
    if (path.find("Poison") != std::string_view::npos) throw RegistryError("damaged hive file: user.reg line 12");
  }
  std::shared_ptr<RegistryStore> in_;
};

class PoisonedTarget : public TargetSystem {
 public:
  explicit PoisonedTarget(MemoryTarget& base)
      : TargetSystem("poisoned", base.Folder(), std::make_shared<PoisonedStore>(base.Registry())), base_(base) {
    SetDriveMap(BuildDriveMap());
  }

 protected:
  DriveMap BuildDriveMap() override {
    DriveMap m;
    m.Set('C', base_.DriveC(), DRIVE_FIXED, true);
    return m;
  }

 private:
  MemoryTarget& base_;
};

// Names list in the order of their text: numbers with two digits keep their order.
std::string Two(int i) { return (i < 10 ? "0" : "") + std::to_string(i); }

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class ScanThread : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    for (int i = 0; i < 50; ++i) {
      t.SetString(HKEY_CURRENT_USER, run, "Gone" + Two(i), "C:\\Gone\\p" + Two(i) + ".exe");
    }
    t.SetString(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Svc", "ImagePath", "C:\\Gone\\svc.exe");
  }
  MemoryTarget t;
};

TEST_F(ScanThread, RowsInOrderThenStepsAndTheEndTexts) {
  RecordingEvents events;
  {
    TScanTaskThread worker(t, events, false);
    worker.SectionCodes = {"14", "17", "x"};
    worker.Resume();
    worker.Resume();  // a second start does nothing
    ASSERT_TRUE(WaitUntil([&] { return worker.Finished(); }));
  }
  ASSERT_TRUE(events.ended);
  EXPECT_TRUE(events.completed);
  EXPECT_EQ(events.error, "");
  ASSERT_EQ(events.rows.size(), 51u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(events.rows[static_cast<std::size_t>(i)].Data, "C:\\Gone\\p" + Two(i) + ".exe");
  EXPECT_EQ(events.rows.back().ProblemType, problem::kService);
  for (const TScanResult& r : events.rows) EXPECT_FALSE(r.Selected);

  std::vector<std::string> outline;
  for (const std::string& c : events.calls) {
    if (c.rfind("row:", 0) != 0) outline.push_back(c);
  }
  EXPECT_EQ(outline, (std::vector<std::string>{"title:", "title:Scanning: Startup Programs", "step",
                                               "title:Scanning: Windows Services", "step", "step",
                                               "title:Optimizing...Do not close the dialog.", "done", "ended"}));
  EXPECT_EQ(events.lastKeyMemo, "Please wait...");
}

TEST_F(ScanThread, StopBeforeTheFirstSectionPostsNothing) {
  RecordingEvents events;
  TScanTaskThread worker(t, events, false);
  worker.SectionCodes = {"14", "17"};
  worker.Terminate();
  worker.Resume();
  worker.WaitFor();
  EXPECT_TRUE(events.rows.empty());
  EXPECT_EQ(events.calls, (std::vector<std::string>{"title:", "ended"}));
  EXPECT_FALSE(events.completed);
  EXPECT_EQ(events.error, "");
}

TEST_F(ScanThread, NoRowArrivesAfterAStop) {
  RecordingEvents events;
  TScanTaskThread worker(t, events, false);
  events.onRow = [&](const TScanResult&) { worker.Terminate(); };
  worker.SectionCodes = {"14", "17"};
  worker.Resume();
  worker.WaitFor();
  EXPECT_EQ(events.rows.size(), 1u);
  EXPECT_EQ(std::count(events.calls.begin(), events.calls.end(), "step"), 0);
  EXPECT_EQ(std::count(events.calls.begin(), events.calls.end(), "done"), 0);
  EXPECT_TRUE(events.ended);
  EXPECT_FALSE(events.completed);
}

TEST_F(ScanThread, AnErrorInASectionEndsTheScanSilently) {
  t.SetString(HKEY_CURRENT_USER, "Software\\A", "Gone", "C:\\Gone\\a.exe");
  t.SetString(HKEY_CURRENT_USER, "Software\\Poison\\Deep", "Gone", "C:\\Gone\\b.exe");
  PoisonedTarget target(t);
  RecordingEvents events;
  TScanTaskThread worker(target, events, false);
  worker.SectionCodes = {"17", "4", "14"};
  worker.Resume();
  worker.WaitFor();
  ASSERT_TRUE(events.ended);
  EXPECT_FALSE(events.completed);
  EXPECT_NE(events.error.find("damaged hive file"), std::string::npos) << events.error;
  // The rows found before stay; no step for the failed section, nothing after it.
  ASSERT_EQ(events.rows.size(), 2u);
  EXPECT_EQ(events.rows[1].Data, "C:\\Gone\\a.exe");
  EXPECT_EQ(std::count(events.calls.begin(), events.calls.end(), "step"), 1);
  EXPECT_EQ(std::count(events.calls.begin(), events.calls.end(), "done"), 0);
}

TEST_F(ScanThread, DrivesAndMediaFlagsWhenCreated) {
  t.AddDrive('A', t.Folder() / "floppy", DRIVE_REMOVABLE);
  t.AddDrive('D', t.Folder() / "cd", DRIVE_CDROM);
  RecordingEvents events;
  TScanTaskThread all(t, events, false);
  EXPECT_EQ(all.ScanDrives, "abcdefghijklmnopqrstuvwxyz");
  EXPECT_FALSE(all.IsWow64);
  all.ProbeFloppyDrives();
  EXPECT_TRUE(all.FloppyAHasMedia);
  EXPECT_FALSE(all.FloppyBHasMedia);
  TScanTaskThread fixedOnly(t, events, true);
  EXPECT_EQ(fixedOnly.ScanDrives, "c");
  fixedOnly.ProbeFloppyDrives();
  EXPECT_FALSE(fixedOnly.FloppyAHasMedia);
}

TEST_F(ScanThread, DestroyingARunningWorkerStopsIt) {
  for (int i = 0; i < 2000; ++i) {
    t.SetString(HKEY_CURRENT_USER, "Software\\Many\\K" + std::to_string(i), "V", "C:\\Gone\\" + std::to_string(i));
  }
  RecordingEvents events;
  {
    TScanTaskThread worker(t, events, false);
    worker.SectionCodes = {"4", "4", "4", "4"};
    worker.Resume();
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(events.ended);
}

}  // namespace
}  // namespace kestrove
