// kestrove-cli reg, run as a process on a copy of a real fresh Wine prefix's registry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CliTestSupport.h"

namespace {

namespace fs = std::filesystem;
using kestrove::testing::FakeWineServer;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Single quotes for sh; a single quote inside is closed, escaped and reopened.
std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

class RegToolEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path data = fs::path(KESTROVE_SOURCE_DIR) / ".." / "shared" / "testdata" / "wine-8.0-fresh";
    if (!fs::is_regular_file(data / "system.reg")) GTEST_SKIP() << "no fresh Wine prefix data at " << data;
    std::string pattern = (fs::temp_directory_path() / "kestrove-regtool-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    prefix_ = dir_ / "prefix";
    fs::create_directories(prefix_ / "drive_c");
    fs::create_directories(prefix_ / "dosdevices");
    for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) {
      fs::copy_file(data / name, prefix_ / name);
      fs::permissions(prefix_ / name, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    }
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  // kestrove-cli --root PREFIX reg ARGS..., with `input` on stdin. TMPDIR is the test's folder,
  // where a wineserver of Debian's build would keep its lock.
  CliRun Reg(const std::vector<std::string>& args, const std::string& input = "") {
    std::ofstream(dir_ / "in.txt", std::ios::binary) << input;
    const std::string cmd = RegCommand(args, "out.txt", "err.txt") + " <" + ShellQuote((dir_ / "in.txt").string());
    CliRun r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadFile(dir_ / "out.txt");
    r.err = ReadFile(dir_ / "err.txt");
    return r;
  }

  // The shell command of "reg ARGS...", its output and errors going to files of the test's folder.
  std::string RegCommand(const std::vector<std::string>& args, const char* out, const char* err) {
    std::string cmd = "TMPDIR=" + ShellQuote(dir_.string()) + " " + ShellQuote(KESTROVE_CLI_PATH) + " --root " +
                      ShellQuote(prefix_.string()) + " reg";
    for (const auto& a : args) cmd += " " + ShellQuote(a);
    return cmd + " >" + ShellQuote((dir_ / out).string()) + " 2>" + ShellQuote((dir_ / err).string());
  }

  fs::path dir_;
  fs::path prefix_;
};

TEST_F(RegToolEndToEnd, AddQueryDeleteGoThroughTheHiveFile) {
  const std::string systemBefore = ReadFile(prefix_ / "system.reg");

  CliRun r = Reg({"add", "HKCU\\Software\\Kestrove Test", "/v", "Greeting", "/d", "Hello, World", "/f"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "The operation completed successfully.\n");
  r = Reg({"add", "HKCU\\Software\\Kestrove Test\\Sub", "/v", "Count", "/t", "REG_DWORD", "/d", "0x2a", "/f"});
  ASSERT_EQ(r.status, 0) << r.err;

  const std::string userReg = ReadFile(prefix_ / "user.reg");
  EXPECT_NE(userReg.find("[Software\\\\Kestrove Test]"), std::string::npos);
  EXPECT_NE(userReg.find("\"Greeting\"=\"Hello, World\""), std::string::npos);
  EXPECT_NE(userReg.find("\"Count\"=dword:0000002a"), std::string::npos);
  // Only the user's hive changed.
  EXPECT_EQ(ReadFile(prefix_ / "system.reg"), systemBefore);

  r = Reg({"query", "hkcu\\Software\\Kestrove Test", "/s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_CURRENT_USER\\Software\\Kestrove Test\n"
            "    Greeting    REG_SZ    Hello, World\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\Kestrove Test\\Sub\n"
            "    Count    REG_DWORD    0x2a\n"
            "\n");

  // Declining on stdin leaves the key; "y" deletes it.
  r = Reg({"delete", "HKCU\\Software\\Kestrove Test"}, "n\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("The operation was canceled by the user."), std::string::npos);
  EXPECT_NE(ReadFile(prefix_ / "user.reg").find("[Software\\\\Kestrove Test]"), std::string::npos);
  r = Reg({"delete", "HKCU\\Software\\Kestrove Test"}, "y\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Permanently delete the registry key HKEY_CURRENT_USER\\Software\\Kestrove Test (Yes/No)? \n"
            "The operation completed successfully.\n");
  EXPECT_EQ(ReadFile(prefix_ / "user.reg").find("Kestrove Test"), std::string::npos);

  r = Reg({"query", "HKCU\\Software\\Kestrove Test"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR: The system was unable to find the specified registry key or value.\n");
}

TEST_F(RegToolEndToEnd, WritesAreRefusedWhileWineRuns) {
  const std::string userBefore = ReadFile(prefix_ / "user.reg");
  FakeWineServer wine(dir_, prefix_);
  ASSERT_TRUE(wine.Locked());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"add", "HKCU\\Software\\Kestrove Test", "/v", "V", "/d", "x", "/f"},
        std::vector<std::string>{"delete", "HKCU\\Software\\Wine", "/f"}}) {
    const CliRun r = Reg(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("ERROR: Wine is running on " + prefix_.string(), 0), 0u) << r.err;
  }
  EXPECT_EQ(ReadFile(prefix_ / "user.reg"), userBefore);
  // Reading stays allowed.
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\Wine"}).status, 0);
}

// Another program changes the key while reg waits for its question to be answered: reg reads
// the changed file again before it writes, and finds the key or value gone. reg delete then says
// it is not there, as it would have had it started a moment later, and reg add makes the key
// anew, as for any key that is not there.
TEST_F(RegToolEndToEnd, AKeyRemovedMeanwhileIsNotThere) {
  const std::string key = "HKCU\\Software\\Kestrove Meanwhile";
  const std::string notFound = "ERROR: The system was unable to find the specified registry key or value.\n";
  struct TCase {
    std::vector<std::string> args;
    std::vector<std::string> meanwhile;  // what the other program does while the question waits
    int status;
    std::string err;
  };
  const std::vector<TCase> cases = {
      {{"delete", key}, {"delete", key, "/f"}, 1, notFound},
      {{"delete", key, "/v", "V"}, {"delete", key, "/f"}, 1, notFound},
      {{"delete", key, "/v", "V"}, {"delete", key, "/v", "V", "/f"}, 1, notFound},
      {{"delete", key, "/va"}, {"delete", key, "/f"}, 1, notFound},
      {{"add", key, "/v", "V", "/d", "new"}, {"delete", key, "/f"}, 0, ""},
  };
  for (const TCase& c : cases) {
    const std::string what = c.args[0] + " " + (c.args.size() > 2 ? c.args[2] : "") + " / " + c.meanwhile.back();
    ASSERT_EQ(Reg({"add", key, "/v", "V", "/d", "old", "/f"}).status, 0);
    ASSERT_EQ(Reg({"add", key, "/v", "W", "/d", "other", "/f"}).status, 0);
    FILE* answer = ::popen(RegCommand(c.args, "slow-out.txt", "slow-err.txt").c_str(), "w");
    ASSERT_NE(answer, nullptr);
    bool asked = false;
    for (int i = 0; i < 3000 && !asked; ++i) {
      asked = ReadFile(dir_ / "slow-out.txt").find("(Yes/No)? ") != std::string::npos;
      if (!asked) ::usleep(10000);
    }
    EXPECT_TRUE(asked) << what;
    EXPECT_EQ(Reg(c.meanwhile).status, 0) << what;
    std::fputs("y\n", answer);
    const int raw = ::pclose(answer);
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, c.status) << what;
    EXPECT_EQ(ReadFile(dir_ / "slow-err.txt"), c.err) << what;
    if (c.status == 0) {
      const CliRun q = Reg({"query", key, "/v", "V"});
      EXPECT_NE(q.out.find("REG_SZ    new"), std::string::npos) << what << q.out;
    }
    Reg({"delete", key, "/f"});
  }
  // A key the store keeps to itself is still refused as such.
  const CliRun hive = Reg({"delete", "HKU\\.Default", "/f"});
  EXPECT_EQ(hive.status, 1);
  EXPECT_EQ(hive.err, "ERROR: Access is denied.\n");
}

TEST_F(RegToolEndToEnd, ReadsWhatWineWrote) {
  CliRun r = Reg({"query", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion", "/v", "CurrentVersion"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\n"
            "    CurrentVersion    REG_SZ    6.1\n"
            "\n");
  // Walking the whole machine hive follows Wine's link keys and ends.
  r = Reg({"query", "HKLM\\Software", "/s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Classes\n"), std::string::npos);
  // A syntax error needs no target at all.
  const CliRun bad = Reg({"query", "HKCU\\Software", "/nonsense"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n");
}

}  // namespace
