// What the widget shows, from stores seeded the way Telvane writes them.

#include "WidgetStore.h"
#include "widget/Snapshot.h"
#include "widget/StoreReader.h"
#include "widget/TextFormats.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace telvane::widget {
namespace {

using namespace std::chrono_literals;
using test::kNow;
using test::messageAgo;
using test::WidgetStore;

Snapshot snapshotOf(WidgetStore& store, double staleAfter = 3600)
{
    StoreReader reader(store.path(), 100ms);
    return makeSnapshot(reader.read(), store.path().string(), kNow, staleAfter);
}

std::vector<std::string> labels(const Snapshot& snapshot)
{
    std::vector<std::string> out;
    for (const auto& entry : snapshot.entries) {
        out.push_back(entry.label);
    }
    return out;
}

std::vector<std::string> values(const Snapshot& snapshot)
{
    std::vector<std::string> out;
    for (const auto& entry : snapshot.entries) {
        out.push_back(entry.value.value_or("<none>"));
    }
    return out;
}

TEST(Snapshot, DisplayItemsInStoredOrderWithTheValueAtTheirPath)
{
    WidgetStore store;
    store.seed(
        {
            messageAgo("home/garden", R"({"wind":{"speed":7.20},"rain":false,"list":[1,2]})", 30),
            messageAgo("home/room", R"({"t":21.5})", 60), messageAgo("home/light", "on", 90),
            messageAgo("home/room", R"({"t":0})", 120),  // older copy of a topic: not the latest
        },
        {
            MQTTDisplayItem::make("home/room", "Temperatur", "t"),
            MQTTDisplayItem::make("home/garden", "Wind", "wind.speed"),
            MQTTDisplayItem::make("home/garden", "Regen", "rain"),
            MQTTDisplayItem::make("home/garden", "Liste", "list"),  // an array has no display text
            MQTTDisplayItem::make("home/garden", "Fehlt", "nope"),  // no such path
            MQTTDisplayItem::make("home/light", "Licht", "state"),  // payload is not JSON
            MQTTDisplayItem::make("home/cellar", "Keller", "t"),    // no message at all
        },
        {{"home/room", "Wohnzimmer"}});
    const auto snapshot = snapshotOf(store);
    EXPECT_EQ(snapshot.state, SnapshotState::ok);
    EXPECT_THAT(labels(snapshot),
                ::testing::ElementsAre("Temperatur", "Wind", "Regen", "Liste", "Fehlt", "Licht", "Keller"))
        << "items take their own labels, never the topic label";
    EXPECT_THAT(values(snapshot),
                ::testing::ElementsAre("21.5", "7.2", "false", "<none>", "<none>", "<none>", "<none>"));
    EXPECT_EQ(snapshot.entries[1].path, "wind.speed");
    EXPECT_EQ(snapshot.entries[0].ageSeconds, 60);
    EXPECT_EQ(snapshot.entries[0].receivedUnix, kNow - 60);
    EXPECT_EQ(snapshot.entries[5].ageSeconds, 90) << "a message without the value still has an age";
    EXPECT_FALSE(snapshot.entries[6].ageSeconds);
    EXPECT_FALSE(snapshot.entries[6].receivedUnix);
}

TEST(Snapshot, WithoutDisplayItemsTheMessagesNewestFirstNamedByTheirLabels)
{
    WidgetStore store;
    store.seed({messageAgo("home/b", "zwei", 5), messageAgo("home/a", "eins", 50), messageAgo("home/c", "", 500)}, {},
               {{"home/a", "Flur"}, {"home/c", ""}});
    const auto snapshot = snapshotOf(store);
    EXPECT_THAT(labels(snapshot), ::testing::ElementsAre("home/b", "Flur", "home/c")) << "an empty label names nothing";
    EXPECT_THAT(values(snapshot), ::testing::ElementsAre("zwei", "eins", ""));
    EXPECT_FALSE(snapshot.entries[0].path);
}

TEST(Snapshot, StalenessFollowsTheThresholdAndZeroMeansNever)
{
    struct Case {
        double staleAfter;
        std::vector<bool> stale;
        SnapshotState state;
    };
    const std::vector<Case> cases{
        {3600, {false, true, false}, SnapshotState::stale},
        {60, {true, true, false}, SnapshotState::stale},
        {0, {false, false, false}, SnapshotState::ok},
        {1e9, {false, false, false}, SnapshotState::ok},
    };
    WidgetStore store;
    store.seed({messageAgo("a", "1", 3599), messageAgo("b", "2", 3600), messageAgo("c", "3", -100)});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.staleAfter);
        const auto snapshot = snapshotOf(store, c.staleAfter);
        std::vector<bool> stale;
        for (const auto& entry : snapshot.entries) {
            stale.push_back(entry.isStale);
        }
        EXPECT_EQ(stale, c.stale);
        EXPECT_EQ(snapshot.state, c.state);
        EXPECT_EQ(snapshot.entries[2].ageSeconds, 0) << "a message from the future is as new as now";
    }
}

