// A broker that does what a QoS 0 subscriber does not expect: PUBLISH at
// QoS 1, 2 or the invalid 3, refused subscriptions, a closed stream and a
// DISCONNECT.

#include "mqtt/ClientFixture.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace telvane {
namespace {

using namespace test::client;
using enum ConnectionState;

class MisbehavingBrokerTest : public ClientFixture, public ::testing::WithParamInterface<MQTTProtocolVersion> {
protected:
    void SetUp() override
    {
        saveConfig([](MQTTConfig& config) {
            config.topics = {"home/temp", "secret/x"};
            config.protocolVersion = GetParam();
        });
    }

    [[nodiscard]] MQTTProtocolVersion version() const { return GetParam(); }

    // A PUBLISH with the QoS bits (and DUP) of `firstByte` and `identifier` after the topic.
    [[nodiscard]] Bytes publishWith(std::uint8_t firstByte, std::uint16_t identifier, std::string_view payload) const
    {
        Bytes body;
        EXPECT_TRUE(writeString(body, "home/temp"));
        writeUInt16(body, identifier);
        if (version() == v50) {
            body.push_back(0x00);  // no properties
        }
        body.insert(body.end(), payload.begin(), payload.end());
        return framePacket(firstByte, body).value();
    }

    [[nodiscard]] Bytes suback(std::uint16_t identifier, std::uint8_t code) const
    {
        Bytes body;
        writeUInt16(body, identifier);
        if (version() == v50) {
            body.insert(body.end(), {0x04, 0x1F, 0x00, 0x01, '!'});  // a reason string
        }
        body.push_back(code);
        return framePacket(0x90, body).value();
    }

    // The packet identifier of each SUBSCRIBE sent, by filter (the last one for a filter sent twice).
    [[nodiscard]] std::map<std::string, std::uint16_t> subscribeIdentifiers(const ScriptedConnection& connection) const
    {
        std::map<std::string, std::uint16_t> identifiers;
        const auto filters = subscribed(connection.sent(), version());
        std::size_t next = 0;
        for (const auto& packet : connection.sent()) {
            if (packet.at(0) == kSubscribeFirstByte) {
                identifiers[filters.at(next++)] = readUInt16(extractPacket(packet).body).value;
            }
        }
        return identifiers;
    }

    [[nodiscard]] std::vector<std::string> payloads() const
    {
        std::vector<std::string> all;
        for (const auto& message : delivered) {
            all.push_back(message.payload);
        }
        return all;
    }

