#pragma once

// Owns the one MQTT client of the process: connects it with the stored
// configuration at launch and again whenever the settings window saved a
// new configuration.

#include "model/SharedStore.h"
#include "mqtt/MQTTClient.h"
#include "platform/ConfigChangedSignal.h"
#include "platform/Connection.h"
#include "platform/EventLoop.h"
#include "platform/ReloadSignal.h"

#include <memory>
#include <optional>

namespace telvane {

class AppDelegate {
public:
    // Creates the client (which reads the stored configuration); connects nothing yet.
    // The parts must outlive the delegate.
    AppDelegate(EventLoop& mainLoop, std::shared_ptr<Transport> transport, SharedStore& store,
                ReloadSignal& reloadSignal, ConfigChangedSignal& configChanged);
    // Stops observing configuration changes and drops the client with its connection.
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Call once, after the application is up: drops stored messages of
    // topics no longer configured, reloads the widget, connects the client
    // and starts observing configuration changes.
    void applicationDidFinishLaunching();

    // Reconnects the client, which reads the stored configuration anew.
    void configDidChange();

    // The one client; never replaced.
    [[nodiscard]] const std::shared_ptr<MQTTClient>& mqtt() const { return mqtt_; }

private:
    SharedStore& store_;
    ReloadSignal& reloadSignal_;
    ConfigChangedSignal& configChanged_;
    std::shared_ptr<MQTTClient> mqtt_;
    std::optional<ConfigChangedSignal::ObserverId> configObserver_;
};

}  // namespace telvane
