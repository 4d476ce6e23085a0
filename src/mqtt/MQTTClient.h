#pragma once

// The one MQTT connection of the application: connects with the stored
// configuration, subscribes to the configured topics and to "#", keeps the
// connection alive, reconnects after failures and delivers received messages
// to the shared store and the widget.
//
// Threads: the public operations run on the main loop's thread. Network work
// runs on the transport's serial queue; results reach the main loop by post.

#include "model/Records.h"
#include "model/SharedStore.h"
#include "platform/Connection.h"
#include "platform/EventLoop.h"
#include "platform/ReloadSignal.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace telvane {

class MQTTClient : public std::enable_shared_from_this<MQTTClient> {
public:
    // Reads the stored configuration; connects nothing yet. The client is
    // held by shared_ptr so that callbacks can hold it weakly.
    static std::shared_ptr<MQTTClient> create(EventLoop& mainLoop, std::shared_ptr<Transport> transport,
                                              SharedStore& store, ReloadSignal& reloadSignal);
    ~MQTTClient();
    MQTTClient(const MQTTClient&) = delete;
    MQTTClient& operator=(const MQTTClient&) = delete;

    // Tears down whatever exists and connects anew with the store's configuration.
    void connect();

    [[nodiscard]] bool isConnected() const;
    [[nodiscard]] std::optional<std::string> lastError() const;
    // Called on the main thread after isConnected or lastError changed.
    void setStateObserver(std::function<void()> observer);

    // The configuration of the current connection. A caller may set it, but
    // connect() replaces it with the stored one.
    [[nodiscard]] MQTTConfig config() const;
    void setConfig(MQTTConfig config);

    // Called on the main thread with every message stored for a configured topic.
    void setOnMessage(std::function<void(const MQTTMessage&)> onMessage);

private:
    MQTTClient(EventLoop& mainLoop, std::shared_ptr<Transport> transport, SharedStore& store,
               ReloadSignal& reloadSignal);

    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace telvane
