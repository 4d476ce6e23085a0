// The client against a real mosquitto on loopback, through the real Asio
// transport, a real SQLite store and real reload signals on a private bus: a
// broker that dies, refuses or hands the session to another client. Each
// case waits for a configured message to be stored in both protocol
// versions; the widget's follow test takes one through the application.

#include "mqtt/MQTTClient.h"

#include "model/SharedStore.h"
#include "platform/AsioTransport.h"
#include "platform/DBusReloadSignal.h"
#include "support/MosquittoBroker.h"
#include "support/TempDir.h"
#include "support/ThreadEventLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

namespace telvane {
namespace {

using namespace std::chrono_literals;
using test::MosquittoBroker;

// For failure messages: which error, and the system's text of a transport one.
std::string errorKind(const std::optional<ClientError>& error)
{
    if (!error) {
        return "none";
    }
    if (const auto* transport = std::get_if<TransportError>(&*error)) {
        return "transport: " + transport->systemText;
    }
    return "error #" + std::to_string(error->index());
}
using test::MosquittoOptions;
using Clock = std::chrono::steady_clock;

constexpr const char* kTemperature = "sensors/temperature";
// Process start-up, the connect itself and the probe interval.
constexpr auto kSlack = 3s;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class BrokerIntegrationTest : public ::testing::TestWithParam<MQTTProtocolVersion> {
protected:
    void SetUp() override
    {
        if (!MosquittoBroker::isInstalled()) {
            GTEST_SKIP() << "mosquitto is not installed";
        }
        ASSERT_TRUE(broker_.start()) << broker_.log();
        MQTTConfig config;
        config.host = broker_.host();
        config.port = broker_.port();
        config.clientID = std::string("telvane-it-") + (isV5() ? "5" : "4");
        config.topics = {kTemperature};
        config.keepAliveInterval = 4;  // a tick every 5 s: a silent broker is noticed within 5 + 10 s
        config.protocolVersion = GetParam();
        store_.saveConfig(config);
        client_->setOnMessage([this](const MQTTMessage& message) { delivered_.push_back(message); });
        client_->setStateObserver([this] {
            if (client_->lastError() && !firstErrorAt_) {
                firstErrorAt_ = Clock::now();
            }
        });
    }

    // The client goes before the loop and the store it refers to, and the
    // transport's thread, which may hold it for a moment, before the client.
    void TearDown() override
    {
        transport_->stop();
        client_.reset();
    }

    [[nodiscard]] bool isV5() const { return GetParam() == MQTTProtocolVersion::mqtt50; }

    // With mosquitto_pub, in the protocol version under test.
    [[nodiscard]] bool publish(const std::string& topic, std::string_view payload) const
    {
        const auto version = isV5() ? test::MqttVersion::v5 : test::MqttVersion::v311;
        return broker_.publishBytes(topic, {payload.begin(), payload.end()}, version).succeeded();
    }

    [[nodiscard]] bool hasDelivered(const std::string& topic, const std::string& payload) const
    {
        return std::any_of(delivered_.begin(), delivered_.end(),
                           [&](const MQTTMessage& m) { return m.topic == topic && m.payload == payload; });
    }

    // Publishes on a configured topic until the client stores it: only then
    // is the client both connected and subscribed. Returns false at `deadline`.
    bool waitUntilSubscribed(Clock::time_point deadline)
    {
        while (Clock::now() < deadline) {
            const std::string payload = "probe-" + std::to_string(++probes_);  // unique across calls
            if (client_->isConnected()) {
                (void)publish(kTemperature, payload);
            }
            const auto wait = std::clamp<Clock::duration>(deadline - Clock::now(), 0ms, 250ms);
            if (loop_.runUntil([&] { return hasDelivered(kTemperature, payload); }, wait)) {
                return true;
            }
        }
        return false;
    }

    test::TempDir dir_;
    SharedStore store_{dir_.path() / "defaults.sqlite3"};
    ThreadEventLoop loop_;
    MosquittoBroker broker_;
    DBusReloadSignal reloadSignal_{DBusReloadSignal::sessionBusAddress()};
    std::shared_ptr<AsioTransport> transport_ = std::make_shared<AsioTransport>();
    std::shared_ptr<MQTTClient> client_ = MQTTClient::create(loop_, transport_, store_, reloadSignal_);
    std::vector<MQTTMessage> delivered_;
    std::optional<Clock::time_point> firstErrorAt_;
    int probes_ = 0;
};

TEST_P(BrokerIntegrationTest, NoticesAKilledBrokerAtOnceAndIsBackSoonAfterItRestarts)
{
    client_->connect();
    ASSERT_TRUE(waitUntilSubscribed(Clock::now() + 10s)) << broker_.log();

    const auto killedAt = Clock::now();
    broker_.kill();
    ASSERT_TRUE(loop_.runUntil([&] { return !client_->isConnected(); }, 1s)) << "the end of the stream was not noticed";

    ASSERT_TRUE(broker_.restart()) << broker_.log();
    // The end of the stream closes the connection and reconnects after 5 s,
    // without waiting for a ping to time out.
    ASSERT_TRUE(waitUntilSubscribed(killedAt + 5s + kSlack))
        << "not back " << secondsSince(killedAt) << " s after the kill; lastError " << errorKind(client_->lastError());
}

TEST_P(BrokerIntegrationTest, RefusingBrokerIsRetriedAfterFiveSecondsUntilItAccepts)
{
    MosquittoOptions refusing;
    refusing.allowAnonymous = false;
    ASSERT_TRUE(broker_.restart(refusing)) << broker_.log();
    client_->connect();
    ASSERT_TRUE(loop_.runUntil([&] { return firstErrorAt_.has_value(); }, 5s)) << broker_.log();
    EXPECT_FALSE(client_->isConnected());
    // "Not authorised": 5 in 3.1.1, reason code 0x87 in 5.0.
    EXPECT_EQ(client_->lastError(), ClientError(ConnectionRefused{static_cast<std::uint8_t>(isV5() ? 135 : 5)}));

    // The virtual-clock tests cover the steady rhythm; here the real timers
    // and broker are the point: the next attempt, 5 s after the refusal, is accepted.
    ASSERT_TRUE(broker_.restart(MosquittoOptions{})) << broker_.log();
    ASSERT_TRUE(waitUntilSubscribed(*firstErrorAt_ + 5s + kSlack)) << errorKind(client_->lastError());
    EXPECT_GT(secondsSince(*firstErrorAt_), 4.5) << "retried before the 5 s were up";
    EXPECT_EQ(client_->lastError(), std::nullopt);
}

TEST_P(BrokerIntegrationTest, SessionTakenOverIsShownAndReconnectedAfterFiveSeconds)
{
    client_->connect();
    ASSERT_TRUE(waitUntilSubscribed(Clock::now() + 10s)) << broker_.log();
    // Another client with our client identifier takes the session over.
    test::ChildProcess thief({"/usr/bin/mosquitto_sub", "-h", broker_.host(), "-p", std::to_string(broker_.port()),
                              "-i", store_.loadConfig().clientID, "-t", "nothing", "-V",
                              isV5() ? "mqttv5" : "mqttv311"});
    ASSERT_TRUE(loop_.runUntil([&] { return !client_->isConnected(); }, 5s)) << broker_.log();
    const auto lostAt = Clock::now();
    // The thief has done its part; left running, its own reconnects would take
    // the session back again while ours is being checked.
    thief.stop(SIGTERM, 2s);
    // The stream ends; a 5.0 broker may say why first ("session taken over", 0x8E).
    auto shown = client_->lastError();
    if (shown && std::holds_alternative<TransportError>(*shown)) {
        std::get<TransportError>(*shown).systemText.clear();
    }
    const ClientError closed = TransportError{TransportError::Kind::connectionClosed, ""};
    EXPECT_TRUE(shown == closed || (isV5() && shown == ClientError(DisconnectedByBroker{0x8E})))
        << errorKind(client_->lastError());
    ASSERT_TRUE(waitUntilSubscribed(lostAt + 5s + kSlack)) << errorKind(client_->lastError());
    EXPECT_GT(secondsSince(lostAt), 4.5) << "reconnected before the 5 s were up";
}

INSTANTIATE_TEST_SUITE_P(Versions, BrokerIntegrationTest,
                         ::testing::Values(MQTTProtocolVersion::mqtt311, MQTTProtocolVersion::mqtt50),
                         [](const auto& testCase) {
                             return testCase.param == MQTTProtocolVersion::mqtt50 ? "Mqtt50" : "Mqtt311";
                         });

}  // namespace
}  // namespace telvane
