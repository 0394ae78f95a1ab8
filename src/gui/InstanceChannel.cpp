#include "gui/InstanceChannel.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <cstring>

namespace kestrove {

namespace {
constexpr char kShowMain[] = "WM_SHOWMAIN\n";
constexpr char kStayHidden[] = "STAY_HIDDEN\n";
constexpr char kDone[] = "OK\n";
}  // namespace

TInstanceChannel::TInstanceChannel(QObject* parent) : QObject(parent) {}

TInstanceChannel::~TInstanceChannel() {
  if (server_) server_->close();
}

bool TInstanceChannel::PrivateFolder(const QString& folder, std::string* why) {
  const QByteArray path = QFile::encodeName(folder);
  struct stat st {};
  auto fail = [&](const std::string& text) {
    if (why) *why = folder.toStdString() + ": " + text;
    return false;
  };
  if (::lstat(path.constData(), &st) != 0) return fail(std::strerror(errno));
  if (S_ISLNK(st.st_mode)) return fail("is a link");
  if (!S_ISDIR(st.st_mode)) return fail("is not a folder");
  if (st.st_uid != ::getuid()) return fail("belongs to another user");
  if ((st.st_mode & 077) != 0) return fail("other users may enter it");
  return true;
}

QString TInstanceChannel::SocketFolder(std::string* why) {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  // The runtime folder is the session's own; one that is not private is passed over for the
  // folder of our own below, not trusted.
  if (!runtime.isEmpty() && PrivateFolder(runtime)) return runtime;
  const QString own = QDir::tempPath() + QString("/kestrove-%1").arg(::getuid());
  const QByteArray path = QFile::encodeName(own);
  // A folder someone else made first under this name stays theirs: it fails the check below.
  if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
    if (why) *why = own.toStdString() + ": " + std::strerror(errno);
    return {};
  }
  if (!PrivateFolder(own, why)) return {};
  return own;
}

QString TInstanceChannel::NameFor(const std::filesystem::path& targetFolder, std::string* why, const std::string& user) {
  const QString folder = SocketFolder(why);
  if (folder.isEmpty()) return {};
  std::error_code ec;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(targetFolder, ec);
  if (ec) canonical = std::filesystem::absolute(targetFolder, ec);
  const std::string named = user.empty() ? canonical.string() : canonical.string() + "\n" + user;
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(named), QCryptographicHash::Sha256).toHex().left(20);
  return folder + "/kestrove-" + QString::fromLatin1(hash);
}

bool TInstanceChannel::PeerIsThisUser(int socketDescriptor) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (socketDescriptor < 0 || ::getsockopt(socketDescriptor, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      length != sizeof peer)
    return false;
  return peer.uid == ::getuid();
}

bool TInstanceChannel::HandOver(const QString& name, TLaterStart request, int timeoutMs) {
  if (name.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(timeoutMs)) return false;
  // Whoever else listens here gets nothing from us, and this start goes on by itself.
  if (!PeerIsThisUser(static_cast<int>(socket.socketDescriptor()))) return false;
  socket.write(request == TLaterStart::ShowMain ? kShowMain : kStayHidden);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  while (!socket.canReadLine())
    if (!socket.waitForReadyRead(timeoutMs)) return false;
  return socket.readLine() == kDone;
}

bool TInstanceChannel::Listen(const QString& name) {
  if (name.isEmpty()) return false;
  delete server_;
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name)) {
    // Nobody answered on it (the caller asked first): a socket file left by a crash.
    QLocalServer::removeServer(name);
    if (!server_->listen(name)) return false;
  }
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = server_->nextPendingConnection()) Serve(client);
  });
  return true;
}

void TInstanceChannel::Serve(QLocalSocket* client) {
  connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
  if (!PeerIsThisUser(static_cast<int>(client->socketDescriptor()))) {
    client->abort();
    client->deleteLater();
    return;
  }
  connect(client, &QLocalSocket::readyRead, this, [this, client] {
    while (client->canReadLine()) {
      const QByteArray line = client->readLine();
      if (line != kShowMain && line != kStayHidden) continue;
      client->write(kDone);
      client->flush();
      if (line == kShowMain) emit ShowMainRequested();
    }
  });
}

}  // namespace kestrove
