// The widget's read-only access to the store: whatever lies at the path,
// a read gives a status and the documents, and never changes the file.

#include "WidgetStore.h"
#include "widget/StoreReader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

namespace telvane::widget {
namespace {

using namespace std::chrono_literals;
using test::messageAgo;
using test::WidgetStore;

std::string fileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each case puts something at the path that is not a well-kept store.
TEST(StoreReader, AnythingAtThePathGivesAStatusAndDefaults)
{
    struct Case {
        const char* name;
        std::function<void(WidgetStore&)> prepare;
        StoreStatus status;
        std::size_t messages;
    };
    const std::vector<Case> cases{
        {"no file", [](WidgetStore&) {}, StoreStatus::missing, 0},
        {"garbage bytes",
         [](WidgetStore& s) {
             std::filesystem::create_directories(s.path().parent_path());
             std::ofstream(s.path()) << "this is not a database, just some text that is long enough to look\n";
         },
         StoreStatus::error, 0},
        {"empty file",
         [](WidgetStore& s) {
             std::filesystem::create_directories(s.path().parent_path());
             std::ofstream{s.path()};
         },
         StoreStatus::ok, 0},
        {"a directory", [](WidgetStore& s) { std::filesystem::create_directories(s.path()); }, StoreStatus::error, 0},
        {"database without the table",
         [](WidgetStore& s) {
             std::filesystem::create_directories(s.path().parent_path());
             s.exec("CREATE TABLE other(x);");
         },
         StoreStatus::ok, 0},
        {"values of other SQLite types",
         [](WidgetStore& s) {
             s.seed({messageAgo("a", "1", 1)});
             s.exec(
                 "UPDATE defaults SET value = CAST(value AS TEXT) WHERE key = 'messages';"
                 "UPDATE defaults SET value = 42 WHERE key = 'displayItems';"
                 "UPDATE defaults SET value = NULL WHERE key = 'config';");
         },
         StoreStatus::ok, 0},
        {"documents that are not JSON or not records",
         [](WidgetStore& s) {
             s.seed({messageAgo("a", "1", 1)});
             s.exec(
                 "UPDATE defaults SET value = CAST('[{\"topic\":1}]' AS BLOB) WHERE key = 'messages';"
                 "UPDATE defaults SET value = X'FF00FE' WHERE key = 'displayItems';");
         },
         StoreStatus::ok, 0},
        {"one good document beside bad ones",
         [](WidgetStore& s) {
             s.seed({messageAgo("a", "1", 1)});
             s.exec("UPDATE defaults SET value = X'00' WHERE key = 'config';");
         },
         StoreStatus::ok, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WidgetStore store;
        c.prepare(store);
        const bool existed = std::filesystem::is_regular_file(store.path());
        const std::string before = existed ? fileBytes(store.path()) : std::string();

        StoreReader reader(store.path(), 100ms);
        const auto contents = reader.read();
        EXPECT_EQ(contents.status, c.status);
        EXPECT_EQ(contents.status == StoreStatus::error, !contents.reason.empty()) << contents.reason;
        EXPECT_EQ(contents.messages.size(), c.messages);
        EXPECT_TRUE(contents.displayItems.empty());
        EXPECT_EQ(std::filesystem::exists(store.path()), c.status != StoreStatus::missing) << "created a store";
        if (existed) {
            EXPECT_EQ(fileBytes(store.path()), before) << "the reader changed the file";
        }
    }
}

TEST(StoreReader, AStoreWithoutTheHistoryTablesHasNoPointsUntilTheyAppear)
{
    WidgetStore store;
    store.seed({messageAgo("a", "1", 1)});
    store.closeTelvane();
    store.exec("DROP TABLE historyPoints; DROP TABLE historySeries");
    const std::string before = fileBytes(store.path());
    StoreReader reader(store.path(), 100ms);
    const HistoryRequest request{test::kNow, 86400, true};
    const auto old = reader.read(request);
    EXPECT_EQ(old.status, StoreStatus::ok);
    EXPECT_TRUE(old.hasHistory);
    EXPECT_TRUE(old.history.at({"a", ""}).points.empty());
    EXPECT_EQ(fileBytes(store.path()), before) << "the reader changed the file";

    store.keep({"a", ""}, {{1, 1}});  // Telvane, updated, adds them
    EXPECT_EQ(reader.read(request).history.at({"a", ""}).points.size(), 1U);
}

TEST(StoreReader, FollowsNewCommitsAStoreThatAppearsAndOneThatIsReplaced)
{
    WidgetStore store;
    StoreReader reader(store.path(), 100ms);
    EXPECT_FALSE(reader.version());
    EXPECT_EQ(reader.read().status, StoreStatus::missing);

    store.seed({messageAgo("a", "first", 1)});
    const auto appeared = reader.version();
    ASSERT_TRUE(appeared);
    EXPECT_EQ(reader.read().messages.at(0).payload, "first");
    EXPECT_EQ(reader.version(), appeared) << "nothing was committed since";

    store.telvane().appendMessages({messageAgo("a", "second", 0)}, 50);
    const auto written = reader.version();
    EXPECT_NE(written, appeared);
    EXPECT_EQ(reader.read().messages.at(0).payload, "second");

    // Another store moved into place (a restored backup): a new file.
    store.closeTelvane();
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(store.path().string() + suffix);
    }
    WidgetStore other;
    other.seed({messageAgo("b", "restored", 1)});
    other.closeTelvane();
    std::filesystem::rename(other.path(), store.path());
    EXPECT_NE(reader.version(), written);
    const auto contents = reader.read();
    ASSERT_EQ(contents.messages.size(), 1U);
    EXPECT_EQ(contents.messages[0].payload, "restored");

    std::filesystem::remove(store.path());
    EXPECT_FALSE(reader.version());
    EXPECT_EQ(reader.read().status, StoreStatus::missing);
}

// A writer that holds the database exclusively (not Telvane, which never
// does): the read waits its busy timeout, reports busy, and works again
// once the writer lets go.
TEST(StoreReader, AStoreHeldByAWriterReadsAsBusyUntilReleased)
{
    WidgetStore store;
    store.seed({messageAgo("a", "kept", 1)});
    store.closeTelvane();
    std::optional<telvane::test::StoreFile> writer(std::in_place, store.path());
    writer->exec(
        "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
        "UPDATE defaults SET value = value WHERE key = 'messages';");

    StoreReader reader(store.path(), 50ms);
    const auto start = std::chrono::steady_clock::now();
    const auto held = reader.read();
    EXPECT_EQ(held.status, StoreStatus::busy);
    EXPECT_FALSE(held.reason.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "waited far beyond its busy timeout";

    writer->exec("COMMIT; PRAGMA locking_mode=NORMAL; SELECT 1 FROM defaults;");
    writer.reset();
    const auto released = reader.read();
    EXPECT_EQ(released.status, StoreStatus::ok);
    ASSERT_EQ(released.messages.size(), 1U);
    EXPECT_EQ(released.messages[0].payload, "kept");
}

}  // namespace
}  // namespace telvane::widget
