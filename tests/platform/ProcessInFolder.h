// A child process whose working folder is the given one, as a wineserver sits in its server
// folder: the tests' stand-in for a running Wine on a prefix, found as Wine is found.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace kestrove::testing {

// A child process that runs `setUp` (a chdir, taking a lock, ...) and then waits until it is
// stopped. Ready() tells whether `setUp` succeeded.
class ChildProcess {
 public:
  explicit ChildProcess(const std::function<bool()>& setUp) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (!setUp()) ::_exit(1);
      char c = 1;
      (void)!::write(ready[1], &c, 1);
      ::pause();
      ::_exit(0);
    }
    ::close(ready[1]);
    char c = 0;
    ready_ = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool Ready() const { return ready_; }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

class ProcessInFolder : public ChildProcess {
 public:
  explicit ProcessInFolder(const std::filesystem::path& folder)
      : ChildProcess([&folder] {
          std::filesystem::create_directories(folder);
          return ::chdir(folder.c_str()) == 0;
        }) {}
};

}  // namespace kestrove::testing
