// What the tests that run kestrove-cli as a process share: reading a file whole, quoting
// for the shell, a run's status and output, and a stand-in for a running Wine.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kestrove::testing {

inline std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct CliRun {
  int status = -1;
  std::string out, err;
};

// Runs kestrove-cli --root `root` with `args` and nothing on its input; its output and errors
// pass through files in `work`. `env` goes before the command ("KESTROVE_HOME='...' ").
inline CliRun RunCli(const std::filesystem::path& work, const std::string& env, const std::filesystem::path& root,
                     const std::vector<std::string>& args) {
  std::string cmd = env + " " + Quote(KESTROVE_CLI_PATH) + " --root " + Quote(root.string());
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " </dev/null >" + Quote((work / "out.txt").string()) + " 2>" + Quote((work / "err.txt").string());
  const int raw = std::system(cmd.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(work / "out.txt"), Slurp(work / "err.txt")};
}

// Plays a running wineserver: the lock file of Debian's layout, write-locked by this process
// (the program under test must get TMPDIR=tmpdir).
class FakeWineServer {
 public:
  FakeWineServer(const std::filesystem::path& tmpdir, const std::filesystem::path& prefix) {
    std::ofstream(prefix / "wineserver") << "wine-test-server\n";
    struct stat st {};
    if (::stat(prefix.c_str(), &st) != 0) return;
    char server[80];
    std::snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    const std::filesystem::path dir = tmpdir / "wine-test-server" / server;
    std::filesystem::create_directories(dir);
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

}  // namespace kestrove::testing
