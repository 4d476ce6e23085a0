#pragma once

// The widget's reload request as a D-Bus signal: the widget listens on the
// session bus for org.telvane.Telvane.Widget.ReloadAllTimelines on the object
// /org/telvane/Telvane and reads the store again when it arrives.

#include "platform/ReloadSignal.h"

#include <memory>
#include <string>

namespace telvane {

// Requests are handed to a worker thread that owns the bus connection, so a
// caller never waits for the bus, even one that accepts a connection and then
// never answers. The worker connects on the first request, gives a connection
// attempt 5 seconds, and reconnects on the next request after the bus went
// away. While the bus is reachable every request becomes exactly one signal;
// requests made while it cannot be reached are merged into one signal that is
// sent once a later attempt (retried with a growing pause of up to 30 s)
// succeeds.
class DBusReloadSignal final : public ReloadSignal {
public:
    // An instance on the bus at a D-Bus address ("unix:path=/run/user/1000/bus").
    // An empty address makes every request a no-op. The application passes
    // sessionBusAddress().
    explicit DBusReloadSignal(std::string busAddress);
    // Gives requests still queued on a connected bus at most 250 ms to be
    // written, then stops the worker; never waits for a bus that is not
    // connected yet.
    ~DBusReloadSignal() override;
    DBusReloadSignal(const DBusReloadSignal&) = delete;
    DBusReloadSignal& operator=(const DBusReloadSignal&) = delete;

    // Emits the signal; does nothing (at once) without a reachable session bus.
    // Thread-safe.
    void emitReload() override;

    // The session bus address as sd-bus derives it: DBUS_SESSION_BUS_ADDRESS
    // when set and not empty, else "unix:path=$XDG_RUNTIME_DIR/bus", else
    // empty (no session bus).
    [[nodiscard]] static std::string sessionBusAddress();
    // The same rule over given values (null for an unset variable).
    [[nodiscard]] static std::string sessionBusAddress(const char* dbusSessionBusAddress, const char* xdgRuntimeDir);

private:
    class Worker;
    std::unique_ptr<Worker> worker_;
};

}  // namespace telvane
