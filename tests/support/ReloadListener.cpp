#include "support/ReloadListener.h"

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace telvane::test {

namespace {

std::string sessionBus()
{
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
        throw std::runtime_error("ReloadListener: DBUS_SESSION_BUS_ADDRESS is unset (run the test with SESSION_BUS)");
    }
    return address;
}

}  // namespace

ReloadListener::ReloadListener() : bus_(sessionBus())
{
    // The widget subscribes without waiting; a test must not miss a signal
    // sent right after this returns.
    pump(MonotonicClock::now() + std::chrono::seconds(10), [this] { return bus_.isSubscribed(); });
    if (!bus_.isSubscribed()) {
        throw std::runtime_error("ReloadListener: cannot listen on " + sessionBus());
    }
}

bool ReloadListener::waitForCount(int n, std::chrono::milliseconds timeout)
{
    pump(MonotonicClock::now() + timeout, [&] { return count_ >= n; });
    return count_ >= n;
}

int ReloadListener::settleAndCount(std::chrono::milliseconds quietPeriod)
{
    const auto giveUp = MonotonicClock::now() + 20 * quietPeriod;
    for (;;) {
        const int before = count_;
        pump(MonotonicClock::now() + quietPeriod, [] { return false; });
        if (count_ == before || MonotonicClock::now() >= giveUp) {
            return count_;
        }
    }
}

void ReloadListener::pump(MonotonicClock::time_point deadline, const std::function<bool()>& enough)
{
    for (;;) {
        count_ += static_cast<int>(bus_.process());
        const auto now = MonotonicClock::now();
        if (enough() || !bus_.isOpen() || now >= deadline) {
            return;
        }
        pollfd fd{bus_.fd(), bus_.events(), 0};
        static_cast<void>(::poll(&fd, 1, pollTimeoutMs(std::min(deadline, bus_.deadline().value_or(deadline)), now)));
    }
}

}  // namespace telvane::test
