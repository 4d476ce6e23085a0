// The broker search against a real avahi-daemon. The test runs in a network
// namespace of its own (in_private_network.sh) with only the loopback
// interface up, and gives the daemon a private system bus and a configuration
// that keeps it to that interface and IPv4. Brokers are announced by Avahi
// (avahi-publish) and by an independent mDNS stack (python-zeroconf).

#include "discovery/AvahiBrowser.h"
#include "discovery/BrokerDiscovery.h"
#include "platform/AsioTransport.h"
#include "support/MosquittoBroker.h"
#include "support/TempDir.h"
#include "support/ThreadEventLoop.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cstdlib>
#include <fstream>

namespace telvane {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::readFile;
using test::waitUntil;

constexpr const char* kDBusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kAvahiDaemon = "/usr/sbin/avahi-daemon";
constexpr const char* kAvahiPublish = "/usr/bin/avahi-publish";
constexpr const char* kPython = "/usr/bin/python3";  // Debian's, with python3-zeroconf

class AvahiIntegrationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (std::getenv("TELVANE_PRIVATE_NETWORK") == nullptr) {
            return;
        }
        // The namespace's own loopback; Avahi wants it multicast-capable.
        EXPECT_TRUE(test::runProcess({"/usr/sbin/ip", "link", "set", "lo", "up", "multicast", "on"}).succeeded());
        // The daemon keeps its pid file and socket in /run/avahi-daemon:
        // a private /run keeps it apart from any daemon of the machine.
        EXPECT_EQ(::mount("tmpfs", "/run", "tmpfs", 0, nullptr), 0);
        std::filesystem::create_directories("/run/avahi-daemon");
    }

    void SetUp() override
    {
        if (const char* reason = std::getenv("TELVANE_NO_PRIVATE_NETWORK")) {
            GTEST_SKIP() << "needs a network namespace of its own: " << reason;
        }
        if (std::getenv("TELVANE_PRIVATE_NETWORK") == nullptr) {
            GTEST_SKIP() << "run through in_private_network.sh, which makes a network namespace for it";
        }
        for (const char* program : {kDBusDaemon, kAvahiDaemon, kAvahiPublish, kPython}) {
            ASSERT_TRUE(std::filesystem::exists(program)) << program << " is missing: run scripts/install-deps";
        }
        ASSERT_TRUE(test::runProcess({kPython, "-c", "import zeroconf"}).succeeded())
            << "python3-zeroconf is missing: run scripts/install-deps";
        std::ofstream(dir_.path() / "avahi-daemon.conf")
            << ("[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes\n"
                "ratelimit-interval-usec=1000000\nratelimit-burst=1000\n"
                "[wide-area]\nenable-wide-area=no\n"
                "[publish]\npublish-hinfo=no\npublish-workstation=no\n");
        startBus();
    }

    static void TearDownTestSuite()
    {
        bus_.reset();
        busDir_.reset();
    }

    // One bus address for the whole run: libdbus reads it only once per
    // process. A test that needs no bus stops it; the next one restarts it.
    static void startBus()
    {
        if (bus_ && bus_->pid() > 0) {
            return;
        }
        if (!busDir_) {
            busDir_ = std::make_unique<test::TempDir>();
        }
        const auto socket = busDir_->path() / "system_bus";
        std::filesystem::remove(socket);
        std::ofstream(busDir_->path() / "bus.conf")
            << ("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig><type>system</type><listen>unix:path="
                      + socket.string()
                      + "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                        "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                        "<allow receive_sender=\"*\"/></policy></busconfig>\n");
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket.string()).c_str(), 1);
        bus_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{kDBusDaemon, "--config-file=" + (busDir_->path() / "bus.conf").string(),
                                     "--nofork"},
            std::nullopt, busDir_->path() / "bus.log");
        ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(socket); }, 10s)) << "no private system bus";
    }

    static void stopBus() { bus_.reset(); }

    void startDaemon()
    {
        daemon_ = ChildProcess({kAvahiDaemon, "-f", (dir_.path() / "avahi-daemon.conf").string(), "--no-drop-root",
                                "--no-chroot", "--no-rlimits"},
                               std::nullopt, dir_.path() / "avahi.log");
        ASSERT_GT(daemon_.pid(), 0);
    }

    ChildProcess publish(const std::string& name, const char* type, std::uint16_t port)
    {
        return ChildProcess({kAvahiPublish, "-s", name, type, std::to_string(port)}, std::nullopt,
                            dir_.path() / "publish.log");
    }

    [[nodiscard]] std::string avahiLog() const { return readFile(dir_.path() / "avahi.log"); }

    static inline std::unique_ptr<test::TempDir> busDir_;
    static inline std::unique_ptr<ChildProcess> bus_;
    // Declared so that the search goes before the daemon it talks to.
    test::TempDir dir_;
    ChildProcess daemon_;
    ThreadEventLoop loop_;
    std::shared_ptr<AsioTransport> transport_ = std::make_shared<AsioTransport>();
};

