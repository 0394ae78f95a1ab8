// One window per target: a later start of the program on the same Windows system asks the
// running one to show its window (WM_SHOWMAIN) and ends. The channel is a local socket owned
// by the user, named after the target folder's canonical path.
#pragma once

#include <QObject>
#include <QString>
#include <filesystem>

class QLocalServer;

namespace kestrove {

class TInstanceChannel : public QObject {
  Q_OBJECT

 public:
  explicit TInstanceChannel(QObject* parent = nullptr);
  ~TInstanceChannel() override;

  // The socket for a target: in $XDG_RUNTIME_DIR, else the temporary folder with the user's
  // id in the name; the rest is a hash of the folder's canonical path.
  static QString NameFor(const std::filesystem::path& targetFolder);
  // Asks a program that listens on `name` to show its window; true when it confirmed.
  static bool AskToShow(const QString& name, int timeoutMs = 3000);
  // Listens on `name` (a socket left by a program that ended is replaced); false when that
  // is not possible.
  bool Listen(const QString& name);

 signals:
  void ShowMainRequested();

 private:
  QLocalServer* server_ = nullptr;
};

}  // namespace kestrove
