#include "discovery/AvahiBrowser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace telvane {

// Everything Avahi owns is touched with the poll's lock held: Avahi's thread
// holds it while it runs a callback, the main thread takes it around calls.
struct AvahiBrowser::Shared : std::enable_shared_from_this<AvahiBrowser::Shared> {
    explicit Shared(EventLoop& loop) : mainLoop(loop), poll(avahi_threaded_poll_new()) {}

    // ---- Main thread only -----------------------------------------------
    EventLoop& mainLoop;
    Events events;
    bool isReachable = true;  // as last posted; unknown counts as reachable

    // ---- Under the poll's lock ------------------------------------------
    AvahiThreadedPoll* poll;
    AvahiClient* client = nullptr;
    std::vector<AvahiServiceBrowser*> browsers;
    std::map<AvahiServiceResolver*, ServiceInstance> resolvers;
    std::vector<std::string> types;
    bool isBrowsing = false;
    // Changed by every browse() and stopBrowsing(), on the main thread with
    // the lock held: an event posted under an older number is stale.
    std::uint64_t generation = 0;

    class Lock {
    public:
        explicit Lock(AvahiThreadedPoll* poll) : poll_(poll) { avahi_threaded_poll_lock(poll_); }
        ~Lock() { avahi_threaded_poll_unlock(poll_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        AvahiThreadedPoll* poll_;
    };

    // Posts `deliver` to the main thread, to run only while this object lives
    // and, for a browse's events, only while that browse is the current one.
    template <typename Deliver>
    void post(Deliver deliver, std::optional<std::uint64_t> browse = std::nullopt)
    {
        mainLoop.post([weak = weak_from_this(), browse, deliver = std::move(deliver)] {
            const auto self = weak.lock();
            if (self && (!browse || *browse == self->generation)) {
                deliver(*self);
            }
        });
    }

    void postReachable(bool reachable)
    {
        post([reachable](Shared& self) {
            if (self.isReachable != reachable) {
                self.isReachable = reachable;
                if (self.events.reachabilityChanged) {
                    self.events.reachabilityChanged(reachable);
                }
            }
        });
    }

    void connect()
    {
        int error = 0;
        client =
            avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, &Shared::onClientState, this, &error);
        if (client == nullptr) {
            postReachable(false);  // not even a system bus to wait on
        }
    }

    // The client and everything made through it; Avahi frees the children.
    void dropClient()
    {
        browsers.clear();
        resolvers.clear();
        if (client != nullptr) {
            avahi_client_free(client);
            client = nullptr;
        }
    }

    void startBrowsers(AvahiClient* running)
    {
        for (const std::string& type : types) {
            if (AvahiServiceBrowser* browser =
                    avahi_service_browser_new(running, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(), nullptr,
                                              AvahiLookupFlags{}, &Shared::onBrowse, this)) {
                browsers.push_back(browser);
            }
        }
    }

    void freeBrowsersAndResolvers()
    {
        for (AvahiServiceBrowser* browser : browsers) {
            avahi_service_browser_free(browser);
        }
        browsers.clear();
        for (const auto& [resolver, instance] : resolvers) {
            avahi_service_resolver_free(resolver);
        }
        resolvers.clear();
    }

    [[nodiscard]] static bool isConnected(AvahiClientState state)
    {
        return state == AVAHI_CLIENT_S_RUNNING || state == AVAHI_CLIENT_S_REGISTERING
               || state == AVAHI_CLIENT_S_COLLISION;
    }

    // First called from inside avahi_client_new(), before `client` is set.
    static void onClientState(AvahiClient* changed, AvahiClientState state, void* userdata)
    {
        auto& self = *static_cast<Shared*>(userdata);
        if (isConnected(state)) {
            self.client = changed;
            self.postReachable(true);
            if (self.isBrowsing && self.browsers.empty()) {
                self.startBrowsers(changed);
            }
        } else if (state == AVAHI_CLIENT_CONNECTING) {
            self.postReachable(false);
        } else if (state == AVAHI_CLIENT_FAILURE) {
            self.postReachable(false);
            const bool disconnected = avahi_client_errno(changed) == AVAHI_ERR_DISCONNECTED;
            self.client = changed;
            self.dropClient();
            // A daemon that went away may come back: wait for it with a new
            // client. Any other failure is retried at the next browse().
            if (disconnected) {
                self.connect();
            }
        }
    }

    [[nodiscard]] static IPProtocol protocolOf(AvahiProtocol protocol)
    {
        switch (protocol) {
        case AVAHI_PROTO_INET: return IPProtocol::ipv4;
        case AVAHI_PROTO_INET6: return IPProtocol::ipv6;
        default: return IPProtocol::unspecified;
        }
    }

