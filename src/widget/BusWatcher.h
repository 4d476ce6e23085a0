#pragma once

// Telvane's reload signal (org.telvane.Telvane.Widget.ReloadAllTimelines)
// heard on the session bus, for a caller that runs its own poll() loop: it
// hands out the file descriptor, events and deadline to wait for, and
// counts the signals when process() reads them. Nothing here blocks: the
// connection and the subscription are made asynchronously.

#include "platform/MonotonicClock.h"

#include <cstdint>
#include <optional>
#include <string>

struct sd_bus;
struct sd_bus_slot;

namespace telvane::widget {

class BusWatcher {
public:
    // Starts connecting to `address` ("unix:path=..."); an empty address or
    // a failed start leaves the watcher closed (isOpen() false).
    explicit BusWatcher(const std::string& address);
    ~BusWatcher();
    BusWatcher(const BusWatcher&) = delete;
    BusWatcher& operator=(const BusWatcher&) = delete;

    // False once the connection failed or was lost; the caller then polls.
    [[nodiscard]] bool isOpen() const { return bus_ != nullptr; }

    // What to poll for: the connection's descriptor and events, and the
    // deadline (none for no deadline).
    [[nodiscard]] int fd() const;
    [[nodiscard]] short events() const;
    [[nodiscard]] std::optional<MonotonicClock::time_point> deadline() const;

    // Reads and dispatches whatever has arrived; returns the number of
    // reload signals among it. Closes the watcher when the bus went away.
    [[nodiscard]] std::uint64_t process();

    // Stops the bus from sending the signal (RemoveMatch), for a caller
    // that will read the store anyway: a storm of signals then costs it
    // nothing. resume() subscribes again; isSubscribed() turns true once
    // the bus has confirmed it, and every signal sent after that arrives.
    // So a read of the store made after isSubscribed() sees every write
    // whose signal did not arrive.
    void pause();
    void resume();
    [[nodiscard]] bool isSubscribed() const { return subscribed_; }

private:
    void close();
    void subscribe();

    sd_bus* bus_ = nullptr;
    sd_bus_slot* match_ = nullptr;
    std::uint64_t received_ = 0;
    bool subscribed_ = false;
    bool refused_ = false;
};

}  // namespace telvane::widget
