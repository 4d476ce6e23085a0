// The display items editor without widgets: which topics and paths it
// offers, and what each action leaves in the store.

#include "UiFixture.h"

#include "model/JsonPath.h"
#include "ui/displayitems/DisplayItemsEditor.h"

#include <gmock/gmock.h>

namespace telvane::test {
namespace {

using DisplayItemsEditorTest = UiFixture;

struct Row {
    std::string path;
    std::string label;
    std::string value;
};

std::vector<Row> valueRows(DisplayItemsEditor& editor)
{
    std::vector<Row> rows;
    for (const auto& path : *editor.availablePaths()) {
        rows.push_back({path, editor.pendingLabel(path), editor.valueText(path)});
    }
    return rows;
}

MATCHER_P3(IsRow, path, label, value, "")
{
    return arg.path == path && arg.label == label && arg.value == value;
}

TEST_F(DisplayItemsEditorTest, ChoosingATopicListsEachPathWithItsDefaultLabelAndTheValueAWidgetWouldShow)
{
    using ::testing::ElementsAre;
    using ::testing::IsEmpty;
    struct Case {
        const char* payload;
        ::testing::Matcher<std::vector<Row>> rows;
    };
    const std::vector<Case> cases{
        {R"({"sensor": {"temp": 21.5, "hum": 40}})",
         ElementsAre(IsRow("sensor.hum", "hum", "40"), IsRow("sensor.temp", "temp", "21.5"))},
        // One row for the empty path: no value, no label.
        {"{}", ElementsAre(IsRow("", "", "\u2013"))},
        {R"([10, {"v": null, "on": true}])",
         ElementsAre(IsRow("0", "0", "10"), IsRow("1.on", "on", "true"), IsRow("1.v", "v", "\u2013"))},
        // A key with a dot is listed, but no path reaches it: the widget would show nothing.
        {R"({"a.b": 1})", ElementsAre(IsRow("a.b", "b", "\u2013"))},
        {R"({"x": {}, "y": []})", ElementsAre(IsRow("x", "x", "\u2013"), IsRow("y", "y", "\u2013"))},
        {"21.5", IsEmpty()},
        {R"({"broken": )", IsEmpty()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        seed(configWithTopics({"T"}), {message("T", c.payload, 1'700'000'000)});
        auto& editor = makeState().displayItemsEditor();
        editor.setNewItemTopic("T");
        EXPECT_THAT(valueRows(editor), c.rows);
    }
}

TEST_F(DisplayItemsEditorTest, OnlyConfiguredTopicsWhoseLatestPayloadIsJSONAreOfferedEachOnceInByteOrder)
{
    seed(configWithTopics({"b", "text", "a", "B", "silent", "b", "old"}),
         {message("b", "[1]", 1'700'000'006), message("text", "on", 1'700'000'005), message("a", "{}", 1'700'000'004),
          message("B", R"({"x": 1})", 1'700'000'003), message("old", "off", 1'700'000'002),
          message("old", R"({"x": 1})", 1'700'000'001), message("unconfigured", "{}", 1'700'000'000)});
    auto& editor = makeState().displayItemsEditor();
    EXPECT_EQ(editor.topicsWithJSON(), (std::vector<std::string>{"B", "a", "b"}));
}

TEST_F(DisplayItemsEditorTest, ValuesFollowNewPayloadsOfTheChosenTopicAndAChosenTopicWithoutDataHasNoRows)
{
    seed(configWithTopics({"T"}), {message("T", R"({"t": 1})", 1'700'000'000)});
    auto& state = makeState();
    auto& editor = state.displayItemsEditor();
    editor.setNewItemTopic("T");
    const auto paths = editor.availablePaths();
    EXPECT_EQ(editor.valueText("t"), "1");

    store_.appendMessages({message("T", R"({"t": 2})", 1'700'000'001)}, 50);
    state.refreshFromStore();
    EXPECT_EQ(editor.valueText("t"), "2");
    EXPECT_EQ(editor.availablePaths(), paths) << "same paths, same list: the rows stand";

    store_.appendMessages({message("T", R"({"t": 3, "u": 4})", 1'700'000'002)}, 50);
    state.refreshFromStore();
    EXPECT_EQ(*editor.availablePaths(), (std::vector<std::string>{"t", "u"}));

    state.removeTopic("T");  // prunes its message
    EXPECT_EQ(editor.newItemTopic(), "T");
    EXPECT_TRUE(editor.topicsWithJSON().empty());
    EXPECT_TRUE(editor.availablePaths()->empty());
    EXPECT_EQ(editor.valueText("t"), "\u2013");
}

TEST_F(DisplayItemsEditorTest, AnotherTopicForgetsTheLabelsTypedForThePreviousOne)
{
    seed(configWithTopics({"T", "U"}), {message("T", R"({"t": 1})", 1), message("U", R"({"t": 1})", 2)});
    auto& editor = makeState().displayItemsEditor();
    editor.setNewItemTopic("T");
    editor.setPendingLabel("t", "Typed");
    editor.setNewItemTopic("T");
    EXPECT_EQ(editor.pendingLabel("t"), "Typed") << "choosing the same topic again changes nothing";
    editor.setNewItemTopic("U");
    EXPECT_EQ(editor.pendingLabel("t"), "t");
    EXPECT_TRUE(editor.pendingLabels().empty());
}

TEST_F(DisplayItemsEditorTest, AddTrimsTheLabelAddsNothingForABlankOneAndDisablesThePath)
{
    struct Case {
        const char* name;
        std::string path;
        std::optional<std::string> typed;   // none: the prefilled label
        std::optional<std::string> stored;  // none: nothing added
    };
    const std::vector<Case> cases{
        {"prefilled label", "sensor.temp", std::nullopt, "temp"},
        {"blanks around", "sensor.temp", " \tTemperatur\u00A0\u3000", "Temperatur"},
        {"line breaks are not blanks", "sensor.temp", "\nT\n ", "\nT\n"},
        {"only blanks", "sensor.temp", " \t\u2003", std::nullopt},
        {"the empty path's empty label", "", std::nullopt, std::nullopt},
        {"the empty path once labelled", "", "Alles", "Alles"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seed(configWithTopics({"T"}), {message("T", R"({"sensor": {"temp": 21.5}})", 1'700'000'000)});
        reloadSignal_.count = 0;
        auto& state = makeState();
        auto& editor = state.displayItemsEditor();
        editor.setNewItemTopic("T");
        if (c.typed) {
            editor.setPendingLabel(c.path, *c.typed);
        }

        EXPECT_EQ(editor.addItem(c.path), c.stored.has_value());

        const auto stored = store_.loadDisplayItems();
        EXPECT_EQ(state.displayItems(), stored);
        if (!c.stored) {
            EXPECT_TRUE(stored.empty());
            EXPECT_FALSE(editor.hasItem(c.path));
            EXPECT_EQ(reloadSignal_.count, 0);
            continue;
        }
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(stored[0].topic, "T");
        EXPECT_EQ(stored[0].jsonPath, c.path);
        EXPECT_EQ(stored[0].label, *c.stored);
        EXPECT_TRUE(editor.hasItem(c.path));
        EXPECT_EQ(editor.pendingLabel(c.path), c.typed.value_or(DisplayItemsEditor::defaultLabel(c.path)))
            << "the field keeps what was typed";
        EXPECT_FALSE(editor.addItem(c.path)) << "the same path twice";
        EXPECT_EQ(store_.loadDisplayItems().size(), 1u);
        EXPECT_EQ(reloadSignal_.count, 1);
        loop_.advance(Seconds(0.5));
        EXPECT_EQ(reloadSignal_.count, 2);
    }
}

TEST_F(DisplayItemsEditorTest, EditsBuildOnTheStoredListSoChangesMadeElsewhereMeanwhileSurvive)
{
    const auto kept = MQTTDisplayItem::make("T", "Temp", "t");
    const auto removedElsewhere = MQTTDisplayItem::make("T", "Alt", "old");
    seed(configWithTopics({"T"}), {message("T", R"({"t": 1, "u": 2, "v": 3})", 1'700'000'000)},
         {kept, removedElsewhere});
    auto& state = makeState();
    auto& editor = state.displayItemsEditor();
    editor.setNewItemTopic("T");

    // Another process changes the list between two refresh ticks.
    SharedStore other(dir_.path() / "defaults.sqlite3");
    other.saveDisplayItems({kept});
    editor.setItemLabel(kept.id, "Temperatur");
    auto renamed = kept;
    renamed.label = "Temperatur";
    EXPECT_EQ(store_.loadDisplayItems(), std::vector<MQTTDisplayItem>{renamed});
    editor.setItemLabel(removedElsewhere.id, "Zurück?");
    EXPECT_EQ(store_.loadDisplayItems(), std::vector<MQTTDisplayItem>{renamed})
        << "an item removed elsewhere does not come back";

    // Added after the label edits read the list: only the store knows it.
    const auto addedElsewhere = MQTTDisplayItem::make("T", "Von woanders", "v");
    other.saveDisplayItems({renamed, addedElsewhere});
    ASSERT_EQ(state.displayItems(), std::vector<MQTTDisplayItem>{renamed});
    EXPECT_FALSE(editor.addItem("v")) << "added elsewhere already";
    EXPECT_TRUE(editor.addItem("u"));
    ASSERT_EQ(store_.loadDisplayItems().size(), 3u);
    EXPECT_EQ(store_.loadDisplayItems()[1], addedElsewhere);
    EXPECT_EQ(state.displayItems(), store_.loadDisplayItems());
}

TEST_F(DisplayItemsEditorTest, LabelEditsAreStoredAsTypedWithoutReloadAndReturnRestoresABlankLabel)
{
    struct Case {
        std::string typed;
        std::string afterReturn;
    };
    const std::vector<Case> cases{
        {"", "temp"}, {" \t\u00A0", "temp"}, {"  Innen ", "  Innen "}, {"\n", "\n"},  // a line break is not blank
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("typed '" + c.typed + "'");
        const auto item = MQTTDisplayItem::make("T", "Temp", "sensor..temp.");
        seed(configWithTopics({"T"}), {}, {item});
        reloadSignal_.count = 0;
        auto& state = makeState();
        auto& editor = state.displayItemsEditor();

        editor.setItemLabel(item.id, c.typed);
        EXPECT_EQ(store_.loadDisplayItems().at(0).label, c.typed);
        EXPECT_EQ(state.displayItems().at(0).label, c.typed);
        EXPECT_EQ(reloadSignal_.count, 0);

        editor.submitItemLabel(item.id);
        EXPECT_EQ(store_.loadDisplayItems().at(0).label, c.afterReturn);
        EXPECT_EQ(state.displayItems().at(0).label, c.afterReturn);
        EXPECT_EQ(reloadSignal_.count, 1);
    }
}

TEST_F(DisplayItemsEditorTest, RemovingAnItemReloadsTheWidgetWhileRemovingItsTopicKeepsIt)
{
    const auto first = MQTTDisplayItem::make("T", "Temp", "t");
    const auto second = MQTTDisplayItem::make("U", "Hum", "h");
    seed(configWithTopics({"T", "U"}), {}, {first, second});
    auto& state = makeState();

    state.removeTopic("U");
    EXPECT_EQ(state.displayItems(), (std::vector<MQTTDisplayItem>{first, second}));
    reloadSignal_.count = 0;

    state.displayItemsEditor().removeItem(first.id);
    EXPECT_EQ(store_.loadDisplayItems(), std::vector<MQTTDisplayItem>{second});
    EXPECT_EQ(state.displayItems(), std::vector<MQTTDisplayItem>{second});
    EXPECT_EQ(reloadSignal_.count, 1);
}

TEST_F(DisplayItemsEditorTest, DefaultLabelIsTheLastNonEmptyComponent)
{
    const std::vector<std::pair<std::string, std::string>> cases{
        {"sensor.temp", "temp"}, {"a..b.", "b"}, {"", ""}, {".", "."}, {"...", "..."}, {"0", "0"}, {"ä.ö", "ö"},
    };
    for (const auto& [path, label] : cases) {
        EXPECT_EQ(DisplayItemsEditor::defaultLabel(path), label) << path;
    }
}

TEST_F(DisplayItemsEditorTest, AnAddedItemIsWhatAWidgetReadsFromTheStoreFile)
{
    seed(configWithTopics({"home/garden"}),
         {message("home/garden", R"({"wind": {"speed": 3.5}, "rain": false})", 1'700'000'000)});
    auto& editor = makeState().displayItemsEditor();
    editor.setNewItemTopic("home/garden");
    editor.setPendingLabel("wind.speed", " Wind ");
    ASSERT_TRUE(editor.addItem("wind.speed"));

    // The store file as a widget reads it.
    const Json document =
        Json::parse(StoreFile(dir_.path() / "defaults.sqlite3", StoreFile::Access::readOnly).get("displayItems"));
    ASSERT_TRUE(document.is_array());
    ASSERT_EQ(document.size(), 1u);
    const Json& item = document[0];
    EXPECT_EQ(item.size(), 4u);
    EXPECT_EQ(item["topic"], "home/garden");
    EXPECT_EQ(item["label"], "Wind");
    EXPECT_EQ(item["jsonPath"], "wind.speed");
    const std::string id = item["id"];
    EXPECT_EQ(canonicalUUID(id), id) << "an upper-case UUID";
    // What the widget then shows for it.
    EXPECT_EQ(valueAtPath(*parseJSONPayload(R"({"wind": {"speed": 3.5}})"), item["jsonPath"].get<std::string>()),
              "3.5");
}

}  // namespace
}  // namespace telvane::test
