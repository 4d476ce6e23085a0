#include "model/JsonText.h"
#include "model/SharedStore.h"
#include "support/DiscoveredTopics.h"
#include "support/StoreFile.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace telvane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

using test::StoreFile;

MQTTMessage message(std::string topic, double secondsSince2001, std::string payload = "{}")
{
    return MQTTMessage{std::move(topic), std::move(payload), Date{secondsSince2001}};
}

std::string encoded(const std::vector<MQTTMessage>& messages)
{
    return encodeJsonDocument(toJson(messages));
}

std::vector<std::string> topicsOf(const std::vector<MQTTMessage>& messages)
{
    std::vector<std::string> topics;
    topics.reserve(messages.size());
    for (const auto& m : messages) {
        topics.push_back(m.topic);
    }
    return topics;
}

mode_t modeOf(const fs::path& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class SharedStoreTest : public ::testing::Test {
protected:
    fs::path dbPath() const { return temp_.path() / "data" / "group.org.telvane.Telvane" / "defaults.sqlite3"; }

    test::TempDir temp_;
};

TEST_F(SharedStoreTest, AnAppendedMessageReplacesItsTopicGoesFirstAndFiftyAreKept)
{
    std::vector<MQTTMessage> fifty;
    fifty.reserve(50);
    for (int i = 0; i < 50; ++i) {
        fifty.push_back(message("t" + std::to_string(i), i));
    }
    const auto first49 = topicsOf({fifty.begin(), fifty.end() - 1});
    auto before49 = [&](std::string topic) {
        std::vector<std::string> topics{std::move(topic)};
        topics.insert(topics.end(), first49.begin(), first49.end());
        return topics;
    };
    const struct {
        const char* name;
        std::string stored;
        MQTTMessage added;
        std::vector<std::string> after;
    } cases[] = {
        {"replaces in the middle",
         encoded({message("b", 3), message("a", 2), message("c", 1)}),
         message("a", 9),
         {"a", "b", "c"}},
        {"full list drops the last", encoded(fifty), message("new", 99), before49("new")},
        {"topic of the last entry moves up", encoded(fifty), message("t49", 99), before49("t49")},
        {"unreadable list is replaced", R"([{"topic":"x"}])", message("a", 1), {"a"}},
    };
    for (const auto& c : cases) {
        SharedStore store(dbPath());
        StoreFile other(dbPath());
        other.put("messages", c.stored);
        store.appendMessages({c.added}, 50);
        const auto stored = *store.messagesSnapshot();
        EXPECT_EQ(topicsOf(stored), c.after) << c.name;
        EXPECT_EQ(stored.front(), c.added) << c.name;
        EXPECT_EQ(other.get("messages"), encoded(stored)) << c.name;
    }
}

TEST_F(SharedStoreTest, PruneMessagesWritesOnlyWhenSomethingWasDropped)
{
    // Stored with a plain "/" and spaces: any rewrite by the store changes the bytes.
    const std::string foreignXyx =
        R"([ {"topic":"x","payload":"a/b","timestamp":3}, {"topic":"y","payload":"","timestamp":2},)"
        R"( {"topic":"x","payload":"","timestamp":1} ])";
    const struct {
        const char* name;
        std::string stored;  // "" leaves the key missing
        std::vector<std::string> keeping;
        std::optional<std::vector<std::string>> written;  // none: bytes untouched
    } cases[] = {
        {"drops other topics, keeps duplicates in order", foreignXyx, {"x"}, std::vector<std::string>{"x", "x"}},
        {"all topics kept: no write", foreignXyx, {"y", "x", "z"}, std::nullopt},
        {"no wildcard matching",
         R"([{"topic":"home/a","payload":"","timestamp":1}])",
         {"home/#"},
         std::vector<std::string>{}},
        {"unreadable list is left alone", R"([{"topic":"x","payload":1,"timestamp":1}])", {}, std::nullopt},
        {"missing list stays missing", "", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SharedStore store(dbPath());
        StoreFile other(dbPath());
        other.exec("DELETE FROM defaults");
        if (!c.stored.empty()) {
            other.put("messages", c.stored);
        }
        store.pruneMessages(c.keeping);
        const auto stored = *store.messagesSnapshot();
        if (c.written) {
            EXPECT_EQ(topicsOf(stored), *c.written) << c.name;
        }
        EXPECT_EQ(other.get("messages"), c.written ? encoded(stored) : c.stored) << c.name;
    }
}

TEST_F(SharedStoreTest, RemoveDisplayItemAlwaysRewritesTheList)
{
    const MQTTDisplayItem a{"00000000-0000-4000-8000-00000000000A", "t/a", "A", "x"};
    const MQTTDisplayItem b{"00000000-0000-4000-8000-00000000000B", "t/b", "B", "y"};
    // Plain "/" in the stored form: a rewrite shows as escaped solidi.
    const std::string foreign = R"([{"id":")" + a.id + R"(","topic":"t/a","label":"A","jsonPath":"x"},)" + R"({"id":")"
                                + b.id + R"(","topic":"t/b","label":"B","jsonPath":"y"}])";
    const struct {
        const char* name;
        std::string stored;
        std::string uuid;
        std::vector<MQTTDisplayItem> after;
    } cases[] = {
        {"removes the matching item", foreign, b.id, {a}},
        {"lower-case spelling of the same UUID", foreign, "00000000-0000-4000-8000-00000000000b", {a}},
        {"unknown UUID rewrites unchanged", foreign, "00000000-0000-4000-8000-0000000000FF", {a, b}},
        {"unreadable list becomes empty", R"([{"id":"nope","topic":"","label":"","jsonPath":""}])", a.id, {}},
    };
    for (const auto& k : cases) {
        SharedStore store(dbPath());
        StoreFile other(dbPath());
        other.put("displayItems", k.stored);
        store.removeDisplayItem(k.uuid);
        EXPECT_EQ(other.get("displayItems"), encodeJsonDocument(toJson(k.after))) << k.name;
        EXPECT_EQ(store.loadDisplayItems(), k.after) << k.name;
    }
}

