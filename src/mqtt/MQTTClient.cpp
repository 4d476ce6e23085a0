#include "mqtt/MQTTClient.h"

#include "mqtt/Codec.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace telvane {

namespace {

constexpr double kConnectTimeoutSeconds = 10.0;
constexpr double kMinimumKeepAliveTick = 5.0;
constexpr double kPingTimeoutSeconds = 10.0;
constexpr double kReconnectDelaySeconds = 5.0;
constexpr std::size_t kReceiveMaximum = 4096;
constexpr std::size_t kMaxStoredMessages = 50;
constexpr std::size_t kTypicalPacketsPerRead = 64;
constexpr const char* kDiscoveryTopic = "#";

constexpr const char* kNotConnectedText = "Not connected";
constexpr const char* kPingTimeoutText = "Ping timeout";
constexpr const char* kConnectionFailedText = "Verbindung fehlgeschlagen";
constexpr const char* kMalformedLengthText = "Protokollfehler: ungültige Paketlänge";
constexpr const char* kOverlongTopicText = "Topic ist zu lang (mehr als 65535 Bytes) und wird nicht abonniert";

std::string overlongFieldText(ConnectField field)
{
    switch (field) {
    case ConnectField::clientID: return "Client-ID ist zu lang (mehr als 65535 Bytes)";
    case ConnectField::username: return "Benutzername ist zu lang (mehr als 65535 Bytes)";
    case ConnectField::password: return "Passwort ist zu lang (mehr als 65535 Bytes)";
    }
    return {};
}

std::string refusedText(std::uint8_t code)
{
    return "Verbindung abgelehnt (Fehler " + std::to_string(code) + ")";
}

bool hasOverlongTopic(const MQTTConfig& config_)
{
    return std::any_of(config_.topics.begin(), config_.topics.end(),
                       [](const std::string& topic) { return topic.size() > kMaxStringLength; });
}

// What the receive path found in one read, handed to the main thread in one
// post so that a busy stream costs one task per read rather than per packet.
struct Inbound {
    enum class Kind { connack, pingresp, publish };
    Kind kind = Kind::publish;
    std::uint8_t code = 0;
    std::string topic;
    std::string payload;
};

}  // namespace

// Every connection gets a new generation. Reports and completions carry the
// generation of the connection they belong to and are ignored once it has
// been replaced, so a late `cancelled` of a torn-down connection cannot
// schedule a reconnect that would tear down its healthy successor.
//
// Threads: the timers, isReconnecting and the callbacks are confined to the
// main thread. The fields under `mutex` are shared with the transport's
// queue; of those, `connection`, `generation` and `config` are written on the
// main thread only, which may therefore read them without the lock.
struct MQTTClient::State {
    State(MQTTClient& owner, EventLoop& mainLoop, std::shared_ptr<Transport> transport, SharedStore& store,
          ReloadSignal& reloadSignal)
        : owner_(owner), mainLoop_(mainLoop), transport_(std::move(transport)), store_(store), reloadSignal_(reloadSignal)
    {
    }

    MQTTClient& owner_;
    EventLoop& mainLoop_;
    const std::shared_ptr<Transport> transport_;
    SharedStore& store_;
    ReloadSignal& reloadSignal_;

    // Main thread only.
    TimerHandle keepAliveTimer_;
    TimerHandle pingTimeoutTimer_;
    TimerHandle reconnectTimer_;
    bool isReconnecting_ = false;
    std::optional<std::string> subscribeWarning_;
    std::function<void()> stateObserver_;
    std::function<void(const MQTTMessage&)> onMessage_;

    mutable std::mutex mutex_;
    bool isConnected_ = false;
    std::optional<std::string> lastError_;
    std::shared_ptr<Connection> connection_;
    std::uint64_t generation_ = 0;
    MQTTConfig config_;
    // The client itself cancelled the current connection (refused CONNACK,
    // protocol error): the error texts that the cancellation causes are not news.
    bool isClosing_ = false;
    bool pendingPing_ = false;
    Bytes receiveBuffer_;  // starts with a packet; holds at most one incomplete one between reads

