#pragma once

// A settings window state over real parts: a SQLite store in a temporary
// directory, a notification centre of its own and a virtual clock. Only the
// widget reload (a D-Bus signal) is counted instead of sent.

#include "model/SharedStore.h"
#include "platform/NotificationCenter.h"
#include "platform/VirtualEventLoop.h"
#include "platform/WidgetCenter.h"
#include "support/TempDir.h"
#include "ui/ConnectionStatus.h"
#include "ui/SettingsWindow.h"
#include "ui/SettingsWindowState.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace telvane::test {

class CountingReloader final : public WidgetReloader {
public:
    void reloadAllTimelines() override { ++count; }
    int count = 0;
};

class FakeConnectionStatus final : public ConnectionStatus {
public:
    [[nodiscard]] bool isConnected() const override { return connected; }
    [[nodiscard]] std::optional<std::string> lastError() const override { return error; }
    void setObserver(std::function<void()> o) override { observer = std::move(o); }
    void change(bool isConnected, std::optional<std::string> lastError)
    {
        connected = isConnected;
        error = std::move(lastError);
        if (observer) {
            observer();
        }
    }

    bool connected = false;
    std::optional<std::string> error;
    std::function<void()> observer;
};

MQTTMessage message(std::string topic, std::string payload, double unixSeconds);

class UiFixture : public ::testing::Test {
protected:
    UiFixture();
    ~UiFixture() override;

    // Stores `config` (and messages, display items, topics) before the state reads them.
    void seed(const MQTTConfig& config, const std::vector<MQTTMessage>& messages = {},
              const std::vector<MQTTDisplayItem>& items = {}, const TopicSet& topics = {});
    SettingsWindowState& makeState();

    [[nodiscard]] int configNotifications() const { return configNotifications_; }

    TempDir dir_;
    SharedStore store_;
    VirtualEventLoop loop_;
    CountingReloader reloader_;
    NotificationCenter notifications_;
    std::unique_ptr<SettingsWindowState> state_;

private:
    int configNotifications_ = 0;
};

// A configuration with a host and the given topics.
MQTTConfig configWithTopics(std::vector<std::string> topics);

// The real window over the fixture's parts, shown on the offscreen platform.
class WindowFixture : public UiFixture {
protected:
    ~WindowFixture() override;

    SettingsWindow& openWindow();

    template <typename T>
    T* find(const char* objectName)
    {
        T* found = window_->findChild<T*>(QLatin1String(objectName));
        EXPECT_NE(found, nullptr) << objectName;
        return found;
    }
    // The child named `objectName` whose "topic" property is `topic`.
    template <typename T>
    T* findForTopic(const char* objectName, const QString& topic)
    {
        for (T* candidate : window_->findChildren<T*>(QLatin1String(objectName))) {
            if (candidate->property("topic").toString() == topic && candidate->isVisibleTo(window_.get())) {
                return candidate;
            }
        }
        return nullptr;
    }

    FakeConnectionStatus status_;
    std::unique_ptr<SettingsWindow> window_;
};

}  // namespace telvane::test
