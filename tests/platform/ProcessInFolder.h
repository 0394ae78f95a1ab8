// A child process whose working folder is the given one, as a wineserver sits in its server
// folder: the tests' stand-in for a running Wine on a prefix, found as Wine is found.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace kestrove::testing {

class ProcessInFolder {
 public:
  explicit ProcessInFolder(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(1);
      char c = 1;
      (void)!::write(ready[1], &c, 1);
      ::pause();
      ::_exit(0);
    }
    char c;
    (void)!::read(ready[0], &c, 1);
    ::close(ready[0]);
    ::close(ready[1]);
  }
  ~ProcessInFolder() { Stop(); }
  ProcessInFolder(const ProcessInFolder&) = delete;
  ProcessInFolder& operator=(const ProcessInFolder&) = delete;
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace kestrove::testing
