#include "mqtt/MQTTClient.h"

#include "mqtt/Codec.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace telvane {

namespace {

constexpr double kConnectTimeoutSeconds = 10.0;
constexpr double kMinimumKeepAliveTick = 5.0;
constexpr double kPingTimeoutSeconds = 10.0;
constexpr double kReconnectDelaySeconds = 5.0;
constexpr std::size_t kReceiveMaximum = 4096;
constexpr const char* kDiscoveryTopic = "#";

bool hasOverlongTopic(const MQTTConfig& config)
{
    return std::any_of(config.topics.begin(), config.topics.end(),
                       [](const std::string& topic) { return topic.size() > kMaxStringLength; });
}

}  // namespace

// One transport connection and what belongs to it alone. The main thread
// creates it in connect() and retires it at the next teardown; the queue
// reaches it only through the callbacks that hold it. A retired session's
// late reports find it no longer current and change nothing, so a late
// `cancelled` of a replaced connection cannot schedule a reconnect that
// would tear down its healthy successor.
struct MQTTClient::Session {
    explicit Session(std::shared_ptr<Connection> c) : connection(std::move(c)) {}

    const std::shared_ptr<Connection> connection;
    // False once the client retired or closed the connection itself (refused
    // CONNACK, malformed stream): what still arrives from it is not news.
    std::atomic<bool> isOpen{true};
    // Made when CONNECT has been written. Queue only.
    std::optional<PacketFramer> framer;
};

template <typename Work>
auto MQTTClient::guarded(const SessionPtr& session, Work work)
{
    return [client = weak_from_this(), session = std::weak_ptr<Session>(session),
            work = std::move(work)](auto&&... args) mutable {
        const auto strongClient = client.lock();
        const auto strongSession = session.lock();
        if (strongClient && strongSession) {
            work(*strongClient, strongSession, std::forward<decltype(args)>(args)...);
        }
    };
}

template <typename Work>
void MQTTClient::postToMain(const SessionPtr& session, Work work)
{
    mainLoop_.post(guarded(session, [work = std::move(work)](MQTTClient& client, const SessionPtr& current) mutable {
        if (client.session_ == current) {
            work(client, current);
        }
    }));
}

std::shared_ptr<MQTTClient> MQTTClient::create(EventLoop& mainLoop, std::shared_ptr<Transport> transport,
                                               SharedStore& store, ReloadSignal& reloadSignal)
{
    return std::shared_ptr<MQTTClient>(new MQTTClient(mainLoop, std::move(transport), store, reloadSignal));
}

MQTTClient::MQTTClient(EventLoop& mainLoop, std::shared_ptr<Transport> transport, SharedStore& store,
                       ReloadSignal& reloadSignal)
    : mainLoop_(mainLoop),
      transport_(std::move(transport)),
      store_(store),
      delivery_(store, reloadSignal, mainLoop),
      config_(store.loadConfig())
{}

MQTTClient::~MQTTClient()
{
    // What was received is stored, even when the batch's end never ran.
    delivery_.flush();
    if (session_) {
        session_->isOpen = false;
        session_->connection->cancel();
    }
}

void MQTTClient::setStateObserver(std::function<void()> observer)
{
    stateObserver_ = std::move(observer);
}

void MQTTClient::setOnMessage(std::function<void(const MQTTMessage&)> onMessage)
{
    delivery_.setOnMessage(std::move(onMessage));
}

void MQTTClient::setIsConnected(bool value)
{
    if (isConnected_ != value) {
        isConnected_ = value;
        if (stateObserver_) {
            stateObserver_();
        }
    }
}

void MQTTClient::setLastError(std::optional<ClientError> value)
{
    if (lastError_ != value) {
        lastError_ = std::move(value);
        if (stateObserver_) {
            stateObserver_();
        }
    }
}

// ---- Connection (main thread) ------------------------------------------------

void MQTTClient::connect()
{
    teardown();
    setLastError(std::nullopt);
    config_ = store_.loadConfig();
    // A text that does not fit an MQTT string would go out with a wrapped
    // length and the broker would read garbage; no retry can help until the
    // configuration changes.
    if (const auto field = overlongConnectField(config_)) {
        setLastError(OverlongField{*field});
        return;
    }
    session_ =
        std::make_shared<Session>(transport_->makeConnection(config_.host, config_.port, kConnectTimeoutSeconds));
    session_->connection->setStateHandler(
        guarded(session_, [](MQTTClient& client, const SessionPtr& session, ConnectionState state,
                             const std::optional<TransportError>& error) {
            client.postToMain(session,
                              [state, error](MQTTClient& c, const SessionPtr& s) { c.handleState(s, state, error); });
        }));
    session_->connection->start();
}

