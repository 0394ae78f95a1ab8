// A guard for calls that could wait forever (a read from a FIFO, a lock nobody releases): the
// call runs in a child process, so a hang fails its test instead of stalling the whole run.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace kestrove::testing {

// Failed checks of the running test so far.
inline int FailedCheckCount() {
  const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i)
    if (result->GetTestPartResult(i).failed()) ++failed;
  return failed;
}

// Runs `body` in a child process. Fails when the child is still running after `limit` (it is
// then killed) or when a check inside `body` failed (the child prints its failures itself).
inline ::testing::AssertionResult EndsWithoutHanging(const std::function<void()>& body,
                                                     std::chrono::seconds limit = std::chrono::seconds(60)) {
  const int failedBefore = FailedCheckCount();
  const pid_t pid = ::fork();
  if (pid < 0) return ::testing::AssertionFailure() << "fork failed";
  if (pid == 0) {
    body();
    ::_exit(FailedCheckCount() > failedBefore ? 1 : 0);
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return ::testing::AssertionFailure() << "still running after " << limit.count() << " s: it hangs";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the checks in the child process failed (status " << status << ")";
}

}  // namespace kestrove::testing
