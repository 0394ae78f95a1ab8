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

namespace {

namespace fs = std::filesystem;

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
    std::string cmd = "TMPDIR=" + ShellQuote(dir_.string()) + " " + ShellQuote(KESTROVE_CLI_PATH) + " --root " +
                      ShellQuote(prefix_.string()) + " reg";
    for (const auto& a : args) cmd += " " + ShellQuote(a);
    cmd += " <" + ShellQuote((dir_ / "in.txt").string()) + " >" + ShellQuote((dir_ / "out.txt").string()) + " 2>" +
           ShellQuote((dir_ / "err.txt").string());
    CliRun r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadFile(dir_ / "out.txt");
    r.err = ReadFile(dir_ / "err.txt");
    return r;
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

// Plays a running wineserver: the lock file of Debian's layout, write-locked by this process.
class FakeWineServer {
 public:
  FakeWineServer(const fs::path& tmpdir, const fs::path& prefix) {
    std::ofstream(prefix / "wineserver") << "wine-test-server\n";
    struct stat st {};
    if (::stat(prefix.c_str(), &st) != 0) return;
    char server[80];
    std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    const fs::path dir = tmpdir / "wine-test-server" / server;
    fs::create_directories(dir);
    fd_ = ::open((dir / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    locked_ = fd_ >= 0 && ::fcntl(fd_, F_SETLK, &fl) == 0;
  }
  ~FakeWineServer() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Locked() const { return locked_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

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
