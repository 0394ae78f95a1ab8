#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "TargetTestSupport.h"
#include "platform/TRegistry.h"
#include "platform/TargetSystem.h"
#include "platform/memory/MemoryTarget.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

std::function<const char*(const char*)> FakeEnv(std::map<std::string, std::string> vars) {
  auto shared = std::make_shared<std::map<std::string, std::string>>(std::move(vars));
  return [shared](const char* name) -> const char* {
    auto it = shared->find(name);
    return it == shared->end() ? nullptr : it->second.c_str();
  };
}

TEST(TargetChoose, OrderOfTheChoice) {
  auto env = FakeEnv({{"KESTROVE_ROOT", "/k"}, {"WINEPREFIX", "/w"}, {"HOME", "/home/me"}});
  EXPECT_EQ(ChooseTargetFolder(fs::path("/r"), env).folder, "/r");
  EXPECT_EQ(ChooseTargetFolder(fs::path("/r"), env).source, "--root");
  EXPECT_EQ(ChooseTargetFolder(std::nullopt, env).folder, "/k");
  EXPECT_EQ(ChooseTargetFolder(std::nullopt, env).source, "$KESTROVE_ROOT");

  env = FakeEnv({{"WINEPREFIX", "/w"}, {"HOME", "/home/me"}});
  EXPECT_EQ(ChooseTargetFolder(std::nullopt, env).folder, "/w");
  EXPECT_EQ(ChooseTargetFolder(std::nullopt, env).source, "$WINEPREFIX");

  env = FakeEnv({{"HOME", "/home/me"}});
  EXPECT_EQ(ChooseTargetFolder(std::nullopt, env).folder, "/home/me/.wine");
  EXPECT_EQ(ChooseTargetFolder(std::nullopt, env).source, "the default ~/.wine");
}

TEST(TargetChoose, EmptyVariablesCountAsUnset) {
  auto env = FakeEnv({{"KESTROVE_ROOT", ""}, {"WINEPREFIX", "/w"}, {"HOME", "/h"}});
  EXPECT_EQ(ChooseTargetFolder(std::nullopt, env).folder, "/w");
  env = FakeEnv({{"KESTROVE_ROOT", ""}, {"WINEPREFIX", ""}, {"HOME", "/h"}});
  EXPECT_EQ(ChooseTargetFolder(fs::path(""), env).folder, "/h/.wine");
}

std::string OpenError(const fs::path& folder, const std::string& source) {
  try {
    OpenTarget(TargetChoice{folder, source});
  } catch (const TargetError& e) {
    return e.what();
  }
  return "";
}

TEST(TargetOpen, MissingFolderIsAClearError) {
  TempFolder tmp;
  const fs::path missing = tmp / "no-such-prefix";
  const std::string message = OpenError(missing, "$WINEPREFIX");
  EXPECT_NE(message.find(missing.string()), std::string::npos) << message;
  EXPECT_NE(message.find("$WINEPREFIX"), std::string::npos) << message;
  EXPECT_NE(message.find("does not exist"), std::string::npos) << message;
  EXPECT_FALSE(fs::exists(missing));  // nothing created
}

TEST(TargetOpen, UnrecognisedFolderIsAClearErrorAndStaysUntouched) {
  TempFolder tmp;
  tmp.Write("notes.txt", "hello");
  tmp.Mkdir("drive_c");  // drive_c without system.reg is no prefix
  const std::string message = OpenError(tmp.path(), "--root");
  EXPECT_NE(message.find(tmp.path().string()), std::string::npos) << message;
  EXPECT_NE(message.find("--root"), std::string::npos) << message;
  EXPECT_NE(message.find("not a Wine prefix"), std::string::npos) << message;
  std::size_t entries = 0;
  for (auto it = fs::directory_iterator(tmp.path()); it != fs::directory_iterator(); ++it) ++entries;
  EXPECT_EQ(entries, 2u);
}

TEST(TargetOpen, SystemRegWithoutDrivesIsNoPrefix) {
  TempFolder tmp;
  tmp.Write("system.reg", "WINE REGISTRY Version 2\n");
  EXPECT_NE(OpenError(tmp.path(), "--root").find("not a Wine prefix"), std::string::npos);
}

TEST(TargetOpen, AFileIsNoTarget) {
  TempFolder tmp;
  const fs::path file = tmp.Write("prefix", "x");
  EXPECT_NE(OpenError(file, "$KESTROVE_ROOT").find("is not a folder"), std::string::npos);
}

