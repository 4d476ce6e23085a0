#pragma once

// A transport whose connections are driven by the test: it records what the
// client sends and lets the test report states and feed bytes. Every handler
// and completion is posted to the queue given at construction (a
// VirtualEventLoop in the unit tests), never run inline. The script and the
// observations may be called from any thread.

#include "platform/Connection.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace telvane::test {

class ScriptedConnection final : public Connection {
public:
    ScriptedConnection(SerialQueue& queue, std::string host, std::uint16_t port, double connectTimeoutSeconds)
        : queue_(queue),
          host_(std::move(host)),
          port_(port),
          connectTimeoutSeconds_(connectTimeoutSeconds)
    {}

    void setStateHandler(StateHandler handler) override
    {
        locked([&] { stateHandler_ = std::move(handler); });
    }
    void start() override
    {
        locked([this] { isStarted_ = true; });
    }
    // Recorded and completed successfully; after cancel() or failSends()
    // completed with an error and not recorded.
    void send(Bytes data, SendCompletion completion) override;
    // Takes up to `maximum` of the bytes fed so far, or waits for more.
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
    // Completes a pending receive with an error and reports `cancelled`
    // (once), as a real connection does.
    void cancel() override;
    [[nodiscard]] std::optional<RemoteEndpoint> remoteEndpoint() const override
    {
        return locked([this] { return remote_; });
    }

    // ---- Script -------------------------------------------------------------
    void reportState(ConnectionState state, std::optional<TransportError> error = std::nullopt);
    // What remoteEndpoint() answers from now on (set it before reporting `ready`).
    void setRemoteEndpoint(RemoteEndpoint endpoint)
    {
        locked([&] { remote_ = std::move(endpoint); });
    }
    // Bytes from the broker, for the pending or the next receives.
    void feed(const Bytes& data);
    // Every later send completes with `error` and is not recorded.
    void failSends(TransportError error);
    // Once the bytes fed so far are taken, the pending or next receive
    // completes with `error`.
    void failReceive(TransportError error);
    // Once the bytes fed so far are taken, the pending or next receive
    // reports the end of the stream.
    void endStream();

    // ---- Observations -------------------------------------------------------
    [[nodiscard]] const std::string& host() const { return host_; }
    [[nodiscard]] std::uint16_t port() const { return port_; }
    [[nodiscard]] double connectTimeoutSeconds() const { return connectTimeoutSeconds_; }
    [[nodiscard]] bool isStarted() const
    {
        return locked([this] { return isStarted_; });
    }
    [[nodiscard]] bool isCancelled() const
    {
        return locked([this] { return isCancelled_; });
    }
    // Every recorded send, one framed packet each, in order.
    [[nodiscard]] std::vector<Bytes> sent() const
    {
        return locked([this] { return sent_; });
    }

private:
    template <typename Step>
    auto locked(Step step) const -> decltype(step())
    {
        const std::lock_guard lock(mutex_);
        return step();
    }
    // Completes the pending receive if there is something to report. Locked.
    void serveReceive();

    SerialQueue& queue_;
    const std::string host_;
    const std::uint16_t port_;
    const double connectTimeoutSeconds_;

    mutable std::mutex mutex_;
    StateHandler stateHandler_;
    bool isStarted_ = false;
    bool isCancelled_ = false;
    bool isEnded_ = false;
    std::optional<TransportError> sendFailure_;
    std::optional<TransportError> receiveFailure_;
    std::optional<RemoteEndpoint> remote_;
    std::vector<Bytes> sent_;
    Bytes inbound_;
    std::size_t receiveMaximum_ = 0;
    ReceiveCompletion pendingReceive_;
};

class ScriptedTransport final : public Transport {
public:
    explicit ScriptedTransport(SerialQueue& queue) : queue_(queue) {}

    [[nodiscard]] SerialQueue& queue() override { return queue_; }
    [[nodiscard]] std::shared_ptr<Connection> makeConnection(const std::string& host, std::uint16_t port,
                                                             double connectTimeoutSeconds) override
    {
        return connections_.emplace_back(
            std::make_shared<ScriptedConnection>(queue_, host, port, connectTimeoutSeconds));
    }

    // Every connection made, oldest first.
    [[nodiscard]] const std::vector<std::shared_ptr<ScriptedConnection>>& connections() const { return connections_; }
    [[nodiscard]] std::size_t connectionCount() const { return connections_.size(); }
    // The newest connection; the test must have seen one made.
    [[nodiscard]] ScriptedConnection& last() const { return *connections_.back(); }

private:
    SerialQueue& queue_;
    std::vector<std::shared_ptr<ScriptedConnection>> connections_;
};

}  // namespace telvane::test
