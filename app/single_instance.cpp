#include "single_instance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include "qt_convert.h"
#include "settings/paths.h"

namespace trellisant::app {
namespace {

constexpr qint64 kMaxMessage = 64 * 1024;
const QByteArray kShow = "show";
const QByteArray kUrlPrefix = "url ";

}  // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), path_(std::move(socketPath)), lock_(path_ + QStringLiteral(".lock")) {
  lock_.setStaleLockTime(0);  // a lock is stale only when its process is gone
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

SingleInstance::~SingleInstance() { server_.close(); }

QString SingleInstance::defaultPath() {
  return toQString(Paths::appSocket());
}

bool SingleInstance::becomePrimary() {
  if (!lock_.tryLock(0)) {
    // Only a lock held by another instance means there is one; a folder we cannot write
    // must not keep the app from starting.
    if (lock_.error() == QLockFile::LockFailedError) return false;
    return true;
  }
  // Holding the lock, any socket file left here belongs to a process that has ended.
  QLocalServer::removeServer(path_);
  // A socket that cannot be made (a path too long for a socket address) costs only the
  // hand-off; this process is still the one instance.
  server_.listen(path_);
  return true;
}

bool SingleInstance::handOff(const QStringList& urls, int timeoutMs) const {
  QByteArray message;
  if (urls.isEmpty()) message = kShow + '\n';
  for (const auto& url : urls) message += kUrlPrefix + url.toUtf8() + '\n';

  // The first instance may still be starting: retry until it listens.
  QDeadlineTimer deadline(timeoutMs);
  while (true) {
    QLocalSocket socket;
    socket.connectToServer(path_);
    if (socket.waitForConnected(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)))) {
      socket.write(message);
      bool sent = socket.waitForBytesWritten(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
      socket.disconnectFromServer();
      if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(500);
      return sent;
    }
    if (deadline.hasExpired()) return false;
    QThread::msleep(50);
  }
}

void SingleInstance::accept() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
      *buffer += socket->readAll();
      if (buffer->size() > kMaxMessage) {
        buffer->clear();
        socket->abort();
        return;
      }
      qsizetype newline;
      while ((newline = buffer->indexOf('\n')) >= 0) {
        deliver(buffer->left(newline));
        buffer->remove(0, newline + 1);
      }
    });
  }
}

void SingleInstance::deliver(const QByteArray& message) {
  if (message == kShow) {
    emit activationRequested();
  } else if (message.startsWith(kUrlPrefix)) {
    emit urlReceived(QString::fromUtf8(message.mid(kUrlPrefix.size())));
  }
}

}  // namespace trellisant::app
