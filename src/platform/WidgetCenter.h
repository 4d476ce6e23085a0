#pragma once

// Reload requests to the desktop widget. The widget listens on the session
// bus for the signal org.telvane.Telvane.Widget.ReloadAllTimelines on the
// object /org/telvane/Telvane and reads the store again when it arrives.

#include <memory>
#include <string>

namespace telvane {

class WidgetReloader {
public:
    virtual ~WidgetReloader() = default;
    // Asks every widget to reload. Never blocks and never fails visibly.
    virtual void reloadAllTimelines() = 0;
};

// Requests are handed to a worker thread that owns the bus connection, so a
// caller never waits for the bus, even one that accepts a connection and then
// never answers. The worker connects on the first request, gives a connection
// attempt 5 seconds, and reconnects on the next request after the bus went
// away. While the bus is reachable every request becomes exactly one signal;
// requests made while it cannot be reached are merged into one signal that is
// sent once a later attempt (retried with a growing pause of up to 30 s)
// succeeds.
class WidgetCenter final : public WidgetReloader {
public:
    // The process-wide instance, talking to the session bus that the
    // environment names when it is first used (see sessionBusAddress()).
    static WidgetCenter& shared();

    // An instance on the bus at a D-Bus address ("unix:path=/run/user/1000/bus").
    // An empty address makes every request a no-op. For tests and tools; the
    // application uses shared().
    explicit WidgetCenter(std::string busAddress);
    // Gives requests still queued on a connected bus at most 250 ms to be
    // written, then stops the worker; never waits for a bus that is not
    // connected yet.
    ~WidgetCenter() override;
    WidgetCenter(const WidgetCenter&) = delete;
    WidgetCenter& operator=(const WidgetCenter&) = delete;

    // Emits the signal; does nothing (at once) without a reachable session bus.
    // Thread-safe.
    void reloadAllTimelines() override;

    // The session bus address as sd-bus derives it: DBUS_SESSION_BUS_ADDRESS
    // when set and not empty, else "unix:path=$XDG_RUNTIME_DIR/bus", else
    // empty (no session bus).
    [[nodiscard]] static std::string sessionBusAddress();
    // The same rule over given values (null for an unset variable).
    [[nodiscard]] static std::string sessionBusAddress(const char* dbusSessionBusAddress,
                                                       const char* xdgRuntimeDir);

private:
    class Worker;
    std::unique_ptr<Worker> worker_;
};

}  // namespace telvane
