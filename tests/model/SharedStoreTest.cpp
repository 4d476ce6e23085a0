#include "model/JsonText.h"
#include "model/SharedStore.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <thread>

namespace telvane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// A second connection to the store's file, as the widget or a sqlite3 shell
// would open it.
class OtherConnection {
public:
    explicit OtherConnection(const fs::path& path, int flags = SQLITE_OPEN_READWRITE)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db_);
        }
        sqlite3_busy_timeout(db_, 5000);
    }
    ~OtherConnection() { sqlite3_close_v2(db_); }
    OtherConnection(const OtherConnection&) = delete;
    OtherConnection& operator=(const OtherConnection&) = delete;

    void exec(const std::string& sql)
    {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << (error ? error : "?");
        }
        sqlite3_free(error);
    }

    // Stores `value` under `key` as a BLOB or, with asText, as TEXT.
    void put(const std::string& key, const std::string& value, bool asText = false)
    {
        sqlite3_stmt* s = statement("INSERT OR REPLACE INTO defaults(key, value) VALUES(?1, ?2)");
        sqlite3_bind_text(s, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        if (asText) {
            sqlite3_bind_text(s, 2, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_blob(s, 2, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        }
        EXPECT_EQ(sqlite3_step(s), SQLITE_DONE) << sqlite3_errmsg(db_);
        sqlite3_finalize(s);
    }

    struct Value {
        std::string type;  // SQLite's typeof(), "" when the key is missing
        std::string bytes;
    };

    Value get(const std::string& key)
    {
        sqlite3_stmt* s = statement("SELECT typeof(value), CAST(value AS BLOB) FROM defaults WHERE key = ?1");
        sqlite3_bind_text(s, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        Value v;
        if (sqlite3_step(s) == SQLITE_ROW) {
            v.type = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s, 1));
            v.bytes.assign(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(s, 1)));
        }
        sqlite3_finalize(s);
        return v;
    }

    std::string scalar(const std::string& sql)
    {
        sqlite3_stmt* s = statement(sql);
        std::string text;
        if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0) != nullptr) {
            text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        }
        sqlite3_finalize(s);
        return text;
    }

private:
    sqlite3_stmt* statement(const std::string& sql)
    {
        sqlite3_stmt* s = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
        return s;
    }

    sqlite3* db_ = nullptr;
};

MQTTMessage message(std::string topic, double secondsSince2001, std::string payload = "{}")
{
    return MQTTMessage{std::move(topic), std::move(payload), Date{secondsSince2001}};
}

std::string encoded(const std::vector<MQTTMessage>& messages) { return encodeJsonDocument(toJson(messages)); }

