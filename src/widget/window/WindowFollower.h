#pragma once

// The window's way of following the store, on the Qt event loop: a
// snapshot at start, after Telvane's reload signals (coalesced like
// --follow), every tick so that ages move, and, without a session bus, when
// the store's data_version changes. Each read takes the last 24 hours of
// kept points for the cards' sparklines.

#include "widget/BusThread.h"
#include "widget/RenderThrottle.h"
#include "widget/Snapshot.h"
#include "widget/StoreReader.h"
#include "widget/WidgetOptions.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

namespace telvane::widget {

class WindowFollower final : public QObject {
    Q_OBJECT

public:
    using SnapshotHandler = std::function<void(const Snapshot&)>;

    WindowFollower(const WidgetOptions& options, const std::optional<std::filesystem::path>& storePath,
                   const std::string& busAddress, SnapshotHandler onSnapshot, QObject* parent = nullptr);
    ~WindowFollower() override;
    WindowFollower(const WindowFollower&) = delete;
    WindowFollower& operator=(const WindowFollower&) = delete;

    // Renders at once and starts following.
    void start();

private:
    void requestRender();
    void render();
    void pollStore();

    WidgetOptions options_;
    std::optional<StoreReader> reader_;
    SnapshotHandler onSnapshot_;
    RenderThrottle throttle_;
    QTimer renderTimer_;
    QTimer tickTimer_;
    QTimer pollTimer_;
    std::optional<StoreVersion> lastVersion_;
    bool renderedOnce_ = false;
    std::string busAddress_;
    std::unique_ptr<BusThread> bus_;  // last: its thread calls into the rest
};

}  // namespace telvane::widget