    [[nodiscard]] static AvahiProtocol avahiProtocol(IPProtocol protocol)
    {
        switch (protocol) {
        case IPProtocol::ipv4: return AVAHI_PROTO_INET;
        case IPProtocol::ipv6: return AVAHI_PROTO_INET6;
        case IPProtocol::unspecified: break;
        }
        return AVAHI_PROTO_UNSPEC;
    }

    // Results flagged local are kept: a broker on this machine is a broker.
    static void onBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                         const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* userdata)
    {
        auto& self = *static_cast<Shared*>(userdata);
        if ((event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) || name == nullptr || type == nullptr) {
            return;  // failures and "all for now" change nothing
        }
        ServiceInstance instance{interface, protocolOf(protocol), name, type, domain != nullptr ? domain : ""};
        if (event == AVAHI_BROWSER_NEW) {
            self.post([instance](Shared& s) { s.events.found(instance); }, self.generation);
        } else {
            self.post([instance](Shared& s) { s.events.removed(instance); }, self.generation);
        }
    }

    static void onResolve(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
                          AvahiResolverEvent event, const char*, const char*, const char*, const char*,
                          const AvahiAddress* address, std::uint16_t port, AvahiStringList*, AvahiLookupResultFlags,
                          void* userdata)
    {
        auto& self = *static_cast<Shared*>(userdata);
        const auto found = self.resolvers.find(resolver);
        if (found == self.resolvers.end()) {
            return;
        }
        const ServiceInstance instance = found->second;
        self.resolvers.erase(found);
        avahi_service_resolver_free(resolver);

        std::array<char, AVAHI_ADDRESS_STR_MAX> text{};
        if (event != AVAHI_RESOLVER_FOUND || address == nullptr
            || avahi_address_snprint(text.data(), text.size(), address) == nullptr) {
            self.post([instance](Shared& s) { s.events.resolveFailed(instance); }, self.generation);
            return;
        }
        ResolvedService service{text.data(), port, interface};
        self.post([instance, service](Shared& s) { s.events.resolved(instance, service); }, self.generation);
    }
};

AvahiBrowser::AvahiBrowser(EventLoop& mainLoop) : shared_(std::make_shared<Shared>(mainLoop))
{
    if (shared_->poll != nullptr) {
        avahi_threaded_poll_start(shared_->poll);
    }
}

AvahiBrowser::~AvahiBrowser()
{
    if (shared_->poll == nullptr) {
        return;
    }
    // After stop() no callback runs, so the lock is no longer needed.
    avahi_threaded_poll_stop(shared_->poll);
    shared_->dropClient();
    avahi_threaded_poll_free(shared_->poll);
    shared_->poll = nullptr;
}

void AvahiBrowser::setEvents(Events events)
{
    shared_->events = std::move(events);
}

void AvahiBrowser::browse(const std::vector<std::string>& types)
{
    Shared& shared = *shared_;
    if (shared.poll == nullptr) {
        shared.postReachable(false);
        return;
    }
    const Shared::Lock lock(shared.poll);
    shared.freeBrowsersAndResolvers();
    ++shared.generation;
    shared.types = types;
    shared.isBrowsing = true;
    if (shared.client == nullptr) {
        shared.connect();  // browses from its callback once connected
    } else if (Shared::isConnected(avahi_client_get_state(shared.client))) {
        shared.startBrowsers(shared.client);
    }
}

void AvahiBrowser::resolve(const ServiceInstance& instance)
{
    Shared& shared = *shared_;
    if (shared.poll == nullptr) {
        return;
    }
    const Shared::Lock lock(shared.poll);
    if (!shared.isBrowsing || shared.client == nullptr) {
        return;
    }
    const AvahiProtocol protocol = Shared::avahiProtocol(instance.protocol);
    // The address family follows the path it was seen on: an IPv6 path
    // answers with the IPv6 address that works over it.
    if (AvahiServiceResolver* resolver = avahi_service_resolver_new(
            shared.client, instance.interfaceIndex, protocol, instance.name.c_str(), instance.type.c_str(),
            instance.domain.empty() ? nullptr : instance.domain.c_str(), protocol, AvahiLookupFlags{},
            &Shared::onResolve, &shared)) {
        shared.resolvers.emplace(resolver, instance);
    }
}

void AvahiBrowser::stopBrowsing()
{
    Shared& shared = *shared_;
    if (shared.poll == nullptr) {
        return;
    }
    const Shared::Lock lock(shared.poll);
    shared.freeBrowsersAndResolvers();
    ++shared.generation;
    shared.isBrowsing = false;
}

bool AvahiBrowser::isReachable() const
{
    return shared_->isReachable;
}

}  // namespace telvane
