#include "mqtt/MQTTClient.h"

#include "mqtt/Codec.h"
#include "platform/VirtualEventLoop.h"
#include "support/ScriptedTransport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace telvane {
namespace {

using test::ScriptedConnection;
using test::ScriptedTransport;
using test::TempDir;

constexpr std::uint8_t kSubscribe = 0x82;
constexpr std::uint8_t kConnect = 0x10;
constexpr std::uint8_t kPingreq = 0xC0;

class CountingReloader final : public WidgetReloader {
public:
    void reloadAllTimelines() override { ++count; }
    std::atomic<int> count = 0;
};

Bytes connack(std::uint8_t code) { return {0x20, 0x02, 0x00, code}; }
const Bytes kPingresp{0xD0, 0x00};

Bytes publish(std::string_view topic, std::string_view payload,
              MQTTProtocolVersion version = MQTTProtocolVersion::mqtt311)
{
    Bytes body = encodeString(topic).value();
    if (version == MQTTProtocolVersion::mqtt50) {
        body.push_back(0x00);
    }
    body.insert(body.end(), payload.begin(), payload.end());
    return framePacket(0x30, body).value();
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The topic filter of a framed SUBSCRIBE.
std::string subscribedFilter(const Bytes& framed, MQTTProtocolVersion version)
{
    const auto packet = extractPacket(framed);
    EXPECT_EQ(packet.status, ExtractStatus::packet);
    const std::size_t skip = version == MQTTProtocolVersion::mqtt50 ? 3 : 2;
    return std::string(readString(packet.body.subspan(skip)).value);
}

class MQTTClientTest : public ::testing::Test {
protected:
    MQTTClientTest() { saveConfig([](MQTTConfig&) {}); }

    // Stores the test's base configuration after `edit`.
    template <typename Edit>
    void saveConfig(Edit edit)
    {
        MQTTConfig config;
        config.host = "broker.test";
        config.port = 1883;
        config.clientID = "telvane-test";
        config.keepAliveInterval = 60;
        config.topics = {"home/temp"};
        edit(config);
        store.saveConfig(config);
    }

    MQTTClient& client()
    {
        if (!client_) {
            client_ = MQTTClient::create(loop, transport, store, widgets);
            client_->setStateObserver([this] { ++observerCalls; });
        }
        return *client_;
    }

    // connect(), the transport reports ready, CONNECT and SUBSCRIBEs go out.
    ScriptedConnection& connectReady()
    {
        client().connect();
        loop.runUntilIdle();
        auto& connection = transport->last();
        connection.reportState(ConnectionState::ready);
        loop.runUntilIdle();
        return connection;
    }

    ScriptedConnection& connectAccepted()
    {
        auto& connection = connectReady();
        connection.feed(connack(0));
        loop.runUntilIdle();
        return connection;
    }

    void feed(ScriptedConnection& connection, Bytes bytes)
    {
        connection.feed(std::move(bytes));
        loop.runUntilIdle();
    }

    [[nodiscard]] static long count(const ScriptedConnection& connection, std::uint8_t firstByte)
    {
        const auto types = connection.sentTypes();
        return std::count(types.begin(), types.end(), firstByte);
    }

    TempDir dir;
    SharedStore store{dir.path() / "defaults.sqlite3"};
    VirtualEventLoop loop;
    std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>(loop);
    CountingReloader widgets;
    int observerCalls = 0;
    std::shared_ptr<MQTTClient> client_;
};

// ---- Connection and subscriptions ------------------------------------------------

TEST_F(MQTTClientTest, ConnectOpensPlainConnectionWithTenSecondTimeoutAndSendsConnectOnReady)
{
    client().connect();
    loop.runUntilIdle();
    ASSERT_EQ(transport->connectionCount(), 1u);
    auto& connection = transport->last();
    EXPECT_EQ(connection.host(), "broker.test");
    EXPECT_EQ(connection.port(), 1883);
    EXPECT_DOUBLE_EQ(connection.connectTimeoutSeconds(), 10.0);
    EXPECT_TRUE(connection.isStarted());
    EXPECT_TRUE(connection.sent().empty());

    connection.reportState(ConnectionState::ready);
    loop.runUntilIdle();
    const auto sent = connection.sent();
    ASSERT_FALSE(sent.empty());
    const auto expected = framePacket(kConnect, buildConnectBody(store.loadConfig()).value()).value();
    EXPECT_EQ(sent.front(), expected);
    EXPECT_TRUE(connection.hasPendingReceive());
    EXPECT_EQ(connection.largestReceiveMaximum(), 4096u);
    EXPECT_FALSE(client().isConnected());

    feed(connection, connack(0));
    EXPECT_TRUE(client().isConnected());
    EXPECT_EQ(client().lastError(), std::nullopt);
    EXPECT_GT(observerCalls, 0);
}

TEST_F(MQTTClientTest, ObserverHearsEachChangeOfIsConnectedAndLastError)
{
    using Seen = std::pair<bool, std::optional<std::string>>;
    std::vector<Seen> seen;
    client().setStateObserver([&] { seen.emplace_back(client().isConnected(), client().lastError()); });
    auto& connection = connectReady();
    EXPECT_TRUE(seen.empty());  // nothing changed yet
    feed(connection, connack(0));
    feed(connection, Bytes{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    const std::vector<Seen> expected{
        {true, std::nullopt},
        {false, std::nullopt},
        {false, "Protokollfehler: ungültige Paketlänge"},
    };
    EXPECT_EQ(seen, expected);
}

TEST_F(MQTTClientTest, ConfiguredTopicsThenDiscoveryFilterAreSubscribedInOrder)
{
    struct Case {
        std::vector<std::string> topics;
        MQTTProtocolVersion version;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases{
        {{"a", "b/c", "d/+"}, MQTTProtocolVersion::mqtt311, {"a", "b/c", "d/+", "#"}},
        {{"a", "b/c", "d/+"}, MQTTProtocolVersion::mqtt50, {"a", "b/c", "d/+", "#"}},
        {{"#"}, MQTTProtocolVersion::mqtt311, {"#", "#"}},
        {{}, MQTTProtocolVersion::mqtt311, {"#"}},
    };
    for (const auto& c : cases) {
        saveConfig([&](MQTTConfig& config) {
            config.topics = c.topics;
            config.protocolVersion = c.version;
        });
        auto& connection = connectReady();
        const auto sent = connection.sent();
        ASSERT_EQ(sent.size(), 1 + c.expected.size());
        EXPECT_EQ(sent[0][0], kConnect);
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(sent[i + 1][0], kSubscribe);
            EXPECT_EQ(subscribedFilter(sent[i + 1], c.version), c.expected[i]);
        }
    }
}

TEST_F(MQTTClientTest, StoredConfigurationWinsOverConfig)
{
    auto unsaved = store.loadConfig();
    unsaved.host = "elsewhere.test";
    unsaved.clientID = "unsaved";
    client().setConfig(unsaved);
    EXPECT_EQ(client().config().host, "elsewhere.test");

    auto& connection = connectReady();
    EXPECT_EQ(connection.host(), "broker.test");
    EXPECT_EQ(client().config(), store.loadConfig());
    const auto sent = connection.sent();
    const auto connect = extractPacket(sent.front());
    EXPECT_EQ(readString(connect.body.subspan(10)).value, "telvane-test");
}

TEST_F(MQTTClientTest, ConnectReadsTheStoreAgainWhenTheTransportIsReady)
{
    client().connect();
    loop.runUntilIdle();
    saveConfig([](MQTTConfig& config) { config.topics = {"changed"}; });
    transport->last().reportState(ConnectionState::ready);
    loop.runUntilIdle();
    const auto sent = transport->last().sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(subscribedFilter(sent[1], MQTTProtocolVersion::mqtt311), "changed");
}

// ---- Keep-alive ------------------------------------------------------------------

TEST_F(MQTTClientTest, KeepAliveTicksAtHalfTheIntervalButNotBelowFiveSeconds)
{
    struct Case {
        std::uint16_t keepAlive;
        double tick;
    };
    for (const auto& c : {Case{60, 30.0}, Case{4, 5.0}, Case{0, 5.0}, Case{11, 5.5}}) {
        SCOPED_TRACE(c.keepAlive);
        saveConfig([&](MQTTConfig& config) { config.keepAliveInterval = c.keepAlive; });
        auto& connection = connectAccepted();
        const auto sent = connection.sent();
        const auto connect = extractPacket(sent.front());
        EXPECT_EQ(readUInt16(connect.body.subspan(8)).value, c.keepAlive);

        loop.advance(Seconds(c.tick - 0.01));
        EXPECT_EQ(count(connection, kPingreq), 0);
        loop.advance(Seconds(0.01));
        EXPECT_EQ(count(connection, kPingreq), 1);
        EXPECT_EQ(connection.sent().back(), (Bytes{0xC0, 0x00}));
        feed(connection, kPingresp);
        loop.advance(Seconds(c.tick));
        EXPECT_EQ(count(connection, kPingreq), 2);
        feed(connection, kPingresp);
    }
}

TEST_F(MQTTClientTest, NoSecondPingWhileOneIsPendingAndTimeoutIsNotRearmed)
{
    saveConfig([](MQTTConfig& config) { config.keepAliveInterval = 4; });  // ticks every 5 s
    auto& first = connectAccepted();
    loop.advance(Seconds(5));
    EXPECT_EQ(count(first, kPingreq), 1);
    loop.advance(Seconds(5));  // second tick at 10 s
    EXPECT_EQ(count(first, kPingreq), 1);
    EXPECT_EQ(transport->connectionCount(), 1u);

    // The timeout armed at 5 s fires at 15 s, not 20 s.
    loop.advance(Seconds(4.99));
    EXPECT_EQ(transport->connectionCount(), 1u);
    loop.advance(Seconds(0.01));
    EXPECT_EQ(client().lastError(), "Ping timeout");
    EXPECT_FALSE(client().isConnected());
    EXPECT_TRUE(first.isCancelled());
    ASSERT_EQ(transport->connectionCount(), 2u);
    EXPECT_TRUE(transport->last().isStarted());
}

TEST_F(MQTTClientTest, PingrespStopsTheTimeoutAndTheNextTickPingsAgain)
{
    auto& connection = connectAccepted();  // keep alive 60: ticks every 30 s
    loop.advance(Seconds(31));
    EXPECT_EQ(count(connection, kPingreq), 1);
    feed(connection, kPingresp);
    loop.advance(Seconds(28));  // past the 10 s the timeout would have taken
    EXPECT_EQ(transport->connectionCount(), 1u);
    EXPECT_EQ(client().lastError(), std::nullopt);
    EXPECT_TRUE(client().isConnected());
    EXPECT_EQ(count(connection, kPingreq), 1);
    loop.advance(Seconds(1));
    EXPECT_EQ(count(connection, kPingreq), 2);
}

// ---- Failures and reconnects -----------------------------------------------------

TEST_F(MQTTClientTest, RefusedConnackRetriesEveryFiveSeconds)
{
    auto* connection = &connectReady();
    for (int attempt = 1; attempt <= 3; ++attempt) {
        SCOPED_TRACE(attempt);
        feed(*connection, connack(4));
        EXPECT_EQ(client().lastError(), "Verbindung abgelehnt (Fehler 4)");
        EXPECT_FALSE(client().isConnected());
        EXPECT_TRUE(connection->isCancelled());

        loop.advance(Seconds(4.99));
        EXPECT_EQ(transport->connectionCount(), static_cast<std::size_t>(attempt));
        EXPECT_EQ(client().lastError(), "Verbindung abgelehnt (Fehler 4)");
        loop.advance(Seconds(0.01));
        ASSERT_EQ(transport->connectionCount(), static_cast<std::size_t>(attempt + 1));
        connection = &transport->last();
        connection->reportState(ConnectionState::ready);
        loop.runUntilIdle();
    }
}

TEST_F(MQTTClientTest, ConnackWithoutCodeByteIsRefusedWith255)
{
    auto& connection = connectReady();
    feed(connection, Bytes{0x20, 0x01, 0x00});
    EXPECT_EQ(client().lastError(), "Verbindung abgelehnt (Fehler 255)");
}

TEST_F(MQTTClientTest, FailedThenCancelledScheduleOneReconnect)
{
    client().connect();
    loop.runUntilIdle();
    auto& connection = transport->last();
    connection.reportState(ConnectionState::failed, "Connection refused");
    connection.reportState(ConnectionState::cancelled);
    loop.runUntilIdle();
    EXPECT_EQ(client().lastError(), "Connection refused");
    EXPECT_FALSE(client().isConnected());

    loop.advance(Seconds(5));
    EXPECT_EQ(transport->connectionCount(), 2u);
    EXPECT_EQ(client().lastError(), std::nullopt);  // connect starts afresh
    loop.advance(Seconds(60));
    EXPECT_EQ(transport->connectionCount(), 2u);
}

TEST_F(MQTTClientTest, WaitingChangesNothing)
{
    client().connect();
    loop.runUntilIdle();
    transport->last().reportState(ConnectionState::waiting, "Network is unreachable");
    loop.advance(Seconds(30));
    EXPECT_EQ(transport->connectionCount(), 1u);
    EXPECT_EQ(client().lastError(), std::nullopt);
}

TEST_F(MQTTClientTest, FailedConnectWriteShowsTheErrorAndDoesNotSubscribe)
{
    client().connect();
    loop.runUntilIdle();
    auto& connection = transport->last();
    connection.failSends("Broken pipe");
    connection.reportState(ConnectionState::ready);
    loop.runUntilIdle();
    EXPECT_EQ(client().lastError(), "Broken pipe");
    EXPECT_EQ(count(connection, kSubscribe), 0);
    EXPECT_FALSE(connection.hasPendingReceive());
}

TEST_F(MQTTClientTest, EndOfStreamClearsIsConnectedAndThePingTimeoutRecovers)
{
    auto& connection = connectAccepted();
    connection.endStream();
    loop.runUntilIdle();
    EXPECT_FALSE(client().isConnected());
    EXPECT_FALSE(connection.hasPendingReceive());
    EXPECT_EQ(client().lastError(), std::nullopt);

    loop.advance(Seconds(39));  // no reconnect from the end of the stream itself
    EXPECT_EQ(transport->connectionCount(), 1u);
    loop.advance(Seconds(1));  // ping at 30 s, no answer by 40 s
    EXPECT_EQ(transport->connectionCount(), 2u);
    EXPECT_EQ(client().lastError(), "Ping timeout");
}

TEST_F(MQTTClientTest, ReceiveErrorShowsTheTextAndStopsReading)
{
    auto& connection = connectAccepted();
    connection.failReceive("Connection reset by peer");
    loop.runUntilIdle();
    EXPECT_EQ(client().lastError(), "Connection reset by peer");
    EXPECT_TRUE(client().isConnected());
    EXPECT_FALSE(connection.hasPendingReceive());
}

// ---- Receive path and delivery -----------------------------------------------------

TEST_F(MQTTClientTest, PublishOnConfiguredTopicIsStoredAndReloadsTheWidget)
{
    std::vector<MQTTMessage> seen;
    client().setOnMessage([&](const MQTTMessage& message) { seen.push_back(message); });
    auto& connection = connectAccepted();
    const Date before = Date::now();
    feed(connection, publish("home/temp", "21.5"));

    const auto messages = store.loadMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].topic, "home/temp");
    EXPECT_EQ(messages[0].payload, "21.5");
    EXPECT_GE(messages[0].timestamp, before);
    EXPECT_LE(messages[0].timestamp, Date::now());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], messages[0]);
    EXPECT_EQ(widgets.count, 1);
    EXPECT_EQ(*store.loadDiscoveredTopics(), (TopicSet{"home/temp"}));
}

