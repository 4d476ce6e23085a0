#include "app/AppDelegate.h"

namespace telvane {

AppDelegate::AppDelegate(EventLoop& mainLoop, std::shared_ptr<Transport> transport, SharedStore& store,
                         ReloadSignal& reloadSignal, ConfigChangedSignal& configChanged)
    : store_(store),
      reloadSignal_(reloadSignal),
      configChanged_(configChanged),
      mqtt_(MQTTClient::create(mainLoop, std::move(transport), store, reloadSignal))
{}

AppDelegate::~AppDelegate()
{
    // The observer captures `this`; a post after we are gone must not reach it.
    if (configObserver_) {
        configChanged_.removeObserver(*configObserver_);
    }
}

void AppDelegate::applicationDidFinishLaunching()
{
    const MQTTConfig config = store_.loadConfig();
    store_.pruneMessages(config.topics);
    reloadSignal_.emitReload();
    mqtt_->connect();
    if (!configObserver_) {
        configObserver_ = configChanged_.addObserver([this] { configDidChange(); });
    }
}

void AppDelegate::configDidChange()
{
    mqtt_->connect();
}

}  // namespace telvane
