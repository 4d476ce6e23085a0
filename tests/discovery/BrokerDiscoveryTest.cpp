#include "discovery/BrokerDiscovery.h"

#include "support/ScriptedServiceBrowser.h"
#include "support/ScriptedTransport.h"
#include "support/VirtualEventLoop.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace telvane {
namespace {

using test::ScriptedConnection;
using test::ScriptedTransport;
using ScriptedBrowser = test::ScriptedServiceBrowser;
using enum ConnectionState;

constexpr const char* kPlain = "_mqtt._tcp";
constexpr const char* kSecure = "_secure-mqtt._tcp";

ServiceInstance instance(const std::string& name, const char* type = kPlain, int interfaceIndex = 2,
                         IPProtocol protocol = IPProtocol::ipv4)
{
    return {interfaceIndex, protocol, name, type, "local"};
}

class BrokerDiscoveryTest : public ::testing::Test {
protected:
    BrokerDiscoveryTest()
    {
        auto scripted = std::make_unique<ScriptedBrowser>();
        browser = scripted.get();
        discovery = std::make_unique<BrokerDiscovery>(loop, std::move(scripted), transport);
        discovery->setObserver([this] { ++notifications; });
    }

    // Announces and resolves `service`: its check connection.
    ScriptedConnection& resolve(const ServiceInstance& service, const std::string& address, std::uint16_t port = 1883)
    {
        browser->found(service);
        browser->resolved(service, {address, port, service.interfaceIndex});
        return transport->last();
    }

    // The check connection comes up, its far end at `remoteAddress`.
    void comeUp(ScriptedConnection& connection, const std::string& remoteAddress)
    {
        connection.setRemoteEndpoint({remoteAddress, connection.port()});
        connection.reportState(preparing);
        connection.reportState(ready);
        loop.runUntilIdle();
    }

    // Announces, resolves and lets the check connection come up at `remote`.
    ScriptedConnection& announce(const ServiceInstance& service, const std::string& address, std::uint16_t port,
                                 const std::string& remoteAddress)
    {
        ScriptedConnection& connection = resolve(service, address, port);
        comeUp(connection, remoteAddress);
        return connection;
    }

    [[nodiscard]] std::vector<std::string> ids() const
    {
        std::vector<std::string> result;
        for (const auto& broker : discovery->brokers()) {
            result.push_back(broker.id);
        }
        return result;
    }

