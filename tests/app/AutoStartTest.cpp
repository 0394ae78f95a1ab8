// The automatic start: the Run value of the target's HKEY_CURRENT_USER and the desktop's
// autostart entry change together, only this target's entry is ever removed, and while Wine
// runs on the target nothing changes at all.
#include "app/AutoStart.h"

#include <gtest/gtest.h>

#include "../platform/ProcessInFolder.h"
#include "AppTestSupport.h"
#include "platform/RegistryTypes.h"
#include "platform/TRegistry.h"
#include "platform/TargetSystem.h"
#include "platform/wine/WineSample.h"
#include "platform/wine/WineServer.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::ProcessInFolder;
using testing::ReadAll;
using testing::TempFolder;

class AutoStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wine::WriteSamplePrefix(dir_ / "pre fix", fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
    target_ = OpenTarget(TargetChoice{dir_ / "pre fix", "--root"});
  }
  std::optional<std::string> RunValue() {
    // Read back from the files, as the next start of the program would.
    auto fresh = OpenTarget(TargetChoice{dir_ / "pre fix", "--root"});
    TRegistry reg(fresh->Registry());
    reg.SetRootKey(HKEY_CURRENT_USER);
    if (!reg.OpenKeyReadOnly(kRunKey) || !reg.ValueExists("Kestrove")) return std::nullopt;
    return reg.ReadString("Kestrove");
  }

  TempFolder dir_;
  std::unique_ptr<TargetSystem> target_;
  const fs::path program_ = "/opt/kestrove 1.1/kestrove";
};

TEST_F(AutoStartTest, OnWritesTheRunValueAndTheEntryOffRemovesBoth) {
  const fs::path autostart = dir_ / "config" / "autostart";
  EXPECT_FALSE(AutoStartRegistered(*target_));
  EXPECT_FALSE(target_->Registry()->KeyExists(HKEY_CURRENT_USER, kRunKey) &&
               target_->Registry()->QueryValue(HKEY_CURRENT_USER, kRunKey, "Kestrove"));

  SetAutoStart(*target_, true, program_, autostart, dir_ / "home" / "");
  const auto value = RunValue();
  ASSERT_TRUE(value);
  // The prefix's z: drive reaches the program: the target's own name for it.
  EXPECT_EQ(*value, "Z:\\opt\\kestrove 1.1\\kestrove /Auto");
  EXPECT_TRUE(AutoStartRegistered(*target_));
  const fs::path own = autostart / AutostartEntryName(*target_);
  const std::string entry = ReadAll(own);
  const std::string root = fs::absolute(dir_ / "pre fix").lexically_normal().string();
  // The start finds the settings that asked for it.
  const std::string home = (dir_ / "home").string();
  EXPECT_NE(entry.find("\nExec=env \"KESTROVE_ROOT=" + root + "\" \"KESTROVE_HOME=" + home +
                       "\" \"/opt/kestrove 1.1/kestrove\" /Auto\n"),
            std::string::npos)
      << entry;
  EXPECT_NE(entry.find("\nX-Kestrove-Root=" + root + "\n"), std::string::npos);

  // Another target's entry stays when this target's start is turned off.
  SetAutoStart(*target_, false, program_, autostart);
  EXPECT_FALSE(RunValue());
  EXPECT_FALSE(AutoStartRegistered(*target_));
  EXPECT_FALSE(fs::exists(own));
  const std::string other = AutostartDesktopEntry(program_, "/elsewhere/prefix");
  testing::WriteAll(autostart / "kestrove.desktop", other);
  SetAutoStart(*target_, false, program_, autostart);
  EXPECT_EQ(ReadAll(autostart / "kestrove.desktop"), other);
}

