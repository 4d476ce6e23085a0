#include "support/ReloadListener.h"

#include "platform/ReloadSignal.h"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace telvane::test {

namespace {

int countSignal(sd_bus_message* /*message*/, void* userdata, sd_bus_error* /*error*/)
{
    ++*static_cast<int*>(userdata);
    return 0;
}

}  // namespace

ReloadListener::ReloadListener()
{
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
        throw std::runtime_error("ReloadListener: DBUS_SESSION_BUS_ADDRESS is unset (run the test with SESSION_BUS)");
    }
    int r = sd_bus_new(&bus_);
    r = r < 0 ? r : sd_bus_set_address(bus_, address);
    r = r < 0 ? r : sd_bus_set_bus_client(bus_, 1);
    r = r < 0 ? r : sd_bus_start(bus_);
    // Synchronous: the bus has installed the match when this returns, so no
    // signal sent after construction can be missed.
    r = r < 0 ? r
              : sd_bus_match_signal(bus_, &slot_, nullptr, reload_signal::kObjectPath, reload_signal::kInterface,
                                    reload_signal::kMember, countSignal, &count_);
    if (r < 0) {
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
        throw std::runtime_error(std::string("ReloadListener: cannot listen on ") + address);
    }
}

ReloadListener::~ReloadListener()
{
    sd_bus_slot_unref(slot_);
    sd_bus_close_unref(bus_);
}

bool ReloadListener::waitForCount(int n, std::chrono::milliseconds timeout)
{
    pump(std::chrono::steady_clock::now() + timeout, n);
    return count_ >= n;
}

int ReloadListener::settleAndCount(std::chrono::milliseconds quietPeriod)
{
    const auto giveUp = std::chrono::steady_clock::now() + 20 * quietPeriod;
    for (;;) {
        const int before = count_;
        pump(std::chrono::steady_clock::now() + quietPeriod, -1);
        if (count_ == before || std::chrono::steady_clock::now() >= giveUp) {
            return count_;
        }
    }
}

void ReloadListener::pump(std::chrono::steady_clock::time_point deadline, int stopAt)
{
    for (;;) {
        // Dispatch everything already read before deciding to wait.
        int r = 0;
        while ((r = sd_bus_process(bus_, nullptr)) > 0) {
        }
        if (r < 0 || (stopAt >= 0 && count_ >= stopAt)) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        if (sd_bus_wait(bus_, static_cast<std::uint64_t>(left.count())) < 0) {
            return;
        }
    }
}

}  // namespace telvane::test
