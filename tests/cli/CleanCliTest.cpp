// kestrove-cli items / test / clean on a sample prefix, as a user runs them.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CliTestSupport.h"
#include "app/Helpers.h"
#include "platform/Text.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

using kestrove::testing::CliRun;
using kestrove::testing::Quote;
using kestrove::testing::Slurp;

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

  // `wrapper` runs the program under another command (it gets the program and its arguments).
  CliRun Cli(const std::vector<std::string>& args, const std::string& input = "", const std::string& wrapper = "") {
    std::ofstream(dir / "in.txt") << input;
    std::string cmd = "KESTROVE_HOME=" + Quote((dir / "home").string()) + " " + wrapper + " " + Quote(KESTROVE_CLI_PATH) +
                      " --root " + Quote((dir / "prefix").string());
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

  // `count` small files in a folder of the user's Temp; the folder.
  fs::path ManyTempFiles(int count) {
    const fs::path temp = dir / "prefix" / "drive_c" / "users" / "root" / "Temp" / "many";
    fs::create_directories(temp);
    for (int i = 0; i < count; ++i) std::ofstream(temp / ("f" + std::to_string(i) + ".tmp")) << "x";
    return temp;
  }
  static int FilesIn(const fs::path& folder) {
    return static_cast<int>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
  }
  void WriteOptions(const std::string& text) {
    fs::create_directories(dir / "home");
    std::ofstream(dir / "home" / "options.ini") << text;
  }

  // Starts the program with its output and errors on the given descriptors.
  pid_t Spawn(const std::vector<std::string>& args, int outFd, int errFd) {
    const std::string home = "KESTROVE_HOME=" + (dir / "home").string();
    std::vector<std::string> argv = {"kestrove-cli", "--root", (dir / "prefix").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(outFd, STDOUT_FILENO);
      ::dup2(errFd, STDERR_FILENO);
      ::putenv(const_cast<char*>(home.c_str()));
      std::vector<char*> raw;
      for (auto& a : argv) raw.push_back(a.data());
      raw.push_back(nullptr);
      ::execv(KESTROVE_CLI_PATH, raw.data());
      ::_exit(127);
    }
    return pid;
  }
  // Reads `fd` into `text` until `marker` appears (true) or the writer is gone (false).
  static bool ReadUntil(int fd, std::string& text, const std::string& marker) {
    char buf[4096];
    while (text.find(marker) == std::string::npos) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) return false;
      text.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }
  // True once the program holds `folder` open, as its walk of the folder does; false when it
  // has ended first (an ended program holds no descriptors).
  static bool WaitUntilOpen(pid_t pid, const fs::path& folder) {
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (;;) {
      std::error_code ec;
      bool any = false;
      for (fs::directory_iterator it(fds, ec), end; !ec && it != end; it.increment(ec)) {
        any = true;
        std::error_code linkError;
        if (fs::read_symlink(it->path(), linkError) == folder) return true;
      }
      if (!any) return false;
    }
  }
  // The exit status, or -1 when the program did not exit by itself.
  static int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
  EXPECT_EQ(r.status, 1);
  // The command line's own message only: the window's sentence speaks of a list there is not.
  EXPECT_EQ(r.err.find("Please select the sections"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.rfind("kestrove-cli: no clean item selected: name items or categories", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// Ctrl-C during a Test whose output is held by a slow reader: the job stops in the middle
// of the walk of its only, or its first, item and writes no totals.
TEST_F(CleanCli, InterruptStopsATest) {
  ManyTempFiles(5000);
  WriteOptions("[Settings]\nFastScan=0\n");
  for (const std::vector<std::string>& items :
       {std::vector<std::string>{"Windows - Temporary Files"},
        std::vector<std::string>{"Windows - Temporary Files", "Windows - Start Run"}}) {
    SCOPED_TRACE(items.size());
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const int err = ::open((dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<std::string> args = {"test"};
    args.insert(args.end(), items.begin(), items.end());
    const pid_t pid = Spawn(args, fds[1], err);
    ::close(fds[1]);
    ::close(err);
    std::string out;
    ReadUntil(fds[0], out, "deleting");
    ::kill(pid, SIGINT);
    ReadUntil(fds[0], out, "\x01never");
    ::close(fds[0]);
    EXPECT_EQ(Wait(pid), 130) << "the interrupt must stop the job, not kill the program";
    EXPECT_EQ(out.find("Total items"), std::string::npos) << "a stopped job writes no totals";
    EXPECT_EQ(out.find("Clearing Windows - Start Run"), std::string::npos);
    EXPECT_NE(Slurp(dir / "err.txt").find("kestrove-cli: stopped"), std::string::npos);
  }
}

// Ctrl-C while a Clean counts: nothing is removed and no totals are printed. The moment is
// when the counting walk holds the folder of many files open, after the bar has said
// "Prepare to clean..." (drawn on a terminal only, so the errors go to one).
TEST_F(CleanCli, InterruptDuringTheCountRemovesNothing) {
  const int kFiles = 10000;
  const fs::path temp = ManyTempFiles(kFiles);
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal here";
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  const int out = ::open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = Spawn({"clean", "--yes", "Windows - Temporary Files"}, out, terminal);
  ::close(terminal);
  ::close(out);
  std::string shown;
  const bool counting = ReadUntil(master, shown, "Prepare to clean...") && WaitUntilOpen(pid, temp);
  ::kill(pid, SIGINT);
  ReadUntil(master, shown, "\x01never");  // until the program has gone
  ::close(master);
  ASSERT_TRUE(counting) << shown;
  EXPECT_EQ(shown.find('%'), std::string::npos) << "the removing pass had begun before the interrupt: " << shown;
  EXPECT_EQ(Wait(pid), 130) << shown;
  EXPECT_NE(shown.find("kestrove-cli: stopped"), std::string::npos) << shown;
  EXPECT_EQ(FilesIn(temp), kFiles) << "a stopped count must not lead to a removing pass";
  EXPECT_EQ(Slurp(dir / "out.txt").find("Total items"), std::string::npos);
}

// Ctrl-C once the removing pass has begun: the walk ends at its next entry, well before the
// folder is empty, and no totals follow.
TEST_F(CleanCli, InterruptDuringTheRemovingPassStopsIt) {
  const int kFiles = 10000;
  const fs::path temp = ManyTempFiles(kFiles);
  WriteOptions("[Settings]\nFastScan=0\n");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int err = ::open((dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = Spawn({"clean", "--yes", "Windows - Temporary Files"}, fds[1], err);
  ::close(fds[1]);
  ::close(err);
  std::string out;
  const bool removing = ReadUntil(fds[0], out, "Clean: deleting");
  ::kill(pid, SIGINT);
  ReadUntil(fds[0], out, "\x01never");
  ::close(fds[0]);
  ASSERT_TRUE(removing) << out;
  EXPECT_EQ(Wait(pid), 130);
  EXPECT_GT(FilesIn(temp), 0);
  EXPECT_LT(FilesIn(temp), kFiles);
  EXPECT_EQ(out.find("Total items"), std::string::npos);
}

// A clean that cannot remove what its test lists says so and fails. The prefix is made
// read-only by a read-only bind mount in a mount namespace of its own (needs root), else by
// making its temporary files immutable.
TEST_F(CleanCli, EntriesThatCannotBeRemovedAreReported) {
  const fs::path temp = dir / "prefix" / "drive_c" / "users" / "root" / "Temp";
  CliRun test = Cli({"test", "Windows - Temporary Files"});
  ASSERT_EQ(test.status, 0) << test.err;
  const auto totals = Lines(test.out, "Total items will be removed = ");
  ASSERT_EQ(totals.size(), 1u) << test.out;
  const std::string listed = totals[0].substr(totals[0].find("= ") + 2, totals[0].find(" ;") - totals[0].find("= ") - 2);
  ASSERT_NE(listed, "0") << "the sample has temporary files";

  std::ofstream(dir / "ro.sh")
      << "if [ -z \"$INSIDE\" ]; then\n"
         "  unshare -m true 2>/dev/null || exit 99\n"
         "  INSIDE=1 exec unshare -m sh \"$0\" \"$@\"\n"
         "fi\n"
         "mount --bind -o ro \"$ROOT\" \"$ROOT\" 2>/dev/null || exit 99\n"
         "exec \"$@\"\n";
  const std::string wrapper = "ROOT=" + Quote((dir / "prefix").string()) + " sh " + Quote((dir / "ro.sh").string());
  std::vector<fs::path> immutable;
  CliRun clean = Cli({"clean", "--yes", "Windows - Temporary Files"}, "", wrapper);
  if (clean.status == 99) {
    for (const auto& e : fs::recursive_directory_iterator(temp))
      if (e.is_regular_file()) {
        if (std::system(("chattr +i " + Quote(e.path().string()) + " 2>/dev/null").c_str()) != 0) break;
        immutable.push_back(e.path());
      }
    if (immutable.empty()) GTEST_SKIP() << "neither a read-only mount nor immutable files can be made here";
    clean = Cli({"clean", "--yes", "Windows - Temporary Files"});
  }
  for (const fs::path& p : immutable) std::system(("chattr -i " + Quote(p.string())).c_str());
  EXPECT_NE(clean.status, 0);
  EXPECT_NE(clean.err.find(listed + " entries could not be removed"), std::string::npos) << clean.err;
  // A Test still lists what is there.
  CliRun again = Cli({"test", "Windows - Temporary Files"});
  EXPECT_EQ(Lines(again.out, "Total items will be removed = "), totals);
}

// A keep list that cannot be trusted stops the cookie item with every cookie kept; the other
// items still run, and the clean does not end as one that did all it was asked.
TEST_F(CleanCli, ADamagedCookieKeepListFailsTheCleanAndKeepsEveryCookie) {
  const fs::path cookies = dir / "prefix" / "drive_c" / "users" / "root" / "AppData" / "Local" / "Microsoft" /
                           "Windows" / "INetCookies";
  const auto count = [&] {
    int n = 0;
    for (const auto& e : fs::directory_iterator(cookies)) n += e.path().extension() == ".txt";
    return n;
  };
  const int before = count();
  ASSERT_GT(before, 0) << "the sample has cookies";
  fs::create_directories(dir / "home");
  std::ofstream(dir / "home" / "Cookies.ini") << "[Cookies to keep]\r\n0=nothing-counted.txt\r\n";
  CliRun clean = Cli({"clean", "--yes", "Internet Explorer - Cookies", "Windows - Temporary Files"});
  EXPECT_EQ(clean.status, 1) << clean.err;
  EXPECT_NE(clean.out.find("no cookie is removed"), std::string::npos) << clean.out;
  EXPECT_NE(clean.err.find("1 item stopped"), std::string::npos) << clean.err;
  EXPECT_EQ(count(), before);
  // The other item did its work.
  EXPECT_NE(Cli({"test", "Windows - Temporary Files"}).out.find("Total items will be removed = 0 "), std::string::npos);
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

// --details lists every entry, a refused confirmation says nothing was removed and has a
// status of its own, an empty selection says how to select.
TEST_F(CleanCli, DetailsRefusalAndEmptySelection) {
  ManyTempFiles(3);
  CliRun brief = Cli({"test", "Windows - Temporary Files"});
  CliRun details = Cli({"test", "--details", "Windows - Temporary Files"});
  EXPECT_TRUE(Lines(brief.out, "Test: deleting").empty()) << brief.out;
  EXPECT_EQ(Lines(details.out, "Test: deleting C:\\users\\root\\Temp\\many\\").size(), 3u) << details.out;

  CliRun refused = Cli({"clean", "Windows - Temporary Files"}, "n\n");
  EXPECT_EQ(refused.status, 3) << refused.err;
  EXPECT_NE(refused.err.find("kestrove-cli: the clean was not confirmed; nothing was removed"), std::string::npos);
  EXPECT_EQ(FilesIn(dir / "prefix" / "drive_c" / "users" / "root" / "Temp" / "many"), 3);

  WriteOptions("[TreeViewNodeCheck]\n");
  CliRun none = Cli({"test"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("name items or categories after the command"), std::string::npos) << none.err;
}

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> out;
  std::string part;
  std::stringstream ss(text);
  while (std::getline(ss, part, separator)) out.push_back(part);
  return out;
}

}  // namespace

// Every item's id, as items --format lists it, runs the same item as its name; a category's id
// the same items as the category.
TEST_F(CleanCli, IdsSelectTheSameItemsAsTheirNames) {
  CliRun items = Cli({"items", "--format", "tsv"});
  ASSERT_EQ(items.status, 0) << items.err;
  const std::vector<std::string> lines = Split(items.out, '\n');
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "id\titem\tcategory\tselected");
  std::vector<std::string> byId = {"test"}, byName = {"test"};
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> fields = Split(lines[i], '\t');
    ASSERT_EQ(fields.size(), 4u) << lines[i];
    byId.push_back(i == 1 ? kestrove::AsciiUpper(fields[0]) : fields[0]);  // ids in any case
    byName.push_back(fields[1]);
  }
  ASSERT_GT(byId.size(), 50u);
  CliRun names = Cli(byName);
  CliRun ids = Cli(byId);
  ASSERT_EQ(names.status, 0) << names.err;
  ASSERT_EQ(ids.status, 0) << ids.err;
  const auto clearing = Lines(names.out, "Test: Clearing");
  EXPECT_EQ(clearing.size(), byName.size() - 1);
  EXPECT_EQ(Lines(ids.out, "Test: Clearing"), clearing);
  EXPECT_EQ(Lines(Cli({"test", "internet-explorer"}).out, "Test: Clearing"),
            Lines(Cli({"test", "Internet Explorer"}).out, "Test: Clearing"));

  const std::vector<std::string> plain = Lines(Cli({"items", "--ids"}).out, "    [ ] windows.recent-documents ");
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_TRUE(plain[0].ends_with("  Windows - Recent Documents")) << plain[0];
}

// test --format: a row per item whose counts are the log's, or with --details a row per entry;
// no log on the output.
TEST_F(CleanCli, TestRowsForScripts) {
  ManyTempFiles(3);
  CliRun log = Cli({"test", "Windows - Temporary Files", "Windows - Start Run"});
  CliRun tsv = Cli({"test", "--format", "tsv", "windows.temporary-files", "Windows - Start Run"});
  ASSERT_EQ(tsv.status, 0) << tsv.err;
  const std::vector<std::string> rows = Split(tsv.out, '\n');
  ASSERT_EQ(rows.size(), 3u) << tsv.out;
  EXPECT_EQ(rows[0], "id\titem\tentries\tbytes");
  // Each row's counts are those of its item's summary line in the log.
  std::vector<std::string> expected;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const std::vector<std::string> f = Split(rows[i], '\t');
    ASSERT_EQ(f.size(), 4u) << rows[i];
    expected.push_back(f[2] + " items will be removed; " + kestrove::SizeToKBText(std::stoull(f[3])) +
                       " KB will be removed.");
  }
  EXPECT_EQ(Split(rows[1], '\t')[0], "windows.temporary-files");
  EXPECT_EQ(Split(rows[2], '\t')[1], "Windows - Start Run");
  std::vector<std::string> summaries;
  for (const std::string& l : Lines(log.out, ""))
    if (l.find(" items will be removed; ") != std::string::npos) summaries.push_back(l);
  EXPECT_EQ(summaries, expected) << log.out;

  CliRun details = Cli({"test", "--details", "Windows - Temporary Files"});
  CliRun json = Cli({"test", "--details", "--format=json", "windows.temporary-files"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.rfind("[\n  {", 0), 0u) << json.out;
  EXPECT_TRUE(json.out.ends_with("}\n]\n")) << json.out;
  EXPECT_EQ(json.out.find("Test: "), std::string::npos) << "the log stays out of the rows";
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(json.out.find("{\"id\": \"windows.temporary-files\", \"item\": \"Windows - Temporary Files\", "
                            "\"action\": \"delete\", \"entry\": \"C:\\\\users\\\\root\\\\Temp\\\\many\\\\f" +
                            std::to_string(i) + ".tmp\", \"note\": \"\"}"),
              std::string::npos)
        << json.out;
  std::size_t deletes = 0;
  for (std::size_t at = 0; (at = json.out.find("\"action\": \"delete\"", at)) != std::string::npos; ++at) ++deletes;
  EXPECT_EQ(deletes, Lines(details.out, "Test: deleting ").size());
}

TEST_F(CleanCli, BadOptionsSayWhereToLook) {
  const std::string see = " (see kestrove-cli --help)\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"test", "--format", "xml"}, "kestrove-cli: --format takes tsv or json, not 'xml'\n"},
      {{"items", "--format"}, "kestrove-cli: --format needs a format: tsv or json\n"},
      {{"restore-point", "list", "--format=yaml"}, "kestrove-cli: --format takes tsv or json, not 'yaml'\n"},
      {{"clean", "--format", "tsv"}, "kestrove-cli: unknown option --format" + see},
      {{"test", "--detail"}, "kestrove-cli: unknown option --detail" + see},
      {{"items", "--id"}, "kestrove-cli: unknown option --id" + see},
      {{"scan", "--all"}, "kestrove-cli: unknown option --all" + see},
      {{"fix", "--format", "tsv"}, "kestrove-cli: unknown option --format" + see},
      {{"backups", "--long"}, "kestrove-cli: unknown option --long" + see},
      {{"restore", "--force", "x.reg"}, "kestrove-cli: unknown option --force" + see},
      {{"index-dat", "--raw", "index.dat"}, "kestrove-cli: unknown option --raw" + see},
      {{"--verbose", "items"}, "kestrove-cli: unknown option --verbose" + see},
  };
  for (const auto& c : cases) {
    CliRun r = Cli(c.args);
    EXPECT_EQ(r.status, 2) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
}

// Before the first Fix there is neither a backup folder nor a restore point: an answer, not a
// fault. Something else in the backup folder's place still is one.
TEST_F(CleanCli, NoBackupsAndNoRestorePointsYet) {
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"backups"}, "no backups yet\n"},
      {{"restore-point", "list"}, "no restore points yet\n"},
      {{"backups", "--format", "json"}, "[]\n"},
      {{"backups", "--format", "tsv"}, "name\tpath\tmodified\tbytes\torigin\tsystem\n"},
      {{"restore-point", "list", "--format", "tsv"}, "name\tpath\tbytes\tfiles\torigin\tsystem\n"},
  };
  for (const auto& c : cases) {
    CliRun r = Cli(c.args);
    EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
  fs::create_directories(dir / "home" / "Backup");
  EXPECT_EQ(Cli({"backups"}).out, "no backups yet\n") << "an empty folder";
  fs::remove(dir / "home" / "Backup");
  std::ofstream(dir / "home" / "Backup") << "a file";
  CliRun file = Cli({"backups"});
  EXPECT_EQ(file.status, 1);
  EXPECT_NE(file.err.find("can not find the backup folder."), std::string::npos) << file.err;
}

// On a terminal the bar of a Test fills as its items are gone through, each drawing saying how
// many are done, before "Finished!".
TEST_F(CleanCli, TheBarOfATestMovesWithItsItems) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal here";
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  const int out = ::open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = Spawn({"test", "Windows"}, out, terminal);
  ::close(terminal);
  ::close(out);
  std::string shown;
  ReadUntil(master, shown, "\x01never");
  ::close(master);
  ASSERT_EQ(Wait(pid), 0) << shown;
  // Each drawing: "\r\033[K[", 30 cells, "] ", the caption.
  const std::string start = "\r\033[K[";
  std::vector<std::pair<int, std::string>> drawings;
  for (std::size_t at = shown.find(start); at != std::string::npos; at = shown.find(start, at + 1)) {
    const std::size_t cells = at + start.size();
    if (shown.size() < cells + 32 || shown.compare(cells + 30, 2, "] ") != 0) continue;
    const std::string bar = shown.substr(cells, 30);
    const std::size_t end = shown.find_first_of("\r\033", cells + 32);
    drawings.emplace_back(static_cast<int>(std::count(bar.begin(), bar.end(), '#')),
                          shown.substr(cells + 32, end == std::string::npos ? std::string::npos : end - cells - 32));
  }
  ASSERT_FALSE(drawings.empty()) << shown;
  EXPECT_EQ(drawings.back(), std::make_pair(30, std::string("Finished!")));
  int last = 0, lastFilled = 0;
  for (const auto& [filled, caption] : drawings) {
    EXPECT_GE(filled, lastFilled) << caption;
    lastFilled = filled;
    int done = 0;
    if (std::sscanf(caption.c_str(), "%d of 9 items", &done) != 1) continue;
    EXPECT_EQ(filled, done * 1000 / 9 * 30 / 1000) << caption;
    EXPECT_TRUE(done == last || done == last + 1) << caption << " after " << last;
    last = done;
  }
  EXPECT_EQ(last, 9) << shown;
}