// The teardown at the start of every connect(): afterwards nothing of the
// previous connection can act on the client any more.
void MQTTClient::teardown()
{
    keepAliveTimer_.invalidate();
    pingTimeoutTimer_.invalidate();
    reconnectTimer_.invalidate();
    // The reconnect that the flag stands for is gone with its timer; a flag
    // left set would block every later scheduleReconnect().
    isReconnecting_ = false;
    subscribeWarning_.reset();
    if (const auto retired = std::exchange(session_, nullptr)) {
        retired->isOpen = false;
        retired->connection->cancel();
    }
    mainLoop_.post([client = weak_from_this()] {
        if (const auto strong = client.lock()) {
            strong->setIsConnected(false);
        }
    });
}

void MQTTClient::handleState(const SessionPtr& session, ConnectionState state,
                             const std::optional<TransportError>& error)
{
    switch (state) {
    case ConnectionState::ready:
        isReconnecting_ = false;
        sendConnect(session);
        break;
    case ConnectionState::failed:
        if (session->isOpen) {
            setLastError(error.value_or(TransportError{}));
        }
        setIsConnected(false);
        scheduleReconnect();
        break;
    case ConnectionState::cancelled:
        setIsConnected(false);
        scheduleReconnect();
        break;
    case ConnectionState::preparing:
    case ConnectionState::waiting: break;
    }
}

// Cancels the current connection from within the client; its `cancelled`
// report then leads to the usual reconnect. Either thread.
void MQTTClient::closeConnection(const SessionPtr& session)
{
    session->isOpen = false;
    session->connection->cancel();
}

void MQTTClient::sendConnect(const SessionPtr& session)
{
    // The store may have changed since connect() read it; what goes out in
    // CONNECT and the SUBSCRIBEs is what it holds now.
    config_ = store_.loadConfig();
    const auto body = buildConnectBody(config_);
    if (!body) {
        setLastError(OverlongField{overlongConnectField(config_).value_or(ConnectField::clientID)});
        closeConnection(session);
        return;
    }
    if (hasOverlongTopic(config_)) {
        subscribeWarning_ = OverlongTopic{};
        if (!lastError_) {
            setLastError(subscribeWarning_);
        }
    }
    session->connection->send(framePacket(kConnectFirstByte, *body).value(),
                              guarded(session, [sent = config_](MQTTClient& client, const SessionPtr& s,
                                                                const std::optional<TransportError>& error) {
                                  client.onConnectSent(s, sent, error);
                              }));
}

// Queue.
void MQTTClient::onConnectSent(const SessionPtr& session, const MQTTConfig& sent,
                               const std::optional<TransportError>& error)
{
    if (!session->isOpen) {
        return;
    }
    if (error) {
        postToMain(session, [error = *error](MQTTClient& client, const SessionPtr&) { client.setLastError(error); });
        return;
    }
    session->framer.emplace(sent.protocolVersion);
    postToMain(session, [keepAlive = sent.keepAliveInterval](MQTTClient& client, const SessionPtr& s) {
        client.startKeepAlive(s, keepAlive);
    });
    receiveNext(session);
    // Right behind CONNECT, without waiting for the CONNACK: the broker reads
    // them in order. A filter too long for an MQTT string is skipped; the
    // connection's warning tells the user.
    const auto subscribe = [&](const std::string& filter) {
        if (filter.size() > kMaxStringLength) {
            return;
        }
        const auto identifier = session->framer->beginSubscribe(filter);
        const auto body = buildSubscribeBody(filter, sent.protocolVersion, identifier).value();
        session->connection->send(framePacket(kSubscribeFirstByte, body).value(), nullptr);
    };
    for (const auto& topic : sent.topics) {
        subscribe(topic);
    }
    subscribe(kDiscoveryTopic);
}

void MQTTClient::handleConnack(const SessionPtr& session, std::uint8_t code)
{
    if (code == 0) {
        setIsConnected(true);
        setLastError(subscribeWarning_);
        return;
    }
    setIsConnected(false);
    setLastError(ConnectionRefused{code});
    closeConnection(session);
}

void MQTTClient::handleSubscriptionRefused(std::string filter)
{
    auto* refused = subscribeWarning_ ? std::get_if<SubscriptionRefused>(&*subscribeWarning_) : nullptr;
    if (refused == nullptr) {
        subscribeWarning_ = SubscriptionRefused{};
        refused = &std::get<SubscriptionRefused>(*subscribeWarning_);
    }
    // A configured "#" and the discovery filter are one refusal to the user.
    if (std::find(refused->filters.begin(), refused->filters.end(), filter) == refused->filters.end()) {
        refused->filters.push_back(std::move(filter));
    }
    // Before the CONNACK (no broker answers in that order) the CONNACK shows it.
    if (isConnected_) {
        setLastError(subscribeWarning_);
    }
}

void MQTTClient::scheduleReconnect()
{
    if (isReconnecting_) {
        return;
    }
    isReconnecting_ = true;
    reconnectTimer_ = mainLoop_.schedule(Seconds(kReconnectDelaySeconds), false, [client = weak_from_this()] {
        if (const auto strong = client.lock()) {
            strong->isReconnecting_ = false;
            strong->connect();
        }
    });
}

// ---- Keep-alive (main thread; the ping itself on the queue) -------------------

