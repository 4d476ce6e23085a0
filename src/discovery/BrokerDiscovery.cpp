#include "discovery/BrokerDiscovery.h"

#include "model/Utf8.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <utility>

namespace telvane {

namespace {

// `text` as wide characters in lower case; bytes that are not UTF-8 become
// U+FFFD each, so that no name is unorderable.
std::wstring foldedWide(std::string_view text)
{
    std::wstring folded;
    folded.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto scalar = decodeUTF8ScalarOrReplacement(text, pos);
        folded.push_back(static_cast<wchar_t>(std::towlower(static_cast<wint_t>(scalar.value))));
        pos += scalar.length;
    }
    return folded;
}

}  // namespace

BrokerDiscovery::BrokerDiscovery(EventLoop& mainLoop, std::unique_ptr<ServiceBrowser> browser,
                                 std::shared_ptr<Transport> transport)
    : mainLoop_(mainLoop),
      browser_(std::move(browser)),
      transport_(std::move(transport)),
      isServiceReachable_(browser_->isReachable()),
      self_(std::make_shared<BrokerDiscovery*>(this))
{
    // The browser delivers on the main thread and drops events of ended
    // browses, and it dies with this object: `this` is safe here.
    browser_->setEvents({
        .found = [this](const ServiceInstance& instance) { serviceFound(instance); },
        // Gone from the network: a new announcement is resolved again. A
        // listed broker stays listed, as the list only ever grows.
        .removed = [this](const ServiceInstance& instance) { seen_.erase(instance); },
        .resolved = [this](const ServiceInstance& instance,
                           const ResolvedService& service) { serviceResolved(instance, service); },
        .resolveFailed = [](const ServiceInstance&) {},
        .reachabilityChanged = [this](bool isReachable) { reachabilityChanged(isReachable); },
    });
}

BrokerDiscovery::~BrokerDiscovery()
{
    self_.reset();
    browser_->stopBrowsing();
    for (auto& [id, check] : checks_) {
        check.connection->cancel();
    }
}

void BrokerDiscovery::start()
{
    endSearch();
    ++searchNumber_;
    brokers_.clear();
    isSearching_ = true;
    std::vector<std::string> types;
    types.reserve(kServiceTypes.size());
    for (const ServiceType& serviceType : kServiceTypes) {
        types.emplace_back(serviceType.type);
    }
    browser_->browse(types);
    notify();
}

void BrokerDiscovery::stop()
{
    endSearch();
    notify();
}

void BrokerDiscovery::endSearch()
{
    browser_->stopBrowsing();
    for (auto& [id, check] : checks_) {
        check.connection->cancel();
    }
    checks_.clear();
    seen_.clear();
    isSearching_ = false;
}

void BrokerDiscovery::serviceFound(const ServiceInstance& instance)
{
    if (!isSearching_ || !seen_.insert(instance).second) {
        return;
    }
    // A broker listed over another interface needs no second answer.
    if (isListed(brokerID(instance.name, isTLSType(instance.type)))) {
        return;
    }
    browser_->resolve(instance);
}

void BrokerDiscovery::serviceResolved(const ServiceInstance& instance, const ResolvedService& service)
{
    const bool isTLS = isTLSType(instance.type);
    if (!isSearching_ || isListed(brokerID(instance.name, isTLS))) {
        return;
    }
    const std::uint64_t checkID = nextCheckID_++;
    auto connection = transport_->makeConnection(checkHost(service), service.port, kCheckTimeoutSeconds);
    // Runs on the transport's queue: it reads the far end there, where the
    // connection owns it, and hands the rest to the main thread.
    connection->setStateHandler([self = std::weak_ptr(self_), weakConnection = std::weak_ptr(connection),
                                 loop = &mainLoop_,
                                 checkID](ConnectionState state, const std::optional<TransportError>&) {
        std::optional<RemoteEndpoint> remote;
        if (state == ConnectionState::ready) {
            if (const auto ready = weakConnection.lock()) {
                remote = ready->remoteEndpoint();
            }
        }
        loop->post([self, checkID, state, remote = std::move(remote)] {
            if (const auto discovery = self.lock()) {
                (*discovery)->handleCheckState(checkID, state, remote);
            }
        });
    });
    checks_.emplace(checkID, Check{connection, instance.name, isTLS});
    connection->start();
}

