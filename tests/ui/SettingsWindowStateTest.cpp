#include "UiFixture.h"

#include <functional>

namespace telvane::test {
namespace {

using StateTest = UiFixture;

std::vector<std::string> topicsOf(const std::vector<MQTTMessage>& messages)
{
    std::vector<std::string> topics;
    for (const auto& m : messages) {
        topics.push_back(m.topic);
    }
    return topics;
}

struct SaveTrigger {
    const char* name;
    std::function<void(SettingsWindowState&)> run;
    std::vector<std::string> expectedTopics;
};

TEST_F(StateTest, EverySaveTriggerStoresPrunesPostsAndReloadsTheWidgetTwice)
{
    const std::vector<SaveTrigger> triggers{
        {"button, unchanged configuration", [](SettingsWindowState& s) { s.saveAndReconnect(); }, {"a", "b"}},
        {"protocol change", [](SettingsWindowState& s) { s.selectProtocolVersion(MQTTProtocolVersion::mqtt50); },
         {"a", "b"}},
        {"topic removal", [](SettingsWindowState& s) { s.removeTopic("b"); }, {"a"}},
        {"topic added in the picker", [](SettingsWindowState& s) { s.addTopic("c"); }, {"a", "b", "c"}},
    };
    for (const auto& trigger : triggers) {
        SCOPED_TRACE(trigger.name);
        reloader_.count = 0;
        seed(configWithTopics({"a", "b"}),
             {message("b", "2", 1'700'000'002), message("gone", "x", 1'700'000'001), message("a", "1", 1'700'000'000)});
        auto& state = makeState();
        const int postsBefore = configNotifications();
        state.setHost("edited.example");  // an unsaved edit goes along with every save

        trigger.run(state);

        EXPECT_EQ(store_.loadConfig(), state.config());
        EXPECT_EQ(store_.loadConfig().host, "edited.example");
        EXPECT_EQ(store_.loadConfig().topics, trigger.expectedTopics);
        std::vector<std::string> kept;
        for (const auto& topic : std::vector<std::string>{"b", "a"}) {
            if (std::find(trigger.expectedTopics.begin(), trigger.expectedTopics.end(), topic) !=
                trigger.expectedTopics.end()) {
                kept.push_back(topic);
            }
        }
        EXPECT_EQ(topicsOf(store_.loadMessages()), kept);
        EXPECT_EQ(state.messages(), store_.loadMessages());
        EXPECT_EQ(configNotifications() - postsBefore, 1);
        EXPECT_EQ(reloader_.count, 1);
        loop_.advance(Seconds(0.49));
        EXPECT_EQ(reloader_.count, 1);
        loop_.advance(Seconds(0.02));
        EXPECT_EQ(reloader_.count, 2);
        loop_.advance(Seconds(5));
        EXPECT_EQ(reloader_.count, 2);
    }
}

TEST_F(StateTest, ChoosingTheSameProtocolOrAnExistingOrBlankTopicSavesNothing)
{
    seed(configWithTopics({"a/x"}));
    auto& state = makeState();
    state.setHost("unsaved");
    state.selectProtocolVersion(MQTTProtocolVersion::mqtt311);
    EXPECT_FALSE(state.addTopic("a/x"));
    EXPECT_FALSE(state.addTopic(" \t\u00A0"));
    EXPECT_TRUE(state.addTopic("A/x"));  // case-sensitive: a different topic
    EXPECT_EQ(configNotifications(), 1);
    EXPECT_EQ(store_.loadConfig().topics, (std::vector<std::string>{"a/x", "A/x"}));
}

TEST_F(StateTest, CredentialsTreatOnlyTheEmptyTextAsAbsent)
{
    struct Case {
        std::string typed;
        std::optional<std::string> stored;
    };
    const std::vector<Case> cases{{"", std::nullopt}, {" ", " "}, {" user ", " user "}, {"\t", "\t"}};
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
        {"1884", 1884}, {"70000", 1884}, {"65536", 1884}, {"abc", 1884}, {"", 1884},   {"-1", 1884},
        {"+5", 1884},   {"18 83", 1884}, {"1e3", 1884},   {"65535", 65535}, {"0", 0}, {" 1885 ", 1885},
        {"99999999999999999999", 1885},
    };
    seed(configWithTopics({}));
    auto& state = makeState();
    for (const auto& c : cases) {
        SCOPED_TRACE("typed '" + c.typed + "'");
        state.setPortText(c.typed);
        EXPECT_EQ(state.config().port, c.port);
    }
    EXPECT_EQ(state.portText(), "1885");
}

TEST_F(StateTest, DisplayNamesAreTrimmedOfBlanksButNotOfLineBreaks)
{
    struct Case {
        std::string typed;
        std::optional<std::string> stored;
    };
    const std::vector<Case> cases{
        {"Wohnzimmer", "Wohnzimmer"},
        {"  Küche\t", "Küche"},
        {"\u3000Bad\u00A0\u2009", "Bad"},
        {"Flur\n", "Flur\n"},
        {" \t\u00A0\u202F", std::nullopt},
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

TEST_F(StateTest, SubmittingADisplayNameStoresAndReloadsWithoutReconnecting)
{
    seed(configWithTopics({"t"}));
    auto& state = makeState();
    state.setTopicLabelText("t", " Temperatur ");
    EXPECT_TRUE(store_.loadConfig().topicLabels.empty());  // edits alone are not stored

    state.submitTopicLabel();

    EXPECT_EQ(store_.loadConfig().topicLabels.at("t"), "Temperatur");
    EXPECT_EQ(configNotifications(), 0);
    EXPECT_EQ(reloader_.count, 1);
    loop_.advance(Seconds(0.5));
    EXPECT_EQ(reloader_.count, 2);
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

TEST_F(StateTest, RefreshTickFollowsTheStoreEverySecondAndKeepsUnsavedEdits)
{
    seed(configWithTopics({"a"}));
    auto& state = makeState();
    state.windowShown();
    state.setHost("unsaved.example");

    store_.appendMessage(message("a", "21.5", 1'700'000'000), 50);
    const auto item = MQTTDisplayItem::make("a", "Temp", "");
    store_.saveDisplayItems({item});
    store_.saveDiscoveredTopics({"a", "b/c"});
    MQTTConfig other = configWithTopics({"z"});
    store_.saveConfig(other);

    loop_.advance(Seconds(0.99));
    EXPECT_TRUE(state.messages().empty()) << "no tick before the first second";
    loop_.advance(Seconds(0.01));
    EXPECT_EQ(state.messages().size(), 1u);
    EXPECT_EQ(state.displayItems(), std::vector<MQTTDisplayItem>{item});
    EXPECT_EQ(state.discoveredTopics(), (TopicSet{"a", "b/c"}));
    EXPECT_EQ(state.config().host, "unsaved.example");
    EXPECT_EQ(state.config().topics, std::vector<std::string>{"a"});

    store_.appendMessage(message("a", "22", 1'700'000'001), 50);
    loop_.advance(Seconds(1));
    EXPECT_EQ(state.messages().front().payload, "22");

    state.windowHidden();
    store_.appendMessage(message("a", "23", 1'700'000'002), 50);
    loop_.advance(Seconds(3));
    EXPECT_EQ(state.messages().front().payload, "22") << "no tick while hidden";
    EXPECT_FALSE(state.isRefreshing());
}

TEST_F(StateTest, ShowingTheWindowAgainReloadsConfigurationAndProtocol)
{
    seed(configWithTopics({"a"}));
    auto& state = makeState();
    state.windowShown();
    state.setHost("unsaved.example");
    state.windowHidden();
    MQTTConfig stored = configWithTopics({"b"});
    stored.protocolVersion = MQTTProtocolVersion::mqtt50;
    store_.saveConfig(stored);

    state.windowShown();

    EXPECT_EQ(state.config(), stored);
    EXPECT_EQ(state.protocolVersion(), MQTTProtocolVersion::mqtt50);
    EXPECT_TRUE(state.isRefreshing());
}

TEST_F(StateTest, DestroyingTheStateCancelsThePendingSecondReload)
{
    seed(configWithTopics({}));
    makeState().reloadWidgets();
    state_.reset();
    loop_.advance(Seconds(1));
    EXPECT_EQ(reloader_.count, 1);
}

}  // namespace
}  // namespace telvane::test
