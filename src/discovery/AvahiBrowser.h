#pragma once

// The ServiceBrowser on the Avahi client library. Avahi runs on a thread of
// its own (its threaded poll); every event is posted to the main loop.
//
// The connection to the avahi-daemon is made at the first browse(), and kept:
// - No daemon then: the client waits for one (reported as not reachable) and
//   browses once it appears. No system bus at all: not reachable, and the
//   next browse() tries again.
// - The daemon going away later: not reachable, browsers and resolvers are
//   gone; a new client waits for the daemon and browses again when it is back.

#include "discovery/ServiceBrowser.h"
#include "platform/EventLoop.h"

#include <memory>

namespace telvane {

class AvahiBrowser final : public ServiceBrowser {
public:
    // Starts Avahi's thread. `mainLoop` must outlive this object.
    explicit AvahiBrowser(EventLoop& mainLoop);
    // Stops the thread and frees every Avahi object; events still queued on
    // the main loop are dropped. Main thread only.
    ~AvahiBrowser() override;
    AvahiBrowser(const AvahiBrowser&) = delete;
    AvahiBrowser& operator=(const AvahiBrowser&) = delete;

    void setEvents(Events events) override;
    void browse(const std::vector<std::string>& types) override;
    void resolve(const ServiceInstance& instance) override;
    void stopBrowsing() override;
    [[nodiscard]] bool isReachable() const override;

    struct Shared;  // what Avahi's thread and the posted events reach

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace telvane
