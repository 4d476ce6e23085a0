#pragma once

// A transport whose connections are driven by the test: it records what the
// client sends and lets the test report states, feed bytes, end the stream or
// fail. Every handler and completion is posted to the queue given at
// construction (a VirtualEventLoop in the unit tests), never run inline.

#include "platform/Connection.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace telvane::test {

class ScriptedConnection final : public Connection {
public:
    ScriptedConnection(SerialQueue& queue, std::string host, std::uint16_t port, double connectTimeoutSeconds);

    void setStateHandler(StateHandler handler) override;
    void start() override;
    // Recorded and completed successfully (or with the error set by
    // failSends); after cancel() completed with an error and not recorded.
    void send(Bytes data, SendCompletion completion) override;
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
    // Completes a pending receive with an error and reports `cancelled`
    // (once), as a real connection does.
    void cancel() override;

    // ---- Script -------------------------------------------------------------
    void reportState(ConnectionState state, std::optional<std::string> error = std::nullopt);
    // Queues bytes from the broker; a pending receive takes up to its maximum.
    void feed(Bytes data);
    // The broker closed the stream: the pending (or next) receive reports it.
    void endStream();
    // The pending (or next) receive completes with this error.
    void failReceive(std::string error);
    // Later sends complete with this error (none: successfully again).
    void failSends(std::optional<std::string> error);

    // ---- Observations -------------------------------------------------------
    [[nodiscard]] const std::string& host() const { return host_; }
    [[nodiscard]] std::uint16_t port() const { return port_; }
    [[nodiscard]] double connectTimeoutSeconds() const { return connectTimeoutSeconds_; }
    [[nodiscard]] bool isStarted() const;
    [[nodiscard]] bool isCancelled() const;
    [[nodiscard]] bool hasPendingReceive() const;
    // The largest `maximum` any receive asked for.
    [[nodiscard]] std::size_t largestReceiveMaximum() const;
    // Every recorded send, one framed packet each, in order.
    [[nodiscard]] std::vector<Bytes> sent() const;
    // The first bytes of the recorded sends, in order.
    [[nodiscard]] std::vector<std::uint8_t> sentTypes() const;

private:
    struct PendingReceive {
        std::size_t maximum = 0;
        ReceiveCompletion completion;
    };

    // Satisfies the pending receive if there is something to report. Locked.
    void serveReceive();

    SerialQueue& queue_;
    const std::string host_;
    const std::uint16_t port_;
    const double connectTimeoutSeconds_;

    mutable std::mutex mutex_;
    StateHandler stateHandler_;
    bool isStarted_ = false;
    bool isCancelled_ = false;
    std::vector<Bytes> sent_;
    std::optional<std::string> sendError_;
    std::optional<PendingReceive> pendingReceive_;
    std::size_t largestReceiveMaximum_ = 0;
    std::deque<std::uint8_t> inbound_;
    bool isEndOfStream_ = false;
    std::optional<std::string> receiveError_;
};

class ScriptedTransport final : public Transport {
public:
    explicit ScriptedTransport(SerialQueue& queue) : queue_(queue) {}

    [[nodiscard]] SerialQueue& queue() override { return queue_; }
    [[nodiscard]] std::shared_ptr<Connection> makeConnection(const std::string& host, std::uint16_t port,
                                                             double connectTimeoutSeconds) override;

    // Every connection made, oldest first.
    [[nodiscard]] const std::vector<std::shared_ptr<ScriptedConnection>>& connections() const
    {
        return connections_;
    }
    [[nodiscard]] std::size_t connectionCount() const { return connections_.size(); }
    // The newest connection; the test must have seen one made.
    [[nodiscard]] ScriptedConnection& last() const { return *connections_.back(); }

private:
    SerialQueue& queue_;
    std::vector<std::shared_ptr<ScriptedConnection>> connections_;
};

}  // namespace telvane::test
