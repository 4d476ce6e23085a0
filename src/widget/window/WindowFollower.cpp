#include "widget/window/WindowFollower.h"

#include "widget/OnceRun.h"

#include <algorithm>
#include <chrono>

namespace telvane::widget {

namespace {

using Clock = RenderThrottle::Clock;
constexpr std::chrono::milliseconds kBusyTimeout{100};
constexpr int kPollMs = 1000;
constexpr int kBusyRetryMs = 1000;
// The cards' sparklines show the last day.
constexpr double kHistorySpanSeconds = 24.0 * 60 * 60;

}  // namespace

WindowFollower::WindowFollower(const WidgetOptions& options, const std::optional<std::filesystem::path>& storePath,
                               const std::string& busAddress, SnapshotHandler onSnapshot, QObject* parent)
    : QObject(parent),
      options_(options),
      onSnapshot_(std::move(onSnapshot)),
      busAddress_(busAddress)
{
    if (storePath) {
        reader_.emplace(*storePath, kBusyTimeout);
    }
    renderTimer_.setSingleShot(true);
    connect(&renderTimer_, &QTimer::timeout, this, &WindowFollower::render);
    connect(&tickTimer_, &QTimer::timeout, this, &WindowFollower::requestRender);
    connect(&pollTimer_, &QTimer::timeout, this, &WindowFollower::pollStore);
}

WindowFollower::~WindowFollower() = default;

void WindowFollower::start()
{
    bus_ = std::make_unique<BusThread>(busAddress_, [this] {
        // From the bus thread; dropped by Qt if this object is gone.
        QMetaObject::invokeMethod(this, &WindowFollower::requestRender, Qt::QueuedConnection);
    });
    lastVersion_ = reader_ ? reader_->version() : std::nullopt;
    render();
    tickTimer_.start(static_cast<int>(std::min(options_.tickSeconds * 1000, 2147483647.0)));
    pollTimer_.start(kPollMs);
}

void WindowFollower::requestRender()
{
    const auto now = Clock::now();
    throttle_.request(now);
    const auto due = throttle_.dueAt().value_or(now);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due > now ? due - now : Clock::duration(0));
    if (!renderTimer_.isActive()) {
        renderTimer_.start(static_cast<int>(wait.count()));
    }
}

void WindowFollower::pollStore()
{
    if (bus_ && bus_->isListening()) {
        return;
    }
    const auto version = reader_ ? reader_->version() : std::nullopt;
    if (version != lastVersion_) {
        lastVersion_ = version;
        requestRender();
    }
}

void WindowFollower::render()
{
    throttle_.rendered(Clock::now());
    StoreContents contents;
    const double now = unixNow();
    if (reader_) {
        contents = reader_->read(HistoryRequest{.nowUnix = now, .spanSeconds = kHistorySpanSeconds, .trend = false});
    }
    if (contents.status == StoreStatus::busy && renderedOnce_) {
        renderTimer_.start(kBusyRetryMs);  // keep what is shown meanwhile
        return;
    }
    renderedOnce_ = true;
    const std::string path = reader_ ? reader_->path().string() : std::string();
    onSnapshot_(makeSnapshot(contents, path, now, options_.staleAfterSeconds));
}

}  // namespace telvane::widget