// Two prefixes of one user each keep their own entry: turning one on or off leaves the
// other's start as it was, and each one's box reads its own state.
TEST_F(AutoStartTest, EachTargetHasItsOwnEntry) {
  wine::WriteSamplePrefix(dir_ / "second", fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
  auto second = OpenTarget(TargetChoice{dir_ / "second", "--root"});
  const fs::path autostart = dir_ / "autostart";
  ASSERT_NE(AutostartEntryName(*target_), AutostartEntryName(*second));
  // The name is the target's, whichever object or spelling of the folder opened it.
  EXPECT_EQ(AutostartEntryName(*OpenTarget(TargetChoice{dir_ / "second" / ".." / "pre fix", "--root"})),
            AutostartEntryName(*target_));

  SetAutoStart(*target_, true, program_, autostart);
  SetAutoStart(*second, true, program_, autostart);
  EXPECT_TRUE(AutoStartEnabled(*target_, autostart));
  EXPECT_TRUE(AutoStartEnabled(*second, autostart));
  SetAutoStart(*second, false, program_, autostart);
  EXPECT_TRUE(AutoStartEnabled(*target_, autostart));
  EXPECT_FALSE(AutoStartEnabled(*second, autostart));
  EXPECT_TRUE(fs::exists(autostart / AutostartEntryName(*target_)));
  EXPECT_FALSE(fs::exists(autostart / AutostartEntryName(*second)));

  // The Run value alone does not start a Wine prefix with the session: without the entry
  // the box is not ticked.
  fs::remove(autostart / AutostartEntryName(*target_));
  EXPECT_TRUE(AutoStartRegistered(*target_));
  EXPECT_FALSE(AutoStartEnabled(*target_, autostart));
}

// The single entry of earlier versions: it counts for the target it names, goes when that
// target's start is set either way, and stays for any other target.
TEST_F(AutoStartTest, TheSharedEntryOfEarlierVersions) {
  const fs::path autostart = dir_ / "autostart";
  const fs::path shared = autostart / "kestrove.desktop";
  fs::create_directories(autostart);
  const std::string ours = AutostartDesktopEntry(program_, dir_ / "pre fix");
  const std::string theirs = AutostartDesktopEntry(program_, "/elsewhere/prefix");
  struct Case {
    const char* what;
    const std::string& entry;
    bool turnOn;
    bool sharedStays;
  };
  for (const Case& c : {Case{"ours, on", ours, true, false}, Case{"ours, off", ours, false, false},
                        Case{"theirs, on", theirs, true, true}, Case{"theirs, off", theirs, false, true}}) {
    SCOPED_TRACE(c.what);
    SetAutoStart(*target_, true, program_, {});  // the Run value only
    fs::remove(autostart / AutostartEntryName(*target_));
    testing::WriteAll(shared, c.entry);
    EXPECT_EQ(AutoStartEnabled(*target_, autostart), &c.entry == &ours);
    SetAutoStart(*target_, c.turnOn, program_, autostart);
    EXPECT_EQ(fs::exists(shared), c.sharedStays);
    if (c.sharedStays) {
      EXPECT_EQ(ReadAll(shared), theirs);
    }
    EXPECT_EQ(fs::exists(autostart / AutostartEntryName(*target_)), c.turnOn);
    EXPECT_EQ(AutoStartEnabled(*target_, autostart), c.turnOn);
  }
}

TEST(AutoStartEntry, ExecQuotesWhatTheShellAndTheFileFormatWouldTake) {
  const std::string entry = AutostartDesktopEntry("/a/b$c/kestrove", "/t/50%\\x\"y");
  EXPECT_NE(entry.find("Exec=env \"KESTROVE_ROOT=/t/50%%\\\\\\\\x\\\\\"y\" \"/a/b\\\\$c/kestrove\" /Auto\n"),
            std::string::npos)
      << entry;
  EXPECT_EQ(XdgAutostartFolder([](const char* n) -> const char* { return std::string(n) == "HOME" ? "/home/u" : nullptr; }),
            fs::path("/home/u/.config/autostart"));
  EXPECT_EQ(XdgAutostartFolder([](const char* n) -> const char* {
              return std::string(n) == "XDG_CONFIG_HOME" ? "/cfg" : "/home/u";
            }),
            fs::path("/cfg/autostart"));
}

TEST_F(AutoStartTest, WhileWineRunsTheRefusalIsRaisedAndNothingChanges) {
  const fs::path autostart = dir_ / "autostart";
  const std::string before = ReadAll(dir_ / "pre fix" / "user.reg");
  {
    ProcessInFolder wine(dir_ / "wine-tmp" / wine::WineServerFolderName(dir_ / "pre fix"));
    try {
      SetAutoStart(*target_, true, program_, autostart);
      ADD_FAILURE() << "no refusal";
    } catch (const RegistryError& e) {
      EXPECT_NE(std::string(e.what()).find("Wine"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(ReadAll(dir_ / "pre fix" / "user.reg"), before);
  EXPECT_FALSE(fs::exists(autostart / AutostartEntryName(*target_)));
  EXPECT_FALSE(AutoStartRegistered(*target_));
}

}  // namespace
}  // namespace kestrove
