// The history the delivery keeps of the shown values, on a virtual clock:
// what one interval keeps, which values count, and that it stays bounded.

#include "model/HistoryTables.h"
#include "model/SharedStore.h"
#include "mqtt/MessageDelivery.h"
#include "support/CountingReloadSignal.h"
#include "support/StoreFile.h"
#include "support/TempDir.h"
#include "support/VirtualEventLoop.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace telvane {
namespace {

constexpr double kStart = 1'750'000'000.0;  // a multiple of 300: intervals start here

class HistoryDeliveryTest : public ::testing::Test {
protected:
    HistoryDeliveryTest()
    {
        MQTTConfig config;
        config.topics = {"room", "bare"};
        store.saveConfig(config);
    }

    // Delivers the payloads to `topic`, one every half second, and writes them.
    void deliver(const std::string& topic, const std::vector<std::string>& payloads)
    {
        for (const auto& payload : payloads) {
            delivery.deliver(topic, payload, store.loadConfig().topics);
            now += 0.5;
        }
        loop.advance(MessageDelivery::kMessagesWriteSpacing);
    }

    // What another connection finds: the points of the last `span` seconds,
    // once the delivery has written what it holds back.
    std::vector<HistoryPoint> stored(const HistorySeries& series, double span = 3600)
    {
        delivery.flush();
        return SharedStore(path).loadHistory(series, now - span, now);
    }

    [[nodiscard]] int rows(const std::string& sql) { return std::stoi(test::StoreFile(path).query(sql)); }

    test::TempDir dir;
    std::filesystem::path path = dir.path() / "defaults.sqlite3";
    SharedStore store{path};
    test::CountingReloadSignal reloadSignal;
    VirtualEventLoop loop;
    double now = kStart;
    MessageDelivery delivery{store, reloadSignal, loop, [this] { return Date::fromUnix(now); }};
};

TEST_F(HistoryDeliveryTest, AnIntervalKeepsItsNewestNumberWithItsMinAndMaxAndNothingElse)
{
    store.saveDisplayItems({MQTTDisplayItem::make("room", "T", "t")});
    constexpr double kMax = std::numeric_limits<double>::max();
    // Two writes into one 10 s interval: the second merges into the stored point.
    deliver("room", {R"({"t": 20})", R"({"t": 25.5})", "21.5", R"({"t": "30"})", R"({"t": true})"});
    deliver("room", {R"({"t": null})", R"({"t": [40]})", R"({"t": {"v": 50}})", R"({"t": -3})", R"({"t": 1e400})",
                     R"({"t": 22})", R"({"t": "\u0000<b>'; DROP TABLE x"})", R"({"t": 23,)"});
    // The next interval: the edges of the double range are numbers, beyond them no JSON.
    now = kStart + 10;
    deliver("room", {"{\"t\": 1.7976931348623157e308}", "{\"t\": -1.7976931348623157e308}",
                     "{\"t\": 1.7976931348623159e308}", "{\"t\": 18446744073709551616}", R"({"t": 4.9e-324})"});

    const std::vector<HistoryPoint> expected{{kStart + 5, 22, -3, 25.5}, {kStart + 12, 4.9e-324, -kMax, kMax}};
    EXPECT_EQ(stored({"room", "t"}), expected) << "10 s points";
    EXPECT_EQ(stored({"room", "t"}, 86400), (std::vector<HistoryPoint>{{kStart + 12, 4.9e-324, -kMax, kMax}}))
        << "one 5 min point";
    EXPECT_TRUE(stored({"room", ""}).empty()) << "with display items, no topic series";
    EXPECT_EQ(reloadSignal.count, 3) << "no extra reload for the history";
}

TEST_F(HistoryDeliveryTest, WithoutDisplayItemsATopicKeepsOnlyBareNumbers)
{
    deliver("bare", {"7", " -2.5e1\n", R"({"t": 1})", "7 °C", "[8]", R"("9")", "NaN", "Infinity", "1e400", "12"});
    EXPECT_EQ(stored({"bare", ""}), (std::vector<HistoryPoint>{{kStart + 4.5, 12, -25, 12}}));
}

TEST_F(HistoryDeliveryTest, AMillionMessagesOverEightDaysLeaveOnlyWhatIsKept)
{
    store.saveDisplayItems({MQTTDisplayItem::make("room", "T", "t"), MQTTDisplayItem::make("bare", "B", "v")});
    deliver("bare", {R"({"v": 1})"});
    // One every 0.7 s; the trimming runs every 5 minutes on the loop.
    const std::string topic = "room";
    const std::string payload = R"({"t": 1})";
    const std::vector<std::string> topics{topic};
    for (int message = 0; message < 1'000'000; ++message) {
        delivery.deliver(topic, payload, topics);
        now += 0.7;
        if (message % 400 == 399) {
            loop.advance(MessageDelivery::kHistoryTrimInterval);
        }
    }
    loop.advance(MessageDelivery::kHistoryTrimInterval);
    // A day and an hour of 10 s points, a week of 5 min points, each with
    // the interval that has just begun.
    EXPECT_LE(rows("SELECT count(*) FROM historyPoints WHERE tier = 0"), 25 * 360 + 1);
    EXPECT_LE(rows("SELECT count(*) FROM historyPoints WHERE tier = 1"), 7 * 288 + 1);
    EXPECT_GE(rows("SELECT count(*) FROM historyPoints WHERE tier = 1"), 7 * 288 - 1);
    EXPECT_EQ(rows("SELECT count(*) FROM historySeries"), 2) << "the quiet item's points aged out, not the series";
    EXPECT_EQ(stored({"bare", "v"}, 30 * 86400).size(), 0U);

    store.saveDisplayItems({MQTTDisplayItem::make("bare", "B", "v")});
    loop.advance(MessageDelivery::kHistoryTrimInterval);
    EXPECT_EQ(rows("SELECT count(*) FROM historyPoints"), 0) << "a removed item's series goes with its points";
    EXPECT_EQ(rows("SELECT count(*) FROM historySeries"), 1);
}

}  // namespace
}  // namespace telvane
