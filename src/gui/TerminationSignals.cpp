#include "gui/TerminationSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>

namespace kestrove {

namespace {

constexpr int kSignals[3] = {SIGTERM, SIGINT, SIGHUP};

// The handler may use nothing but this descriptor: it interrupts any code at any point.
std::atomic<int> gWriteFd{-1};

void OnSignal(int signalNumber) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  // A full pipe already holds a close request; one more byte changes nothing.
  if (const int fd = gWriteFd.load(); fd >= 0) (void)!::write(fd, &byte, 1);
  errno = saved;
}

}  // namespace

TTerminationSignals::TTerminationSignals(QObject* parent) : QObject(parent) {}

TTerminationSignals::~TTerminationSignals() {
  if (installed_) {
    for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
    gWriteFd.store(-1);
  }
  delete notifier_;
  if (readFd_ >= 0) ::close(readFd_);
  if (writeFd_ >= 0) ::close(writeFd_);
}

bool TTerminationSignals::Install() {
  if (installed_ || gWriteFd.load() >= 0) return false;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  readFd_ = fds[0];
  writeFd_ = fds[1];
  notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
  gWriteFd.store(writeFd_);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls go on: the close happens in the event loop, not here.
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
  installed_ = true;
  return true;
}

void TTerminationSignals::Drain() {
  unsigned char bytes[16];
  for (;;) {
    const ssize_t n = ::read(readFd_, bytes, sizeof bytes);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) emit Received(bytes[i]);
  }
}

}  // namespace kestrove