TEST_F(MQTTClientTest, UnconfiguredTopicIsOnlyDiscovered)
{
    int calls = 0;
    client().setOnMessage([&](const MQTTMessage&) { ++calls; });
    auto& connection = connectAccepted();
    store.saveDiscoveredTopics({"known"});
    feed(connection, concat({publish("other/x", "1"), publish("home/#", "2"), publish("other/x", "3")}));
    EXPECT_EQ(*store.loadDiscoveredTopics(), (TopicSet{"known", "other/x", "home/#"}));
    EXPECT_TRUE(store.loadMessages().empty());
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(widgets.count, 0);
}

TEST_F(MQTTClientTest, NewTopicsOfOneReadAreWrittenOnce)
{
    // A trigger counts the store's writes of the discovered topics.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() / "defaults.sqlite3").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE writes(n);"
                           "CREATE TRIGGER on_insert AFTER INSERT ON defaults WHEN new.key = 'discoveredTopics'"
                           " BEGIN INSERT INTO writes VALUES(1); END;"
                           "CREATE TRIGGER on_update AFTER UPDATE ON defaults WHEN new.key = 'discoveredTopics'"
                           " BEGIN INSERT INTO writes VALUES(1); END;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    const auto writes = [db] {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT count(*) FROM writes", -1, &statement, nullptr);
        sqlite3_step(statement);
        const int n = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
        return n;
    };

    auto& connection = connectAccepted();
    Bytes burst;
    TopicSet expected;
    for (int i = 0; i < 100; ++i) {
        const Bytes packet = publish("sensor/" + std::to_string(i), "1");
        burst.insert(burst.end(), packet.begin(), packet.end());
        expected.insert("sensor/" + std::to_string(i));
    }
    ASSERT_LT(burst.size(), 4096u) << "one read";
    feed(connection, burst);
    EXPECT_EQ(*store.loadDiscoveredTopics(), expected);
    EXPECT_EQ(writes(), 1);

    // Known topics write nothing; a stored message's topic is written before
    // the message, new topics after it in the same read once more.
    feed(connection, concat({publish("sensor/1", "2"), publish("home/temp", "3"), publish("late", "4")}));
    expected.insert({"home/temp", "late"});
    EXPECT_EQ(*store.loadDiscoveredTopics(), expected);
    EXPECT_EQ(writes(), 3);
    EXPECT_EQ(store.loadMessages().size(), 1u);
    sqlite3_close(db);
}

