#include "UiFixture.h"
#include "support/DiscoveredTopics.h"

#include <functional>

namespace telvane::test {
namespace {

using StateTest = UiFixture;

struct SaveTrigger {
    const char* name;
    std::function<void(SettingsWindowState&)> run;
    std::vector<std::string> storedTopics;
    std::vector<std::string> keptMessageTopics;  // newest first
};

TEST_F(StateTest, EverySaveTriggerStoresPrunesPostsAndReloadsTheWidgetTwice)
{
    const std::vector<SaveTrigger> triggers{
        {"button", [](SettingsWindowState& s) { s.saveAndReconnect(); }, {"a", "b"}, {"b", "a"}},
        {"protocol change",
         [](SettingsWindowState& s) { s.selectProtocolVersion(MQTTProtocolVersion::mqtt50); },
         {"a", "b"},
         {"b", "a"}},
        {"topic removal", [](SettingsWindowState& s) { s.removeTopic("b"); }, {"a"}, {"a"}},
        {"topic added in the picker", [](SettingsWindowState& s) { s.addTopic(" c "); }, {"a", "b", "c"}, {"b", "a"}},
    };
    for (const auto& trigger : triggers) {
        SCOPED_TRACE(trigger.name);
        reloadSignal_.count = 0;
        reconnects_ = 0;
        seed(configWithTopics({"a", "b"}),
             {message("b", "2", 1'700'000'002), message("gone", "x", 1'700'000'001), message("a", "1", 1'700'000'000)});
        auto& state = makeState();
        state.setHost("edited.example");  // an unsaved edit goes along with every save

        trigger.run(state);

        EXPECT_EQ(store_.loadConfig(), state.config());
        EXPECT_EQ(store_.loadConfig().host, "edited.example");
        EXPECT_EQ(store_.loadConfig().topics, trigger.storedTopics);
        std::vector<std::string> kept;
        const auto stored = store_.messagesSnapshot();
        for (const auto& m : *stored) {
            kept.push_back(m.topic);
        }
        EXPECT_EQ(kept, trigger.keptMessageTopics);
        EXPECT_EQ(state.messages(), *store_.messagesSnapshot());
        EXPECT_EQ(reconnects_, 1);
        EXPECT_EQ(reloadSignal_.count, 1);
        loop_.advance(Seconds(0.49));
        EXPECT_EQ(reloadSignal_.count, 1);
        loop_.advance(Seconds(0.02));
        EXPECT_EQ(reloadSignal_.count, 2);
        loop_.advance(Seconds(5));
        EXPECT_EQ(reloadSignal_.count, 2);
    }
}

TEST_F(StateTest, TheSameProtocolOrAnExistingOrBlankTopicSavesNothing)
{
    seed(configWithTopics({"a/x"}));
    auto& state = makeState();
    state.selectProtocolVersion(MQTTProtocolVersion::mqtt311);
    EXPECT_FALSE(state.addTopic("a/x"));
    EXPECT_FALSE(state.addTopic(" \t\u00A0"));
    state.topicPicker().setNewTopicText(" a/x ");
    state.topicPicker().addNewTopic();
    EXPECT_EQ(state.topicPicker().newTopicText(), "") << "the picker's field is cleared also for a duplicate";
    EXPECT_TRUE(state.addTopic("A/x"));  // case-sensitive: a different topic
    EXPECT_EQ(reconnects_, 1);
    EXPECT_EQ(store_.loadConfig().topics, (std::vector<std::string>{"a/x", "A/x"}));
}

TEST_F(StateTest, CredentialsTreatOnlyTheEmptyTextAsAbsent)
{
    struct Case {
        std::string typed;
        std::optional<std::string> stored;
    };
    const std::vector<Case> cases{{"", std::nullopt}, {" ", " "}, {" user\t", " user\t"}};
    seed(configWithTopics({}));
    auto& state = makeState();
    for (const auto& c : cases) {
        SCOPED_TRACE("typed '" + c.typed + "'");
        state.setUsernameText(c.typed);
        state.setPasswordText(c.typed);
        state.saveAndReconnect();
        EXPECT_EQ(store_.loadConfig().username, c.stored);
        EXPECT_EQ(store_.loadConfig().password, c.stored);
        EXPECT_EQ(state.usernameText(), c.typed);
    }
}

TEST_F(StateTest, PortTextThatIsNotAPortKeepsThePreviousPort)
{
    struct Case {
        std::string typed;
        std::uint16_t port;
    };
    const std::vector<Case> cases{
        {"1884", 1884}, {"65536", 1884},  {"abc", 1884},
        {"", 1884},     {"-1", 1884},     {"65535", 65535},
        {"0", 0},       {" 1885 ", 1885}, {"99999999999999999999", 1885},
    };
    seed(configWithTopics({}));
    auto& state = makeState();
    for (const auto& c : cases) {
        SCOPED_TRACE("typed '" + c.typed + "'");
        state.setPortText(c.typed);
        EXPECT_EQ(state.config().port, c.port);
    }
    EXPECT_EQ(state.portText(), "1885");  // no digit grouping, whatever the locale
}

TEST_F(StateTest, DisplayNamesAreTrimmedOfTabsAndUnicodeSpacesAndABlankNameRemovesTheEntry)
{
    struct Case {
        std::string typed;
        std::optional<std::string> stored;
    };
    const std::vector<Case> cases{
        {"  Wohn zimmer\t", "Wohn zimmer"},
        {"\u00A0\u1680\u2000\u200A\u202F\u205F\u3000Bad\u3000", "Bad"},
        {" \r\nFlur\n ", "\r\nFlur\n"},  // line breaks are not blanks
        {"\u200BK", "\u200BK"},          // nor is a zero width space (a format character)
        {"\u00E0 ", "\u00E0"},           // the last byte of "à" is 0xA0, as in U+00A0
        {"\xFF ", "\xFF"},               // invalid bytes stay, blanks around them go
        {" \xC3", "\xC3"},               // a truncated sequence is not a blank
        {" \t\u00A0\u3000", std::nullopt},
        {"", std::nullopt},
    };
    seed(configWithTopics({"t"}));
    auto& state = makeState();
    for (const auto& c : cases) {
        SCOPED_TRACE("typed '" + c.typed + "'");
        state.setTopicLabelText("t", "Vorher");
        state.setTopicLabelText("t", c.typed);
        const auto it = state.config().topicLabels.find("t");
        EXPECT_EQ(it == state.config().topicLabels.end() ? std::nullopt : std::optional(it->second), c.stored);
    }
}

TEST_F(StateTest, RemovingATopicConfiguredTwiceRemovesBothEntriesAndItsNameButNotItsDisplayItems)
{
    MQTTConfig config = configWithTopics({"t", "u", "t"});
    config.topicLabels = {{"t", "T"}, {"u", "U"}};
    const auto item = MQTTDisplayItem::make("t", "Temp", "temp");
    seed(config, {message("t", "{}", 1'700'000'000)}, {item});
    auto& state = makeState();

    state.removeTopic(state.config().topics.front());  // a reference into the list being edited

    EXPECT_EQ(store_.loadConfig().topics, std::vector<std::string>{"u"});
    EXPECT_EQ(store_.loadConfig().topicLabels, (std::map<std::string, std::string>{{"u", "U"}}));
    EXPECT_TRUE(state.messages().empty());
    EXPECT_EQ(store_.loadDisplayItems(), std::vector<MQTTDisplayItem>{item});
}

TEST_F(StateTest, RefreshTickFollowsTheStoreEverySecondWhileShownAndKeepsUnsavedEdits)
{
    seed(configWithTopics({"a"}));
    auto& state = makeState();
    state.windowShown();
    state.setHost("unsaved.example");

    store_.appendMessages({message("a", "21.5", 1'700'000'000)}, 50);
    const auto item = MQTTDisplayItem::make("a", "Temp", "");
    store_.saveDisplayItems({item});
    telvane::test::saveDiscoveredTopics(store_, {"a", "b/c"});
    store_.saveConfig(configWithTopics({"z"}));

    loop_.advance(Seconds(0.99));
    EXPECT_TRUE(state.messages().empty()) << "no tick before the first second";
    loop_.advance(Seconds(0.01));
    EXPECT_EQ(state.messages().size(), 1u);
    EXPECT_EQ(state.displayItems(), std::vector<MQTTDisplayItem>{item});
    // Nothing shown reads the discovered topics while the picker is closed:
    // the tick does not decode them.
    TopicPickerState& picker = state.topicPicker();
    EXPECT_TRUE(picker.storedTopics().empty());
    EXPECT_EQ(state.config().host, "unsaved.example");
    picker.open();
    telvane::test::saveDiscoveredTopics(store_, {"a", "b/c", "d"});
    EXPECT_FALSE(picker.canRefresh());
    loop_.advance(Seconds(1));
    EXPECT_EQ(picker.storedTopics(), (TopicSet{"a", "b/c", "d"}));
    EXPECT_TRUE(picker.canRefresh());
    picker.close();
    EXPECT_EQ(state.config().topics, std::vector<std::string>{"a"});

    state.windowHidden();
    store_.appendMessages({message("a", "22", 1'700'000'001)}, 50);
    loop_.advance(Seconds(3));
    EXPECT_EQ(state.messages().size(), 1u) << "no tick while hidden";
}

TEST_F(StateTest, DestroyingTheStateCancelsThePendingSecondReload)
{
    seed(configWithTopics({}));
    makeState().reloadWidgets();
    state_.reset();
    loop_.advance(Seconds(1));
    EXPECT_EQ(reloadSignal_.count, 1);
}

}  // namespace
}  // namespace telvane::test
