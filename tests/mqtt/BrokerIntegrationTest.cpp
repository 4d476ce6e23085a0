// The client against a real mosquitto on loopback, through the real Asio
// transport, a real SQLite store and real reload signals on a private bus.

#include "mqtt/MQTTClient.h"

#include "model/SharedStore.h"
#include "platform/AsioTransport.h"
#include "platform/ThreadEventLoop.h"
#include "platform/WidgetCenter.h"
#include "support/MosquittoBroker.h"
#include "support/ReloadListener.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace telvane {
namespace {

using namespace std::chrono_literals;
using test::MosquittoBroker;
using test::MosquittoOptions;
using test::MqttVersion;
using Clock = std::chrono::steady_clock;

constexpr const char* kTemperature = "sensors/temperature";
constexpr const char* kRaw = "sensors/raw";
constexpr const char* kUnconfigured = "garden/humidity";

// Keep alive 4 gives a keep-alive tick every 5 s; a silent broker is noticed
// at the latest 10 s after the tick's PINGREQ.
constexpr std::uint16_t kKeepAlive = 4;
constexpr auto kRecoveryBound = 5s + 10s;
// Process start-up, the connect itself and the probe interval.
constexpr auto kSlack = 2s;

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
        broker_ = std::make_unique<MosquittoBroker>();
        ASSERT_TRUE(broker_->start()) << broker_->log();
        reloads_ = std::make_unique<test::ReloadListener>();

        MQTTConfig config;
        config.host = broker_->host();
        config.port = broker_->port();
        config.clientID = std::string("telvane-it-") + (isV5() ? "5" : "4");
        config.topics = {kTemperature, kRaw};
        config.keepAliveInterval = kKeepAlive;
        config.protocolVersion = GetParam();
        store_.saveConfig(config);

        client_ = MQTTClient::create(loop_, std::make_shared<AsioTransport>(), store_, WidgetCenter::shared());
        client_->setOnMessage([this](const MQTTMessage& message) { delivered_.push_back(message); });
        client_->setStateObserver([this] {
            if (client_->lastError() && client_->lastError() != lastErrors_.back()) {
                errorTimes_.push_back(Clock::now());
            }
            lastErrors_.push_back(client_->lastError());
        });
    }

    void TearDown() override
    {
        // The client goes before the loop and the store it refers to.
        client_.reset();
    }

    [[nodiscard]] bool isV5() const { return GetParam() == MQTTProtocolVersion::mqtt50; }
    [[nodiscard]] MqttVersion publisherVersion() const { return isV5() ? MqttVersion::v5 : MqttVersion::v311; }

    bool runUntil(const std::function<bool()>& done, std::chrono::duration<double> timeout)
    {
        return loop_.runUntil(done, timeout);
    }

    // Publishes on a configured topic until the client stores it: only then
    // is the client both connected and subscribed. Returns false at `deadline`.
    bool waitUntilSubscribed(Clock::time_point deadline)
    {
        while (Clock::now() < deadline) {
            const std::string payload = "probe-" + std::to_string(++probes_);
            if (client_->isConnected()) {
                (void)broker_->publish(kTemperature, payload, publisherVersion());
            }
            const auto wait = std::min<Clock::duration>(250ms, std::max<Clock::duration>(deadline - Clock::now(), 0ms));
            if (runUntil([&] { return hasDelivered(kTemperature, payload); }, wait)) {
                return true;
            }
        }
        return false;
    }

    [[nodiscard]] bool hasDelivered(const std::string& topic, const std::string& payload) const
    {
        return std::any_of(delivered_.begin(), delivered_.end(), [&](const MQTTMessage& message) {
            return message.topic == topic && message.payload == payload;
        });
    }

    [[nodiscard]] std::optional<MQTTMessage> storedMessage(const std::string& topic)
    {
        for (const auto& message : store_.loadMessages()) {
            if (message.topic == topic) {
                return message;
            }
        }
        return std::nullopt;
    }

    test::TempDir dir_;
    SharedStore store_{dir_.path() / "defaults.sqlite3"};
    ThreadEventLoop loop_;
    std::unique_ptr<MosquittoBroker> broker_;
    std::unique_ptr<test::ReloadListener> reloads_;
    std::shared_ptr<MQTTClient> client_;
    std::vector<MQTTMessage> delivered_;
    std::vector<std::optional<std::string>> lastErrors_{std::nullopt};
    std::vector<Clock::time_point> errorTimes_;
    int probes_ = 0;
};

