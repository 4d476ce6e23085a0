#include "app/AppDelegate.h"

namespace telvane {

AppDelegate::AppDelegate(EventLoop& mainLoop, std::shared_ptr<Transport> transport, SharedStore& store,
                         WidgetReloader& widgets, NotificationCenter& notifications)
    : store_(store),
      widgets_(widgets),
      notifications_(notifications),
      mqtt_(MQTTClient::create(mainLoop, std::move(transport), store, widgets))
{
}

AppDelegate::~AppDelegate()
{
    // The observer captures `this`; a post after we are gone must not reach it.
    if (configObserver_) {
        notifications_.removeObserver(*configObserver_);
    }
}

void AppDelegate::applicationDidFinishLaunching()
{
    const MQTTConfig config = store_.loadConfig();
    store_.pruneMessages(config.topics);
    widgets_.reloadAllTimelines();
    reloadClientConfig();
    mqtt_->connect();
    if (!configObserver_) {
        configObserver_ = notifications_.addObserver(kConfigDidChangeNotification, [this] { configDidChange(); });
    }
}

void AppDelegate::configDidChange()
{
    reloadClientConfig();
    mqtt_->connect();
}

void AppDelegate::reloadClientConfig()
{
    mqtt_->setConfig(store_.loadConfig());
}

}  // namespace telvane