TEST_F(AvahiIntegrationTest, FindsBrokersOfBothStacksWithTheirAddressAndNeverAClosedPort)
{
    startDaemon();
    // Brokers as the check connections meet them; the secure one is announced by the other stack.
    test::MosquittoBroker mosquitto;
    test::MosquittoBroker secure;
    ASSERT_TRUE(mosquitto.start() && secure.start()) << mosquitto.log() << secure.log();
    const std::uint16_t closedPort = test::freeLoopbackPort();
    ChildProcess avahiAnnounced = publish("Mosquitto im Keller", "_mqtt._tcp", mosquitto.port());
    ChildProcess closed = publish("Geschlossen", "_mqtt._tcp", closedPort);
    ChildProcess zeroconfAnnounced(
        {kPython, TELVANE_ZEROCONF_ANNOUNCER, "Zeroconf Broker", "_secure-mqtt._tcp", std::to_string(secure.port())},
        std::nullopt, dir_.path() / "zeroconf.log");

    BrokerDiscovery discovery(loop_, std::make_unique<AvahiBrowser>(loop_), transport_);
    discovery.start();
    ASSERT_TRUE(loop_.runUntil([&] { return discovery.brokers().size() >= 2; }, 30s)) << avahiLog();
    // Refused connections on loopback are decided at once; give them time.
    loop_.runFor(1.5s);

    EXPECT_TRUE(discovery.isServiceReachable());
    EXPECT_EQ(discovery.brokers(),
              (std::vector<DiscoveredBroker>{
                  {"Mosquitto im Keller", "Mosquitto im Keller", "127.0.0.1", mosquitto.port(), false},
                  {"Zeroconf Broker-tls", "Zeroconf Broker", "127.0.0.1", secure.port(), true},
              }));
    discovery.stop();
    EXPECT_FALSE(discovery.isSearching());
    EXPECT_EQ(discovery.brokers().size(), 2U);
}

TEST_F(AvahiIntegrationTest, TheSearchOutlivesTheDaemonGoingAndComingBack)
{
    test::MosquittoBroker first;
    test::MosquittoBroker second;
    ASSERT_TRUE(first.start() && second.start()) << first.log() << second.log();
    BrokerDiscovery discovery(loop_, std::make_unique<AvahiBrowser>(loop_), transport_);

    // No daemon yet: the search runs and says why it finds nothing.
    discovery.start();
    EXPECT_TRUE(loop_.runUntil([&] { return !discovery.isServiceReachable(); }, 10s));
    EXPECT_TRUE(discovery.isSearching());

    startDaemon();
    ASSERT_TRUE(loop_.runUntil([&] { return discovery.isServiceReachable(); }, 15s)) << avahiLog();
    ChildProcess before = publish("Vorher", "_mqtt._tcp", first.port());
    ASSERT_TRUE(loop_.runUntil([&] { return discovery.brokers().size() == 1; }, 30s)) << avahiLog();

    daemon_.stop();
    before.stop();
    EXPECT_TRUE(loop_.runUntil([&] { return !discovery.isServiceReachable(); }, 10s));
    EXPECT_EQ(discovery.brokers().size(), 1U) << "what was found stays listed";

    startDaemon();
    ASSERT_TRUE(loop_.runUntil([&] { return discovery.isServiceReachable(); }, 15s)) << avahiLog();
    ChildProcess after = publish("Nachher", "_mqtt._tcp", second.port());
    ASSERT_TRUE(loop_.runUntil([&] { return discovery.brokers().size() == 2; }, 30s)) << avahiLog();
    EXPECT_EQ(discovery.brokers()[0].name, "Nachher");
    EXPECT_EQ(discovery.brokers()[0].port, second.port());
    discovery.stop();
}

TEST_F(AvahiIntegrationTest, WithoutASystemBusTheServiceIsUnreachableAndTheSearchStillRuns)
{
    stopBus();
    BrokerDiscovery discovery(loop_, std::make_unique<AvahiBrowser>(loop_), transport_);
    discovery.start();
    EXPECT_TRUE(loop_.runUntil([&] { return !discovery.isServiceReachable(); }, 10s));
    EXPECT_TRUE(discovery.isSearching());
    EXPECT_TRUE(discovery.brokers().empty());
    discovery.stop();
}

}  // namespace
}  // namespace telvane
