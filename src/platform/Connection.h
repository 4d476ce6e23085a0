#pragma once

// The client's byte-stream transport: one plain TCP connection to the broker.
// Every handler and completion runs on the transport's serial queue.

#include "platform/TransportError.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace telvane {

using Bytes = std::vector<std::uint8_t>;

enum class ConnectionState { preparing, waiting, ready, failed, cancelled };

// The far end of an established connection: the numeric address as the
// system writes it (an IPv6 one may carry a "%zone") and the port.
struct RemoteEndpoint {
    std::string address;
    std::uint16_t port = 0;

    bool operator==(const RemoteEndpoint&) const = default;
};

class Connection {
public:
    // `error` is set for `failed` (and may be set for `waiting`).
    using StateHandler = std::function<void(ConnectionState state, const std::optional<TransportError>& error)>;
    using SendCompletion = std::function<void(const std::optional<TransportError>& error)>;
    // `data` may be empty; `isComplete` reports the end of the stream.
    using ReceiveCompletion =
        std::function<void(Bytes data, bool isComplete, const std::optional<TransportError>& error)>;

    virtual ~Connection() = default;

    // Install before start().
    virtual void setStateHandler(StateHandler handler) = 0;
    // Resolves and connects; reports states through the handler.
    virtual void start() = 0;
    // Writes `data` as one piece; the completion runs when it was handed to
    // the system or failed (also after cancel()).
    virtual void send(Bytes data, SendCompletion completion) = 0;
    // Reads between `minimum` and `maximum` bytes. A receive pending at
    // cancel() completes with an error too: check which connection it was.
    virtual void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) = 0;
    // Closes the connection; reported later as `cancelled`. Idempotent.
    virtual void cancel() = 0;
    // Where the connection went: set once `ready` was reported, none before
    // and for connections that never got there. Read it on the queue, e.g.
    // in the state handler.
    [[nodiscard]] virtual std::optional<RemoteEndpoint> remoteEndpoint() const { return std::nullopt; }
};

// The serial queue the client's network work runs on.
class SerialQueue {
public:
    virtual ~SerialQueue() = default;
    // Runs `task` on the queue after the tasks posted before it. Any thread.
    virtual void post(std::function<void()> task) = 0;
};

// Makes connections whose handlers run on `queue()`.
class Transport {
public:
    virtual ~Transport() = default;
    [[nodiscard]] virtual SerialQueue& queue() = 0;
    // `connectTimeout` bounds name resolution plus the TCP handshake.
    [[nodiscard]] virtual std::shared_ptr<Connection> makeConnection(const std::string& host, std::uint16_t port,
                                                                     double connectTimeoutSeconds) = 0;
};

}  // namespace telvane
