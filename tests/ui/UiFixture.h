#pragma once

// A settings window state, and on request the real window, over real parts: a
// SQLite store in a temporary directory and a virtual clock. Only the widget
// reload (a D-Bus signal) and the saves that reconnect the client are counted.

#include "discovery/BrokerDiscovery.h"
#include "model/SharedStore.h"
#include "model/StoreSchema.h"
#include "platform/DBusReloadSignal.h"
#include "support/CountingReloadSignal.h"
#include "support/DiscoveredTopics.h"
#include "support/FakeConnectionStatus.h"
#include "support/ScriptedServiceBrowser.h"
#include "support/ScriptedTransport.h"
#include "support/StoreFile.h"
#include "support/TempDir.h"
#include "support/VirtualEventLoop.h"
#include "ui/ConnectionStatus.h"
#include "ui/SettingsWindow.h"
#include "ui/SettingsWindowState.h"

#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace telvane::test {

inline MQTTMessage message(std::string topic, std::string payload, double unixSeconds)
{
    return MQTTMessage{std::move(topic), std::move(payload), Date::fromUnix(unixSeconds)};
}

// A configuration with a host and the given topics.
inline MQTTConfig configWithTopics(std::vector<std::string> topics)
{
    MQTTConfig config;
    config.host = "10.0.0.2";
    config.clientID = "test-client";
    config.topics = std::move(topics);
    return config;
}

// The children of `parent` of type T named `objectName` (any name when
// empty) that are shown, from top to bottom.
template <typename T>
std::vector<T*> shownInOrder(QWidget* parent, const QString& objectName = {})
{
    std::vector<T*> shown;
    for (T* child : parent->findChildren<T*>(objectName)) {
        if (child->isVisibleTo(parent)) {
            shown.push_back(child);
        }
    }
    std::sort(shown.begin(), shown.end(), [](T* a, T* b) { return a->y() < b->y(); });
    return shown;
}

class UiFixture : public ::testing::Test {
protected:
    // Stores what the state or window reads when it is made.
    void seed(const MQTTConfig& config, const std::vector<MQTTMessage>& messages = {},
              const std::vector<MQTTDisplayItem>& items = {}, const TopicSet& topics = {})
    {
        store_.saveConfig(config);
        StoreFile(dir_.path() / "defaults.sqlite3").put(store_schema::kMessagesKey, encodeMessagesDocument(messages));
        store_.saveDisplayItems(items);
        telvane::test::saveDiscoveredTopics(store_, topics);
    }

    SettingsWindowState& makeState()
    {
        state_ = std::make_unique<SettingsWindowState>(store_, loop_, reloadSignal_, countReconnect());
        return *state_;
    }

    // The real window, shown on the offscreen platform.
    SettingsWindow& openWindow()
    {
        window_ = std::make_unique<SettingsWindow>(store_, loop_, reloadSignal_, countReconnect(), status_, discovery_);
        window_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
        return *window_;
    }

    std::function<void()> countReconnect()
    {
        return [this] { ++reconnects_; };
    }

    std::unique_ptr<ServiceBrowser> ownedBrowser()
    {
        auto browser = std::make_unique<ScriptedServiceBrowser>();
        browser_ = browser.get();
        return browser;
    }

    // The child of `parent` (by default the window) named `objectName`.
    template <typename T>
    T* find(const char* objectName, QObject* parent = nullptr)
    {
        T* found = (parent != nullptr ? parent : window_.get())->findChild<T*>(QLatin1String(objectName));
        EXPECT_NE(found, nullptr) << objectName;
        return found;
    }
    // The visible child named `objectName` whose "topic" property is `topic`.
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

    TempDir dir_;
    SharedStore store_{dir_.path() / "defaults.sqlite3"};
    VirtualEventLoop loop_;
    CountingReloadSignal reloadSignal_;
    int reconnects_ = 0;  // saves that reconnect the client
    std::unique_ptr<SettingsWindowState> state_;
    FakeConnectionStatus status_;
    // The broker search over a scripted DNS-SD side and scripted connections.
    std::shared_ptr<ScriptedTransport> checkTransport_ = std::make_shared<ScriptedTransport>(loop_);
    ScriptedServiceBrowser* browser_ = nullptr;
    BrokerDiscovery discovery_{loop_, ownedBrowser(), checkTransport_};
    std::unique_ptr<SettingsWindow> window_;  // last: goes before the parts it uses
};

}  // namespace telvane::test