TEST_F(SharedStoreTest, FileIsAPrivateWalDatabaseOfCompactJsonBlobsWhateverTheUmask)
{
    const mode_t previous = ::umask(0);
    MQTTConfig config = MQTTConfig::defaultConfig();
    config.password = "s3cret";
    const std::vector<MQTTDisplayItem> items{MQTTDisplayItem::make("home/temp", "Innen", "t")};
    {
        SharedStore store(dbPath());
        store.saveConfig(config);
        store.appendMessages({message("home/temp", 0.5, R"({"t":21.5})")}, 50);
        store.saveDisplayItems(items);
        telvane::test::saveDiscoveredTopics(store, {"home/temp"});
        StoreFile widget(dbPath(), StoreFile::Access::readOnly);  // keeps -wal and -shm in place
        EXPECT_EQ(modeOf(temp_.path() / "data"), 0700u);
        EXPECT_EQ(modeOf(dbPath().parent_path()), 0700u);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(modeOf(dbPath().string() + suffix), 0600u) << suffix;
        }
        EXPECT_EQ(widget.query("SELECT sql FROM sqlite_master WHERE name = 'defaults'"),
                  "CREATE TABLE defaults(key TEXT PRIMARY KEY NOT NULL, value)");
        EXPECT_EQ(widget.query("PRAGMA journal_mode"), "wal");
        EXPECT_EQ(widget.query("SELECT group_concat(typeof(value)) FROM defaults"), "blob,blob,blob,blob");
        EXPECT_EQ(widget.get("config"), encodeJsonDocument(toJson(config)));
        EXPECT_EQ(widget.get("messages"), R"([{"topic":"home\/temp","payload":"{\"t\":21.5}","timestamp":0.5}])");
        EXPECT_EQ(widget.get("displayItems"), encodeJsonDocument(toJson(items)));
        EXPECT_EQ(widget.get("discoveredTopics"), R"(["home\/temp"])");
    }
    ::chmod(dbPath().c_str(), 0644);
    SharedStore reopened(dbPath());
    EXPECT_EQ(modeOf(dbPath()), 0600u) << "an existing file is made private again";
    ::umask(previous);
}

