#include "mqtt/MQTTClient.h"

#include "mqtt/ClientFixture.h"
#include "mqtt/Codec.h"
#include "platform/AsioTransport.h"
#include "support/StoreFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace telvane {
namespace {

using namespace test::client;
using enum ConnectionState;

class MQTTClientTest : public ClientFixture {};

// ---- Connection and subscriptions ------------------------------------------------

TEST_F(MQTTClientTest, StoredConfigurationWinsOverConfigAndIsReadAgainWhenTheTransportIsReady)
{
    auto& connection = connect();
    EXPECT_EQ(connection.host(), "broker.test");
    EXPECT_EQ(connection.port(), 1883);
    EXPECT_DOUBLE_EQ(connection.connectTimeoutSeconds(), 10.0);
    EXPECT_TRUE(connection.sent().empty());  // nothing before the transport is ready

    saveConfig([](MQTTConfig& config) { config.topics = {"changed"}; });
    report(connection, ready);
    EXPECT_EQ(client->config(), store.loadConfig());
    const auto sent = connection.sent();
    EXPECT_EQ(sent.at(0), framePacket(kConnectFirstByte, buildConnectBody(store.loadConfig()).value()).value());
    EXPECT_EQ(subscribed(sent), (Strings{"changed", "#"}));
    EXPECT_FALSE(client->isConnected());
    feed(connection, connack(0));
    EXPECT_TRUE(client->isConnected());
}

TEST_F(MQTTClientTest, ConfiguredTopicsThenDiscoveryFilterAreSubscribedInOrder)
{
    struct Case {
        Strings topics;
        MQTTProtocolVersion version;
        Strings expected;
    };
    const std::vector<Case> cases{
        {{"a", "b/c", "d/+"}, v311, {"a", "b/c", "d/+", "#"}},
        {{"a", "b/c", "d/+"}, v50, {"a", "b/c", "d/+", "#"}},
        {{"#"}, v311, {"#", "#"}},
        {{}, v311, {"#"}},
    };
    for (const auto& c : cases) {
        saveConfig([&](MQTTConfig& config) {
            config.topics = c.topics;
            config.protocolVersion = c.version;
        });
        const auto sent = connectReady().sent();
        ASSERT_EQ(sent.size(), 1 + c.expected.size());
        EXPECT_EQ(sent[0][0], kConnectFirstByte);
        EXPECT_EQ(subscribed(sent, c.version), c.expected);
    }
}

// ---- Keep-alive ------------------------------------------------------------------

TEST_F(MQTTClientTest, KeepAliveTicksAtHalfTheIntervalButNotBelowFiveSeconds)
{
    for (const auto& [interval, tick] : {std::pair{60, 30.0}, {4, 5.0}, {0, 5.0}, {11, 5.5}}) {
        const int keepAlive = interval;  // a lambda below captures it
        SCOPED_TRACE(keepAlive);
        saveConfig([&](MQTTConfig& config) { config.keepAliveInterval = static_cast<std::uint16_t>(keepAlive); });
        auto& connection = connectAccepted();
        EXPECT_EQ(readUInt16(extractPacket(connection.sent()[0]).body.subspan(8)).value, keepAlive);
        advance(tick - 0.01);
        EXPECT_EQ(count(connection, kPingreqFirstByte), 0);
        advance(0.01);
        EXPECT_EQ(connection.sent().back(), (Bytes{kPingreqFirstByte, 0x00}));
        feed(connection, kPingresp);
        advance(tick);
        EXPECT_EQ(count(connection, kPingreqFirstByte), 2);
        feed(connection, kPingresp);
    }
}

TEST_F(MQTTClientTest, PingrespStopsTheTimeoutAndAnUnansweredPingReconnectsAfterTenSeconds)
{
    saveConfig([](MQTTConfig& config) { config.keepAliveInterval = 4; });  // ticks every 5 s
    auto& first = connectAccepted();
    advance(5);
    feed(first, kPingresp);  // the timeout would have fired at 15 s
    advance(10);             // a ping at 10 s, none at 15 s while that one is unanswered
    EXPECT_EQ(count(first, kPingreqFirstByte), 2);
    advance(4.99);
    EXPECT_EQ(transport->connectionCount(), 1u);
    EXPECT_TRUE(client->isConnected());
    advance(0.01);  // 10 s after the ping at 10 s; the tick at 15 s did not re-arm the timeout
    EXPECT_EQ(client->lastError(), ClientError(PingTimeout{}));
    EXPECT_FALSE(client->isConnected());
    EXPECT_TRUE(first.isCancelled());
    ASSERT_EQ(transport->connectionCount(), 2u);
    EXPECT_TRUE(transport->last().isStarted());
}

// ---- Failures and reconnects -----------------------------------------------------

TEST_F(MQTTClientTest, FailedThenCancelledScheduleOneReconnect)
{
    auto& connection = connect();
    connection.reportState(failed, kRefused);
    report(connection, cancelled);
    EXPECT_EQ(client->lastError(), ClientError(kRefused));
    advance(5);
    EXPECT_EQ(transport->connectionCount(), 2u);
    EXPECT_EQ(client->lastError(), std::nullopt);  // connect starts afresh
    advance(60);
    EXPECT_EQ(transport->connectionCount(), 2u);
}

TEST_F(MQTTClientTest, TransportFailuresOnAnOpenConnectionShowTheirErrorAndChangeNothingElse)
{
    const TransportError reset{TransportError::Kind::connectionClosed, "Connection reset by peer"};
    enum class Fault { connectWrite, receive };
    const struct {
        Fault fault;
        std::optional<ClientError> error;
        bool isConnected;
    } cases[] = {
        // The CONNECT never reached the broker: no CONNACK will come, and
        // recovery is left to the connection's own reports.
        {Fault::connectWrite, reset, false},
        {Fault::receive, reset, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        auto& connection = connect();
        if (c.fault == Fault::connectWrite) {
            connection.failSends(reset);
            report(connection, ready);
            EXPECT_TRUE(subscribed(connection.sent()).empty());
        } else {
            report(connection, ready);
            feed(connection, connack(0));
            connection.failReceive(reset);
            loop.runUntilIdle();
        }
        EXPECT_EQ(client->lastError(), c.error);
        EXPECT_EQ(client->isConnected(), c.isConnected);
        // Nothing is read any more, and no reconnect is scheduled from here.
        feed(connection, publish("home/temp", "after"));
        EXPECT_TRUE(store.messagesSnapshot()->empty());
        advance(5);
        EXPECT_FALSE(connection.isCancelled());
    }
    EXPECT_EQ(transport->connectionCount(), 2u);
}

// ---- Receive path and delivery -----------------------------------------------------

TEST_F(MQTTClientTest, PacketsAreDeliveredInOrderWhateverTheReadBoundaries)
{
    saveConfig([](MQTTConfig& config) { config.topics = {"a", "b"}; });
    Strings payloads;
    client->setOnMessage([&](const MQTTMessage& message) {
        EXPECT_TRUE(client->isConnected());
        payloads.push_back(message.payload);
    });
    auto& connection = connectReady();
    // Each read after the spacing of stored messages ran out.
    const auto feedApart = [&](const Bytes& bytes) {
        feed(connection, bytes);
        advance(MessageDelivery::kMessagesWriteSpacing.count());
    };
    feedApart(concat({connack(0), publish("a", "1"), publish("b", "2")}));
    EXPECT_EQ(payloads, (Strings{"1", "2"}));

    // One split across two reads is delivered once, after the second.
    const Bytes split = publish("a", "3");
    feedApart(Bytes(split.begin(), split.begin() + 4));
    EXPECT_EQ(payloads.size(), 2u);
    feedApart(concat({Bytes(split.begin() + 4, split.end()), publish("b", "4")}));
    EXPECT_EQ(payloads, (Strings{"1", "2", "3", "4"}));

    const std::string large(10'000, 'x');  // larger than one read
    feedApart(publish("a", large));
    EXPECT_EQ(payloads, (Strings{"1", "2", "3", "4", large}));
    EXPECT_EQ(reloadSignal.count, 3);  // one per read that stored something
}

// ---- Faults of the plain design, fixed ---------------------------------------------

TEST_F(MQTTClientTest, LateReportsOfAReplacedConnectionAreIgnored)
{
    auto& first = connectReady();
    // Its CONNACK and a failure are on their way when a configuration change replaces it.
    first.feed(connack(0));
    first.reportState(failed, TransportError{TransportError::Kind::other, "late failure"});
    auto& second = connectReady();
    EXPECT_TRUE(first.isCancelled());
    EXPECT_FALSE(client->isConnected());
    feed(second, connack(0));
    advance(20);  // well past the reconnect delay, before the first ping
    EXPECT_EQ(transport->connectionCount(), 2u);
    EXPECT_TRUE(client->isConnected());
    EXPECT_EQ(client->lastError(), std::nullopt);
}

TEST_F(MQTTClientTest, ConnectWhileReconnectIsPendingStillReconnectsAfterTheNextFailure)
{
    report(connect(), failed, kRefused);  // reconnect scheduled
    report(connect(), failed, kRefused);  // a configuration change meanwhile, failing too
    advance(5);
    EXPECT_EQ(transport->connectionCount(), 3u);
    advance(5);
    EXPECT_EQ(transport->connectionCount(), 3u);  // the cancelled timer stays cancelled
}

TEST_F(MQTTClientTest, UndecodablePacketsAreDroppedAndTheStreamGoesOn)
{
    saveConfig([](MQTTConfig& config) { config.protocolVersion = v50; });
    auto& connection = connectAccepted();
    const Bytes suback{0x90, 0x04, 0x12, 0x34, 0x00, 0x00};
    const Bytes topicNotUTF8{0x30, 0x05, 0x00, 0x02, 0xFF, 0xFF, 0x00};
    // A property length of five bytes: four at most are allowed, whatever the value.
    const Bytes fiveByteProperties{0x30, 0x0A, 0x00, 0x02, 'h', 'i', 0x80, 0x80, 0x80, 0x80, 0x00, 'x'};
    feed(connection, concat({suback, topicNotUTF8, {0x30, 0x00}, fiveByteProperties, publish("home/temp", "ok", v50)}));
    EXPECT_EQ(*store.loadDiscoveredTopics(), (TopicSet{"home/temp"}));
    ASSERT_EQ(store.messagesSnapshot()->size(), 1u);
    EXPECT_EQ((*store.messagesSnapshot())[0].payload, "ok");
    EXPECT_TRUE(client->isConnected());
}

TEST_F(MQTTClientTest, OverlongConnectFieldOpensNoConnectionAndOverlongTopicIsSkipped)
{
    const std::string tooLong(65'536, 'x');
    const std::vector<std::pair<std::function<void(MQTTConfig&)>, ConnectField>> cases{
        {[&](MQTTConfig& c) { c.clientID = tooLong; }, ConnectField::clientID},
        {[&](MQTTConfig& c) { c.username = tooLong; }, ConnectField::username},
        {[&](MQTTConfig& c) { c.password = tooLong; }, ConnectField::password},
    };
    for (const auto& [edit, field] : cases) {
        saveConfig(edit);
        client->connect();
        advance(30);
        EXPECT_EQ(transport->connectionCount(), 0u);
        EXPECT_EQ(client->lastError(), ClientError(OverlongField{field}));
    }

    saveConfig([&](MQTTConfig& config) { config.topics = {"a", tooLong, "b"}; });
    auto& connection = connectReady();
    EXPECT_EQ(subscribed(connection.sent()), (Strings{"a", "b", "#"}));
    EXPECT_EQ(client->lastError(), ClientError(OverlongTopic{}));
    feed(connection, connack(0));
    EXPECT_TRUE(client->isConnected());
    EXPECT_EQ(client->lastError(), ClientError(OverlongTopic{}));  // the accepted CONNACK does not hide it
}

TEST_F(MQTTClientTest, PingTimeoutStaysVisibleUntilAnotherErrorOrAnAcceptedConnack)
{
    saveConfig([](MQTTConfig& config) { config.keepAliveInterval = 4; });
    connectAccepted();
    advance(15);  // ping at 5 s, timeout at 15 s
    ASSERT_EQ(transport->connectionCount(), 2u);
    auto* connection = &transport->last();
    report(*connection, ready);
    EXPECT_EQ(count(*connection, kConnectFirstByte), 1);
    // Neither the new connection nor the replaced one's cancellation clears it.
    advance(1);
    EXPECT_EQ(client->lastError(), ClientError(PingTimeout{}));

    report(*connection, failed, kRefused);
    EXPECT_EQ(client->lastError(), ClientError(kRefused));
    advance(5);
    connection = &transport->last();
    report(*connection, ready);
    feed(*connection, connack(0));
    EXPECT_EQ(client->lastError(), std::nullopt);
}

// ---- Lifetime and threads --------------------------------------------------------

TEST_F(MQTTClientTest, CallbacksDoNothingOnceTheClientIsGone)
{
    auto& connection = connectAccepted();
    advance(30);  // a ping is pending
    client.reset();
    EXPECT_TRUE(connection.isCancelled());
    connection.reportState(failed, kRefused);
    connection.feed(publish("home/temp", "late"));
    advance(60);
    EXPECT_EQ(transport->connectionCount(), 1u);
    EXPECT_TRUE(store.messagesSnapshot()->empty());
}

// Bytes parsed on the real transport's queue thread while the main thread
// reconnects, pings and delivers: ThreadSanitizer checks the shared fields.
TEST_F(MQTTClientTest, QueueAndMainThreadShareTheClientSafely)
{
    saveConfig([](MQTTConfig& config) { config.keepAliveInterval = 0; });
    AsioTransport queue;  // destroyed before the loop: runs what is posted, then joins
    auto threaded = std::make_shared<ScriptedTransport>(queue);
    client = MQTTClient::create(loop, threaded, store, reloadSignal);
    const auto connectReady = [&] {
        client->connect();
        auto& connection = threaded->last();
        connection.reportState(ready);
        while (connection.sent().empty()) {  // the report hops to main, CONNECT goes out there
            loop.runUntilIdle();
            std::this_thread::yield();
        }
        return &connection;
    };

    Bytes burst;
    for (int i = 0; i < 50; ++i) {
        burst = concat({burst, publish(i % 2 == 0 ? "home/temp" : "u", std::to_string(i)), kPingresp});
    }
    for (int round = 0; round < 20; ++round) {
        auto* connection = connectReady();
        for (int step = 0; step < 10; ++step) {
            loop.runUntilIdle();
            connection->feed(round % 5 == 4 ? kBadLength : burst);
            if (step == 0) {
                connection->feed(connack(0));
            }
            advance(5);  // keep-alive ticks hop to the queue
            (void)client->isConnected();
            (void)client->lastError();
        }
    }
    // The rounds above may all lose their deliveries to the next connect();
    // one connection that stays delivers its burst whole and in order.
    auto* last = connectReady();
    store.pruneMessages({});  // what the replaced connections stored is not news
    last->feed(concat({connack(0), burst}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto lastStored = [&] {
        const auto messages = *store.messagesSnapshot();
        return messages.empty() ? std::string() : messages.front().payload;
    };
    while ((lastStored() != "48" || !client->isConnected()) && std::chrono::steady_clock::now() < deadline) {
        loop.runUntilIdle();
        std::this_thread::yield();
    }
    EXPECT_EQ(lastStored(), "48");  // the last configured message of the burst
    EXPECT_TRUE(client->isConnected());
    client.reset();  // before the transports it uses
}

}  // namespace
}  // namespace telvane
