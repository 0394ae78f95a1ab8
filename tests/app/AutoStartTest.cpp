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
  const std::string entry = ReadAll(autostart / "kestrove.desktop");
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
  EXPECT_FALSE(fs::exists(autostart / "kestrove.desktop"));
  const std::string other = AutostartDesktopEntry(program_, "/elsewhere/prefix");
  testing::WriteAll(autostart / "kestrove.desktop", other);
  SetAutoStart(*target_, false, program_, autostart);
  EXPECT_EQ(ReadAll(autostart / "kestrove.desktop"), other);
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
  EXPECT_FALSE(fs::exists(autostart / "kestrove.desktop"));
  EXPECT_FALSE(AutoStartRegistered(*target_));
}

}  // namespace
}  // namespace kestrove
