// kestrove-cli and kestrove answer --help, help COMMAND and --version without touching a
// target or creating anything, and refuse --root without a folder.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct HelpRun {
  int status = -1;
  std::string out, err;
};

HelpRun Cli(const std::string& args, const fs::path& dir) {
  const fs::path out = dir / "out.txt", err = dir / "err.txt";
  const std::string cmd = "cd '" + dir.string() + "' && KESTROVE_ROOT=/nonexistent '" + KESTROVE_CLI_PATH + "' " +
                          args + " >'" + out.string() + "' 2>'" + err.string() + "' </dev/null";
  const int raw = std::system(cmd.c_str());
  auto slurp = [](const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
}

TEST(CliHelp, EveryCommandAnswersHelpAndNothingIsMade) {
  const fs::path dir = fs::temp_directory_path() / ("kestrove-clihelp-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  for (const char* command : {"info", "reg", "items", "test", "clean", "sample", "index-dat", "help", "backups",
                              "restore", "backup-full", "restore-point", "defrag"}) {
    HelpRun byFlag = Cli(std::string(command) + " --help", dir);
    EXPECT_EQ(byFlag.status, 0) << command << byFlag.err;
    EXPECT_NE(byFlag.out.find(std::string("  ") + command), std::string::npos) << byFlag.out;
    // Each command's help ends in an example of it.
    const std::size_t example = byFlag.out.find("\nExample:\n  kestrove-cli ");
    ASSERT_NE(example, std::string::npos) << byFlag.out;
    EXPECT_NE(byFlag.out.find(std::string(" ") + command, example), std::string::npos) << byFlag.out;
    HelpRun byHelp = Cli(std::string("help ") + command, dir);
    EXPECT_EQ(byHelp.status, 0) << command;
    EXPECT_EQ(byHelp.out, byFlag.out) << command;
  }
  EXPECT_FALSE(fs::exists(dir / "--help")) << "sample --help made a folder";
  HelpRun version = Cli("--version", dir);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "kestrove-cli 1.1\n");
  HelpRun all = Cli("help", dir);
  EXPECT_NE(all.out.find("Commands:"), std::string::npos);
  EXPECT_NE(all.out.find("--details"), std::string::npos);
  EXPECT_EQ(Cli("help nosuch", dir).status, 2);
  for (const char* command : {"scan", "fix"})
    EXPECT_NE(Cli(std::string(command) + " --help", dir).out.find("\nExample:\n  kestrove-cli " + std::string(command)),
              std::string::npos)
        << command;
  for (const char* bad : {"--root", "info --root", "--root= info"}) {
    HelpRun r = Cli(bad, dir);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.err.rfind("kestrove-cli: --root needs the folder", 0), 0u) << bad << ": " << r.err;
  }
  fs::remove_all(dir);
}

}  // namespace

// --root may stand anywhere after the command, also after a switch that takes no data; after
// a switch that does, it is that switch's data.
TEST(CliHelp, RootAfterTheCommandAndItsSwitches) {
  const fs::path dir = fs::temp_directory_path() / ("kestrove-cliroot-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ASSERT_EQ(Cli("sample '" + (dir / "p").string() + "'", dir).status, 0);
  const std::string root = " --root '" + (dir / "p").string() + "'";
  HelpRun query = Cli("reg query 'HKCU\\Software\\Microsoft' /s" + root, dir);
  EXPECT_EQ(query.status, 0) << query.err;
  HelpRun add = Cli("reg add 'HKCU\\Software\\Test' /v Name /d --root /f" + root, dir);
  EXPECT_EQ(add.status, 0) << add.err;
  HelpRun back = Cli("reg query 'HKCU\\Software\\Test' /v Name" + root, dir);
  EXPECT_NE(back.out.find("REG_SZ    --root"), std::string::npos) << back.out << back.err;
  fs::remove_all(dir);
}

// The installed bash completion offers commands and, for test and clean, the item ids the tool
// lists for the target named on the line.
TEST(CliHelp, BashCompletionOffersCommandsAndItemIds) {
  if (std::system("command -v bash >/dev/null 2>&1") != 0) GTEST_SKIP() << "no bash";
  const fs::path dir = fs::temp_directory_path() / ("kestrove-completion-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ASSERT_EQ(Cli("sample '" + (dir / "prefix").string() + "'", dir).status, 0);
  const fs::path script = fs::path(KESTROVE_SOURCE_DIR) / "data" / "completion" / "kestrove-cli";
  const fs::path tool = fs::path(KESTROVE_CLI_PATH).parent_path();
  const auto complete = [&](const std::string& words, int current) {
    std::ofstream(dir / "complete.sh") << "source '" << script.string() << "'\nexport PATH='" << tool.string()
                                       << "':$PATH KESTROVE_HOME='" << (dir / "home").string() << "'\nCOMP_WORDS=("
                                       << words << ")\nCOMP_CWORD=" << current
                                       << "\n_kestrove_cli\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    const std::string cmd = "bash '" + (dir / "complete.sh").string() + "' >'" + (dir / "c.txt").string() + "' 2>&1";
    if (std::system(cmd.c_str()) != 0) return std::string("bash failed");
    std::ifstream in(dir / "c.txt");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  EXPECT_EQ(complete("kestrove-cli star", 1), "startup\n");
  EXPECT_EQ(complete("kestrove-cli --root '" + (dir / "prefix").string() + "' test windows.recent-d", 4),
            "windows.recent-documents\n");
  fs::remove_all(dir);
}
