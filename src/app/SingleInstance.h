#pragma once

// One Telvane per store. The first process listens on a local socket under
// $XDG_RUNTIME_DIR; a later start sends it a request to show its window and
// ends. A socket left behind by a killed process is replaced, never obeyed.
// Keying the socket by the store lets a throwaway store (a demo, a test) run
// beside the user's own Telvane instead of bringing that one forward.
//
// Plain Unix sockets: claiming needs no QCoreApplication, so a later start
// hands over before it would touch the display, and the program does not
// load Qt's network library for one local socket.

#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <string>

class QSocketNotifier;

namespace telvane {

class SingleInstance final : public QObject {
    Q_OBJECT

public:
    enum class Role {
        primary,     // this process serves the session; activationRequested() will fire
        secondary,   // another process runs and was asked to show its window
        unavailable  // no socket could be set up; run alone without the guard
    };

    // `socketName` is a file name inside the runtime directory.
    explicit SingleInstance(QString socketName, QObject* parent = nullptr);
    // Stops listening and removes the socket file of a primary.
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // "telvane-<hash of the path>.socket", or "telvane.socket" without a store path.
    [[nodiscard]] static QString socketNameForStore(const QString& storePath);

    // Asks a running instance to come forward, or becomes the one that runs
    // (listening, but not answering before serve()). Blocks for at most a
    // second or two when a hung process holds the socket. Needs no
    // QCoreApplication.
    [[nodiscard]] Role claim();

    // A primary answers later starts from now on; until then they wait in
    // the socket's queue. Needs the QCoreApplication. Nothing otherwise.
    void serve();

    // The socket's full path: $XDG_RUNTIME_DIR (or Qt's private runtime
    // directory when unset) joined with the socket name.
    [[nodiscard]] QString socketPath() const;

signals:
    // Another start asked this instance to show its window.
    void activationRequested();

private:
    struct Client;

    [[nodiscard]] bool askRunningInstance() const;
    [[nodiscard]] bool listen();
    void acceptClients();
    void readClient(int fd);

    QString socketName_;
    std::string listeningPath_;  // the socket file this process made
    int listener_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<int, std::unique_ptr<Client>> clients_;  // by descriptor
};

}  // namespace telvane
