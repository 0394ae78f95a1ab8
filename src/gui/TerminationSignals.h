// SIGTERM, SIGINT and SIGHUP end the program the way closing its window does, so that the
// settings are saved and the browser windows the boss key hid come back. The handler itself
// only writes the signal's number into a pipe; the event loop reads it and reports it.
#pragma once

#include <QObject>
#include <csignal>

class QSocketNotifier;

namespace kestrove {

class TTerminationSignals : public QObject {
  Q_OBJECT

 public:
  explicit TTerminationSignals(QObject* parent = nullptr);
  // Puts back the handlers that were there before Install.
  ~TTerminationSignals() override;

  // Catches the three signals from now on. False (nothing changed) when the pipe cannot be
  // made or another object of this class has them already.
  bool Install();

 signals:
  // On the event loop's thread, once per signal received.
  void Received(int signalNumber);

 private:
  void Drain();

  int readFd_ = -1;
  int writeFd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  bool installed_ = false;
  struct sigaction previous_[3] = {};
};

}  // namespace kestrove
