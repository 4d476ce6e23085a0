// Another process holding the store's write lock (a widget or a shell in a
// long transaction): the store neither waits for it nor loses what it could
// not write.

#include "model/JsonText.h"
#include "model/SharedStore.h"
#include "support/DiscoveredTopics.h"
#include "support/OutsideWriter.h"
#include "support/StoreFile.h"
#include "support/TempDir.h"
#include "support/VirtualEventLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace telvane {
namespace {

namespace fs = std::filesystem;

MQTTMessage message(const std::string& topic, std::string payload, double secondsSince2001)
{
    return MQTTMessage{topic, std::move(payload), Date{secondsSince2001}};
}

class StoreLockTest : public ::testing::Test {
protected:
    [[nodiscard]] fs::path dbPath() const { return dir_.path() / "defaults.sqlite3"; }
    // What another connection reads under `key`, "" when nothing is stored.
    [[nodiscard]] std::string stored(const std::string& key) const
    {
        return test::StoreFile(dbPath(), test::StoreFile::Access::readOnly).get(key);
    }
    [[nodiscard]] std::vector<MQTTMessage> storedMessages() const
    {
        const auto json = parseJsonDocument(stored("messages"));
        return json ? messagesFromJson(*json).value_or(std::vector<MQTTMessage>{}) : std::vector<MQTTMessage>{};
    }

    test::TempDir dir_;
    VirtualEventLoop loop_;
};

TEST_F(StoreLockTest, WritesKeptBackByALockAreReadBackAndWrittenOnceItIsFree)
{
    SharedStore store(dbPath(), &loop_);
    int written = 0;
    store.setPendingWrittenObserver([&] { ++written; });
    store.appendMessages({message("a", "1", 1)}, 50);
    const std::string before = stored("messages");

    test::OutsideWriter outside(dbPath());
    ASSERT_TRUE(test::isLocked(dbPath()));
    MQTTConfig config;
    config.host = "during.lock";
    // Every kind of write, and the messages document twice: the newest wins.
    store.appendMessages({message("b", "2", 2)}, 50);
    store.appendMessages({message("a", "3", 3), message("c", "4", 4)}, 50);
    telvane::test::saveDiscoveredTopics(store, {"a", "b", "c"});
    store.saveConfig(config);
    store.saveDisplayItems({MQTTDisplayItem::make("a", "A", "")});
    const std::vector<MQTTMessage> newest{message("c", "4", 4), message("a", "3", 3), message("b", "2", 2)};

    EXPECT_EQ(stored("messages"), before);
    // The store's own readers see the newest documents meanwhile.
    EXPECT_EQ(*store.messagesSnapshot(), newest);
    EXPECT_EQ(*store.loadDiscoveredTopics(), (TopicSet{"a", "b", "c"}));
    EXPECT_EQ(store.loadConfig().host, "during.lock");
    EXPECT_EQ(store.loadDisplayItems().size(), 1u);

    loop_.advance(Seconds(2));  // retries while locked change nothing
    EXPECT_EQ(stored("messages"), before);
    EXPECT_EQ(written, 0);

    outside.release();
    loop_.advance(Seconds(0.25));
    EXPECT_EQ(written, 1);
    EXPECT_EQ(stored("messages"), encodeJsonDocument(toJson(newest)));
    EXPECT_NE(stored("config").find("during.lock"), std::string::npos);
    EXPECT_FALSE(stored("displayItems").empty());
    EXPECT_EQ(storedMessages(), newest);
    EXPECT_EQ(*SharedStore(dbPath()).loadDiscoveredTopics(), (TopicSet{"a", "b", "c"}));
    EXPECT_EQ(loop_.activeTimerCount(), 0u);
}

TEST_F(StoreLockTest, WithoutARetryLoopTheNextWriteOrTheEndOfTheStoreWritesWhatWasKept)
{
    std::optional<test::OutsideWriter> briefly;
    std::thread release;
    {
        SharedStore store(dbPath());
        test::OutsideWriter outside(dbPath());
        store.appendMessages({message("a", "1", 1)}, 50);
        EXPECT_EQ(stored("messages"), "");
        outside.release();
        telvane::test::saveDiscoveredTopics(store, {"a"});
        EXPECT_EQ(storedMessages(), std::vector<MQTTMessage>{message("a", "1", 1)});

        briefly.emplace(dbPath());
        store.appendMessages({message("b", "2", 2)}, 50);
        EXPECT_EQ(storedMessages().size(), 1u);
        release = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            briefly->release();
        });
    }  // the store ends while its write is kept back: it waits a little rather than lose it
    release.join();
    EXPECT_EQ(storedMessages().size(), 2u);
}

}  // namespace
}  // namespace telvane
