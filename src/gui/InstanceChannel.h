// One window per target: a later start of the program on the same Windows system hands over
// to the running one and ends; an interactive start asks it to show its window
// (WM_SHOWMAIN), an "/Auto" start only that it keeps running. The channel is a local socket
// in a folder only the user can enter, named after the target folder's canonical path, and
// both ends make sure the other end is a process of the same user.
#pragma once

#include <QObject>
#include <QString>
#include <filesystem>
#include <string>

class QLocalServer;
class QLocalSocket;

namespace kestrove {

// What a later start asks of the program already running on its target.
enum class TLaterStart {
  ShowMain,    // an interactive start: bring the window back
  StayHidden,  // an "/Auto" start: nothing; a window in the notification area stays there
};

class TInstanceChannel : public QObject {
  Q_OBJECT

 public:
  explicit TInstanceChannel(QObject* parent = nullptr);
  ~TInstanceChannel() override;

  // The folder the sockets live in: $XDG_RUNTIME_DIR when it is the user's own folder that
  // nobody else may enter, else "kestrove-UID" in the temporary folder, made with mode 0700
  // when missing. Empty, with `why` saying so, when neither can be trusted (a link, another
  // user's folder, one that others may enter or write).
  static QString SocketFolder(std::string* why = nullptr);
  // Whether `folder` is a folder itself (not a link), owned by this user, with no rights for
  // group or others. `why` says what is wrong.
  static bool PrivateFolder(const QString& folder, std::string* why = nullptr);
  // The socket for a target: in SocketFolder(), named with a hash of the folder's canonical
  // path. Empty when there is no folder to trust.
  // `user`: of an offline Windows installation, whose registry is HKEY_CURRENT_USER; each user
  // of one installation has a window of their own.
  static QString NameFor(const std::filesystem::path& targetFolder, std::string* why = nullptr,
                         const std::string& user = {});
  // Hands over to a program of this user that listens on `name`; true when it confirmed.
  static bool HandOver(const QString& name, TLaterStart request, int timeoutMs = 3000);
  static bool AskToShow(const QString& name, int timeoutMs = 3000) {
    return HandOver(name, TLaterStart::ShowMain, timeoutMs);
  }
  // Whether the process at the other end of a connected local socket runs as this user.
  static bool PeerIsThisUser(int socketDescriptor);
  // Listens on `name` (a socket left by a program that ended is replaced); false when that
  // is not possible. Connections of other users are dropped unanswered.
  bool Listen(const QString& name);

 signals:
  void ShowMainRequested();

 private:
  void Serve(QLocalSocket* client);

  QLocalServer* server_ = nullptr;
};

}  // namespace kestrove