    [[nodiscard]] std::weak_ptr<MQTTClient> weakOwner() const { return owner_.weak_from_this(); }

    // Runs `work` on the main thread if the client still exists then.
    template <typename Work>
    void postToMain(Work work)
    {
        mainLoop_.post([weak = weakOwner(), work = std::move(work)]() mutable {
            if (const auto client = weak.lock()) {
                work(*client->state_);
            }
        });
    }

    // Runs `work` on the transport's queue if the client still exists then.
    template <typename Work>
    void postToQueue(Work work)
    {
        transport_->queue().post([weak = weakOwner(), work = std::move(work)]() mutable {
            if (const auto client = weak.lock()) {
                work(*client->state_);
            }
        });
    }

    [[nodiscard]] bool isCurrent(std::uint64_t connectionGeneration) const
    {
        const std::lock_guard lock(mutex_);
        return connectionGeneration == generation_;
    }

    // ---- Published state (main thread) ---------------------------------------

    void notifyObserver() const
    {
        if (stateObserver_) {
            const auto observer = stateObserver_;
            observer();
        }
    }

    void setIsConnected(bool value)
    {
        {
            const std::lock_guard lock(mutex_);
            if (isConnected_ == value) {
                return;
            }
            isConnected_ = value;
        }
        notifyObserver();
    }

    void setLastError(std::optional<std::string> value)
    {
        {
            const std::lock_guard lock(mutex_);
            if (lastError_ == value) {
                return;
            }
            lastError_ = std::move(value);
        }
        notifyObserver();
    }

    // ---- Connection (main thread) --------------------------------------------

    void connect()
    {
        disconnect();
        setLastError(std::nullopt);
        MQTTConfig loaded = store_.loadConfig();
        {
            const std::lock_guard lock(mutex_);
            config_ = std::move(loaded);
        }
        // A text that does not fit an MQTT string would go out with a wrapped
        // length and the broker would read garbage; no retry can help until
        // the configuration changes.
        if (const auto field = overlongConnectField(config_)) {
            setLastError(overlongFieldText(*field));
            return;
        }
        auto newConnection = transport_->makeConnection(config_.host, config_.port, kConnectTimeoutSeconds);
        std::uint64_t connectionGeneration = 0;
        {
            const std::lock_guard lock(mutex_);
            connection_ = newConnection;
            connectionGeneration = generation_;
        }
        newConnection->setStateHandler(
            [weak = weakOwner(), &loop = mainLoop_, connectionGeneration](ConnectionState state,
                                                                          const std::optional<std::string>& error) {
                loop.post([weak, connectionGeneration, state, error] {
                    if (const auto client = weak.lock()) {
                        client->state_->handleState(connectionGeneration, state, error);
                    }
                });
            });
        newConnection->start();
    }

    // The teardown at the start of every connect(): afterwards nothing of the
    // previous connection can act on the client any more.
    void disconnect()
    {
        keepAliveTimer_.invalidate();
        pingTimeoutTimer_.invalidate();
        reconnectTimer_.invalidate();
        // The reconnect that the flag stands for is gone with its timer; a
        // flag left set would block every later scheduleReconnect().
        isReconnecting_ = false;
        subscribeWarning_.reset();
        std::shared_ptr<Connection> previous;
        {
            const std::lock_guard lock(mutex_);
            previous = std::exchange(connection_, nullptr);
            ++generation_;
            isClosing_ = false;
            pendingPing_ = false;
            Bytes().swap(receiveBuffer_);  // a large packet in progress must not pin its memory
        }
        if (previous) {
            previous->cancel();
        }
        postToMain([](State& state) { state.setIsConnected(false); });
    }

