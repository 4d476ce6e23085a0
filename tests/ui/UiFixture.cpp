#include "UiFixture.h"

#include <QTest>

namespace telvane::test {

MQTTMessage message(std::string topic, std::string payload, double unixSeconds)
{
    return MQTTMessage{std::move(topic), std::move(payload), Date::fromUnix(unixSeconds)};
}

MQTTConfig configWithTopics(std::vector<std::string> topics)
{
    MQTTConfig config;
    config.host = "10.0.0.2";
    config.clientID = "test-client";
    config.topics = std::move(topics);
    return config;
}

UiFixture::UiFixture() : store_(dir_.path() / "defaults.sqlite3")
{
    notifications_.addObserver(kConfigDidChangeNotification, [this] { ++configNotifications_; });
}

UiFixture::~UiFixture() = default;

void UiFixture::seed(const MQTTConfig& config, const std::vector<MQTTMessage>& messages,
                     const std::vector<MQTTDisplayItem>& items, const TopicSet& topics)
{
    store_.saveConfig(config);
    store_.saveMessages(messages);
    store_.saveDisplayItems(items);
    store_.saveDiscoveredTopics(topics);
}

SettingsWindowState& UiFixture::makeState()
{
    state_ = std::make_unique<SettingsWindowState>(store_, loop_, reloader_, notifications_);
    return *state_;
}

WindowFixture::~WindowFixture()
{
    window_.reset();
}

SettingsWindow& WindowFixture::openWindow()
{
    window_ = std::make_unique<SettingsWindow>(store_, loop_, reloader_, notifications_, status_);
    window_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    return *window_;
}

}  // namespace telvane::test