TEST_F(SharedStoreTest, MissingAndUnreadableValuesReadAsDefaultAndStayUntouched)
{
    const struct {
        const char* name;
        const char* key;
        std::optional<std::string> value;  // none: the key is missing
        bool asText = false;
    } cases[] = {
        {"config missing", "config", std::nullopt},
        {"config as TEXT", "config", R"({"host":"h","port":1,"clientID":"c","topics":[]})", true},
        {"config not JSON", "config", "{\"host\":"},
        {"config empty blob", "config", ""},
        {"messages with a bad entry", "messages", R"([{"topic":"a","payload":"p","timestamp":1},{"topic":"b"}])"},
        {"display items with a bad id", "displayItems", R"([{"id":"x","topic":"","label":"","jsonPath":""}])"},
        {"topics with a number", "discoveredTopics", R"(["a",1])"},
        {"topics as an object", "discoveredTopics", R"({"a":"b"})"},
    };
    for (const auto& c : cases) {
        SharedStore store(dbPath());
        StoreFile other(dbPath());
        other.exec("DELETE FROM defaults");
        if (c.value) {
            other.put(c.key, *c.value, c.asText);
        }
        EXPECT_EQ(store.loadConfig(), MQTTConfig::defaultConfig()) << c.name;
        EXPECT_TRUE(store.messagesSnapshot()->empty()) << c.name;
        EXPECT_EQ(store.loadDisplayItems(), std::vector<MQTTDisplayItem>{}) << c.name;
        EXPECT_TRUE(store.loadDiscoveredTopics()->empty()) << c.name;
        EXPECT_EQ(other.get(c.key), c.value.value_or("")) << c.name << ": a read changed the stored value";
        const char* type = c.asText ? "text" : "blob";
        EXPECT_EQ(other.query("SELECT typeof(value) FROM defaults WHERE key = '" + std::string(c.key) + "'"),
                  c.value ? type : "")
            << c.name;
    }
}

TEST_F(SharedStoreTest, WhatTheFileCannotHoldIsNeitherWrittenNorHandedBackFromMemory)
{
    SharedStore store(dbPath());
    store.appendMessages({message("a", 1)}, 50);
    store.appendMessages({message("c", std::nan(""))}, 50);
    EXPECT_EQ(*store.messagesSnapshot(), std::vector<MQTTMessage>{message("a", 1)});
    // The encoder replaces bytes that are not UTF-8; the store must not hand
    // back the original text that the file no longer holds.
    MQTTConfig config = MQTTConfig::defaultConfig();
    config.host = "bad\xff";
    store.saveConfig(config);
    telvane::test::saveDiscoveredTopics(store, {"t\xfe"});
    EXPECT_EQ(store.loadConfig().host, "bad\xEF\xBF\xBD");
    EXPECT_THAT(*store.loadDiscoveredTopics(), UnorderedElementsAre("t\xEF\xBF\xBD"));
}

TEST_F(SharedStoreTest, AWriteByAnotherProcessIsSeenByTheNextReadAndSnapshotsStayFixed)
{
    SharedStore store(dbPath());
    store.saveConfig(MQTTConfig::defaultConfig());
    store.appendMessages({message("a", 1)}, 50);
    store.saveDisplayItems({});
    telvane::test::saveDiscoveredTopics(store, {"a"});
    EXPECT_EQ(store.messagesSnapshot()->size(), 1u);
    const auto snapshot = store.loadDiscoveredTopics();
    const auto item = MQTTDisplayItem::make("a", "A", "");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SharedStore other(dbPath());
        MQTTConfig config = MQTTConfig::defaultConfig();
        config.host = "from-child";
        other.saveConfig(config);
        other.appendMessages({message("b", 5)}, 50);
        other.saveDisplayItems({item});
        telvane::test::saveDiscoveredTopics(other, {"a", "b"});
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(store.loadConfig().host, "from-child");
    EXPECT_THAT(topicsOf(*store.messagesSnapshot()), ElementsAre("b", "a"));
    EXPECT_THAT(store.loadDisplayItems(), ElementsAre(item));
    EXPECT_THAT(*store.loadDiscoveredTopics(), UnorderedElementsAre("a", "b"));
    EXPECT_THAT(*snapshot, UnorderedElementsAre("a")) << "a set handed out earlier changed under its holder";

    // A TEXT value written over a cached document reads as the default.
    StoreFile(dbPath()).put("discoveredTopics", R"(["a","b"])", /*asText=*/true);
    EXPECT_TRUE(store.loadDiscoveredTopics()->empty());
}

