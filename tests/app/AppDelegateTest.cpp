// The delegate with the real client on a virtual loop and a scripted
// transport: what it does at launch and on each saved configuration.

#include "app/AppDelegate.h"
#include "platform/VirtualEventLoop.h"
#include "support/ScriptedTransport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace telvane {
namespace {

class CountingReloader final : public WidgetReloader {
public:
    void reloadAllTimelines() override { ++count; }
    int count = 0;
};

MQTTConfig configFor(std::string host, std::uint16_t port, std::vector<std::string> topics)
{
    MQTTConfig config;
    config.host = std::move(host);
    config.port = port;
    config.clientID = "Telvane-test";
    config.topics = std::move(topics);
    return config;
}

MQTTMessage message(std::string topic)
{
    return MQTTMessage{std::move(topic), "{}", Date::fromUnix(1'700'000'000)};
}

class AppDelegateTest : public ::testing::Test {
protected:
    std::unique_ptr<AppDelegate> makeDelegate()
    {
        return std::make_unique<AppDelegate>(loop_, transport_, store_, widgets_, notifications_);
    }

    test::TempDir dir_;
    SharedStore store_{dir_.path() / "defaults.sqlite3"};
    VirtualEventLoop loop_;
    std::shared_ptr<test::ScriptedTransport> transport_ = std::make_shared<test::ScriptedTransport>(loop_);
    CountingReloader widgets_;
    NotificationCenter notifications_;
};

TEST_F(AppDelegateTest, LaunchPrunesUnconfiguredMessagesReloadsOnceAndConnectsWithTheStoredConfig)
{
    struct Case {
        const char* name;
        std::vector<MQTTMessage> stored;
        std::vector<std::string> expectedTopics;
    };
    const std::vector<Case> cases{
        {"empty store", {}, {}},
        {"all configured", {message("a/b"), message("c")}, {"a/b", "c"}},
        {"some unconfigured", {message("x"), message("a/b"), message("a/b/c")}, {"a/b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store_.saveConfig(configFor("broker.local", 1884, {"a/b", "c"}));
        store_.saveMessages(c.stored);
        const int reloadsBefore = widgets_.count;
        const std::size_t connectionsBefore = transport_->connectionCount();

        auto delegate = makeDelegate();
        delegate->applicationDidFinishLaunching();
        loop_.runUntilIdle();

        std::vector<std::string> topics;
        for (const auto& m : store_.loadMessages()) {
            topics.push_back(m.topic);
        }
        EXPECT_EQ(topics, c.expectedTopics);
        EXPECT_EQ(widgets_.count - reloadsBefore, 1);
        EXPECT_EQ(delegate->mqtt()->config(), store_.loadConfig());
        ASSERT_EQ(transport_->connectionCount(), connectionsBefore + 1);
        EXPECT_EQ(transport_->last().host(), "broker.local");
        EXPECT_EQ(transport_->last().port(), 1884);
        EXPECT_TRUE(transport_->last().isStarted());
    }
}

TEST_F(AppDelegateTest, EverySavedConfigurationIsLoadedIntoTheClientAndReconnects)
{
    store_.saveConfig(configFor("first.local", 1883, {"a"}));
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    loop_.runUntilIdle();
    ASSERT_EQ(transport_->connectionCount(), 1U);

    for (const std::uint16_t port : {std::uint16_t{1884}, std::uint16_t{1885}}) {
        store_.saveConfig(configFor("second.local", port, {"a", "b"}));
        notifications_.post(kConfigDidChangeNotification);
        loop_.runUntilIdle();
        EXPECT_EQ(delegate->mqtt()->config(), store_.loadConfig());
        EXPECT_EQ(transport_->last().host(), "second.local");
        EXPECT_EQ(transport_->last().port(), port);
    }
    EXPECT_EQ(transport_->connectionCount(), 3U);
    EXPECT_TRUE(transport_->connections()[0]->isCancelled());
    EXPECT_TRUE(transport_->connections()[1]->isCancelled());
    EXPECT_EQ(widgets_.count, 1) << "reconnecting alone does not reload the widget";
}

TEST_F(AppDelegateTest, NotificationAfterTheDelegateIsGoneReachesNothing)
{
    makeDelegate()->applicationDidFinishLaunching();
    loop_.runUntilIdle();
    const std::size_t connections = transport_->connectionCount();

    notifications_.post(kConfigDidChangeNotification);
    loop_.runUntilIdle();
    EXPECT_EQ(transport_->connectionCount(), connections);
}

}  // namespace
}  // namespace telvane
