// The result list's menu commands without the window: enabling, selecting by type, the text
// file, and LastKey written before the registry editor is started (or refused, or explained).
#include "regscan/ResultListOps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../cleaner/CleanerTestSupport.h"
#include "../platform/TargetTestSupport.h"
#include "platform/TRegistry.h"
#include "platform/memory/MemoryTarget.h"
#include "platform/wine/WineSample.h"
#include "platform/wine/WineServer.h"

namespace kestrove::testing {
namespace {

namespace fs = std::filesystem;

std::vector<TScanResult> ThreeRows() {
  return {{problem::kFileOrFolder, "C:\\gone.txt", "HKEY_CURRENT_USER\\Software\\A\\Path", TLocationKind::lkPathValue, false},
          {problem::kEmptyKeys, "Sub", "HKEY_USERS\\S-1\\Software\\B", TLocationKind::lkDataSubkey, true},
          {"non-existent file or folder", "x", "HKEY_CURRENT_USER\\Software\\C", TLocationKind::lkKey, true}};
}

TEST(ResultListOps, EnablingRulesFollowFocusAndRows) {
  const TResultMenuState none = ResultMenuState(0, -1);
  EXPECT_FALSE(none.SelectItem || none.DeselectItem || none.SelectAllType || none.UnselectAllType ||
               none.OpenRegedit || none.SaveText);
  EXPECT_TRUE(none.SelectAll && none.SelectNone);
  const TResultMenuState unfocused = ResultMenuState(3, -1);
  EXPECT_TRUE(unfocused.SaveText);
  EXPECT_FALSE(unfocused.SelectItem || unfocused.OpenRegedit || unfocused.UnselectAllType);
  const TResultMenuState focused = ResultMenuState(3, 0);
  EXPECT_TRUE(focused.SelectItem && focused.DeselectItem && focused.SelectAllType && focused.UnselectAllType &&
              focused.OpenRegedit && focused.SaveText);
}

TEST(ResultListOps, SelectingByTypeMatchesLetterCase) {
  auto rows = ThreeRows();
  SetTypeSelected(rows, problem::kFileOrFolder, true);
  EXPECT_TRUE(rows[0].Selected);
  EXPECT_TRUE(rows[1].Selected);   // another type keeps its mark
  EXPECT_TRUE(rows[2].Selected);   // same words, other case: untouched
  SetTypeSelected(rows, problem::kFileOrFolder, false);
  EXPECT_FALSE(rows[0].Selected);
  EXPECT_TRUE(rows[2].Selected);
  SetAllSelected(rows, false);
  EXPECT_TRUE(std::none_of(rows.begin(), rows.end(), [](const TScanResult& r) { return r.Selected; }));
}

TEST(ResultListOps, SaveAsTextNamesAsksAndWritesCrLfLines) {
  TempFolder dir;
  TScriptedPrompt prompt;
  EXPECT_EQ(ScanTextFileName("a/report.txt"), "a/report.txt");
  EXPECT_EQ(ScanTextFileName("a/report.TXT"), "a/report.TXT.txt");
  EXPECT_EQ(ScanTextFileName("a/report"), "a/report.txt");

  const std::string chosen = (dir / "report.TXT").string();
  ASSERT_TRUE(SaveScanResultsToFile(chosen, ThreeRows(), prompt));
  EXPECT_TRUE(prompt.asked.empty());
  EXPECT_FALSE(fs::exists(chosen));
  const std::string written = ReadAll(chosen + ".txt");
  EXPECT_EQ(written,
            "Non-existent File or Folder  ^^^  C:\\gone.txt  ^^^  HKEY_CURRENT_USER\\Software\\A\\Path\r\n"
            "Empty Registry Keys  ^^^  Sub  ^^^  HKEY_USERS\\S-1\\Software\\B\r\n"
            "non-existent file or folder  ^^^  x  ^^^  HKEY_CURRENT_USER\\Software\\C\r\n");

  // The file exists now: No leaves it as it was; Yes replaces it whole.
  prompt.answers = {TMsgResult::No};
  EXPECT_FALSE(SaveScanResultsToFile(chosen, {ThreeRows()[1]}, prompt));
  ASSERT_EQ(prompt.asked.size(), 1u);
  EXPECT_EQ(prompt.asked[0].Text, chosen + ".txt has existed,overite it?");
  EXPECT_EQ(prompt.asked[0].Caption, kProductName);
  EXPECT_EQ(prompt.asked[0].Buttons, TMsgButtons::YesNo);
  EXPECT_EQ(prompt.asked[0].Icon, TMsgIcon::Question);
  EXPECT_EQ(prompt.asked[0].DefaultButton, 1);
  EXPECT_EQ(ReadAll(chosen + ".txt"), written);
  EXPECT_TRUE(SaveScanResultsToFile(chosen, {ThreeRows()[1]}, prompt));
  EXPECT_EQ(ReadAll(chosen + ".txt"), "Empty Registry Keys  ^^^  Sub  ^^^  HKEY_USERS\\S-1\\Software\\B\r\n");

  // A folder that cannot take the file: an error, nothing asked.
  EXPECT_THROW(SaveScanResultsToFile((dir / "missing" / "r.txt").string(), ThreeRows(), prompt), std::runtime_error);
}

TEST(ResultListOps, RegeditKeyOfEachKind) {
  const std::string loc = "HKEY_CURRENT_USER\\Software\\App";
  EXPECT_EQ(RegeditKeyOf({"t", "d", loc + "\\Value", TLocationKind::lkPathValue}), loc);
  EXPECT_EQ(RegeditKeyOf({"t", "Sub", loc, TLocationKind::lkDataSubkey}), loc + "\\Sub");
  EXPECT_EQ(RegeditKeyOf({"t", "d", "C:\\users\\u\\Desktop\\x.lnk", TLocationKind::lkShortcutFile}), "");
  EXPECT_EQ(RegeditKeyOf({"t", "Value", loc, TLocationKind::lkDataValue}), loc);
  EXPECT_EQ(RegeditKeyOf({"t", "d", loc, TLocationKind::lkKey}), loc);
}

std::string LastKeyOf(const std::shared_ptr<RegistryStore>& store) {
  TRegistry reg(store);
  if (!reg.OpenKeyReadOnly(kRegeditAppletKey)) return "<no key>";
  return reg.ValueExists(kRegeditLastKey) ? reg.ReadString(kRegeditLastKey) : "<no value>";
}

// A Wine prefix on disk, so that what is committed can be read back from its files.
class RegeditOnPrefix : public ::testing::Test {
 protected:
  void SetUp() override {
    wine::WriteSamplePrefix(dir / "prefix", fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
    target = OpenTarget(TargetChoice{dir / "prefix", "--root"});
  }
  TempFolder dir;
  std::unique_ptr<TargetSystem> target;
  int started = 0;
  TRegeditStarter starter = [this](const TargetSystem&) -> std::optional<std::string> {
    // LastKey is on disk before the editor starts.
    auto reopened = OpenTarget(TargetChoice{dir / "prefix", "--root"});
    EXPECT_EQ(LastKeyOf(reopened->Registry()), "HKEY_CURRENT_USER\\Software\\App");
    ++started;
    return std::nullopt;
  };
};

TEST_F(RegeditOnPrefix, LastKeyIsCommittedThenTheEditorStarts) {
  const TScanResult valueRow{"t", "d", "HKEY_CURRENT_USER\\Software\\App\\Path", TLocationKind::lkPathValue};
  EXPECT_EQ(OpenRegeditAt(*target, valueRow, starter), std::nullopt);
  EXPECT_EQ(started, 1);
  EXPECT_FALSE(target->Registry()->HasUncommittedChanges());
  // A shortcut row empties it.
  EXPECT_EQ(OpenRegeditAt(*target, {"t", "d", "C:\\x.lnk", TLocationKind::lkShortcutFile}, nullptr), std::nullopt);
  EXPECT_EQ(LastKeyOf(OpenTarget(TargetChoice{dir / "prefix", "--root"})->Registry()), "");
}

// Holds the wineserver's lock from a child process, as a running Wine does.
TEST_F(RegeditOnPrefix, RefusedWhileWineRunsOnTheTarget) {
  const fs::path lock = wine::WineServerLockFiles(dir / "prefix").at(0);
  fs::create_directories(lock.parent_path());
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = 1;
    ::fcntl(fd, F_SETLK, &fl);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char c;
  (void)!::read(ready[0], &c, 1);
  ::close(ready[0]);
  ::close(ready[1]);
  const auto message = OpenRegeditAt(*target, {"t", "", "HKEY_CURRENT_USER\\Software\\App", TLocationKind::lkKey}, starter);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  fs::remove_all(lock.parent_path());
  ASSERT_TRUE(message);
  EXPECT_NE(message->find("wineserver -k"), std::string::npos) << *message;
  EXPECT_EQ(started, 0);
  EXPECT_EQ(LastKeyOf(target->Registry()), "<no key>");
}

TEST(ResultListOps, WineRegeditStartsOnTheTargetOrExplainsWhyNot) {
  TempFolder dir;
  wine::WriteSamplePrefix(dir / "prefix", fs::path(KESTROVE_SOURCE_DIR) / "data" / "sample");
  auto prefix = OpenTarget(TargetChoice{dir / "prefix", "--root"});
  // A PATH with no wine on it: a message, and nothing is started.
  auto noWine = StartWineRegedit(*prefix, (dir / "empty").string());
  ASSERT_TRUE(noWine);
  EXPECT_NE(noWine->find("Wine is not installed"), std::string::npos);
  // A stand-in "wine" on PATH: started with "regedit" on the target, whatever WINEPREFIX says.
  const fs::path bin = dir / "bin";
  const fs::path out = dir / "started";
  fs::create_directories(bin);
  std::ofstream(bin / "wine") << "#!/bin/sh\necho \"$*|$WINEPREFIX\" > '" << out.string() << ".tmp'; mv '"
                              << out.string() << ".tmp' '" << out.string() << "'\n";
  fs::permissions(bin / "wine", fs::perms::owner_all);
  const char* had = std::getenv("WINEPREFIX");
  const std::string saved = had ? had : "";
  ::setenv("WINEPREFIX", "/elsewhere", 1);
  EXPECT_EQ(StartWineRegedit(*prefix, "/nonexistent:" + bin.string()), std::nullopt);
  if (had)
    ::setenv("WINEPREFIX", saved.c_str(), 1);
  else
    ::unsetenv("WINEPREFIX");
  for (int i = 0; i < 500 && !fs::exists(out); ++i) ::usleep(20000);
  EXPECT_EQ(ReadAll(out), "regedit|" + fs::absolute(dir / "prefix").string() + "\n");
  // A target Wine does not run: a message whatever PATH holds.
  memory::MemoryTarget memoryTarget;
  auto notPrefix = StartWineRegedit(memoryTarget, "/usr/bin:/bin");
  ASSERT_TRUE(notPrefix);
  EXPECT_NE(notPrefix->find("opens Wine prefixes only"), std::string::npos);
  // Through OpenRegeditAt the message comes back after LastKey was written.
  auto message = OpenRegeditAt(memoryTarget, {"t", "", "HKEY_LOCAL_MACHINE\\Software\\X", TLocationKind::lkKey},
                               [](const TargetSystem& t) { return StartWineRegedit(t, ""); });
  ASSERT_TRUE(message);
  EXPECT_EQ(LastKeyOf(memoryTarget.Registry()), "HKEY_LOCAL_MACHINE\\Software\\X");
}

}  // namespace
}  // namespace kestrove::testing