    void handleState(std::uint64_t connectionGeneration, ConnectionState connectionState,
                     const std::optional<std::string>& error)
    {
        if (!isCurrent(connectionGeneration)) {
            return;
        }
        switch (connectionState) {
        case ConnectionState::ready:
            isReconnecting_ = false;
            sendConnect(connectionGeneration);
            break;
        case ConnectionState::failed:
            if (!closing()) {
                setLastError(error.value_or(kConnectionFailedText));
            }
            setIsConnected(false);
            scheduleReconnect();
            break;
        case ConnectionState::cancelled:
            setIsConnected(false);
            scheduleReconnect();
            break;
        case ConnectionState::setup:
        case ConnectionState::preparing:
        case ConnectionState::waiting: break;
        }
    }

    [[nodiscard]] bool closing() const
    {
        const std::lock_guard lock(mutex_);
        return isClosing_;
    }

    // Cancels the current connection from within the client; its reports then
    // lead to the usual reconnect.
    void closeConnection()
    {
        std::shared_ptr<Connection> current;
        {
            const std::lock_guard lock(mutex_);
            isClosing_ = true;
            current = connection_;
        }
        if (current) {
            current->cancel();
        }
    }

    void sendConnect(std::uint64_t connectionGeneration)
    {
        MQTTConfig loaded = store_.loadConfig();
        std::shared_ptr<Connection> current;
        {
            const std::lock_guard lock(mutex_);
            config_ = std::move(loaded);
            current = connection_;
        }
        // The store may have changed since connect() checked it.
        const auto body = buildConnectBody(config_);
        if (!body) {
            setLastError(overlongFieldText(overlongConnectField(config_).value_or(ConnectField::clientID)));
            closeConnection();
            return;
        }
        if (hasOverlongTopic(config_)) {
            subscribeWarning_ = kOverlongTopicText;
            if (!currentLastError()) {
                setLastError(subscribeWarning_);
            }
        }
        send(current, kConnectFirstByte, *body,
             [weak = weakOwner(), connectionGeneration, sent = config_](const std::optional<std::string>& error) {
                 if (const auto client = weak.lock()) {
                     client->state_->onConnectSent(connectionGeneration, sent, error);
                 }
             });
    }

    [[nodiscard]] std::optional<std::string> currentLastError() const
    {
        const std::lock_guard lock(mutex_);
        return lastError_;
    }

    // Any thread. Without a connection the completion runs at once with "Not connected".
    void send(const std::shared_ptr<Connection>& target, std::uint8_t firstByte, ByteView body,
              Connection::SendCompletion completion)
    {
        if (!target) {
            if (completion) {
                completion(std::string(kNotConnectedText));
            }
            return;
        }
        auto packet = framePacket(firstByte, body);
        if (!packet) {
            // Not reachable with the packets this client builds.
            if (completion) {
                completion(std::string(kMalformedLengthText));
            }
            return;
        }
        target->send(std::move(*packet), std::move(completion));
    }

    // Queue.
    void onConnectSent(std::uint64_t connectionGeneration, const MQTTConfig& sent,
                       const std::optional<std::string>& error)
    {
        std::shared_ptr<Connection> current;
        {
            const std::lock_guard lock(mutex_);
            if (connectionGeneration != generation_ || isClosing_) {
                return;
            }
            current = connection_;
        }
        if (error) {
            postToMain([connectionGeneration, text = *error](State& state) {
                if (state.isCurrent(connectionGeneration)) {
                    state.setLastError(text);
                }
            });
            return;
        }
        postToMain([connectionGeneration, keepAlive = sent.keepAliveInterval](State& state) {
            state.startKeepAlive(connectionGeneration, keepAlive);
        });
        receiveNext(connectionGeneration);
        for (const auto& topic : sent.topics) {
            subscribe(current, topic, sent.protocolVersion);
        }
        subscribe(current, kDiscoveryTopic, sent.protocolVersion);
    }

    // Any thread. A filter too long for an MQTT string is skipped: the
    // connection's warning (set by sendConnect) tells the user.
    void subscribe(const std::shared_ptr<Connection>& target, std::string_view topic, MQTTProtocolVersion version)
    {
        const auto body = buildSubscribeBody(topic, version);
        if (!body) {
            return;
        }
        send(target, kSubscribeFirstByte, *body, nullptr);
    }

