#pragma once

// Turns SIGTERM and SIGINT into a Qt signal on the main thread, so that
// `kill` and Ctrl+C in a terminal end Telvane the same way as "Beenden".

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace telvane {

class UnixSignalWatcher final : public QObject {
    Q_OBJECT

public:
    // Installs the handlers; only one watcher may exist at a time.
    explicit UnixSignalWatcher(QObject* parent = nullptr);
    // Restores the default handlers.
    ~UnixSignalWatcher() override;
    UnixSignalWatcher(const UnixSignalWatcher&) = delete;
    UnixSignalWatcher& operator=(const UnixSignalWatcher&) = delete;

signals:
    // SIGTERM or SIGINT arrived; emitted once per delivered signal.
    void terminationRequested(int signalNumber);

private:
    void onReadable();

    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace telvane
