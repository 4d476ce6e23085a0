#pragma once

// One Telvane per store. The first process listens on a local socket under
// $XDG_RUNTIME_DIR; a later start sends it a request to show its window and
// ends. A socket left behind by a killed process is replaced, never obeyed.
// Keying the socket by the store lets a throwaway store (a demo, a test) run
// beside the user's own Telvane instead of bringing that one forward.

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

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
    ~SingleInstance() override;

    // "telvane-<hash of the path>.socket", or "telvane.socket" without a store path.
    [[nodiscard]] static QString socketNameForStore(const QString& storePath);

    // Asks a running instance to come forward, or becomes the one that runs.
    // Blocks for at most a second when a hung process holds the socket.
    [[nodiscard]] Role claim();

    // The socket's full path: $XDG_RUNTIME_DIR (or Qt's private runtime
    // directory when unset) joined with the socket name.
    [[nodiscard]] QString socketPath() const;

signals:
    // Another start asked this instance to show its window.
    void activationRequested();

private:
    bool askRunningInstance() const;
    void onNewConnection();

    QString socketName_;
    QLocalServer server_;
};

}  // namespace telvane