// A widget started before Telvane polls the path and may open the new,
// still empty file just as the store sets it up; its read lock must only
// delay the set-up, not leave Telvane without a store for the whole run.
TEST_F(SharedStoreTest, AReaderOfTheNewEmptyFileDelaysTheSetUpButDoesNotBreakIt)
{
    fs::create_directories(dbPath().parent_path());
    std::ofstream(dbPath()).flush();
    StoreFile widget(dbPath(), StoreFile::Access::readOnly);
    widget.exec("BEGIN");
    EXPECT_EQ(widget.query("SELECT count(*) FROM sqlite_master"), "0");  // holds the read lock
    std::thread release([&widget] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        widget.exec("COMMIT");
    });
    SharedStore store(dbPath());
    release.join();
    store.appendMessages({message("t", 1)}, 50);
    EXPECT_EQ(StoreFile(dbPath()).get("messages"), encoded({message("t", 1)}));
}

// The log is copied back into the database file by a thread of the store's
// own, not inside the main thread's commits; it must still happen, or the
// -wal file would grow by every document written.
TEST_F(SharedStoreTest, TheWriteAheadLogIsCopiedBackAndReusedWhileWritesGoOn)
{
    SharedStore store(dbPath());
    // About 260 pages a write. Each payload differs from the last: SQLite
    // writes only the pages of a value that changed.
    const auto payload = [](int i) { return std::string(1 << 20, static_cast<char>('a' + i)); };
    for (int i = 0; i < 24; ++i) {
        store.appendMessages({message("t", i, payload(i))}, 50);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto logSize = fs::file_size(dbPath().string() + "-wal");
    EXPECT_LT(logSize, 12u << 20) << "24 MB were written; a log that is never copied back holds all of it";
    EXPECT_EQ(StoreFile(dbPath(), StoreFile::Access::readOnly).get("messages"),
              encoded({message("t", 23, payload(23))}));
}

TEST_F(SharedStoreTest, UnusableLocationsGiveAStoreWithoutSuiteThatReadsDefaults)
{
    const fs::path regularFile = temp_.path() / "file";
    std::ofstream(regularFile) << "x";
    const fs::path notADatabase = temp_.path() / "garbage.sqlite3";
    const std::string garbage(4096, 'g');
    std::ofstream(notADatabase) << garbage;
    for (const auto& path : {std::optional<fs::path>{}, std::optional(regularFile / "group" / "defaults.sqlite3"),
                             std::optional(notADatabase)}) {
        SharedStore store(path);
        MQTTConfig config = MQTTConfig::defaultConfig();
        config.host = "h";
        store.saveConfig(config);
        store.appendMessages({message("a", 1)}, 50);
        store.saveDisplayItems({MQTTDisplayItem::make("a", "b", "c")});
        telvane::test::saveDiscoveredTopics(store, {"a"});
        EXPECT_EQ(store.loadConfig(), MQTTConfig::defaultConfig());
        EXPECT_TRUE(store.messagesSnapshot()->empty());
        EXPECT_TRUE(store.loadDisplayItems().empty());
        EXPECT_TRUE(store.loadDiscoveredTopics()->empty());
    }
    std::ifstream in(notADatabase);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage) << "the foreign file is untouched";
}

TEST(SharedStorePath, FollowsTheXdgDataHomeRules)
{
    const struct {
        const char* dataHome;  // nullptr: unset
        const char* home;
        std::optional<fs::path> expected;
    } cases[] = {
        {"/x/data", "/home/u", fs::path("/x/data/group.org.telvane.Telvane/defaults.sqlite3")},
        {"relative", "/home/u", fs::path("/home/u/.local/share/group.org.telvane.Telvane/defaults.sqlite3")},
        {nullptr, nullptr, std::nullopt},
    };
    auto set = [](const char* name, const char* value) { value ? ::setenv(name, value, 1) : ::unsetenv(name); };
    auto saved = [](const char* name) {
        return std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
    };
    const auto savedDataHome = saved("XDG_DATA_HOME");
    const auto savedHome = saved("HOME");
    for (const auto& c : cases) {
        set("XDG_DATA_HOME", c.dataHome);
        set("HOME", c.home);
        EXPECT_EQ(SharedStore::defaultDatabasePath(), c.expected) << (c.dataHome ? c.dataHome : "(unset)");
    }
    set("XDG_DATA_HOME", savedDataHome ? savedDataHome->c_str() : nullptr);
    set("HOME", savedHome ? savedHome->c_str() : nullptr);
}

}  // namespace
}  // namespace telvane