void MQTTClient::startKeepAlive(const SessionPtr& session, std::uint16_t keepAliveInterval)
{
    const double interval = std::max(keepAliveInterval * 0.5, kMinimumKeepAliveTick);
    keepAliveTimer_ =
        mainLoop_.schedule(Seconds(interval), true, guarded(session, [](MQTTClient& client, const SessionPtr& s) {
                               client.transport_->queue().post(
                                   client.guarded(s, [](MQTTClient& c, const SessionPtr& p) { c.sendPing(p); }));
                           }));
}

// Queue.
void MQTTClient::sendPing(const SessionPtr& session)
{
    if (!session->isOpen || !session->framer || !session->framer->beginPing()) {
        return;  // a PINGREQ is unanswered: its timeout runs on
    }
    session->connection->send(Bytes{kPingreqFirstByte, 0x00}, nullptr);
    postToMain(session, [](MQTTClient& client, const SessionPtr& s) { client.armPingTimeout(s); });
}

// A PINGRESP that reaches the queue after this post is posted after it too,
// so it always finds the timer armed and stops it.
void MQTTClient::armPingTimeout(const SessionPtr& session)
{
    pingTimeoutTimer_ =
        mainLoop_.schedule(Seconds(kPingTimeoutSeconds), false,
                           guarded(session, [](MQTTClient& client, const SessionPtr& s) { client.onPingTimeout(s); }));
}

void MQTTClient::onPingTimeout(const SessionPtr& session)
{
    // The framer, on the queue, has the last word: a PINGRESP cut there while
    // this timer fired wins.
    transport_->queue().post(guarded(session, [](MQTTClient& client, const SessionPtr& s) {
        if (s->framer && s->framer->isPingPending()) {
            client.postToMain(s, [](MQTTClient& c, const SessionPtr&) {
                // connect() clears the error, so it is set after: the user
                // should see why the connection was replaced.
                c.connect();
                c.setLastError(PingTimeout{});
            });
        }
    }));
}

// ---- Receive path (queue) ------------------------------------------------------

void MQTTClient::receiveNext(const SessionPtr& session)
{
    if (!session->isOpen) {
        return;
    }
    session->connection->receive(1, kReceiveMaximum,
                                 guarded(session, [](MQTTClient& client, const SessionPtr& s, Bytes data,
                                                     bool isComplete, const std::optional<TransportError>& error) {
                                     client.onReceived(s, std::move(data), isComplete, error);
                                 }));
}

void MQTTClient::onReceived(const SessionPtr& session, Bytes data, bool isComplete,
                            const std::optional<TransportError>& error)
{
    if (!session->isOpen) {
        return;
    }
    if (error) {
        postToMain(session, [error = *error](MQTTClient& client, const SessionPtr& s) {
            if (s->isOpen) {
                client.setLastError(error);
            }
        });
        return;
    }
    if (!data.empty()) {
        auto read = session->framer->append(std::move(data));
        for (auto& reply : read.replies) {
            session->connection->send(std::move(reply), nullptr);
        }
        // A malformed packet closes the connection (after a bad length the
        // stream cannot even be resynchronised), and the broker sends nothing
        // after its DISCONNECT.
        const bool isClosing = read.malformed || read.isDisconnected;
        if (!read.packets.empty() || isClosing) {
            postToMain(session, [read = std::move(read)](MQTTClient& client, const SessionPtr& s) mutable {
                client.handleInbound(s, read);
            });
        }
        if (isClosing) {
            closeConnection(session);
            return;
        }
    }
    if (isComplete) {
        // Like a failed connection: the broker is usually back within
        // seconds (a restart), and the ping timeout would notice only after
        // up to one and a half keep-alive intervals. The `cancelled` report
        // schedules the reconnect.
        postToMain(session, [](MQTTClient& client, const SessionPtr&) {
            client.setIsConnected(false);
            client.setLastError(
                TransportError{TransportError::Kind::connectionClosed, "Connection closed by the broker"});
        });
        closeConnection(session);
        return;
    }
    receiveNext(session);
}

// ---- Inbound packets (main thread) ---------------------------------------------

void MQTTClient::handleInbound(const SessionPtr& session, FramedRead& read)
{
    for (auto& packet : read.packets) {
        switch (packet.kind) {
        case InboundPacket::Kind::connack: handleConnack(session, packet.code); break;
        case InboundPacket::Kind::pingresp: pingTimeoutTimer_.invalidate(); break;
        case InboundPacket::Kind::publish:
            delivery_.deliver(packet.topic, std::move(packet.payload), config_.topics);
            break;
        case InboundPacket::Kind::subscriptionRefused: handleSubscriptionRefused(std::move(packet.topic)); break;
        case InboundPacket::Kind::disconnect:
            setIsConnected(false);
            setLastError(DisconnectedByBroker{packet.code});
            break;
        }
    }
    if (read.malformed) {
        setIsConnected(false);
        setLastError(*read.malformed);
    }
}

}  // namespace telvane
