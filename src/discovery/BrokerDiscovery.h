#pragma once

// Finds MQTT brokers that announce themselves on the local network by
// mDNS/DNS-SD. Both service types are browsed at once; every service found is
// resolved and then checked with a plain TCP connection to its address, and
// only a broker whose connection became ready is listed, with the host and
// port of that connection's far end. The connection is closed at once.
//
// Everything here runs on the main thread: the browser delivers its events
// there, and the check connections' reports are posted there.

#include "discovery/DiscoveredBroker.h"
#include "discovery/ServiceBrowser.h"
#include "platform/Connection.h"
#include "platform/EventLoop.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {

class BrokerDiscovery {
public:
    struct ServiceType {
        std::string_view type;
        bool isTLS;
    };
    static constexpr std::array<ServiceType, 2> kServiceTypes{{
        {"_mqtt._tcp", false},
        {"_secure-mqtt._tcp", true},
    }};
    // A check connection that is neither up nor refused by then gives up.
    static constexpr double kCheckTimeoutSeconds = 10.0;

    // `mainLoop` must outlive the connections `transport` makes.
    BrokerDiscovery(EventLoop& mainLoop, std::unique_ptr<ServiceBrowser> browser, std::shared_ptr<Transport> transport);
    // Ends browsing and closes the check connections; no handler acts later.
    ~BrokerDiscovery();
    BrokerDiscovery(const BrokerDiscovery&) = delete;
    BrokerDiscovery& operator=(const BrokerDiscovery&) = delete;

    // Sorted by name (see nameLess), no two with the same id.
    [[nodiscard]] const std::vector<DiscoveredBroker>& brokers() const { return brokers_; }
    // True from start() until stop() or destruction; there is no time limit.
    [[nodiscard]] bool isSearching() const { return isSearching_; }
    // False while the system's mDNS service cannot be reached: a search then
    // runs but finds nothing.
    [[nodiscard]] bool isServiceReachable() const { return isServiceReachable_; }

    // Runs after every change of brokers(), isSearching() or
    // isServiceReachable().
    void setObserver(std::function<void()> observer) { observer_ = std::move(observer); }

    // Restarts the search: ends the running one, empties brokers() and
    // browses anew. Safe to call while a search runs.
    void start();
    // Ends browsing, resolving and checking; brokers() stays as it is.
    void stop();

    // The host text of a connection's far end: the address cut before the
    // first "%", so that a zone is dropped; no brackets.
    [[nodiscard]] static std::string hostString(std::string_view address);
    // What the check connects to: the resolved address, with the interface as
    // the zone when it is a link-local IPv6 one (it is unusable without).
    [[nodiscard]] static std::string checkHost(const ResolvedService& service);
    // Case-insensitive order of names in the C library's current locale
    // (the user's, once the application set it).
    [[nodiscard]] static bool nameLess(const std::string& a, const std::string& b);

private:
    struct Check {
        std::shared_ptr<Connection> connection;
        std::string name;
        bool isTLS = false;
    };

    void serviceFound(const ServiceInstance& instance);
    void serviceResolved(const ServiceInstance& instance, const ResolvedService& service);
    void reachabilityChanged(bool isReachable);
    void handleCheckState(std::uint64_t checkID, ConnectionState state, const std::optional<RemoteEndpoint>& remote);
    void add(DiscoveredBroker broker);
    void endSearch();
    void notify();

    [[nodiscard]] bool isListed(const std::string& id) const;
    [[nodiscard]] static bool isTLSType(std::string_view type);
    [[nodiscard]] static std::string brokerID(const std::string& name, bool isTLS);

    EventLoop& mainLoop_;
    std::unique_ptr<ServiceBrowser> browser_;
    std::shared_ptr<Transport> transport_;
    std::function<void()> observer_;

    std::vector<DiscoveredBroker> brokers_;
    bool isSearching_ = false;
    bool isServiceReachable_ = true;

    std::set<ServiceInstance> seen_;  // found in this search and asked for
    std::map<std::uint64_t, Check> checks_;
    std::uint64_t nextCheckID_ = 0;
    // Counts start() calls: a broker checked in one search never lands in
    // the list of the next.
    std::uint64_t searchNumber_ = 0;
    // What posted tasks and connection handlers hold instead of `this`.
    std::shared_ptr<BrokerDiscovery*> self_;
};

}  // namespace telvane