TEST(TargetOpen, OfflineWindowsIsNamedAsSuch) {
  TempFolder tmp;
  tmp.Write("Windows/System32/config/SOFTWARE", "regf");
  EXPECT_NE(OpenError(tmp.path(), "--root").find("offline Windows"), std::string::npos);
}

TEST(TargetOpen, RelativeRootIsMadeAbsolute) {
  TempFolder tmp;
  tmp.Write("p/system.reg", "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n");
  tmp.Mkdir("p/drive_c");
  const fs::path old = fs::current_path();
  fs::current_path(tmp.path());
  std::unique_ptr<TargetSystem> t;
  try {
    t = OpenTarget(std::optional<fs::path>("p/"));
  } catch (...) {
    fs::current_path(old);
    throw;
  }
  fs::current_path(old);
  EXPECT_EQ(t->Folder(), tmp / "p");
  EXPECT_EQ(t->Kind(), "Wine prefix");
}

TEST(TargetOpen, OpeningChangesNothing) {
  TempFolder tmp;
  if (!testing::MakeFreshPrefix(tmp / "prefix")) GTEST_SKIP() << "no fresh Wine prefix in " << testing::FreshPrefixData();
  const std::string before = testing::ReadAll(tmp / "prefix/system.reg");
  {
    auto t = OpenTarget(TargetChoice{tmp / "prefix", "--root"});
    t->ShellFolders();
    t->TempFolder();
  }
  EXPECT_EQ(testing::ReadAll(tmp / "prefix/system.reg"), before);
  EXPECT_TRUE(fs::is_empty(tmp / "prefix/drive_c"));
}

TEST(TargetMemory, TemporaryDriveLivesAsLongAsTheTarget) {
  fs::path folder;
  {
    memory::MemoryTarget t;
    folder = t.Folder();
    EXPECT_EQ(t.Kind(), "in-memory");
    EXPECT_TRUE(fs::is_directory(t.DriveC() / "windows/system32"));
    EXPECT_TRUE(fs::is_directory(t.DriveC() / "users/user/AppData/Roaming/Microsoft/Windows/Recent"));
    t.WriteFile("C:\\windows\\temp\\a.tmp", "x");
  }
  EXPECT_FALSE(fs::exists(folder));
}

TEST(TargetMemory, EmptyTargetHasOnlyDriveC) {
  memory::MemoryTarget::Options o;
  o.defaultRegistry = false;
  memory::MemoryTarget t(o);
  EXPECT_TRUE(fs::is_empty(t.DriveC()));
  EXPECT_FALSE(t.Registry()->KeyExists(HKEY_LOCAL_MACHINE, "Software\\Microsoft"));
  EXPECT_EQ(t.WindowsFolder(), "C:\\windows");  // the system's default
}

TEST(TargetMemory, HelpersWriteThroughToTRegistry) {
  memory::MemoryTarget t;
  t.SetString(HKEY_CURRENT_USER, "Software\\Test", "Name", "value");
  t.SetDword(HKEY_CURRENT_USER, "Software\\Test", "Count", 7);
  TRegistry reg(t.Registry());
  reg.SetRootKey(HKEY_CURRENT_USER);
  ASSERT_TRUE(reg.OpenKeyReadOnly("Software\\Test"));
  EXPECT_EQ(reg.ReadString("Name"), "value");
  EXPECT_EQ(reg.ReadInteger("Count"), 7);
  EXPECT_THROW(t.WriteFile("\\\\server\\share\\x", "x"), std::runtime_error);
}

TEST(TargetMemory, OtherUserName) {
  memory::MemoryTarget::Options o;
  o.userName = "Zoë";
  memory::MemoryTarget t(o);
  EXPECT_EQ(t.UserName(), "Zoë");
  EXPECT_EQ(t.UserProfileFolder(), "C:\\users\\Zoë");
  EXPECT_TRUE(fs::is_directory(t.DriveC() / "users/Zoë/Documents"));
}

TEST(TargetMemory, SafeFromManyThreads) {
  memory::MemoryTarget t;
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < 30; ++n) {
        if (t.ShellFolder("Recent") != "C:\\users\\user\\AppData\\Roaming\\Microsoft\\Windows\\Recent") ++wrong;
        if (!t.HostPath("C:\\USERS\\USER\\APPDATA")) ++wrong;
        if (i == 0 && n % 10 == 0) t.Refresh();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace kestrove
