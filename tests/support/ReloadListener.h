#pragma once

// Counts the reload signals that arrive on the session bus, heard as
// telvane-widget hears them (its BusWatcher).
//
// Typical use in a test registered with SESSION_BUS (its own private bus):
//
//     test::ReloadListener reloads;           // subscribed from here on
//     client.deliverSomething();               // causes one reload request
//     EXPECT_TRUE(reloads.waitForCount(1, 5s));
//     EXPECT_EQ(reloads.settleAndCount(), 1);  // and no second one
//
// Signals are read only while a member function runs (no thread of its own);
// the bus daemon queues them meanwhile. Use one listener from one thread.

#include "widget/BusWatcher.h"

#include <chrono>
#include <functional>

namespace telvane::test {

class ReloadListener {
public:
    // Connects to the bus named by DBUS_SESSION_BUS_ADDRESS (never the
    // user's default bus) and returns once subscribed. Throws
    // std::runtime_error when the variable is unset or the bus is unreachable.
    ReloadListener();

    // Waits until at least `n` signals have arrived; false on timeout.
    [[nodiscard]] bool waitForCount(int n, std::chrono::milliseconds timeout);

    // Keeps reading until no signal has arrived for `quietPeriod` (at most
    // 20 quiet periods in all), then returns the count: use it to check
    // "exactly n, no more".
    [[nodiscard]] int settleAndCount(std::chrono::milliseconds quietPeriod = std::chrono::milliseconds(300));

private:
    // Reads what arrives until `deadline` or until `enough()`.
    void pump(MonotonicClock::time_point deadline, const std::function<bool()>& enough);

    widget::BusWatcher bus_;
    int count_ = 0;
};

}  // namespace telvane::test
