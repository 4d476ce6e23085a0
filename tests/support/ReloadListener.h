#pragma once

// Counts the widget reload signals (org.telvane.Telvane.Widget.
// ReloadAllTimelines on /org/telvane/Telvane) that arrive on the session bus.
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

#include <chrono>

struct sd_bus;
struct sd_bus_slot;

namespace telvane::test {

class ReloadListener {
public:
    // Connects to the bus named by DBUS_SESSION_BUS_ADDRESS (never the
    // user's default bus) and subscribes before returning. Throws
    // std::runtime_error when the variable is unset or the bus is unreachable.
    ReloadListener();
    ~ReloadListener();
    ReloadListener(const ReloadListener&) = delete;
    ReloadListener& operator=(const ReloadListener&) = delete;

    // Waits until at least `n` signals have arrived; false on timeout.
    [[nodiscard]] bool waitForCount(int n, std::chrono::milliseconds timeout);

    // Keeps reading until no signal has arrived for `quietPeriod` (at most
    // 20 quiet periods in all), then returns the count: use it to check
    // "exactly n, no more".
    [[nodiscard]] int settleAndCount(std::chrono::milliseconds quietPeriod = std::chrono::milliseconds(300));

private:
    // Reads and dispatches what arrives until `deadline`, returning early
    // once `stopAt` signals have been counted (never when stopAt < 0).
    void pump(std::chrono::steady_clock::time_point deadline, int stopAt);

    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    int count_ = 0;
};

}  // namespace telvane::test
