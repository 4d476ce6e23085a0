// Another process holding the store's write lock (a widget or a shell in a
// long transaction): the store neither waits for it nor loses what it could
// not write.

#include "model/JsonText.h"
#include "model/SharedStore.h"
#include "support/OutsideWriter.h"
#include "support/TempDir.h"
#include "support/VirtualEventLoop.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

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

// What another connection reads under `key`, "" when nothing is stored.
std::string storedText(const fs::path& path, const std::string& key)
{
    sqlite3* db = nullptr;
    std::string text;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* select = nullptr;
        sqlite3_prepare_v2(db, "SELECT value FROM defaults WHERE key = ?1", -1, &select, nullptr);
        sqlite3_bind_text(select, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(select) == SQLITE_ROW) {
            text.assign(static_cast<const char*>(sqlite3_column_blob(select, 0)),
                        static_cast<std::size_t>(sqlite3_column_bytes(select, 0)));
        }
        sqlite3_finalize(select);
    }
    sqlite3_close_v2(db);
    return text;
}

class StoreLockTest : public ::testing::Test {
protected:
    [[nodiscard]] fs::path dbPath() const { return dir_.path() / "defaults.sqlite3"; }

    test::TempDir dir_;
    VirtualEventLoop loop_;
};

TEST_F(StoreLockTest, WritesKeptBackByALockAreReadBackAndWrittenOnceItIsFree)
{
    SharedStore store(dbPath(), &loop_);
    int written = 0;
    store.setPendingWrittenObserver([&] { ++written; });
    store.appendMessage(message("a", "1", 1), 50);
    const std::string before = storedText(dbPath(), "messages");

    test::OutsideWriter outside(dbPath());
    ASSERT_TRUE(test::isLocked(dbPath()));
    MQTTConfig config;
    config.host = "during.lock";
    // Every kind of write, and the messages document twice: the newest wins.
    store.appendMessage(message("b", "2", 2), 50);
    store.appendMessages({message("a", "3", 3), message("c", "4", 4)}, 50);
    store.saveDiscoveredTopics({"a", "b", "c"});
    store.saveConfig(config);
    store.saveDisplayItems({MQTTDisplayItem::make("a", "A", "")});
    const std::vector<MQTTMessage> newest{message("c", "4", 4), message("a", "3", 3), message("b", "2", 2)};

    EXPECT_TRUE(store.hasPendingWrites());
    EXPECT_EQ(storedText(dbPath(), "messages"), before);
    // The store's own readers see the newest documents meanwhile.
    EXPECT_EQ(store.loadMessages(), newest);
    EXPECT_EQ(*store.loadDiscoveredTopics(), (TopicSet{"a", "b", "c"}));
    EXPECT_EQ(store.loadConfig().host, "during.lock");
    EXPECT_EQ(store.loadDisplayItems().size(), 1u);

    loop_.advance(Seconds(2));  // retries while locked change nothing
    EXPECT_TRUE(store.hasPendingWrites());
    EXPECT_EQ(written, 0);

    outside.release();
    loop_.advance(Seconds(0.25));
    EXPECT_FALSE(store.hasPendingWrites());
    EXPECT_EQ(written, 1);
    EXPECT_EQ(storedText(dbPath(), "messages"), encodeJsonDocument(toJson(newest)));
    EXPECT_NE(storedText(dbPath(), "config").find("during.lock"), std::string::npos);
    EXPECT_FALSE(storedText(dbPath(), "displayItems").empty());
    EXPECT_EQ(SharedStore(dbPath()).loadMessages(), newest);
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
        store.appendMessage(message("a", "1", 1), 50);
        EXPECT_TRUE(store.hasPendingWrites());
        outside.release();
        store.saveDiscoveredTopics({"a"});
        EXPECT_FALSE(store.hasPendingWrites());
        EXPECT_EQ(SharedStore(dbPath()).loadMessages(), std::vector<MQTTMessage>{message("a", "1", 1)});

        briefly.emplace(dbPath());
        store.appendMessage(message("b", "2", 2), 50);
        EXPECT_TRUE(store.hasPendingWrites());
        release = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            briefly->release();
        });
    }  // the store ends while its write is kept back: it waits a little rather than lose it
    release.join();
    EXPECT_EQ(SharedStore(dbPath()).loadMessages().size(), 2u);
}

}  // namespace
}  // namespace telvane
