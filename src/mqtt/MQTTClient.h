#pragma once

// The one MQTT connection of the application: connects with the stored
// configuration, subscribes to the configured topics and to "#", keeps the
// connection alive, reconnects after failures and hands received messages to
// the delivery (store and widget).
//
// Threads: every public operation is called on the main loop's thread, and
// every callback (state observer, onMessage) runs there. Network work runs on
// the transport's serial queue ("mqtt.client") and reaches the main thread
// only by posting; the queue never waits for the main thread.

#include "model/Records.h"
#include "model/SharedStore.h"
#include "mqtt/ClientError.h"
#include "mqtt/MessageDelivery.h"
#include "mqtt/PacketFramer.h"
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
    // held by shared_ptr so that the callbacks it gives away can hold it
    // weakly: they do nothing once it is gone. The parts must outlive it.
    static std::shared_ptr<MQTTClient> create(EventLoop& mainLoop, std::shared_ptr<Transport> transport,
                                              SharedStore& store, ReloadSignal& reloadSignal);
    // Cancels the connection; nothing calls back afterwards.
    ~MQTTClient();
    MQTTClient(const MQTTClient&) = delete;
    MQTTClient& operator=(const MQTTClient&) = delete;

    // Tears down whatever exists (timers, connection, received bytes) and
    // connects anew with the configuration the store holds now. Clears
    // lastError() first. The state observer may run before this returns: for
    // the cleared error, and for an error of a configuration that cannot be
    // sent (a field too long for MQTT), in which case nothing is connected.
    // isConnected() turns false on the next turn of the main loop.
    void connect();

    // True from an accepted CONNACK until the connection is lost or replaced.
    [[nodiscard]] bool isConnected() const { return isConnected_; }
    // Why the connection does not work, or works only in part; none while
    // all is well. The window words it.
    [[nodiscard]] const std::optional<ClientError>& lastError() const { return lastError_; }
    // Runs after every change of isConnected() or lastError(), once per change.
    void setStateObserver(std::function<void()> observer);

    // The configuration of the current connection, as last read from the store.
    [[nodiscard]] const MQTTConfig& config() const { return config_; }

    // Called with every message stored for a configured topic, after the store.
    void setOnMessage(std::function<void(const MQTTMessage&)> onMessage);

private:
    struct Session;
    using SessionPtr = std::shared_ptr<Session>;

    MQTTClient(EventLoop& mainLoop, std::shared_ptr<Transport> transport, SharedStore& store,
               ReloadSignal& reloadSignal);

    // The two guards every callback goes through. guarded() wraps a callback
    // given to the platform: it runs `work(client, session, args...)` only
    // while the client and the session exist. postToMain() runs `work` on the
    // main thread only if the session is still the current one by then.
    template <typename Work>
    auto guarded(const SessionPtr& session, Work work);
    template <typename Work>
    void postToMain(const SessionPtr& session, Work work);

    // Main thread.
    void teardown();
    void setIsConnected(bool value);
    void setLastError(std::optional<ClientError> value);
    void handleState(const SessionPtr& session, ConnectionState state, const std::optional<TransportError>& error);
    void sendConnect(const SessionPtr& session);
    void startKeepAlive(const SessionPtr& session, std::uint16_t keepAliveInterval);
    void armPingTimeout(const SessionPtr& session);
    void onPingTimeout(const SessionPtr& session);
    void scheduleReconnect();
    void handleInbound(const SessionPtr& session, FramedRead& read);
    void handleConnack(const SessionPtr& session, std::uint8_t code);
    void handleSubscriptionRefused(std::string filter);

    // Either thread.
    static void closeConnection(const SessionPtr& session);

    // The transport's queue.
    void onConnectSent(const SessionPtr& session, const MQTTConfig& sent, const std::optional<TransportError>& error);
    void sendPing(const SessionPtr& session);
    void receiveNext(const SessionPtr& session);
    void onReceived(const SessionPtr& session, Bytes data, bool isComplete, const std::optional<TransportError>& error);

    EventLoop& mainLoop_;
    const std::shared_ptr<Transport> transport_;
    SharedStore& store_;
    MessageDelivery delivery_;

    // Main thread only.
    SessionPtr session_;  // the current connection; none before connect()
    MQTTConfig config_;
    bool isConnected_ = false;
    std::optional<ClientError> lastError_;
    // OverlongTopic or SubscriptionRefused: outlives an accepted CONNACK.
    std::optional<ClientError> subscribeWarning_;
    std::function<void()> stateObserver_;
    TimerHandle keepAliveTimer_;
    TimerHandle pingTimeoutTimer_;
    TimerHandle reconnectTimer_;
    bool isReconnecting_ = false;
};

}  // namespace telvane
