#pragma once

// The DNS-SD side of the broker search, as BrokerDiscovery sees it: browse
// service types, resolve what was found, hear whether the system's mDNS
// service can be reached at all. AvahiServiceBrowser is the real one.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace telvane {

enum class IPProtocol { ipv4, ipv6, unspecified };

// One announcement as the browser reports it. The same service comes once
// per interface and protocol it was seen on.
struct ServiceInstance {
    int interfaceIndex = 0;
    IPProtocol protocol = IPProtocol::unspecified;
    std::string name;
    std::string type;
    std::string domain;

    bool operator==(const ServiceInstance&) const = default;
    auto operator<=>(const ServiceInstance&) const = default;
};

// Where a resolved service says it listens. `address` is the numeric text
// (dotted IPv4 or IPv6) without a zone; `interfaceIndex` is the interface it
// was resolved on, the scope a link-local IPv6 address needs.
struct ResolvedService {
    std::string address;
    std::uint16_t port = 0;
    int interfaceIndex = 0;
};

class ServiceBrowser {
public:
    // Every event runs on the main thread. Events of a browse or resolve that
    // stopBrowsing() or a later browse() ended are never delivered.
    struct Events {
        std::function<void(const ServiceInstance&)> found;
        std::function<void(const ServiceInstance&)> removed;
        std::function<void(const ServiceInstance&, const ResolvedService&)> resolved;
        std::function<void(const ServiceInstance&)> resolveFailed;
        // The mDNS service went away or came back. Browsing resumes on its
        // own when it comes back; resolves pending when it went are lost.
        std::function<void(bool isReachable)> reachabilityChanged;
    };

    virtual ~ServiceBrowser() = default;

    // Install before browse(). Main thread.
    virtual void setEvents(Events events) = 0;
    // Ends any earlier browsing and browses `types` in the default domain.
    virtual void browse(const std::vector<std::string>& types) = 0;
    // Looks up the address and port of `instance`; answers with resolved or
    // resolveFailed (or nothing, when browsing ends first).
    virtual void resolve(const ServiceInstance& instance) = 0;
    // Ends browsing and every pending resolve. Idempotent.
    virtual void stopBrowsing() = 0;
    // Whether the mDNS service answered the last time it was asked.
    [[nodiscard]] virtual bool isReachable() const = 0;
};

}  // namespace telvane
