// kestrove-cli items / test / clean on a sample prefix, as a user runs them.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct CliRun {
  int status = -1;
  std::string out, err;
};

class CleanCli : public ::testing::Test {
 protected:
  fs::path dir;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrove-cleancli-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    CliRun r = Cli({"sample", (dir / "prefix").string()});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  void TearDown() override { fs::remove_all(dir); }

  CliRun Cli(const std::vector<std::string>& args, const std::string& input = "") {
    std::ofstream(dir / "in.txt") << input;
    std::string cmd = "KESTROVE_HOME=" + Quote((dir / "home").string()) + " " + Quote(KESTROVE_CLI_PATH) + " --root " +
                      Quote((dir / "prefix").string());
    for (const auto& a : args) cmd += " " + Quote(a);
    cmd += " <" + Quote((dir / "in.txt").string()) + " >" + Quote((dir / "out.txt").string()) + " 2>" +
           Quote((dir / "err.txt").string());
    CliRun r;
    int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = Slurp(dir / "out.txt");
    r.err = Slurp(dir / "err.txt");
    return r;
  }

  std::vector<std::string> Lines(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string l; std::getline(ss, l);)
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }
};

TEST_F(CleanCli, ItemsShowTheCatalogueAndTheStoredSelection) {
  CliRun r = Cli({"items"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("[ ] Windows\n    [ ] Windows - Recent Documents\n"), std::string::npos) << r.out;
  fs::create_directories(dir / "home");
  std::ofstream(dir / "home" / "options.ini") << "[NodeSelected]\nSelectedCount=2\n1=Windows\n2=Windows - Start Run\n";
  r = Cli({"items"});
  EXPECT_NE(r.out.find("[x] Windows\n    [ ] Windows - Recent Documents\n    [x] Windows - Start Run\n"),
            std::string::npos)
      << r.out;
  // The stored selection is what a bare "test" runs.
  r = Cli({"test"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out, "Test: Clearing"), std::vector<std::string>{"Test: Clearing Windows - Start Run ..."});
}

TEST_F(CleanCli, TestListsWhatCleanThenRemoves) {
  CliRun test = Cli({"test", "Windows - Start Run"});
  ASSERT_EQ(test.status, 0) << test.err;
  EXPECT_EQ(Lines(test.out, "Test: Clearing"), std::vector<std::string>{"Test: Clearing Windows - Start Run ..."});
  auto totals = Lines(test.out, "Total items will be removed = ");
  ASSERT_EQ(totals.size(), 1u) << test.out;
  EXPECT_NE(totals[0], "Total items will be removed = 0 ; Total files will be removed = 0 KB");

  // Without a terminal and without --yes the confirmation cannot be answered: nothing runs.
  CliRun refused = Cli({"clean", "Windows - Start Run"});
  EXPECT_NE(refused.status, 0);
  EXPECT_TRUE(Lines(refused.out, "Clean: Clearing").empty());
  EXPECT_EQ(Cli({"reg", "query", "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU"}).status, 0);

  CliRun clean = Cli({"clean", "--yes", "Windows - Start Run"});
  ASSERT_EQ(clean.status, 0) << clean.err;
  // The counting pass stays silent; the removing pass prints its own lines once.
  EXPECT_EQ(Lines(clean.out, "Clean: Clearing"), std::vector<std::string>{"Clean: Clearing Windows - Start Run ..."});
  EXPECT_TRUE(Lines(clean.out, "Test: ").empty());
  auto cleanTotals = Lines(clean.out, "Total items to be removed = ");
  ASSERT_EQ(cleanTotals.size(), 1u);
  auto numbers = [](const std::string& line) {
    std::vector<std::string> found;
    std::string digits;
    for (char c : line + " ") {
      if ((c >= '0' && c <= '9') || (c == ',' && !digits.empty())) {
        digits += c;
      } else if (!digits.empty()) {
        found.push_back(digits);
        digits.clear();
      }
    }
    return found;
  };
  EXPECT_EQ(numbers(cleanTotals[0]), numbers(totals[0])) << "the clean removes what the test listed";
  // Gone from the registry file on disk.
  EXPECT_EQ(Cli({"reg", "query", "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\RunMRU"}).status, 1);
  CliRun again = Cli({"test", "Windows - Start Run"});
  EXPECT_NE(again.out.find("0 items will be removed; 0 KB will be removed."), std::string::npos) << again.out;
}

// The items that run the shipped definitions find the sample's traces, and a clean takes them.
TEST_F(CleanCli, DefinitionItemsFindAndCleanTheSampleTraces) {
  const std::vector<std::string> items = {
      "Windows - Windows Log Files", "Instant Messengers - ICQ", "Instant Messengers - AOL Instant Messenger",
      "Advanced - Google Toolbar History", "Advanced - MSN Toolbar History", "Advanced - Yahoo! Toolbar History"};
  std::vector<std::string> args = {"test"};
  args.insert(args.end(), items.begin(), items.end());
  CliRun r = Cli(args);
  ASSERT_EQ(r.status, 0) << r.err;
  int zero = 0;
  for (const auto& l : Lines(r.out, "0 items will be removed")) zero += !l.empty();
  EXPECT_EQ(zero, 0) << r.out;
  EXPECT_EQ(Lines(r.out, "Test: Clearing").size(), items.size());
  args[0] = "clean";
  args.push_back("--yes");
  r = Cli(args);
  ASSERT_EQ(r.status, 0) << r.err;
  args.pop_back();
  args[0] = "test";
  r = Cli(args);
  EXPECT_EQ(Lines(r.out, "0 items will be removed; 0 KB will be removed.").size(), items.size()) << r.out;
}

TEST_F(CleanCli, CategoriesAndBadNames) {
  CliRun r = Cli({"test", "windows"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out, "Test: Clearing").size(), 9u);
  r = Cli({"test", "Windows - Nothing"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no clean item named 'Windows - Nothing'"), std::string::npos);
  r = Cli({"test"});  // nothing stored, nothing named
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("Please select the sections which you want to scan from the left list."), std::string::npos);
}

TEST_F(CleanCli, InterruptStopsTheJob) {
  // The output goes to a pipe that is read slowly: the job is held mid-way while the
  // interrupt arrives, as when a user presses Ctrl-C during a long walk.
  const fs::path temp = dir / "prefix" / "drive_c" / "users" / "root" / "Temp" / "many";
  fs::create_directories(temp);
  for (int i = 0; i < 5000; ++i) std::ofstream(temp / ("f" + std::to_string(i) + ".tmp")) << "x";
  fs::create_directories(dir / "home");
  std::ofstream(dir / "home" / "options.ini") << "[Settings]\nFastScan=0\n";
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string home = "KESTROVE_HOME=" + (dir / "home").string();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    ::putenv(const_cast<char*>(home.c_str()));
    ::execl(KESTROVE_CLI_PATH, "kestrove-cli", "--root", (dir / "prefix").c_str(), "test", "Windows - Temporary Files",
            "Windows - Start Run", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string out;
  char buf[512];
  while (out.find("deleting") == std::string::npos) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::kill(pid, SIGINT);
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the interrupt must stop the job, not kill the program";
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_EQ(out.find("Total items"), std::string::npos) << "a stopped job writes no totals";
  EXPECT_EQ(out.find("Clearing Windows - Start Run"), std::string::npos);
}

}  // namespace

// --yes answers the confirmation only: the question before a drive root is emptied is taken
// as No without a terminal, and only --yes-all answers it Yes.
TEST_F(CleanCli, YesLeavesTheGuardQuestionsToYesAll) {
  fs::create_directories(dir / "home");
  std::ofstream(dir / "home" / "Custom.dat") << "[<New List>]\nDelFile1={C: Drive}\\,*.txt\n";
  std::ofstream(dir / "prefix" / "drive_c" / "guard.txt") << "keep me";
  CliRun yes = Cli({"clean", "--yes", "Custom Lists - <New List>"});
  EXPECT_NE(yes.err.find("Do you want to delete all files and folders under C:\\?"), std::string::npos) << yes.err;
  EXPECT_TRUE(fs::exists(dir / "prefix" / "drive_c" / "guard.txt"));
  CliRun all = Cli({"clean", "--yes-all", "Custom Lists - <New List>"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_FALSE(fs::exists(dir / "prefix" / "drive_c" / "guard.txt"));
}