    VirtualEventLoop loop;
    std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>(loop);
    ScriptedBrowser* browser = nullptr;
    std::unique_ptr<BrokerDiscovery> discovery;
    int notifications = 0;
};

TEST_F(BrokerDiscoveryTest, BrowsesBothTypesAndListsABrokerUnderEachOnce)
{
    discovery->start();
    EXPECT_EQ(browser->browsedTypes, (std::vector<std::string>{kPlain, kSecure}));
    EXPECT_TRUE(discovery->isSearching());

    const ScriptedConnection& plain = announce(instance("broker"), "192.168.1.5", 1883, "192.168.1.5");
    EXPECT_EQ(plain.host(), "192.168.1.5");
    EXPECT_EQ(plain.port(), 1883);
    EXPECT_TRUE(plain.isCancelled()) << "the check connection is closed once it is up";
    announce(instance("broker", kSecure), "192.168.1.5", 8883, "192.168.1.5");

    EXPECT_EQ(discovery->brokers(), (std::vector<DiscoveredBroker>{
                                        {"broker", "broker", "192.168.1.5", 1883, false},
                                        {"broker-tls", "broker", "192.168.1.5", 8883, true},
                                    }));
}

TEST_F(BrokerDiscoveryTest, AServiceSeenOnTwoPathsIsListedOnceWithTheFirstConnectionUp)
{
    discovery->start();
    const auto overIPv4 = instance("kitchen", kPlain, 2, IPProtocol::ipv4);
    const auto overIPv6 = instance("kitchen", kPlain, 3, IPProtocol::ipv6);
    browser->found(overIPv4);
    browser->found(overIPv4);  // the same path announced again
    browser->found(overIPv6);
    ASSERT_EQ(browser->resolveRequests, (std::vector<ServiceInstance>{overIPv4, overIPv6}));

    browser->resolved(overIPv4, {"192.168.1.7", 1883, 2});
    browser->resolved(overIPv6, {"fe80::1", 1883, 3});
    ASSERT_EQ(transport->connectionCount(), 2U);
    ScriptedConnection& v4 = *transport->connections()[0];
    ScriptedConnection& v6 = *transport->connections()[1];
    EXPECT_EQ(v6.host(), "fe80::1%3") << "a link-local address needs its interface as the zone";

    comeUp(v6, "fe80::1%eth1");
    comeUp(v4, "192.168.1.7");

    ASSERT_EQ(discovery->brokers().size(), 1U);
    EXPECT_EQ(discovery->brokers()[0].host, "fe80::1") << "zone cut, no brackets";

    // A third path of a listed broker is not even resolved.
    browser->found(instance("kitchen", kPlain, 4, IPProtocol::ipv4));
    EXPECT_EQ(browser->resolveRequests.size(), 2U);
}

TEST_F(BrokerDiscoveryTest, NamesSortCaseInsensitivelyAndEqualNamesKeepTheirArrivalOrder)
{
    discovery->start();
    for (const char* name : {"beta", "Alpha", "alpha", "Beta"}) {
        announce(instance(name), "10.0.0.1", 1883, "10.0.0.1");
    }
    EXPECT_EQ(ids(), (std::vector<std::string>{"Alpha", "alpha", "beta", "Beta"}));
}

TEST_F(BrokerDiscoveryTest, HostAndCheckTextsFollowTheAddressKind)
{
    struct Case {
        const char* address;
        int interfaceIndex;
        const char* checkHost;
        const char* shownHost;
    };
    for (const Case& c : {
             Case{"192.168.1.5", 2, "192.168.1.5", "192.168.1.5"},
             Case{"fe80::1", 3, "fe80::1%3", "fe80::1"},
             Case{"fe80::1", 0, "fe80::1", "fe80::1"},  // no interface known: nothing to add
             Case{"2001:db8::5", 3, "2001:db8::5", "2001:db8::5"},
             Case{"fe80::1%en0", 3, "fe80::1%en0", "fe80::1"},
             Case{"broker.local", 3, "broker.local", "broker.local"},
         }) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(BrokerDiscovery::checkHost({c.address, 1883, c.interfaceIndex}), c.checkHost);
        EXPECT_EQ(BrokerDiscovery::hostString(c.address), c.shownHost);
    }
}

TEST_F(BrokerDiscoveryTest, AServiceThatAcceptsNoConnectionIsNeverListed)
{
    discovery->start();
    ScriptedConnection& connection = resolve(instance("refusing"), "10.0.0.9");
    connection.reportState(waiting, TransportError{TransportError::Kind::connectionRefused, "refused"});
    connection.reportState(failed, TransportError{TransportError::Kind::connectionRefused, "refused"});
    loop.runUntilIdle();
    EXPECT_TRUE(discovery->brokers().empty());
    EXPECT_TRUE(connection.isCancelled());

    // A connection that is up but knows no far end is no answer either.
    resolve(instance("nowhere"), "10.0.0.8").reportState(ready);
    loop.runUntilIdle();
    EXPECT_TRUE(discovery->brokers().empty());
}

TEST_F(BrokerDiscoveryTest, StartDuringASearchEndsItAndBeginsWithAnEmptyList)
{
    discovery->start();
    announce(instance("one"), "10.0.0.1", 1883, "10.0.0.1");
    ScriptedConnection& pending = resolve(instance("pending"), "10.0.0.2");

    discovery->start();
    EXPECT_TRUE(discovery->brokers().empty());
    EXPECT_TRUE(discovery->isSearching());
    EXPECT_TRUE(pending.isCancelled());
    EXPECT_GE(browser->stopCount, 1);

    // The old check's late success lands nowhere; the same service found
    // again in the new search is resolved again.
    comeUp(pending, "10.0.0.2");
    EXPECT_TRUE(discovery->brokers().empty());
    browser->found(instance("one"));
    EXPECT_EQ(std::count(browser->resolveRequests.begin(), browser->resolveRequests.end(), instance("one")), 2);
}