TEST_F(MQTTClientTest, WildcardFilterReceivesButStoresNothing)
{
    saveConfig([](MQTTConfig& config) { config.topics = {"home/#"}; });
    auto& connection = connectAccepted();
    feed(connection, publish("home/temp", "1"));
    EXPECT_TRUE(store.loadMessages().empty());
    EXPECT_EQ(*store.loadDiscoveredTopics(), (TopicSet{"home/temp"}));
}

TEST_F(MQTTClientTest, PacketsAreDeliveredInOrderWhateverTheReadBoundaries)
{
    saveConfig([](MQTTConfig& config) { config.topics = {"a", "b"}; });
    std::vector<std::string> payloads;
    client().setOnMessage([&](const MQTTMessage& message) { payloads.push_back(message.payload); });
    auto& connection = connectAccepted();

    // Two in one read.
    feed(connection, concat({publish("a", "1"), publish("b", "2")}));
    EXPECT_EQ(payloads, (std::vector<std::string>{"1", "2"}));

    // One split across two reads is delivered once, after the second.
    const Bytes split = publish("a", "3");
    feed(connection, Bytes(split.begin(), split.begin() + 4));
    EXPECT_EQ(payloads.size(), 2u);
    feed(connection, concat({Bytes(split.begin() + 4, split.end()), publish("b", "4")}));
    EXPECT_EQ(payloads, (std::vector<std::string>{"1", "2", "3", "4"}));

    // A packet larger than one read of 4,096 bytes.
    const std::string large(10'000, 'x');
    feed(connection, publish("a", large));
    ASSERT_EQ(payloads.size(), 5u);
    EXPECT_EQ(payloads.back(), large);
    EXPECT_EQ(widgets.count, 5);
}

TEST_F(MQTTClientTest, ConnackFollowedByPublishInOneReadIsConnectedWhenStored)
{
    std::vector<bool> connectedAtDelivery;
    client().setOnMessage([&](const MQTTMessage&) { connectedAtDelivery.push_back(client().isConnected()); });
    auto& connection = connectReady();
    feed(connection, concat({connack(0), publish("home/temp", "x")}));
    EXPECT_EQ(connectedAtDelivery, std::vector<bool>{true});
}

TEST_F(MQTTClientTest, PayloadThatIsNotUTF8IsStoredAsBase64)
{
    auto& connection = connectAccepted();
    feed(connection, publish("home/temp", std::string("\xFF\xFE", 2)));
    ASSERT_EQ(store.loadMessages().size(), 1u);
    EXPECT_EQ(store.loadMessages()[0].payload, "//4=");
}

TEST_F(MQTTClientTest, OtherPacketsAndUndecodablePublishesAreSkipped)
{
    auto& connection = connectAccepted();
    const Bytes suback{0x90, 0x03, 0x12, 0x34, 0x00};
    const Bytes badTopic{0x30, 0x04, 0x00, 0x02, 0xFF, 0xFF};
    feed(connection, concat({suback, badTopic, Bytes{0x30, 0x00}, publish("home/temp", "ok")}));
    ASSERT_EQ(store.loadMessages().size(), 1u);
    EXPECT_EQ(store.loadMessages()[0].payload, "ok");
    EXPECT_TRUE(client().isConnected());
}

// ---- Faults of the plain design, fixed ---------------------------------------------

TEST_F(MQTTClientTest, LateReportsOfAReplacedConnectionAreIgnored)
{
    auto& first = connectAccepted();
    auto& second = connectReady();  // a configuration change
    ASSERT_NE(&first, &second);
    EXPECT_TRUE(first.isCancelled());
    first.reportState(ConnectionState::failed, "late failure");
    loop.runUntilIdle();
    feed(second, connack(0));

    loop.advance(Seconds(20));  // well past the reconnect delay, before the first ping
    EXPECT_EQ(transport->connectionCount(), 2u);
    EXPECT_FALSE(second.isCancelled());
    EXPECT_TRUE(client().isConnected());
    EXPECT_EQ(client().lastError(), std::nullopt);
}

TEST_F(MQTTClientTest, LateBytesOfAReplacedConnectionAreIgnored)
{
    auto& first = connectReady();
    auto& second = connectReady();
    first.feed(connack(0));  // the old connection's CONNACK arrives late
    loop.runUntilIdle();
    EXPECT_FALSE(client().isConnected());
    feed(second, connack(0));
    EXPECT_TRUE(client().isConnected());
}

TEST_F(MQTTClientTest, ConnectWhileReconnectIsPendingStillReconnectsAfterTheNextFailure)
{
    client().connect();
    loop.runUntilIdle();
    transport->last().reportState(ConnectionState::failed, "down");
    loop.runUntilIdle();  // reconnect scheduled

    client().connect();  // a configuration change meanwhile
    loop.runUntilIdle();
    ASSERT_EQ(transport->connectionCount(), 2u);
    transport->last().reportState(ConnectionState::failed, "still down");
    loop.runUntilIdle();
    loop.advance(Seconds(5));
    EXPECT_EQ(transport->connectionCount(), 3u);
    loop.advance(Seconds(5));
    EXPECT_EQ(transport->connectionCount(), 3u);  // the cancelled timer stays cancelled
}

TEST_F(MQTTClientTest, InvalidRemainingLengthClosesTheConnectionAndReconnects)
{
    const std::vector<std::pair<const char*, Bytes>> cases{
        {"fifth length byte continues", {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
        {"length past the maximum", {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const auto& [name, malformed] : cases) {
        SCOPED_TRACE(name);
        const auto before = widgets.count.load();
        auto& connection = connectAccepted();
        feed(connection, concat({publish("home/temp", "before"), malformed, publish("home/temp", "after")}));
        EXPECT_EQ(client().lastError(), "Protokollfehler: ungültige Paketlänge");
        EXPECT_FALSE(client().isConnected());
        EXPECT_TRUE(connection.isCancelled());
        EXPECT_FALSE(connection.hasPendingReceive());
        EXPECT_EQ(widgets.count, before + 1);  // what came before is delivered, nothing after
        EXPECT_EQ(store.loadMessages().at(0).payload, "before");

        const auto connections = transport->connectionCount();
        loop.advance(Seconds(5));
        EXPECT_EQ(transport->connectionCount(), connections + 1);
    }
}

TEST_F(MQTTClientTest, PublishWithOverlongPropertyLengthIsDroppedAndTheStreamGoesOn)
{
    saveConfig([](MQTTConfig& config) { config.protocolVersion = MQTTProtocolVersion::mqtt50; });
    auto& connection = connectAccepted();
    const Bytes fiveByteProperties{0x30, 0x0A, 0x00, 0x02, 'h', 'i', 0x80, 0x80, 0x80, 0x80, 0x00, 'x'};
    feed(connection, concat({fiveByteProperties,
                             publish("home/temp", "ok", MQTTProtocolVersion::mqtt50)}));
    EXPECT_EQ(*store.loadDiscoveredTopics(), (TopicSet{"home/temp"}));
    ASSERT_EQ(store.loadMessages().size(), 1u);
    EXPECT_EQ(store.loadMessages()[0].payload, "ok");
    EXPECT_TRUE(client().isConnected());
}

TEST_F(MQTTClientTest, OverlongConnectFieldOpensNoConnection)
{
    const std::string tooLong(65'536, 'x');
    struct Case {
        std::function<void(MQTTConfig&)> edit;
        const char* text;
    };
    const std::vector<Case> cases{
        {[&](MQTTConfig& c) { c.clientID = tooLong; }, "Client-ID ist zu lang (mehr als 65535 Bytes)"},
        {[&](MQTTConfig& c) { c.username = tooLong; }, "Benutzername ist zu lang (mehr als 65535 Bytes)"},
        {[&](MQTTConfig& c) { c.password = tooLong; }, "Passwort ist zu lang (mehr als 65535 Bytes)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        saveConfig(c.edit);
        client().connect();
        loop.advance(Seconds(30));
        EXPECT_EQ(transport->connectionCount(), 0u);
        EXPECT_EQ(client().lastError(), c.text);
        EXPECT_FALSE(client().isConnected());
    }
}

TEST_F(MQTTClientTest, OverlongTopicIsNotSubscribedAndTheOthersAre)
{
    const std::string tooLong(65'536, 't');
    saveConfig([&](MQTTConfig& config) { config.topics = {"a", tooLong, "b"}; });
    auto& connection = connectReady();
    const auto sent = connection.sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(subscribedFilter(sent[1], MQTTProtocolVersion::mqtt311), "a");
    EXPECT_EQ(subscribedFilter(sent[2], MQTTProtocolVersion::mqtt311), "b");
    EXPECT_EQ(subscribedFilter(sent[3], MQTTProtocolVersion::mqtt311), "#");
    const std::string text = "Topic ist zu lang (mehr als 65535 Bytes) und wird nicht abonniert";
    EXPECT_EQ(client().lastError(), text);
    feed(connection, connack(0));
    EXPECT_TRUE(client().isConnected());
    EXPECT_EQ(client().lastError(), text);  // the accepted CONNACK does not hide it
}

TEST_F(MQTTClientTest, PingTimeoutStaysVisibleUntilTheNextAcceptedConnack)
{
    saveConfig([](MQTTConfig& config) { config.keepAliveInterval = 4; });
    connectAccepted();
    loop.advance(Seconds(15));  // ping at 5 s, timeout at 15 s
    ASSERT_EQ(transport->connectionCount(), 2u);
    EXPECT_EQ(client().lastError(), "Ping timeout");

    auto& second = transport->last();
    second.reportState(ConnectionState::ready);
    loop.runUntilIdle();
    EXPECT_EQ(count(second, kConnect), 1);
    EXPECT_EQ(client().lastError(), "Ping timeout");
    // The replaced connection's cancellation does not clear or replace it.
    loop.advance(Seconds(1));
    EXPECT_EQ(client().lastError(), "Ping timeout");

    feed(second, connack(0));
    EXPECT_EQ(client().lastError(), std::nullopt);
    EXPECT_EQ(transport->connectionCount(), 2u);
}

TEST_F(MQTTClientTest, PingTimeoutTextIsReplacedByALaterError)
{
    saveConfig([](MQTTConfig& config) { config.keepAliveInterval = 4; });
    connectAccepted();
    loop.advance(Seconds(15));
    transport->last().reportState(ConnectionState::failed, "Connection refused");
    loop.runUntilIdle();
    EXPECT_EQ(client().lastError(), "Connection refused");
}

// ---- Lifetime --------------------------------------------------------------------

TEST_F(MQTTClientTest, CallbacksDoNothingOnceTheClientIsGone)
{
    auto& connection = connectAccepted();
    loop.advance(Seconds(30));  // a ping is pending
    client_.reset();
    EXPECT_TRUE(connection.isCancelled());
    connection.reportState(ConnectionState::failed, "x");
    connection.feed(publish("home/temp", "late"));
    loop.advance(Seconds(60));
    EXPECT_EQ(transport->connectionCount(), 1u);
    EXPECT_TRUE(store.loadMessages().empty());
}

// ---- Threads ---------------------------------------------------------------------

// A serial queue on a thread of its own, as the real transport has.
class ThreadQueue final : public SerialQueue {
public:
    ThreadQueue()
        : thread_([this] { run(); })
    {
    }
    ~ThreadQueue() override
    {
        {
            const std::lock_guard lock(mutex_);
            isStopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    void post(std::function<void()> task) override
    {
        {
            const std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_one();
    }

private:
    void run()
    {
        std::unique_lock lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return isStopping_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;
            }
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool isStopping_ = false;
    std::thread thread_;
};

// Bytes parsed on the queue thread while the main thread reconnects, pings
// and delivers: ThreadSanitizer checks the shared fields.
TEST(MQTTClientThreadTest, QueueAndMainThreadShareTheClientSafely)
{
    TempDir dir;
    SharedStore store{dir.path() / "defaults.sqlite3"};
    MQTTConfig config;
    config.host = "broker.test";
    config.clientID = "c";
    config.keepAliveInterval = 0;
    config.topics = {"t"};
    store.saveConfig(config);

    VirtualEventLoop loop;
    CountingReloader widgets;
    ThreadQueue queue;
    auto transport = std::make_shared<ScriptedTransport>(queue);
    auto client = MQTTClient::create(loop, transport, store, widgets);

    Bytes burst;
    for (int i = 0; i < 50; ++i) {
        const auto packet = publish(i % 2 == 0 ? "t" : "u", std::to_string(i));
        burst.insert(burst.end(), packet.begin(), packet.end());
        burst.insert(burst.end(), kPingresp.begin(), kPingresp.end());
    }
    for (int round = 0; round < 20; ++round) {
        client->connect();
        auto& connection = transport->last();
        connection.reportState(ConnectionState::ready);
        // The ready report hops queue -> main, CONNECT goes out on main.
        while (connection.sent().empty()) {
            loop.runUntilIdle();
            std::this_thread::yield();
        }
        for (int step = 0; step < 10; ++step) {
            loop.runUntilIdle();
            connection.feed(round % 5 == 4 ? Bytes{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF} : burst);
            if (step == 0) {
                connection.feed(connack(0));
            }
            loop.advance(Seconds(5));  // keep-alive ticks hop to the queue
            (void)client->isConnected();
            (void)client->lastError();
            (void)client->config();
        }
    }
    // The rounds above may all lose their deliveries to the next connect();
    // one connection that stays proves the path delivers at all.
    client->connect();
    auto& last = transport->last();
    last.reportState(ConnectionState::ready);
    while (last.sent().empty()) {
        loop.runUntilIdle();
        std::this_thread::yield();
    }
    last.feed(connack(0));
    last.feed(burst);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (widgets.count == 0 && std::chrono::steady_clock::now() < deadline) {
        loop.runUntilIdle();
        std::this_thread::yield();
    }
    client.reset();
    // Let the queue finish what was posted before the loop goes away.
    std::atomic<bool> drained = false;
    queue.post([&] { drained = true; });
    while (!drained) {
        std::this_thread::yield();
    }
    loop.runUntilIdle();
    EXPECT_GT(widgets.count, 0);
}

}  // namespace
}  // namespace telvane