    // ---- Keep-alive (main thread, ping on the queue) ---------------------------

    void startKeepAlive(std::uint64_t connectionGeneration, std::uint16_t keepAliveInterval)
    {
        if (!isCurrent(connectionGeneration)) {
            return;
        }
        const double interval = std::max(keepAliveInterval * 0.5, kMinimumKeepAliveTick);
        keepAliveTimer_ = mainLoop_.schedule(Seconds(interval), true, [weak = weakOwner(), connectionGeneration] {
            if (const auto client = weak.lock()) {
                client->state_->postToQueue(
                    [connectionGeneration](State& state) { state.sendPing(connectionGeneration); });
            }
        });
    }

    // Queue.
    void sendPing(std::uint64_t connectionGeneration)
    {
        std::shared_ptr<Connection> current;
        {
            const std::lock_guard lock(mutex_);
            if (connectionGeneration != generation_ || pendingPing_) {
                return;
            }
            pendingPing_ = true;
            current = connection_;
        }
        send(current, kPingreqFirstByte, {}, nullptr);
        postToMain([connectionGeneration](State& state) { state.armPingTimeout(connectionGeneration); });
    }

    void armPingTimeout(std::uint64_t connectionGeneration)
    {
        {
            const std::lock_guard lock(mutex_);
            // The PINGRESP may have come before this hop.
            if (connectionGeneration != generation_ || !pendingPing_) {
                return;
            }
        }
        pingTimeoutTimer_ = mainLoop_.schedule(Seconds(kPingTimeoutSeconds), false, [weak = weakOwner(),
                                                                                   connectionGeneration] {
            if (const auto client = weak.lock()) {
                client->state_->onPingTimeout(connectionGeneration);
            }
        });
    }

    void onPingTimeout(std::uint64_t connectionGeneration)
    {
        {
            const std::lock_guard lock(mutex_);
            // A PINGRESP that reached the queue while this timer fired wins.
            if (connectionGeneration != generation_ || !pendingPing_) {
                return;
            }
        }
        // connect() clears the text, so it is set after: the user should see
        // why the connection was replaced.
        connect();
        setLastError(std::string(kPingTimeoutText));
    }

    void onPingResponse(std::uint64_t connectionGeneration)
    {
        if (isCurrent(connectionGeneration)) {
            pingTimeoutTimer_.invalidate();
        }
    }

    void scheduleReconnect()
    {
        if (isReconnecting_) {
            return;
        }
        isReconnecting_ = true;
        reconnectTimer_ = mainLoop_.schedule(Seconds(kReconnectDelaySeconds), false, [weak = weakOwner()] {
            if (const auto client = weak.lock()) {
                client->state_->isReconnecting_ = false;
                client->state_->connect();
            }
        });
    }

    void handleConnack(std::uint64_t connectionGeneration, std::uint8_t code)
    {
        if (!isCurrent(connectionGeneration)) {
            return;
        }
        if (code == 0) {
            setIsConnected(true);
            setLastError(subscribeWarning_);
            return;
        }
        setIsConnected(false);
        setLastError(refusedText(code));
        closeConnection();
    }

    void onProtocolError(std::uint64_t connectionGeneration)
    {
        if (!isCurrent(connectionGeneration)) {
            return;
        }
        setIsConnected(false);
        setLastError(std::string(kMalformedLengthText));
    }

    // ---- Receive path (queue) -------------------------------------------------

    void receiveNext(std::uint64_t connectionGeneration)
    {
        std::shared_ptr<Connection> current;
        {
            const std::lock_guard lock(mutex_);
            if (connectionGeneration != generation_ || isClosing_) {
                return;
            }
            current = connection_;
        }
        if (!current) {
            return;
        }
        current->receive(1, kReceiveMaximum,
                         [weak = weakOwner(), connectionGeneration](Bytes data, bool isComplete,
                                                                    const std::optional<std::string>& error) {
                             if (const auto client = weak.lock()) {
                                 client->state_->onReceived(connectionGeneration, std::move(data), isComplete,
                                                            error);
                             }
                         });
    }

