#include "widget/BusWatcher.h"

#include "platform/ReloadSignal.h"

#include <systemd/sd-bus.h>

namespace telvane::widget {

BusWatcher::BusWatcher(const std::string& address)
{
    if (address.empty()) {
        return;
    }
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) {
        r = sd_bus_set_address(bus, address.c_str());
    }
    if (r >= 0) {
        r = sd_bus_set_bus_client(bus, 1);
    }
    if (r >= 0) {
        r = sd_bus_set_description(bus, "telvane-widget");
    }
    if (r >= 0) {
        // Non-blocking: authentication and Hello are answered later.
        r = sd_bus_start(bus);
    }
    bus_ = bus;
    if (r < 0) {
        close();
        return;
    }
    subscribe();
}

void BusWatcher::subscribe()
{
    // Asynchronous: a bus that never answers costs nothing but the signals,
    // and the caller's tick still renders. The install callback reports the
    // bus's answer; a refusal leaves the caller to poll.
    const int r = sd_bus_match_signal_async(
        bus_, &match_, nullptr, reload_signal::kObjectPath, reload_signal::kInterface, reload_signal::kMember,
        [](sd_bus_message* /*message*/, void* userdata, sd_bus_error* /*error*/) {
            ++static_cast<BusWatcher*>(userdata)->received_;
            return 0;
        },
        [](sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
            auto* self = static_cast<BusWatcher*>(userdata);
            if (sd_bus_message_is_method_error(reply, nullptr) != 0) {
                self->refused_ = true;  // closed by process(), not inside its dispatch
                return 0;
            }
            self->subscribed_ = true;
            return 0;
        },
        this);
    if (r < 0) {
        close();
    }
}

void BusWatcher::pause()
{
    // Dropping the slot of an installed match sends RemoveMatch.
    sd_bus_slot_unref(match_);
    match_ = nullptr;
    subscribed_ = false;
}

void BusWatcher::resume()
{
    if (bus_ != nullptr && match_ == nullptr) {
        subscribe();
    }
}
BusWatcher::~BusWatcher()
{
    close();
}

void BusWatcher::close()
{
    sd_bus_slot_unref(match_);
    match_ = nullptr;
    subscribed_ = false;
    sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
}

int BusWatcher::fd() const
{
    return bus_ != nullptr ? sd_bus_get_fd(bus_) : -1;
}

short BusWatcher::events() const
{
    const int events = bus_ != nullptr ? sd_bus_get_events(bus_) : 0;
    return static_cast<short>(events < 0 ? 0 : events);
}

std::optional<MonotonicClock::time_point> BusWatcher::deadline() const
{
    std::uint64_t usec = 0;
    if (bus_ == nullptr || sd_bus_get_timeout(bus_, &usec) < 0) {
        return std::nullopt;
    }
    return fromMonotonicUsec(usec);
}

std::uint64_t BusWatcher::process()
{
    if (bus_ == nullptr) {
        return 0;
    }
    const std::uint64_t before = received_;
    int r = 0;
    while ((r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    if (r < 0 || refused_ || sd_bus_is_open(bus_) <= 0) {
        close();
    }
    return received_ - before;
}

}  // namespace telvane::widget
