#include "app/single_instance.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace snapsave::app {

namespace {
constexpr char kShow[] = "show\n";
constexpr char kShown[] = "shown\n";
constexpr char kNoWindow[] = "none\n";
}  // namespace

SingleInstance::SingleInstance(QString name) : name_(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::Acquire() {
  server_ = std::make_unique<QLocalServer>();
  if (!server_->listen(name_)) {
    if (server_->serverError() != QAbstractSocket::AddressInUseError) {
      server_.reset();
      return false;
    }
    QLocalSocket probe;
    probe.connectToServer(name_);
    if (probe.waitForConnected(500)) {
      server_.reset();
      return false;
    }
    // Nobody answers: a copy that crashed left its socket behind.
    QLocalServer::removeServer(name_);
    if (!server_->listen(name_)) {
      server_.reset();
      return false;
    }
  }
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      QObject::connect(peer, &QLocalSocket::readyRead, peer, [this, peer] {
        if (!peer->canReadLine()) return;
        const QByteArray request = peer->readLine(64);
        if (request != kShow) {
          peer->disconnectFromServer();
          return;
        }
        const bool shown = onShowRequested && onShowRequested();
        peer->write(shown ? kShown : kNoWindow);
        peer->flush();
      });
    }
  });
  return true;
}

bool SingleInstance::AskFirstToShow(int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kShow);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(timeoutMs)) return false;
  }
  return socket.readLine(64) == kShown;
}

}  // namespace snapsave::app
