#pragma once

// How telvane-widget follows the store, for --follow and the window alike.
// The two differ only in how they wait (a poll() loop, Qt's event loop)
// and where a snapshot goes (a line on stdout, the window's cards); when to
// read and when to show are decided here, once.
//
// The store is read
//   - at start;
//   - once the bus has confirmed the subscription to Telvane's reload
//     signal: a write whose signal went out before then was not heard;
//   - after reload signals, coalesced by RenderThrottle (at most four reads
//     a second, always one after the last of a burst). Until that read the
//     subscription is dropped, so a storm of signals costs nothing;
//   - every tick, so that ages move;
//   - without a bus: when the store's data_version changed, checked every
//     second;
//   - a second after a read that found the store held by a writer, which
//     keeps what is shown meanwhile.
// A snapshot is shown only when it looks different from the last one shown.

#include "widget/BusWatcher.h"
#include "widget/RenderThrottle.h"
#include "widget/Snapshot.h"
#include "widget/StoreReader.h"
#include "widget/WidgetOptions.h"

#include <filesystem>
#include <optional>
#include <string>

namespace telvane::widget {

class StoreFollower {
public:
    using Clock = RenderThrottle::Clock;

    // Where the snapshots go.
    class Output {
    public:
        virtual ~Output() = default;
        // What `snapshot` looks like there, as text: snapshots with the same
        // text look the same, and only a change is shown.
        [[nodiscard]] virtual std::string present(const Snapshot& snapshot) = 0;
        // Shows `snapshot`, which looks like `presented`. False when the
        // output is gone: the caller stops following.
        [[nodiscard]] virtual bool show(const Snapshot& snapshot, const std::string& presented) = 0;
    };

    // `storePath` none: no store can be found (shown as missing).
    // `busAddress` empty: no session bus (the store is polled).
    StoreFollower(const WidgetOptions& options, const std::optional<std::filesystem::path>& storePath,
                  const std::string& busAddress, Output& output);

    // Reads and shows the first snapshot; false when the output is gone.
    [[nodiscard]] bool start(Clock::time_point now);

    // Handles what has arrived on the bus and whatever is due at `now`.
    // Call it when the bus's descriptor is ready or the deadline has come;
    // calling it more often does no harm. False when the output is gone.
    [[nodiscard]] bool handle(Clock::time_point now);

    // What to wait for before calling handle() again: the bus's descriptor
    // (-1 without a bus) with its events, and the deadline.
    [[nodiscard]] int busFd() const { return bus_.isOpen() ? bus_.fd() : -1; }
    [[nodiscard]] short busEvents() const { return bus_.isOpen() ? bus_.events() : short{0}; }
    [[nodiscard]] Clock::time_point deadline() const;

private:
    void handleBus(Clock::time_point now);
    void pollStore(Clock::time_point now);
    bool read(Clock::time_point now);

    WidgetOptions options_;
    Output& output_;
    std::optional<StoreReader> reader_;
    BusWatcher bus_;
    RenderThrottle throttle_;
    Clock::time_point nextTick_{};
    Clock::time_point nextPoll_{};
    std::optional<Clock::time_point> busyRetryAt_;
    std::optional<StoreVersion> lastVersion_;
    std::string lastShown_;
    bool shownOnce_ = false;
    bool resuming_ = false;
};

}  // namespace telvane::widget