std::vector<std::string> topicsOf(const std::vector<MQTTMessage>& messages)
{
    std::vector<std::string> topics;
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

TEST_F(SharedStoreTest, AppendMessageReplacesTheTopicPutsItFirstAndCaps)
{
    std::vector<MQTTMessage> fifty;
    for (int i = 0; i < 50; ++i) {
        fifty.push_back(message("t" + std::to_string(i), i));
    }
    std::vector<std::string> newFirst{"new"};
    std::vector<std::string> lastMovedUp{"t49"};
    for (int i = 0; i < 49; ++i) {
        newFirst.push_back("t" + std::to_string(i));
        lastMovedUp.push_back("t" + std::to_string(i));
    }
    struct Case {
        const char* name;
        std::vector<MQTTMessage> before;
        MQTTMessage added;
        std::size_t maxCount;
        std::vector<std::string> after;
    };
    const Case cases[] = {
        {"empty list", {}, message("a", 9), 50, {"a"}},
        {"replaces in the middle", {message("b", 3), message("a", 2), message("c", 1)}, message("a", 9), 50, {"a", "b", "c"}},
        {"full list drops the last", fifty, message("new", 99), 50, newFirst},
        {"topic of the last entry moves up", fifty, message("t49", 99), 50, lastMovedUp},
        {"max count zero", {message("b", 1)}, message("a", 9), 0, {}},
    };
    for (const auto& c : cases) {
        SharedStore store(dbPath());
        store.saveMessages(c.before);
        store.appendMessage(c.added, c.maxCount);
        const auto stored = store.loadMessages();
        EXPECT_EQ(topicsOf(stored), c.after) << c.name;
        if (!stored.empty()) {
            EXPECT_EQ(stored.front(), c.added) << c.name;
        }
        EXPECT_EQ(OtherConnection(dbPath()).get("messages").bytes, encoded(stored)) << c.name;
    }
}

TEST_F(SharedStoreTest, AppendMessageReplacesAnUnreadableList)
{
    SharedStore store(dbPath());
    OtherConnection(dbPath()).put("messages", R"([{"topic":"x"}])");
    store.appendMessage(message("a", 1), 50);
    EXPECT_EQ(OtherConnection(dbPath()).get("messages").bytes, encoded({message("a", 1)}));
}

TEST_F(SharedStoreTest, PruneMessagesWritesOnlyWhenSomethingWasDropped)
{
    // Stored with a plain "/" and spaces: any rewrite by the store changes the bytes.
    const std::string foreignXyx =
        R"([ {"topic":"x","payload":"a/b","timestamp":3}, {"topic":"y","payload":"","timestamp":2},)"
        R"( {"topic":"x","payload":"","timestamp":1} ])";
    struct Case {
        const char* name;
        std::string stored;  // "" leaves the key missing
        std::vector<std::string> keeping;
        std::optional<std::vector<std::string>> written;  // none: bytes untouched
    };
    const Case cases[] = {
        {"drops other topics, keeps duplicates in order", foreignXyx, {"x"}, std::vector<std::string>{"x", "x"}},
        {"empty topic list empties the list", foreignXyx, {}, std::vector<std::string>{}},
        {"all topics kept: no write", foreignXyx, {"y", "x", "z"}, std::nullopt},
        {"no wildcard matching", R"([{"topic":"home/a","payload":"","timestamp":1}])", {"home/#"},
         std::vector<std::string>{}},
        {"unreadable list is left alone", R"([{"topic":"x","payload":1,"timestamp":1}])", {}, std::nullopt},
        {"missing list stays missing", "", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SharedStore store(dbPath());
        OtherConnection other(dbPath());
        other.exec("DELETE FROM defaults");
        if (!c.stored.empty()) {
            other.put("messages", c.stored);
        }
        store.pruneMessages(c.keeping);
        const auto after = other.get("messages");
        if (c.written) {
            EXPECT_EQ(after.type, "blob") << c.name;
            const auto json = parseJsonDocument(after.bytes);
            ASSERT_TRUE(json) << c.name;
            EXPECT_EQ(topicsOf(messagesFromJson(*json).value_or(std::vector<MQTTMessage>{})), *c.written) << c.name;
            EXPECT_EQ(after.bytes, encoded(store.loadMessages())) << c.name;
        } else {
            EXPECT_EQ(after.bytes, c.stored) << c.name;
        }
    }
}

TEST_F(SharedStoreTest, RemoveDisplayItemAlwaysRewritesTheList)
{
    const MQTTDisplayItem a{"00000000-0000-4000-8000-00000000000A", "t/a", "A", "x"};
    const MQTTDisplayItem b{"00000000-0000-4000-8000-00000000000B", "t/b", "B", "y"};
    const MQTTDisplayItem c{"00000000-0000-4000-8000-00000000000C", "t/c", "C", "z"};
    // Plain "/" in the stored form: a rewrite shows as escaped solidi.
    const std::string foreign = R"([{"id":")" + a.id + R"(","topic":"t/a","label":"A","jsonPath":"x"},)"
                                + R"({"id":")" + b.id + R"(","topic":"t/b","label":"B","jsonPath":"y"},)"
                                + R"({"id":")" + c.id + R"(","topic":"t/c","label":"C","jsonPath":"z"}])";
    struct Case {
        const char* name;
        std::string stored;
        std::string uuid;
        std::vector<MQTTDisplayItem> after;
    };
    const Case cases[] = {
        {"removes the matching item", foreign, b.id, {a, c}},
        {"lower-case spelling of the same UUID", foreign, "00000000-0000-4000-8000-00000000000b", {a, c}},
        {"unknown UUID rewrites unchanged", foreign, "00000000-0000-4000-8000-0000000000FF", {a, b, c}},
        {"not a UUID rewrites unchanged", foreign, "B", {a, b, c}},
        {"unreadable list becomes empty", R"([{"id":"nope","topic":"","label":"","jsonPath":""}])", a.id, {}},
    };
    for (const auto& k : cases) {
        SharedStore store(dbPath());
        OtherConnection other(dbPath());
        other.put("displayItems", k.stored);
        store.removeDisplayItem(k.uuid);
        EXPECT_EQ(other.get("displayItems").bytes, encodeJsonDocument(toJson(k.after))) << k.name;
        EXPECT_EQ(store.loadDisplayItems(), k.after) << k.name;
    }
}

TEST_F(SharedStoreTest, DocumentsAreCompactJsonBlobsThatAnotherConnectionReads)
{
    MQTTConfig config = MQTTConfig::defaultConfig();
    config.host = "broker.local";
    config.password = "s3cret";
    config.topics = {"home/temp", "home/#"};
    config.topicLabels = {{"home/temp", "Temperatur"}};
    const std::vector<MQTTMessage> messages{message("home/temp", 0.5, R"({"t":21.5})")};
    const std::vector<MQTTDisplayItem> items{MQTTDisplayItem::make("home/temp", "Innen", "t")};
    {
        SharedStore store(dbPath());
        ASSERT_TRUE(store.isAvailable());
        store.saveConfig(config);
        store.saveMessages(messages);
        store.saveDisplayItems(items);
        store.saveDiscoveredTopics({"home/temp", "home/door"});
        EXPECT_EQ(store.loadConfig(), config);
    }
    // Read-only, after Telvane closed the file: how a widget reads.
    OtherConnection widget(dbPath(), SQLITE_OPEN_READONLY);
    EXPECT_EQ(widget.scalar("SELECT sql FROM sqlite_master WHERE name = 'defaults'"),
              "CREATE TABLE defaults(key TEXT PRIMARY KEY NOT NULL, value)");
    EXPECT_EQ(widget.scalar("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(widget.scalar("SELECT group_concat(typeof(value)) FROM defaults"), "blob,blob,blob,blob");

    const auto storedConfig = widget.get("config").bytes;
    EXPECT_EQ(storedConfig, encodeJsonDocument(toJson(config)));
    EXPECT_THAT(storedConfig, ::testing::HasSubstr(R"("topics":["home\/temp","home\/#"])"));
    EXPECT_THAT(storedConfig, ::testing::Not(::testing::HasSubstr("\n")));
    EXPECT_EQ(widget.get("messages").bytes, R"([{"topic":"home\/temp","payload":"{\"t\":21.5}","timestamp":0.5}])");
    EXPECT_EQ(widget.get("displayItems").bytes, encodeJsonDocument(toJson(items)));
    const auto topics = parseJsonDocument(widget.get("discoveredTopics").bytes);
    ASSERT_TRUE(topics);
    EXPECT_THAT(topics->get<std::vector<std::string>>(), UnorderedElementsAre("home/temp", "home/door"));
}

TEST_F(SharedStoreTest, UnreadableValuesReadAsDefaultAndStayUntilTheNextSave)
{
    struct Case {
        const char* name;
        const char* key;
        std::string value;
        bool asText = false;
    };
    const Case cases[] = {
        {"config as TEXT", "config", R"({"host":"h","port":1,"clientID":"c","topics":[]})", true},
        {"config with protocolVersion 7", "config", R"({"host":"h","port":1,"clientID":"c","topics":[],"protocolVersion":7})"},
        {"config not JSON", "config", "{\"host\":"},
        {"config empty blob", "config", ""},
        {"messages as TEXT", "messages", R"([])", true},
        {"messages with a bad entry", "messages", R"([{"topic":"a","payload":"p","timestamp":1},{"topic":"b"}])"},
        {"messages not UTF-8", "messages", "[{\"topic\":\"\xff\",\"payload\":\"\",\"timestamp\":1}]"},
        {"display items with a bad id", "displayItems", R"([{"id":"x","topic":"","label":"","jsonPath":""}])"},
        {"display items as TEXT", "displayItems", "[]", true},
        {"topics with a number", "discoveredTopics", R"(["a",1])"},
        {"topics with null", "discoveredTopics", R"(["a",null])"},
        {"topics nested", "discoveredTopics", R"(["a",["b"]])"},
        {"topics a bare string", "discoveredTopics", R"("a")"},
        {"topics with trailing data", "discoveredTopics", R"(["a"] ["b"])"},
        {"topics not UTF-8", "discoveredTopics", "[\"\xc3\"]"},
        {"topics as an object", "discoveredTopics", R"({"a":"b"})"},
        {"topics as TEXT", "discoveredTopics", R"(["a"])", true},
    };
    for (const auto& c : cases) {
        SharedStore store(dbPath());
        OtherConnection other(dbPath());
        other.exec("DELETE FROM defaults");
        other.put(c.key, c.value, c.asText);

        EXPECT_EQ(store.loadConfig(), MQTTConfig::defaultConfig()) << c.name;
        EXPECT_EQ(store.loadMessages(), std::vector<MQTTMessage>{}) << c.name;
        EXPECT_EQ(store.loadDisplayItems(), std::vector<MQTTDisplayItem>{}) << c.name;
        EXPECT_TRUE(store.loadDiscoveredTopics()->empty()) << c.name;
        EXPECT_EQ(other.get(c.key).bytes, c.value) << c.name << ": a read changed the stored value";
        EXPECT_EQ(other.get(c.key).type, c.asText ? "text" : "blob") << c.name;
    }
    SharedStore store(dbPath());
    OtherConnection other(dbPath());
    other.put("config", R"({"protocolVersion":7})");
    MQTTConfig config = MQTTConfig::defaultConfig();
    config.host = "h";
    store.saveConfig(config);
    EXPECT_EQ(other.get("config").bytes, encodeJsonDocument(toJson(config)));
}

TEST_F(SharedStoreTest, MissingConfigReadsAsTheSameDefaultEveryTime)
{
    SharedStore store(dbPath());
    const auto first = store.loadConfig();
    SharedStore second(dbPath());
    EXPECT_EQ(second.loadConfig().clientID, first.clientID);
    EXPECT_EQ(store.loadConfig(), first);
    EXPECT_EQ(OtherConnection(dbPath()).get("config").type, "") << "a read must not write the default";
}

TEST_F(SharedStoreTest, DiscoveredTopicsCollapseDuplicatesAndSnapshotsStayFixed)
{
    SharedStore store(dbPath());
    OtherConnection(dbPath()).put("discoveredTopics", R"(["a","b","a","c\/d"])");
    const auto snapshot = store.loadDiscoveredTopics();
    EXPECT_THAT(*snapshot, UnorderedElementsAre("a", "b", "c/d"));

    TopicSet more = *snapshot;
    more.insert("e");
    store.saveDiscoveredTopics(more);
    EXPECT_THAT(*snapshot, UnorderedElementsAre("a", "b", "c/d"));
    EXPECT_EQ(*store.loadDiscoveredTopics(), more);
    EXPECT_EQ(*SharedStore(dbPath()).loadDiscoveredTopics(), more);
}

TEST_F(SharedStoreTest, AMessageThatJsonCannotHoldIsNotWritten)
{
    SharedStore store(dbPath());
    store.saveMessages({message("a", 1)});
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        store.saveMessages({message("b", bad), message("a", 2)});
        store.appendMessage(message("c", bad), 50);
        EXPECT_EQ(store.loadMessages(), std::vector<MQTTMessage>{message("a", 1)});
    }
}

TEST_F(SharedStoreTest, TextThatIsNotUtf8ReadsBackAsStored)
{
    // The encoder replaces such bytes; the store must not hand back the
    // original text that the file no longer holds.
    SharedStore store(dbPath());
    MQTTConfig config = MQTTConfig::defaultConfig();
    config.host = "bad\xff";
    store.saveConfig(config);
    store.saveDiscoveredTopics({"t\xfe"});
    EXPECT_EQ(store.loadConfig().host, "bad\xEF\xBF\xBD");
    EXPECT_THAT(*store.loadDiscoveredTopics(), UnorderedElementsAre("t\xEF\xBF\xBD"));
    EXPECT_EQ(SharedStore(dbPath()).loadConfig(), store.loadConfig());
}

TEST_F(SharedStoreTest, AWriteByAnotherConnectionIsSeenByTheNextRead)
{
    SharedStore store(dbPath());
    OtherConnection other(dbPath());
    MQTTConfig config = MQTTConfig::defaultConfig();
    config.host = "one";
    store.saveConfig(config);
    store.saveMessages({message("a", 1)});
    store.saveDisplayItems({});
    store.saveDiscoveredTopics({"a"});
    for (int round = 0; round < 2; ++round) {  // once from the cache, once from the file
        EXPECT_EQ(store.loadConfig().host, "one");
        EXPECT_EQ(store.loadMessages().size(), 1u);
        EXPECT_THAT(*store.loadDiscoveredTopics(), UnorderedElementsAre("a"));
    }

    const auto item = MQTTDisplayItem::make("a", "A", "");
    config.host = "two";
    other.put("config", encodeJsonDocument(toJson(config)));
    other.put("messages", encoded({message("b", 2), message("a", 1)}));
    other.put("displayItems", encodeJsonDocument(toJson(std::vector{item})));
    other.put("discoveredTopics", R"(["a","b"])");

    EXPECT_EQ(store.loadConfig().host, "two");
    EXPECT_THAT(topicsOf(store.loadMessages()), ElementsAre("b", "a"));
    EXPECT_THAT(store.loadDisplayItems(), ElementsAre(item));
    EXPECT_THAT(*store.loadDiscoveredTopics(), UnorderedElementsAre("a", "b"));

    // A TEXT value written over a cached document reads as the default.
    other.put("discoveredTopics", R"(["a","b"])", /*asText=*/true);
    EXPECT_TRUE(store.loadDiscoveredTopics()->empty());
}

TEST_F(SharedStoreTest, AWriteByAnotherProcessIsSeenByTheNextRead)
{
    SharedStore store(dbPath());
    store.saveDiscoveredTopics({"a"});
    ASSERT_THAT(*store.loadDiscoveredTopics(), UnorderedElementsAre("a"));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SharedStore other(dbPath());
        other.saveDiscoveredTopics({"a", "from-child"});
        other.appendMessage(message("from-child", 5), 50);
        ::_exit(other.isAvailable() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_THAT(*store.loadDiscoveredTopics(), UnorderedElementsAre("a", "from-child"));
    EXPECT_THAT(topicsOf(store.loadMessages()), ElementsAre("from-child"));
}

TEST_F(SharedStoreTest, AReaderInTheMiddleOfATransactionDoesNotStopWrites)
{
    SharedStore store(dbPath());
    store.saveMessages({message("old", 1)});
    OtherConnection widget(dbPath());
    widget.exec("BEGIN");
    ASSERT_EQ(widget.get("messages").bytes, encoded({message("old", 1)}));

    for (int i = 0; i < 100; ++i) {
        store.appendMessage(message("t" + std::to_string(i % 60), 10.0 + i), 50);
    }
    store.saveDiscoveredTopics({"x"});
    EXPECT_EQ(widget.get("messages").bytes, encoded({message("old", 1)})) << "the reader keeps its snapshot";
    EXPECT_EQ(store.loadMessages().front(), message("t39", 109));
    EXPECT_EQ(OtherConnection(dbPath()).get("messages").bytes, encoded(store.loadMessages()));
    widget.exec("COMMIT");
    EXPECT_EQ(widget.get("messages").bytes, encoded(store.loadMessages()));
}

TEST_F(SharedStoreTest, AWriterHoldingTheLockBrieflyDelaysButDoesNotDropAWrite)
{
    SharedStore store(dbPath());
    OtherConnection writer(dbPath());
    writer.exec("BEGIN IMMEDIATE");
    writer.put("discoveredTopics", R"(["w"])");
    std::thread release([&writer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        writer.exec("COMMIT");
    });
    store.saveDiscoveredTopics({"s"});
    release.join();
    EXPECT_THAT(*store.loadDiscoveredTopics(), UnorderedElementsAre("s"));
    EXPECT_EQ(OtherConnection(dbPath()).get("discoveredTopics").bytes, R"(["s"])");
}

TEST_F(SharedStoreTest, FilesArePrivateWhateverTheUmask)
{
    const mode_t previous = ::umask(0);
    {
        SharedStore store(dbPath());
        ASSERT_TRUE(store.isAvailable());
        store.saveConfig(MQTTConfig::defaultConfig());
        OtherConnection reader(dbPath());  // keeps -wal and -shm in place
        EXPECT_EQ(modeOf(temp_.path() / "data"), 0700u);
        EXPECT_EQ(modeOf(dbPath().parent_path()), 0700u);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(modeOf(dbPath().string() + suffix), 0600u) << suffix;
        }
    }
    ::chmod(dbPath().c_str(), 0644);
    SharedStore reopened(dbPath());
    EXPECT_EQ(modeOf(dbPath()), 0600u) << "an existing file is made private again";
    ::umask(previous);
}

TEST_F(SharedStoreTest, UnusableLocationsGiveAStoreWithoutSuite)
{
    const fs::path regularFile = temp_.path() / "file";
    std::ofstream(regularFile) << "x";
    const fs::path notADatabase = temp_.path() / "garbage" / "defaults.sqlite3";
    fs::create_directories(notADatabase.parent_path());
    const std::string garbage(4096, 'g');
    std::ofstream(notADatabase) << garbage;
    const fs::path directory = temp_.path() / "dir" / "defaults.sqlite3";
    fs::create_directories(directory);

    struct Case {
        const char* name;
        std::optional<fs::path> path;
    };
    const Case cases[] = {
        {"no path", std::nullopt},
        {"below a regular file", regularFile / "group" / "defaults.sqlite3"},
        {"a file that is not a database", notADatabase},
        {"a directory in place of the file", directory},
    };
    for (const auto& c : cases) {
        SharedStore store(c.path);
        EXPECT_FALSE(store.isAvailable()) << c.name;
        MQTTConfig config = MQTTConfig::defaultConfig();
        config.host = "h";
        store.saveConfig(config);
        store.appendMessage(message("a", 1), 50);
        store.saveDisplayItems({MQTTDisplayItem::make("a", "b", "c")});
        store.removeDisplayItem("x");
        store.saveDiscoveredTopics({"a"});
        store.pruneMessages({});
        EXPECT_EQ(store.loadConfig(), MQTTConfig::defaultConfig()) << c.name;
        EXPECT_TRUE(store.loadMessages().empty()) << c.name;
        EXPECT_TRUE(store.loadDisplayItems().empty()) << c.name;
        EXPECT_TRUE(store.loadDiscoveredTopics()->empty()) << c.name;
    }
    std::ifstream in(notADatabase);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage) << "the foreign file is untouched";
    EXPECT_FALSE(fs::exists(notADatabase.string() + "-wal"));
}

TEST_F(SharedStoreTest, UnwritableDirectoryGivesAStoreWithoutSuite)
{
    const fs::path locked = temp_.path() / "locked";
    fs::create_directory(locked);
    ::chmod(locked.c_str(), 0555);
    const fs::path path = locked / "group" / "defaults.sqlite3";
    // Root ignores the mode bits: try it as an unprivileged user instead.
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        ::chmod(temp_.path().c_str(), 0755);
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (asRoot && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(2);
        }
        SharedStore store(path);
        store.saveDiscoveredTopics({"a"});
        ::_exit(store.isAvailable() || !store.loadDiscoveredTopics()->empty() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(locked / "group"));
}

TEST(SharedStorePath, FollowsTheXdgDataHomeRules)
{
    struct Case {
        const char* name;
        const char* dataHome;  // nullptr: unset
        const char* home;
        std::optional<fs::path> expected;
    };
    const Case cases[] = {
        {"XDG_DATA_HOME", "/x/data", "/home/u", fs::path("/x/data/group.org.telvane.Telvane/defaults.sqlite3")},
        {"unset XDG_DATA_HOME", nullptr, "/home/u",
         fs::path("/home/u/.local/share/group.org.telvane.Telvane/defaults.sqlite3")},
        {"empty XDG_DATA_HOME", "", "/home/u", fs::path("/home/u/.local/share/group.org.telvane.Telvane/defaults.sqlite3")},
        {"relative XDG_DATA_HOME", "rel", "/home/u",
         fs::path("/home/u/.local/share/group.org.telvane.Telvane/defaults.sqlite3")},
        {"neither", nullptr, nullptr, std::nullopt},
        {"relative HOME", nullptr, "home", std::nullopt},
    };
    auto saved = [](const char* name) {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto savedDataHome = saved("XDG_DATA_HOME");
    const auto savedHome = saved("HOME");
    auto set = [](const char* name, const char* value) {
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    };
    for (const auto& c : cases) {
        set("XDG_DATA_HOME", c.dataHome);
        set("HOME", c.home);
        EXPECT_EQ(SharedStore::defaultDatabasePath(), c.expected) << c.name;
    }
    set("XDG_DATA_HOME", savedDataHome ? savedDataHome->c_str() : nullptr);
    set("HOME", savedHome ? savedHome->c_str() : nullptr);
}

}  // namespace
}  // namespace telvane
