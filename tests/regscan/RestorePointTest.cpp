// Restore points on the sample prefix: taken and put back byte for byte, refused while Wine
// runs, and the command-line tool's list and restore.
#include <gtest/gtest.h>

#include "../platform/ProcessInFolder.h"
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/OwnerThread.h"
#include "platform/RegistryStore.h"
#include "platform/TargetSystem.h"
#include "platform/wine/WineSample.h"
#include "platform/wine/WineServer.h"
#include "regscan/RestorePoint.h"

namespace kestrove {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

const char* const kHives[] = {"system.reg", "userdef.reg", "user.reg"};

using kestrove::testing::ProcessInFolder;

class RestorePointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrove-restorepoint-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    dir_ = pattern;
    prefix_ = dir_ / "prefix";
    backup_ = dir_ / "home" / "Backup";
    wine::WriteSamplePrefix(prefix_, fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
    id_ = OpenTarget(prefix_)->Identity();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::map<std::string, std::string> Hives() const {
    std::map<std::string, std::string> out;
    for (const char* h : kHives) out[h] = ReadAll(prefix_ / h);
    return out;
  }
  std::map<std::string, std::string> PointFiles(const std::string& name) const {
    std::map<std::string, std::string> out;
    for (const char* h : kHives) out[h] = ReadAll(backup_ / kRestorePointsFolder / name / h);
    return out;
  }
  // Nothing but hives and complete points: no temporary file or folder left behind.
  void ExpectNoLeftovers() const {
    for (const fs::path& folder : {prefix_, backup_ / kRestorePointsFolder})
      for (const auto& e : fs::directory_iterator(folder))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
  }

  fs::path dir_, prefix_, backup_;
  TTargetIdentity id_;
};

TEST_F(RestorePointTest, APointTakenAndPutBackGivesTheHivesByteForByte) {
  auto store = std::shared_ptr<RegistryStore>(RegistryStore::OpenWinePrefix(prefix_));
  const auto taken = Hives();
  // The worker takes it and reports "created" through the owner thread.
  TMessageQueue owner;
  int report = -1;
  {
    TCreateSystemPointThread worker(store, id_, backup_, owner, [&](int lParam, const std::string&) { report = lParam; });
    worker.Start();
    ASSERT_TRUE(owner.ProcessUntil([&] { return report != -1; }, std::chrono::minutes(1)));
  }
  EXPECT_EQ(report, kRestorePointCreated);
  TRestorePoints points(backup_);
  auto list = points.List();
  ASSERT_EQ(list.size(), 1u);
  const std::string name = list[0].Name;
  EXPECT_EQ(list[0].Files, (std::vector<std::string>{"system.reg", "user.reg", "userdef.reg"}));
  EXPECT_EQ(PointFiles(name), taken);

  // A change, committed; then the point goes back over it.
  ASSERT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\After The Point"));
  store->Commit();
  const auto changed = Hives();
  ASSERT_NE(changed, taken);
  const std::string saved = points.Restore(*store, name, id_);
  EXPECT_EQ(Hives(), taken);
  EXPECT_FALSE(store->KeyExists(HKEY_CURRENT_USER, "Software\\After The Point"));  // the store read them again
  // The registry as it was before is a point of its own, and goes back just as well.
  EXPECT_NE(saved, name);
  EXPECT_EQ(PointFiles(saved), changed);
  EXPECT_EQ(points.List().size(), 2u);
  points.Restore(*store, saved, id_);
  EXPECT_EQ(Hives(), changed);
  EXPECT_TRUE(store->KeyExists(HKEY_CURRENT_USER, "Software\\After The Point"));
  ExpectNoLeftovers();

  // Only names of the list are points: never a path out of the folder.
  EXPECT_THROW(points.Restore(*store, "../prefix", id_), RestorePointError);
  EXPECT_THROW(points.Restore(*store, "no such point", id_), RestorePointError);
  EXPECT_EQ(Hives(), changed);
}

TEST_F(RestorePointTest, WhileWineRunsNothingIsTakenOrPutBack) {
  auto store = std::shared_ptr<RegistryStore>(RegistryStore::OpenWinePrefix(prefix_));
  TRestorePoints points(backup_);
  const std::string name = points.Create(*store, id_);
  ASSERT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\Later"));
  store->Commit();
  const auto before = Hives();
  {
    ProcessInFolder wine(dir_ / "wine-tmp" / wine::WineServerFolderName(prefix_));
    EXPECT_THROW(points.Restore(*store, name, id_), RegistryError);
    EXPECT_EQ(Hives(), before);
    EXPECT_EQ(points.List().size(), 1u);

    // The worker reports the refusal, which makes the dialog ask whether to go on.
    TMessageQueue owner;
    int report = -1;
    std::string error;
    TCreateSystemPointThread worker(store, id_, backup_, owner, [&](int lParam, const std::string& why) {
      report = lParam;
      error = why;
    });
    worker.Start();
    ASSERT_TRUE(owner.ProcessUntil([&] { return report != -1; }, std::chrono::minutes(1)));
    EXPECT_EQ(report, kRestorePointRefused);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(points.List().size(), 1u);
  }
  ExpectNoLeftovers();
}

// kestrove-cli restore-point list and restore, as processes, after a reg add.
TEST_F(RestorePointTest, TheCommandLineListsAndPutsBack) {
  const fs::path home = dir_ / "home";
  auto run = [&](const std::string& args, std::string* out = nullptr) {
    const std::string cmd = "KESTROVE_HOME=" + ShellQuote(home.string()) + " " + ShellQuote(KESTROVE_CLI_PATH) +
                            " --root " + ShellQuote(prefix_.string()) + " " + args + " >" +
                            ShellQuote((dir_ / "out.txt").string()) + " 2>/dev/null";
    const int raw = std::system(cmd.c_str());
    if (out) *out = ReadAll(dir_ / "out.txt");
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  fs::create_directories(home);
  std::string out;
  ASSERT_EQ(run("restore-point list", &out), 0);
  EXPECT_EQ(out, "no restore points yet\n");
  std::string name;
  {
    auto store = RegistryStore::OpenWinePrefix(prefix_);
    name = TRestorePoints(backup_).Create(*store, id_);
  }
  const auto taken = Hives();
  ASSERT_EQ(run("reg add 'HKCU\\Software\\Added' /v V /d data /f"), 0);
  ASSERT_NE(Hives(), taken);

  ASSERT_EQ(run("restore-point list", &out), 0);
  EXPECT_EQ(out.rfind(name + "\t", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
  ASSERT_EQ(run("restore-point restore " + ShellQuote(name)), 0);
  EXPECT_EQ(Hives(), taken);
  ASSERT_EQ(run("restore-point list", &out), 0);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);  // and the registry as it was

  EXPECT_EQ(run("restore-point restore nothing-like-it"), 1);
  EXPECT_EQ(run("restore-point"), 2);
  EXPECT_EQ(Hives(), taken);
}

// A point whose file is damaged, or holds another hive than the one it would replace, is
// refused as a whole before anything is replaced or saved, with the file and the line.
TEST_F(RestorePointTest, ADamagedPointIsRefusedBeforeAnythingIsReplaced) {
  std::string name;
  {
    auto store = RegistryStore::OpenWinePrefix(prefix_);
    name = TRestorePoints(backup_).Create(*store, id_);
  }
  const fs::path point = backup_ / kRestorePointsFolder / name;
  const std::string user = ReadAll(point / "user.reg");
  struct Damage {
    const char* what;
    const char* file;
    std::string text;
    const char* says;
  } cases[] = {
      {"cut in the middle of a line", "user.reg", user.substr(0, user.size() / 2 + 3), "user.reg:"},
      {"garbage", "user.reg", std::string(4096, '\x7f'), "user.reg:1:"},
      {"empty", "user.reg", "", "user.reg:1:"},
      {"the user hive where the machine's goes", "system.reg", user, "system.reg:"},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    const std::string kept = ReadAll(point / d.file);
    std::ofstream(point / d.file, std::ios::binary | std::ios::trunc) << d.text;
    auto store = RegistryStore::OpenWinePrefix(prefix_);
    ASSERT_TRUE(store->CreateKey(HKEY_CURRENT_USER, "Software\\Since The Point"));
    store->Commit();
    const auto before = Hives();
    try {
      TRestorePoints(backup_).Restore(*store, name, id_);
      ADD_FAILURE() << "a damaged point was put back";
    } catch (const RestorePointError& e) {
      EXPECT_NE(std::string(e.what()).find(d.says), std::string::npos) << e.what();
    }
    EXPECT_EQ(Hives(), before);
    EXPECT_TRUE(store->KeyExists(HKEY_CURRENT_USER, "Software\\Since The Point"));
    EXPECT_EQ(TRestorePoints(backup_).List().size(), 1u) << "nothing was saved for a restore that did not happen";
    std::ofstream(point / d.file, std::ios::binary | std::ios::trunc) << kept;
  }
  ExpectNoLeftovers();
}

}  // namespace
}  // namespace kestrove