    void onReceived(std::uint64_t connectionGeneration, Bytes data, bool isComplete,
                    const std::optional<std::string>& error)
    {
        {
            const std::lock_guard lock(mutex_);
            if (connectionGeneration != generation_ || isClosing_) {
                return;
            }
        }
        if (error) {
            postToMain([connectionGeneration, text = *error](State& state) {
                if (state.isCurrent(connectionGeneration) && !state.closing()) {
                    state.setLastError(text);
                }
            });
            return;
        }
        if (!data.empty() && !handleReceived(connectionGeneration, std::move(data))) {
            return;
        }
        if (isComplete) {
            postToMain([connectionGeneration](State& state) {
                if (state.isCurrent(connectionGeneration)) {
                    state.setIsConnected(false);
                }
            });
            return;
        }
        receiveNext(connectionGeneration);
    }

    // Appends the bytes and dispatches every complete packet. Returns false
    // when the stream turned out malformed and the connection is being closed.
    bool handleReceived(std::uint64_t connectionGeneration, Bytes data)
    {
        std::vector<Inbound> inbound;
        inbound.reserve(kTypicalPacketsPerRead);
        bool isMalformed = false;
        std::shared_ptr<Connection> toClose;
        {
            const std::lock_guard lock(mutex_);
            if (connectionGeneration != generation_) {
                return false;
            }
            if (receiveBuffer_.empty()) {
                receiveBuffer_ = std::move(data);  // the common case: no partial packet waiting
            } else {
                receiveBuffer_.insert(receiveBuffer_.end(), data.begin(), data.end());
            }
            // Packets are cut by offset and the rest moved down once per read,
            // not once per packet.
            const ByteView buffer(receiveBuffer_);
            std::size_t consumed = 0;
            while (true) {
                const auto packet = extractPacket(buffer.subspan(consumed));
                if (packet.status == ExtractStatus::incomplete) {
                    break;
                }
                if (packet.status == ExtractStatus::malformed) {
                    isMalformed = true;
                    break;
                }
                consumed += packet.length;
                dispatch(packet, inbound);
            }
            if (isMalformed) {
                // The stream cannot be resynchronised after a bad length.
                Bytes().swap(receiveBuffer_);
                isClosing_ = true;
                toClose = connection_;
            } else if (consumed == receiveBuffer_.size()) {
                receiveBuffer_.clear();
            } else if (consumed > 0) {
                receiveBuffer_.erase(receiveBuffer_.begin(),
                                     receiveBuffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
            }
        }
        if (!inbound.empty() || isMalformed) {
            postToMain([connectionGeneration, inbound = std::move(inbound), isMalformed](State& state) mutable {
                state.handleInbound(connectionGeneration, inbound);
                if (isMalformed) {
                    state.onProtocolError(connectionGeneration);
                }
            });
        }
        if (toClose) {
            toClose->cancel();
        }
        return !isMalformed;
    }

    // Queue, with `mutex` held.
    void dispatch(const ExtractResult& packet, std::vector<Inbound>& inbound)
    {
        switch (packetType(packet.firstByte)) {
        case kConnackType: inbound.push_back({Inbound::Kind::connack, connackCode(packet.body), {}, {}}); break;
        case kPingrespType:
            pendingPing_ = false;
            inbound.push_back({Inbound::Kind::pingresp, 0, {}, {}});
            break;
        case kPublishType:
            if (auto message = parsePublish(packet.body, config_.protocolVersion)) {
                inbound.push_back(
                    {Inbound::Kind::publish, 0, std::move(message->topic), std::move(message->payload)});
            }
            break;
        default: break;  // SUBACK, DISCONNECT and the rest are not read
        }
    }

    // ---- Delivery (main thread) ---------------------------------------------

    // The stored discovered topics as one batch of deliveries sees them.
    // Topics new to the store are collected and written once, when the batch
    // ends: with a busy "#" a fresh broker brings thousands of new topics in
    // a burst, and rewriting the whole set for each of them kept the main
    // thread busy for seconds.
    struct DiscoveredTopics {
        std::shared_ptr<const TopicSet> stored;  // no value: not read yet
        std::shared_ptr<TopicSet> updated;       // stored plus new topics, while unsaved
    };

    void handleInbound(std::uint64_t connectionGeneration, std::vector<Inbound>& inbound)
    {
        DiscoveredTopics discovered;
        for (auto& item : inbound) {
            switch (item.kind) {
            case Inbound::Kind::connack: handleConnack(connectionGeneration, item.code); break;
            case Inbound::Kind::pingresp: onPingResponse(connectionGeneration); break;
            case Inbound::Kind::publish: deliver(item.topic, std::move(item.payload), discovered); break;
            }
        }
        saveDiscoveredTopics(discovered);
    }

    void saveDiscoveredTopics(DiscoveredTopics& discovered)
    {
        if (discovered.updated) {
            store_.saveDiscoveredTopics(*discovered.updated);
            discovered.stored = std::move(discovered.updated);
        }
    }

    void deliver(const std::string& topic, std::string payload, DiscoveredTopics& discovered)
    {
        if (!discovered.stored) {
            discovered.stored = store_.loadDiscoveredTopics();
        }
        const TopicSet& known = discovered.updated ? *discovered.updated : *discovered.stored;
        if (!known.contains(topic)) {
            if (!discovered.updated) {
                discovered.updated = std::make_shared<TopicSet>(*discovered.stored);
            }
            discovered.updated->insert(topic);
        }
        const auto& topics = config_.topics;
        if (std::find(topics.begin(), topics.end(), topic) == topics.end()) {
            return;
        }
        // A stored message's topic is in the store's discovered topics before
        // the widget hears of the message.
        saveDiscoveredTopics(discovered);
        const MQTTMessage message{topic, std::move(payload), Date::now()};
        store_.appendMessage(message, kMaxStoredMessages);
        if (onMessage_) {
            const auto callback = onMessage_;
            callback(message);
            discovered.stored.reset();  // the callback may have written the store
        }
        reloadSignal_.emitReload();
    }

    // On destruction: nothing may call back into the client any more.
    void shutdown()
    {
        std::shared_ptr<Connection> current;
        {
            const std::lock_guard lock(mutex_);
            current = std::exchange(connection_, nullptr);
            ++generation_;
        }
        if (current) {
            current->cancel();
        }
    }
};

std::shared_ptr<MQTTClient> MQTTClient::create(EventLoop& mainLoop, std::shared_ptr<Transport> transport,
                                               SharedStore& store, ReloadSignal& reloadSignal)
{
    return std::shared_ptr<MQTTClient>(new MQTTClient(mainLoop, std::move(transport), store, reloadSignal));
}

MQTTClient::MQTTClient(EventLoop& mainLoop, std::shared_ptr<Transport> transport, SharedStore& store,
                       ReloadSignal& reloadSignal)
    : state_(std::make_unique<State>(*this, mainLoop, std::move(transport), store, reloadSignal))
{
    state_->config_ = store.loadConfig();
}

MQTTClient::~MQTTClient() { state_->shutdown(); }

void MQTTClient::connect() { state_->connect(); }

bool MQTTClient::isConnected() const
{
    const std::lock_guard lock(state_->mutex_);
    return state_->isConnected_;
}

std::optional<std::string> MQTTClient::lastError() const { return state_->currentLastError(); }

void MQTTClient::setStateObserver(std::function<void()> observer) { state_->stateObserver_ = std::move(observer); }

MQTTConfig MQTTClient::config() const
{
    const std::lock_guard lock(state_->mutex_);
    return state_->config_;
}

void MQTTClient::setConfig(MQTTConfig config)
{
    const std::lock_guard lock(state_->mutex_);
    state_->config_ = std::move(config);
}

void MQTTClient::setOnMessage(std::function<void(const MQTTMessage&)> onMessage)
{
    state_->onMessage_ = std::move(onMessage);
}

}  // namespace telvane
