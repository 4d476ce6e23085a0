#pragma once

// The window's way of following the store: StoreFollower (the same as
// --follow's) driven by Qt's event loop, the bus's descriptor watched by
// socket notifiers and the follower's deadline by a timer. A snapshot is
// drawn only when its cards changed.

#include "widget/StoreFollower.h"

#include <QObject>
#include <QTimer>

class QSocketNotifier;

namespace telvane::widget {

class WidgetWindow;

class WindowFollower final : public QObject, private StoreFollower::Output {
    Q_OBJECT

public:
    // Shows the snapshots in `window`, which outlives this object.
    WindowFollower(const WidgetOptions& options, const std::optional<std::filesystem::path>& storePath,
                   const std::string& busAddress, WidgetWindow& window, QObject* parent = nullptr);
    ~WindowFollower() override;
    WindowFollower(const WindowFollower&) = delete;
    WindowFollower& operator=(const WindowFollower&) = delete;

    // Shows the first snapshot at once and starts following.
    void start();

private:
    std::string present(const Snapshot& snapshot) override;
    bool show(const Snapshot& snapshot, const std::string& presented) override;

    void handle();
    void waitAgain();

    WidgetWindow& window_;
    StoreFollower follower_;
    QTimer wakeUp_;
    int watchedFd_ = -1;
    QSocketNotifier* readable_ = nullptr;  // children of this
    QSocketNotifier* writable_ = nullptr;
};

}  // namespace telvane::widget
