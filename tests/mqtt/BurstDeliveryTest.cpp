// Bursts from the broker: many messages of configured topics in one read,
// floods of new topics, and messages that arrive while another process holds
// the store's lock.

#include "mqtt/ClientFixture.h"
#include "support/DiscoveredTopics.h"
#include "support/OutsideWriter.h"
#include "support/StoreFile.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace telvane {
namespace {

using namespace test::client;

class BurstDeliveryTest : public ClientFixture {
protected:
    // Counts, with a trigger in the database, how often `key` is written.
    void countWrites(const std::string& key)
    {
        telvane::test::saveDiscoveredTopics(store, {});
        counter_.emplace(dir.path() / "defaults.sqlite3");
        counter_->put("messages", "[]");
        counter_->countRewrites(key);
    }
    int writes() { return counter_->rewrites(); }

    [[nodiscard]] std::vector<std::string> storedPayloads()
    {
        std::vector<std::string> payloads;
        const auto messages = store.messagesSnapshot();
        for (const auto& message : *messages) {
            payloads.push_back(message.topic + "=" + message.payload);
        }
        return payloads;
    }

    std::optional<test::StoreFile> counter_;
};

TEST_F(BurstDeliveryTest, MessagesOfOneReadAreAppliedInOrderWithOneWriteAndOneReload)
{
    // A topic that only matches a configured filter is not stored.
    saveConfig([](MQTTConfig& config) { config.topics = {"a", "b", "c", "d/#"}; });
    countWrites("messages");
    telvane::test::saveDiscoveredTopics(store, {"known"});
    Strings seen;
    client->setOnMessage([&](const MQTTMessage& message) { seen.push_back(message.payload); });
    auto& connection = connectAccepted();

    Bytes burst;
    for (int i = 0; i < 60; ++i) {
        burst = concat({burst, publish(std::string(1, static_cast<char>('a' + i % 3)), std::to_string(i)),
                        publish("d/" + std::to_string(i), "x")});
    }
    ASSERT_LT(burst.size(), 4096u) << "one read";
    const Date before = Date::now();
    feed(connection, burst);
    EXPECT_EQ(storedPayloads(), (Strings{"c=59", "b=58", "a=57"}));
    EXPECT_GE(store.messagesSnapshot()->back().timestamp, before);
    EXPECT_LE(store.messagesSnapshot()->front().timestamp, Date::now());
    EXPECT_EQ(seen.size(), 60u);
    EXPECT_EQ(seen.back(), "59");
    EXPECT_EQ(writes(), 1);
    EXPECT_EQ(reloadSignal.count, 1);
    // The stored messages' new topics went to the store before them, with
    // every other new topic of the read, beside those it held.
    EXPECT_EQ(SharedStore(dir.path() / "defaults.sqlite3").loadDiscoveredTopics()->size(), 1u + 3u + 60u);

    // Right after a write, messages wait for the spacing to run out and
    // are written together.
    feed(connection, publish("b", "soon"));
    feed(connection, publish("c", "sooner"));
    EXPECT_EQ(writes(), 1);
    advance(MessageDelivery::kMessagesWriteSpacing.count());
    EXPECT_EQ(storedPayloads(), (Strings{"c=sooner", "b=soon", "a=57"}));
    EXPECT_EQ(writes(), 2);
    EXPECT_EQ(reloadSignal.count, 2);

    // After a quiet spell a single message behaves as it always did.
    advance(MessageDelivery::kMessagesWriteSpacing.count());
    feed(connection, publish("a", "alone"));
    EXPECT_EQ(storedPayloads(), (Strings{"a=alone", "c=sooner", "b=soon"}));
    EXPECT_EQ(writes(), 3);
    EXPECT_EQ(reloadSignal.count, 3);
}

TEST_F(BurstDeliveryTest, ReadsThatQueueUpOnTheMainLoopEndAsOneBatch)
{
    saveConfig([](MQTTConfig& config) { config.topics = {"a", "b", "c"}; });
    countWrites("messages");
    // The network on a queue of its own, as on the client's thread: reads
    // arrive while the main loop does not run.
    VirtualEventLoop network;
    const auto networkTransport = std::make_shared<ScriptedTransport>(network);
    client = MQTTClient::create(loop, networkTransport, store, reloadSignal);
    // Gone before the network queue it posts to.
    const std::unique_ptr<void, std::function<void(void*)>> dropClient(this, [this](void*) { client.reset(); });
    const auto settle = [&] {
        while (network.runUntilIdle() + loop.runUntilIdle() > 0) {
        }
    };
    client->connect();
    settle();
    auto& connection = networkTransport->last();
    connection.reportState(ConnectionState::ready);
    settle();
    connection.feed(connack(0));
    settle();
    ASSERT_TRUE(client->isConnected());

    for (const char* topic : {"a", "unconfigured", "b", "c", "a"}) {
        connection.feed(publish(topic, std::string("to ") + topic));
        network.runUntilIdle();
    }
    EXPECT_EQ(writes(), 0) << "nothing is written before the main loop runs";
    loop.runUntilIdle();
    EXPECT_EQ(storedPayloads(), (Strings{"a=to a", "c=to c", "b=to b"}));
    EXPECT_EQ(writes(), 1);
    EXPECT_EQ(reloadSignal.count, 1);

    // A reconnect between a read and the end of its batch: what was received is stored.
    advance(MessageDelivery::kMessagesWriteSpacing.count());
    connection.feed(publish("b", "before the reconnect"));
    network.runUntilIdle();
    loop.post([&] { client->connect(); });
    loop.runUntilIdle();
    EXPECT_EQ(storedPayloads().front(), "b=before the reconnect");
}

TEST_F(BurstDeliveryTest, AFloodOfNewTopicsIsWrittenAFewTimesASecondAndAMessageBehindItAtOnce)
{
    countWrites("discoveredTopics");
    auto& connection = connectAccepted();
    std::size_t topics = 0;
    constexpr int kReads = 200;  // two seconds of reads, 10 ms apart
    for (int read = 0; read < kReads; ++read) {
        Bytes bytes;
        for (int i = 0; i < 50; ++i) {
            bytes = concat({bytes, publish("flood/" + std::to_string(topics++), "1")});
        }
        feed(connection, bytes);
        advance(0.01);
    }
    EXPECT_LE(writes(), 9) << "at most one write per quarter second";
    EXPECT_GE(writes(), 7);

    // The configured message behind the flood: stored in its own read, its
    // topic and all before it written first.
    feed(connection, publish("home/temp", "behind"));
    EXPECT_EQ(store.messagesSnapshot()->at(0).payload, "behind");
    const auto discovered = SharedStore(dir.path() / "defaults.sqlite3").loadDiscoveredTopics();
    EXPECT_EQ(discovered->size(), topics + 1);
    EXPECT_TRUE(discovered->contains("home/temp"));
    advance(MessageDelivery::kMessagesWriteSpacing.count());
    EXPECT_EQ(loop.activeTimerCount(), 1u) << "only the keep-alive is left";

    const int written = writes();
    feed(connection, publish("flood/0", "known"));
    advance(1);
    EXPECT_EQ(writes(), written) << "a known topic is not written again";
}

TEST_F(BurstDeliveryTest, MessagesArrivingWhileAnotherProcessHoldsTheLockAreAllStoredAfterIt)
{
    saveConfig([](MQTTConfig& config) { config.topics = {"a", "b", "c", "d"}; });
    auto& connection = connectAccepted();
    feed(connection, publish("a", "before"));

    test::OutsideWriter outside(dir.path() / "defaults.sqlite3");
    ASSERT_TRUE(test::isLocked(dir.path() / "defaults.sqlite3"));
    const int reloadsBefore = reloadSignal.count;
    for (const char* topic : {"a", "b", "c", "d"}) {
        feed(connection, publish(topic, std::string("during ") + topic));
        advance(1);
    }
    // Nothing lost and the newest visible to the window meanwhile; the widget cannot read it yet.
    EXPECT_EQ(storedPayloads(), (Strings{"d=during d", "c=during c", "b=during b", "a=during a"}));
    EXPECT_EQ(test::StoreFile(dir.path() / "defaults.sqlite3").get("messages").find("during"), std::string::npos);

    outside.release();
    advance(0.25);
    EXPECT_EQ(*SharedStore(dir.path() / "defaults.sqlite3").messagesSnapshot(), *store.messagesSnapshot());
    EXPECT_EQ(SharedStore(dir.path() / "defaults.sqlite3").loadDiscoveredTopics()->size(), 4u);
    EXPECT_EQ(reloadSignal.count - reloadsBefore, 4);
}

}  // namespace
}  // namespace telvane
