// What the widget shows, from stores seeded the way Telvane writes them.

#include "WidgetStore.h"
#include "widget/Snapshot.h"
#include "widget/StoreReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace telvane::widget
