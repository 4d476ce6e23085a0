#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

namespace telvane {
namespace {

constexpr int kConnectTimeoutMs = 1000;
const QByteArray kActivateRequest = QByteArrayLiteral("activate\n");

}  // namespace

SingleInstance::SingleInstance(QString socketName, QObject* parent)
    : QObject(parent),
      socketName_(std::move(socketName))
{
    // Only this user may ask us to come forward.
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketNameForStore(const QString& storePath)
{
    if (storePath.isEmpty()) {
        return QStringLiteral("telvane.socket");
    }
    // Short enough for sun_path under any runtime directory.
    const QByteArray hash = QCryptographicHash::hash(storePath.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("telvane-%1.socket").arg(QString::fromLatin1(hash));
}

QString SingleInstance::socketPath() const
{
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir(dir).exists()) {
        dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    }
    return QDir(dir).filePath(socketName_);
}

SingleInstance::Role SingleInstance::claim()
{
    const QString path = socketPath();
    // Two starts at the same moment must not both find no server and both
    // listen; the lock serialises check and listen. QLockFile takes over a
    // lock whose owner died.
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(2 * kConnectTimeoutMs)) {
        return askRunningInstance() ? Role::secondary : Role::unavailable;
    }
    if (askRunningInstance()) {
        return Role::secondary;
    }
    // Nobody answered: whatever file is there belongs to a process that is gone.
    QLocalServer::removeServer(path);
    return server_.listen(path) ? Role::primary : Role::unavailable;
}

bool SingleInstance::askRunningInstance() const
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        return false;
    }
    socket.write(kActivateRequest);
    if (!socket.waitForBytesWritten(kConnectTimeoutMs)) {
        return false;
    }
    // The running instance closes the connection once it has read the
    // request, so the caller can exit knowing the window will come up.
    if (socket.state() == QLocalSocket::ConnectedState) {
        socket.waitForDisconnected(kConnectTimeoutMs);
    }
    return true;
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                return;
            }
            const QByteArray request = socket->readLine();
            if (request == kActivateRequest) {
                emit activationRequested();
            }
            socket->disconnectFromServer();
        });
    }
}

}  // namespace telvane
