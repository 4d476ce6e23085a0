#pragma once

// The DNS-SD side of the broker search as a test scripts it: it records what
// the discovery asks for, and the test reports finds, resolutions and the
// mDNS service coming and going. Like the real one it delivers nothing for a
// browse that ended. Main thread only.

#include "discovery/ServiceBrowser.h"

#include <string>
#include <utility>
#include <vector>

namespace telvane::test {

class ScriptedServiceBrowser final : public ServiceBrowser {
public:
    void setEvents(Events events) override { events_ = std::move(events); }
    void browse(const std::vector<std::string>& types) override
    {
        browsedTypes = types;
        isBrowsing = true;
        ++browseCount;
    }
    void resolve(const ServiceInstance& instance) override { resolveRequests.push_back(instance); }
    void stopBrowsing() override
    {
        isBrowsing = false;
        ++stopCount;
    }
    [[nodiscard]] bool isReachable() const override { return reachable; }

    // ---- Script -------------------------------------------------------------
    void found(const ServiceInstance& instance) const
    {
        if (isBrowsing) {
            events_.found(instance);
        }
    }
    void removed(const ServiceInstance& instance) const
    {
        if (isBrowsing) {
            events_.removed(instance);
        }
    }
    void resolved(const ServiceInstance& instance, const ResolvedService& service) const
    {
        if (isBrowsing) {
            events_.resolved(instance, service);
        }
    }
    void setReachable(bool isReachable)
    {
        reachable = isReachable;
        events_.reachabilityChanged(isReachable);
    }

    // ---- Observations -------------------------------------------------------
    std::vector<std::string> browsedTypes;
    std::vector<ServiceInstance> resolveRequests;
    bool isBrowsing = false;
    int browseCount = 0;
    int stopCount = 0;
    bool reachable = true;

private:
    Events events_;
};

}  // namespace telvane::test