TEST(Snapshot, StoreStatesBecomeSnapshotStates)
{
    StoreContents contents;
    contents.status = StoreStatus::missing;
    EXPECT_EQ(makeSnapshot(contents, "p", kNow, 0).state, SnapshotState::missing);
    contents.status = StoreStatus::busy;
    contents.reason = "gesperrt";
    const auto busy = makeSnapshot(contents, "p", kNow, 0);
    EXPECT_EQ(busy.state, SnapshotState::error);
    EXPECT_EQ(busy.reason, "gesperrt");
    contents.status = StoreStatus::ok;
    EXPECT_EQ(makeSnapshot(contents, "p", kNow, 0).state, SnapshotState::empty);
    contents.messages = {messageAgo("a", "1", 1)};
    EXPECT_EQ(makeSnapshot(contents, "p", kNow, 0).state, SnapshotState::ok);
}

TEST(Snapshot, TheHistoryOfEachEntryInJsonAndItsTrendInText)
{
    WidgetStore store;
    std::vector<std::pair<double, double>> week;
    for (double ago = 7 * 86400 - 300; ago >= 0; ago -= 300) {
        week.emplace_back(ago, ago == 86400 ? 1000 : 1);  // a spike that thinning merges away
    }
    store.keep({"w", "v"}, week);
    store.keep({"a", "v"}, {{72000, 0}, {1800, 100}, {60, 100.5}});  // under 1% of the day's range
    store.keep({"b", "v"}, {{72000, 0}, {3000, 50}, {60, 52}});
    store.keep({"c", "v"}, {{3000, 30}, {60, 20}});
    store.keep({"d", "v"}, {{7200, 5}, {600, 6}});  // one point in the hour: no trend
    std::vector<MQTTDisplayItem> items;
    std::vector<MQTTMessage> messages;
    for (const std::string topic : {"a", "b", "c", "d", "e"}) {
        items.push_back(MQTTDisplayItem::make(topic, topic, "v"));
        messages.push_back(messageAgo(topic, R"({"v": 1})", topic == "c" ? 7200 : 60));
    }
    store.seed(messages, items);
    StoreReader reader(store.path(), 100ms);
    const auto textWith = [&](const HistoryRequest& request, Format format) {
        const auto snapshot = makeSnapshot(reader.read(request), store.path().string(), kNow, 3600);
        return render(snapshot, FormatOptions{format});
    };
    EXPECT_EQ(textWith({kNow, std::nullopt, true}, Format::text),
              "a: 1 \u2192  b: 1 \u2191  c: 1 \u2193 (2 h)  d: 1  e: 1");
    EXPECT_EQ(textWith({kNow, std::nullopt, false}, Format::text), "a: 1  b: 1  c: 1 (2 h)  d: 1  e: 1");

    const auto json = nlohmann::json::parse(textWith({kNow, 86400}, Format::json));
    EXPECT_EQ(json["entries"][0]["history"],
              nlohmann::json::parse("[[1749928000, 0], [1749998200, 100], [1749999940, 100.5]]"));
    EXPECT_EQ(json["entries"][0]["historyMin"], 0);
    EXPECT_EQ(json["entries"][0]["historyMax"], 100.5);
    EXPECT_EQ(json["entries"][4]["history"], nlohmann::json::array());
    EXPECT_TRUE(json["entries"][4]["historyMin"].is_null());
    EXPECT_FALSE(
        nlohmann::json::parse(textWith({kNow, std::nullopt, false}, Format::json))["entries"][0].contains("history"));

    items.push_back(MQTTDisplayItem::make("w", "w", "v"));
    store.telvane().saveDisplayItems(items);
    const auto weekJson = nlohmann::json::parse(textWith({kNow, 7 * 86400}, Format::json))["entries"][5];
    EXPECT_EQ(weekJson["history"].size(), kMaxHistoryPoints);
    EXPECT_EQ(weekJson["history"].back(), nlohmann::json::parse("[1750000000, 1]"));
    EXPECT_EQ(weekJson["historyMax"], 1000);
}

}  // namespace
}  // namespace telvane::widget
