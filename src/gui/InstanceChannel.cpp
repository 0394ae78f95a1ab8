#include "gui/InstanceChannel.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace kestrove {

namespace {
constexpr char kShowMain[] = "WM_SHOWMAIN\n";
constexpr char kDone[] = "OK\n";
}  // namespace

TInstanceChannel::TInstanceChannel(QObject* parent) : QObject(parent) {}

TInstanceChannel::~TInstanceChannel() {
  if (server_) server_->close();
}

QString TInstanceChannel::NameFor(const std::filesystem::path& targetFolder) {
  std::error_code ec;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(targetFolder, ec);
  if (ec) canonical = std::filesystem::absolute(targetFolder, ec);
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(canonical.string()), QCryptographicHash::Sha256).toHex().left(20);
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(runtime).exists()) return runtime + "/kestrove-" + QString::fromLatin1(hash);
  return QDir::tempPath() + QString("/kestrove-%1-").arg(::getuid()) + QString::fromLatin1(hash);
}

bool TInstanceChannel::AskToShow(const QString& name, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kShowMain);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  while (!socket.canReadLine())
    if (!socket.waitForReadyRead(timeoutMs)) return false;
  return socket.readLine() == kDone;
}

bool TInstanceChannel::Listen(const QString& name) {
  delete server_;
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name)) {
    // Nobody answered on it (the caller asked first): a socket file left by a crash.
    QLocalServer::removeServer(name);
    if (!server_->listen(name)) return false;
  }
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
      connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      connect(client, &QLocalSocket::readyRead, this, [this, client] {
        while (client->canReadLine()) {
          if (client->readLine() != kShowMain) continue;
          client->write(kDone);
          client->flush();
          emit ShowMainRequested();
        }
      });
    }
  });
  return true;
}

}  // namespace kestrove