TEST_P(BrokerIntegrationTest, StoresConfiguredTopicsDiscoversTheRestAndReloadsOncePerMessage)
{
    client_->connect();
    ASSERT_TRUE(waitUntilSubscribed(Clock::now() + 10s)) << broker_->log();
    const int reloadsBefore = reloads_->settleAndCount();
    const auto deliveredBefore = delivered_.size();
    EXPECT_EQ(reloadsBefore, static_cast<int>(deliveredBefore));

    const Date before = Date::now();
    ASSERT_TRUE(broker_->publish(kTemperature, R"({"value": 21.5})", publisherVersion()).succeeded());
    const std::vector<std::uint8_t> notUtf8{0xFF, 0xFE, 0x00, 0x80, 'a'};
    ASSERT_TRUE(broker_->publishBytes(kRaw, notUtf8, publisherVersion()).succeeded());
    ASSERT_TRUE(broker_->publish(kUnconfigured, "55", publisherVersion()).succeeded());
    ASSERT_TRUE(broker_->publish(kTemperature, R"({"value": 22})", publisherVersion()).succeeded());
    // The last one on a configured topic: once it is here, everything before it is.
    ASSERT_TRUE(runUntil([&] { return hasDelivered(kTemperature, R"({"value": 22})"); }, 10s));
    const Date after = Date::now();

    // mosquitto sends a message once for each matching subscription: the
    // configured topic and "#". Every copy is a delivery of its own.
    const auto deliveredNow = delivered_.size() - deliveredBefore;
    EXPECT_TRUE(deliveredNow == 3 || deliveredNow == 6) << deliveredNow;
    EXPECT_EQ(reloads_->settleAndCount() - reloadsBefore, static_cast<int>(deliveredNow));

    const auto temperature = storedMessage(kTemperature);
    ASSERT_TRUE(temperature.has_value());
    EXPECT_EQ(temperature->payload, R"({"value": 22})");
    EXPECT_GE(temperature->timestamp, before);
    EXPECT_LE(temperature->timestamp, after);

    const auto raw = storedMessage(kRaw);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->payload, "//4AgGE=");  // Base64 of FF FE 00 80 61

    EXPECT_FALSE(storedMessage(kUnconfigured).has_value());
    const auto discovered = store_.loadDiscoveredTopics();
    ASSERT_TRUE(discovered);
    EXPECT_TRUE(discovered->contains(kUnconfigured));
    EXPECT_TRUE(discovered->contains(kTemperature));
    EXPECT_TRUE(discovered->contains(kRaw));
    // Newest first.
    const auto messages = store_.loadMessages();
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(messages.front().topic, kTemperature);
}

TEST_P(BrokerIntegrationTest, NoticesAKilledBrokerAtOnceAndIsBackSoonAfterItRestarts)
{
    client_->connect();
    ASSERT_TRUE(waitUntilSubscribed(Clock::now() + 10s)) << broker_->log();

    const auto killedAt = Clock::now();
    broker_->kill();
    ASSERT_TRUE(runUntil([&] { return !client_->isConnected(); }, 3s));
    EXPECT_LT(secondsSince(killedAt), 1.0) << "the end of the stream was not noticed at once";

    ASSERT_TRUE(broker_->restart()) << broker_->log();
    ASSERT_TRUE(waitUntilSubscribed(killedAt + kRecoveryBound + kSlack))
        << "not back " << secondsSince(killedAt) << " s after the kill; lastError "
        << client_->lastError().value_or("none");
    EXPECT_TRUE(client_->isConnected());
}

TEST_P(BrokerIntegrationTest, RefusingBrokerIsRetriedEveryFiveSecondsUntilItAccepts)
{
    MosquittoOptions refusing;
    refusing.allowAnonymous = false;
    ASSERT_TRUE(broker_->restart(refusing)) << broker_->log();
    client_->connect();

    // Two refusals, the second 5 s after the first (the virtual-clock tests
    // cover the steady rhythm; here the real timers and broker are the point).
    ASSERT_TRUE(runUntil([&] { return errorTimes_.size() >= 2; }, 10s))
        << "refusals seen: " << errorTimes_.size() << "\n" << broker_->log();
    EXPECT_FALSE(client_->isConnected());
    // mosquitto refuses an anonymous client with "not authorised": 5 in
    // 3.1.1, reason code 0x87 in 5.0.
    const std::string expected = std::string("Verbindung abgelehnt (Fehler ") + (isV5() ? "135" : "5") + ")";
    EXPECT_EQ(client_->lastError(), expected);
    for (std::size_t i = 1; i < errorTimes_.size(); ++i) {
        const double interval = std::chrono::duration<double>(errorTimes_[i] - errorTimes_[i - 1]).count();
        EXPECT_GT(interval, 4.5) << "attempt " << i;
        EXPECT_LT(interval, 6.5) << "attempt " << i;
    }
    // Each attempt clears the text first and the refusal sets it again.
    EXPECT_GE(std::count(lastErrors_.begin(), lastErrors_.end(), std::nullopt), 2);

    // A broker that accepts again is connected to at the next attempt.
    const auto acceptingAt = Clock::now();
    ASSERT_TRUE(broker_->restart(MosquittoOptions{})) << broker_->log();
    ASSERT_TRUE(waitUntilSubscribed(acceptingAt + 5s + kSlack))
        << "lastError " << client_->lastError().value_or("none");
    EXPECT_EQ(client_->lastError(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Versions, BrokerIntegrationTest,
                         ::testing::Values(MQTTProtocolVersion::mqtt311, MQTTProtocolVersion::mqtt50),
                         [](const auto& testCase) {
                             return testCase.param == MQTTProtocolVersion::mqtt50 ? "Mqtt50" : "Mqtt311";
                         });

}  // namespace
}  // namespace telvane