    std::vector<MQTTMessage> delivered;
};

TEST_P(MisbehavingBrokerTest, PublishAtQoS1And2IsAnsweredDeliveredOnceAndWithoutItsIdentifier)
{
    client->setOnMessage([&](const MQTTMessage& message) { delivered.push_back(message); });
    auto& connection = connectAccepted();
    auto sentSince = [&, before = connection.sent().size()]() mutable {
        const auto sent = connection.sent();
        std::vector<Bytes> fresh(sent.begin() + static_cast<std::ptrdiff_t>(before), sent.end());
        before = sent.size();
        return fresh;
    };
    using Packets = std::vector<Bytes>;
    const struct {
        const char* step;
        Bytes fed;
        Packets answers;
        std::vector<std::string> payloads;  // all delivered so far
    } steps[] = {
        {"QoS 1", publishWith(0x32, 1, "q1v3"), {{0x40, 0x02, 0x00, 0x01}}, {"q1v3"}},
        {"QoS 2", publishWith(0x34, 0x0107, "two"), {{0x50, 0x02, 0x01, 0x07}}, {"q1v3", "two"}},
        // Our PUBREC was lost: answered again, not delivered again.
        {"QoS 2 again, DUP", publishWith(0x3C, 0x0107, "two"), {{0x50, 0x02, 0x01, 0x07}}, {"q1v3", "two"}},
        {"PUBREL", {0x62, 0x02, 0x01, 0x07}, {{0x70, 0x02, 0x01, 0x07}}, {"q1v3", "two"}},
        // After the release the identifier is free for a new message.
        {"QoS 2, identifier reused",
         publishWith(0x34, 0x0107, "three"),
         {{0x50, 0x02, 0x01, 0x07}},
         {"q1v3", "two", "three"}},
        {"QoS 0 goes on", publish("home/temp", "zero", version()), {}, {"q1v3", "two", "three", "zero"}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        feed(connection, s.fed);
        advance(MessageDelivery::kMessagesWriteSpacing.count());  // each on its own
        EXPECT_EQ(sentSince(), s.answers);
        EXPECT_EQ(payloads(), s.payloads);
    }
    EXPECT_EQ(store.messagesSnapshot()->at(0).payload, "zero");
    EXPECT_EQ(reloadSignal.count, 4);
    EXPECT_TRUE(client->isConnected());
    EXPECT_FALSE(connection.isCancelled());
}

TEST_P(MisbehavingBrokerTest, RefusedSubscriptionsAreShownAndTheConnectionStaysUp)
{
    const std::uint8_t refusal = version() == v50 ? 0x87 : 0x80;  // 5.0: not authorized
    client->setOnMessage([&](const MQTTMessage& message) { delivered.push_back(message); });
    auto& connection = connectAccepted();
    const auto ids = subscribeIdentifiers(connection);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_NE(ids.at("home/temp"), ids.at("#"));
    EXPECT_NE(ids.at("secret/x"), ids.at("#"));

    // Granted, one not ours, then two refusals: the window names both, in order.
    const auto unknown = static_cast<std::uint16_t>(ids.at("#") + 1);
    feed(connection, concat({suback(ids.at("home/temp"), 0x00), suback(unknown, refusal)}));
    EXPECT_EQ(client->lastError(), std::nullopt);
    feed(connection, suback(ids.at("#"), refusal));
    EXPECT_EQ(client->lastError(), ClientError(SubscriptionRefused{{"#"}}));
    feed(connection, concat({suback(ids.at("secret/x"), refusal), suback(ids.at("#"), refusal)}));
    EXPECT_EQ(client->lastError(), ClientError(SubscriptionRefused{{"#", "secret/x"}}));

    EXPECT_TRUE(client->isConnected());
    feed(connection, publish("home/temp", "still here", version()));
    EXPECT_EQ(payloads(), (std::vector<std::string>{"still here"}));
    advance(20);  // before the first keep-alive tick
    EXPECT_FALSE(connection.isCancelled());
    EXPECT_EQ(transport->connectionCount(), 1u);

    // A new connection asks again, and starts without the old refusal.
    auto& next = connectAccepted();
    EXPECT_EQ(client->lastError(), std::nullopt);
    feed(next, suback(subscribeIdentifiers(next).at("home/temp"), 0x01));
    EXPECT_EQ(client->lastError(), std::nullopt);
}

TEST_P(MisbehavingBrokerTest, ConnectionTheBrokerEndsOrBreaksIsClosedAndReconnectedAfterFiveSeconds)
{
    const Bytes disconnectV311{0xE0, 0x00};
    const Bytes serverShuttingDown{0xE0, 0x02, 0x8B, 0x00};  // 5.0: reason code, no properties
    const struct {
        const char* name;
        std::optional<Bytes> last;  // the packet that ends it; none: the stream ends
        ClientError error;
    } cases[] = {
        {"end of stream", std::nullopt, TransportError{TransportError::Kind::connectionClosed, ""}},
        {"DISCONNECT", version() == v50 ? serverShuttingDown : disconnectV311,
         DisconnectedByBroker{static_cast<std::uint8_t>(version() == v50 ? 0x8B : 0)}},
        // Malformed: MQTT has the receiver close the connection.
        {"PUBLISH at QoS 3", publishWith(0x36, 9, "bad"), ProtocolError{ProtocolError::Fault::publishAtQoS3}},
        {"invalid Remaining Length", kBadLength, ProtocolError{ProtocolError::Fault::invalidLength}},
    };
    const auto kindOnly = [](std::optional<ClientError> error) {
        if (error && std::holds_alternative<TransportError>(*error)) {
            std::get<TransportError>(*error).systemText.clear();
        }
        return error;
    };
    using Seen = std::pair<bool, std::optional<ClientError>>;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        client = MQTTClient::create(loop, transport, store, reloadSignal);
        std::vector<Seen> seen;  // the observer hears each change of isConnected and lastError once
        client->setStateObserver([&] { seen.emplace_back(client->isConnected(), kindOnly(client->lastError())); });
        auto& connection = connectAccepted();
        const std::size_t connections = transport->connectionCount();
        if (c.last) {
            // Nothing after it is read.
            feed(connection, concat({publish("home/temp", "before", version()), *c.last,
                                     publish("home/temp", "after", version())}));
        } else {
            feed(connection, publish("home/temp", "before", version()));
            connection.endStream();
            loop.runUntilIdle();
        }
        EXPECT_EQ(seen, (std::vector<Seen>{{true, std::nullopt}, {false, std::nullopt}, {false, c.error}}));
        EXPECT_TRUE(connection.isCancelled());
        EXPECT_EQ(store.messagesSnapshot()->at(0).payload, "before");

        advance(4.99);
        EXPECT_EQ(transport->connectionCount(), connections);
        advance(0.01);
        ASSERT_EQ(transport->connectionCount(), connections + 1);
        EXPECT_TRUE(transport->last().isStarted());
        EXPECT_EQ(client->lastError(), std::nullopt);  // the new attempt starts afresh
        report(transport->last(), ready);
        feed(transport->last(), connack(0));
        EXPECT_TRUE(client->isConnected());
        advance(20);                                               // before the first keep-alive tick
        EXPECT_EQ(transport->connectionCount(), connections + 1);  // one reconnect, not a loop
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, MisbehavingBrokerTest, ::testing::Values(v311, v50),
                         [](const auto& testCase) { return testCase.param == v50 ? "Mqtt50" : "Mqtt311"; });

}  // namespace
}  // namespace telvane