void BrokerDiscovery::handleCheckState(std::uint64_t checkID, ConnectionState state,
                                       const std::optional<RemoteEndpoint>& remote)
{
    const auto found = checks_.find(checkID);
    if (found == checks_.end()) {
        return;  // stopped, or already decided
    }
    if (state != ConnectionState::ready && state != ConnectionState::failed && state != ConnectionState::cancelled) {
        return;  // still connecting: it stays open until it decides or stop()
    }
    Check check = std::move(found->second);
    checks_.erase(found);
    check.connection->cancel();
    if (state != ConnectionState::ready || !remote) {
        return;
    }
    DiscoveredBroker broker{brokerID(check.name, check.isTLS), check.name, hostString(remote->address), remote->port,
                            check.isTLS};
    // Added in a task of its own: a broker whose connection came up before
    // stop() is still listed after it, but never in a later search's list.
    mainLoop_.post([self = std::weak_ptr(self_), search = searchNumber_, broker = std::move(broker)]() mutable {
        if (const auto discovery = self.lock(); discovery && (*discovery)->searchNumber_ == search) {
            (*discovery)->add(std::move(broker));
        }
    });
}

void BrokerDiscovery::reachabilityChanged(bool isReachable)
{
    if (!isReachable) {
        // Resolves in flight died with the service; when it is back it
        // announces everything anew, and those must be resolved again.
        seen_.clear();
    }
    if (isServiceReachable_ != isReachable) {
        isServiceReachable_ = isReachable;
        notify();
    }
}

void BrokerDiscovery::add(DiscoveredBroker broker)
{
    if (isListed(broker.id)) {
        return;  // the first answer wins, even with another address
    }
    brokers_.push_back(std::move(broker));
    std::stable_sort(brokers_.begin(), brokers_.end(),
                     [](const DiscoveredBroker& a, const DiscoveredBroker& b) { return nameLess(a.name, b.name); });
    notify();
}

void BrokerDiscovery::notify()
{
    if (observer_) {
        observer_();
    }
}

bool BrokerDiscovery::isListed(const std::string& id) const
{
    return std::any_of(brokers_.begin(), brokers_.end(), [&](const DiscoveredBroker& b) { return b.id == id; });
}

bool BrokerDiscovery::isTLSType(std::string_view type)
{
    return std::any_of(kServiceTypes.begin(), kServiceTypes.end(),
                       [&](const ServiceType& known) { return known.isTLS && known.type == type; });
}

std::string BrokerDiscovery::brokerID(const std::string& name, bool isTLS)
{
    return isTLS ? name + "-tls" : name;
}

std::string BrokerDiscovery::hostString(std::string_view address)
{
    return std::string(address.substr(0, address.find('%')));
}

std::string BrokerDiscovery::checkHost(const ResolvedService& service)
{
    in6_addr address{};
    if (service.interfaceIndex > 0 && ::inet_pton(AF_INET6, service.address.c_str(), &address) == 1
        && IN6_IS_ADDR_LINKLOCAL(&address)) {
        return service.address + "%" + std::to_string(service.interfaceIndex);
    }
    return service.address;
}

bool BrokerDiscovery::nameLess(const std::string& a, const std::string& b)
{
    const std::wstring foldedA = foldedWide(a);
    const std::wstring foldedB = foldedWide(b);
    // Embedded NULs end the comparison early: wcscoll stops there.
    return std::wcscoll(foldedA.c_str(), foldedB.c_str()) < 0;
}

}  // namespace telvane