TEST_F(BrokerDiscoveryTest, StopKeepsTheListAndEndsBrowsingAndChecks)
{
    discovery->start();
    announce(instance("kept"), "10.0.0.1", 1883, "10.0.0.1");
    ScriptedConnection& slow = resolve(instance("slow"), "10.0.0.3");
    const int before = notifications;

    discovery->stop();
    EXPECT_FALSE(discovery->isSearching());
    EXPECT_FALSE(browser->isBrowsing);
    EXPECT_TRUE(slow.isCancelled());
    EXPECT_EQ(ids(), (std::vector<std::string>{"kept"}));
    EXPECT_GT(notifications, before);

    // Late results after stop(): a check that comes up now is ignored.
    comeUp(slow, "10.0.0.3");
    EXPECT_EQ(ids(), (std::vector<std::string>{"kept"}));
}

TEST_F(BrokerDiscoveryTest, ABrokerWhoseCheckCameUpBeforeStopIsStillListed)
{
    discovery->start();
    ScriptedConnection& quick = resolve(instance("quick"), "10.0.0.4");
    quick.setRemoteEndpoint({"10.0.0.4", 1883});
    quick.reportState(ready);
    // Queued so that stop() runs after the ready report was handled (it
    // hops from the connection's queue to the main loop) and before the
    // insertion that the report scheduled.
    loop.post([this] { loop.post([this] { discovery->stop(); }); });
    loop.runUntilIdle();
    EXPECT_FALSE(discovery->isSearching());
    EXPECT_EQ(ids(), (std::vector<std::string>{"quick"}));
}

TEST_F(BrokerDiscoveryTest, TheMDNSServiceDyingMidSearchKeepsTheListAndResolvesAgainWhenBack)
{
    discovery->start();
    announce(instance("listed"), "10.0.0.1", 1883, "10.0.0.1");
    browser->found(instance("unanswered"));  // its resolve dies with the service

    browser->setReachable(false);
    EXPECT_FALSE(discovery->isServiceReachable());
    EXPECT_TRUE(discovery->isSearching());
    EXPECT_EQ(ids(), (std::vector<std::string>{"listed"}));

    const int notified = notifications;
    browser->setReachable(true);
    EXPECT_TRUE(discovery->isServiceReachable());
    EXPECT_EQ(notifications, notified + 1);
    browser->found(instance("listed"));
    browser->found(instance("unanswered"));
    EXPECT_EQ(std::count(browser->resolveRequests.begin(), browser->resolveRequests.end(), instance("unanswered")), 2);
    EXPECT_EQ(std::count(browser->resolveRequests.begin(), browser->resolveRequests.end(), instance("listed")), 1);
    announce(instance("unanswered"), "10.0.0.2", 1883, "10.0.0.2");
    EXPECT_EQ(ids(), (std::vector<std::string>{"listed", "unanswered"}));
}

TEST_F(BrokerDiscoveryTest, AServiceRemovedAndAnnouncedAgainIsResolvedAgain)
{
    discovery->start();
    browser->found(instance("flaky"));
    browser->removed(instance("flaky"));
    browser->found(instance("flaky"));
    EXPECT_EQ(browser->resolveRequests.size(), 2U);
}

TEST_F(BrokerDiscoveryTest, ChecksThatAnswerAfterTheDiscoveryIsGoneDoNothing)
{
    discovery->start();
    ScriptedConnection& orphan = resolve(instance("orphan"), "10.0.0.5");
    discovery.reset();
    EXPECT_TRUE(orphan.isCancelled());
    orphan.setRemoteEndpoint({"10.0.0.5", 1883});
    orphan.reportState(ready);
    EXPECT_NO_FATAL_FAILURE(loop.runUntilIdle());
}

}  // namespace
}  // namespace telvane
