#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

namespace telvane {
namespace {

constexpr int kTimeoutMs = 1000;
constexpr std::string_view kActivateRequest = "activate\n";
// Anything longer than the request is not a request.
constexpr std::size_t kMaxRequest = 64;

// Closes the descriptor it holds when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    [[nodiscard]] int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::optional<sockaddr_un> unixAddress(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) {
        return std::nullopt;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

bool waitFor(int fd, short events)
{
    pollfd entry{fd, events, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, kTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

int unixSocket()
{
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

}  // namespace

struct SingleInstance::Client {
    QSocketNotifier* notifier;  // a child of the SingleInstance
    std::string received;
};

SingleInstance::SingleInstance(QString socketName, QObject* parent)
    : QObject(parent),
      socketName_(std::move(socketName))
{}

SingleInstance::~SingleInstance()
{
    for (const auto& [fd, client] : clients_) {
        ::close(fd);
    }
    notifier_.reset();
    if (listener_ >= 0) {
        ::close(listener_);
        ::unlink(listeningPath_.c_str());
    }
}

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
    if (!lock.tryLock(2 * kTimeoutMs)) {
        return askRunningInstance() ? Role::secondary : Role::unavailable;
    }
    if (askRunningInstance()) {
        return Role::secondary;
    }
    return listen() ? Role::primary : Role::unavailable;
}

bool SingleInstance::askRunningInstance() const
{
    const auto address = unixAddress(QFile::encodeName(socketPath()).toStdString());
    const Descriptor fd(unixSocket());
    if (!address || fd.get() < 0) {
        return false;
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) != 0) {
        // A full queue of a hung process: wait a while for room.
        int error = 0;
        socklen_t length = sizeof(error);
        if (errno != EAGAIN || !waitFor(fd.get(), POLLOUT)
            || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return false;
        }
    }
    if (!waitFor(fd.get(), POLLOUT)
        || ::send(fd.get(), kActivateRequest.data(), kActivateRequest.size(), MSG_NOSIGNAL)
               != static_cast<ssize_t>(kActivateRequest.size())) {
        return false;
    }
    // The running instance closes the connection once it has read the
    // request, so the caller can exit knowing the window will come up.
    waitFor(fd.get(), POLLIN);
    return true;
}

bool SingleInstance::listen()
{
    const std::string path = QFile::encodeName(socketPath()).toStdString();
    const auto address = unixAddress(path);
    Descriptor fd(unixSocket());
    if (!address || fd.get() < 0) {
        return false;
    }
    // Nobody answered: whatever file is there belongs to a process that is gone.
    ::unlink(path.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) != 0) {
        return false;
    }
    // Only this user may ask us to come forward.
    if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 || ::listen(fd.get(), 8) != 0) {
        ::unlink(path.c_str());
        return false;
    }
    listeningPath_ = path;
    listener_ = fd.release();
    return true;
}

void SingleInstance::serve()
{
    if (listener_ < 0 || notifier_) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(listener_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SingleInstance::acceptClients);
    // Starts that came before serve() wait in the queue already.
    acceptClients();
}

void SingleInstance::acceptClients()
{
    int fd = -1;
    while ((fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this, fd] { readClient(fd); });
        clients_.emplace(fd, std::make_unique<Client>(Client{notifier, {}}));
    }
}

void SingleInstance::readClient(int fd)
{
    const auto found = clients_.find(fd);
    if (found == clients_.end()) {
        return;
    }
    Client& client = *found->second;
    char buffer[kMaxRequest];
    const ssize_t count = ::read(fd, buffer, sizeof(buffer));
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (count > 0) {
        client.received.append(buffer, static_cast<std::size_t>(count));
        if (client.received.find('\n') == std::string::npos && client.received.size() < kMaxRequest) {
            return;
        }
    }
    const bool activate = client.received == kActivateRequest;
    // Closing tells the asking start that it may end. The notifier that
    // called us goes later, not under its own feet.
    client.notifier->setEnabled(false);
    client.notifier->deleteLater();
    ::close(fd);
    clients_.erase(found);
    if (activate) {
        emit activationRequested();
    }
}

}  // namespace telvane
