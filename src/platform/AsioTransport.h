#pragma once

// Plain TCP connections on standalone Asio. One io_context, run by one thread
// named "mqtt.client", is the serial queue: every connection handler, send and
// receive completion and posted task runs there, one at a time, in order.
//
// Connection behaviour:
// - start() reports `preparing`, resolves the host (names, IPv4, IPv6 literals)
//   and tries each address in turn; `waiting` (with the system's text) is
//   reported when one address failed and the next is tried. `ready` once a
//   TCP connection is up (TCP_NODELAY set), `failed` with the system's text
//   when resolution fails, every address failed, or the timeout ran out first
//   ("Connection timed out"). remoteEndpoint() is the peer's address from
//   `ready` on ("fe80::1%eth0" for a scoped IPv6 one).
// - A send or receive that fails on a connected socket (reset, broken pipe)
//   moves the connection to `failed` as well: the socket is dead and only a
//   new connection helps. The end of the stream does not change the state.
// - cancel() closes the socket and reports `cancelled` exactly once, whatever
//   the connection was doing; nothing is reported after it. Sends and a
//   receive still pending then, and any issued later, complete with an error.

#include "platform/Connection.h"

#include <memory>
#include <string>
#include <thread>

namespace telvane {

class AsioTransport final : public Transport, public SerialQueue {
public:
    // Starts the "mqtt.client" thread, which runs until stop().
    AsioTransport();
    // Stops the thread, as stop() does.
    ~AsioTransport() override;
    AsioTransport(const AsioTransport&) = delete;
    AsioTransport& operator=(const AsioTransport&) = delete;

    // Cancels the connections still alive, lets their completions run and
    // joins the thread (detaches it when called on that very thread). Owners
    // call it before destroying what those completions reach (the main loop,
    // the store): a queue task that holds the client keeps the transport
    // alive past its owner, so the destructor alone may come too late.
    // Nothing runs on the queue afterwards. Idempotent.
    void stop();

    [[nodiscard]] SerialQueue& queue() override { return *this; }
    void post(std::function<void()> task) override;

    // Any thread. Nothing happens before start().
    [[nodiscard]] std::shared_ptr<Connection> makeConnection(const std::string& host, std::uint16_t port,
                                                             double connectTimeoutSeconds) override;

    struct Core;  // the io_context and what outlives the transport object

private:
    // Whether the caller runs on the transport's thread.
    [[nodiscard]] bool isQueueThread() const;

    std::shared_ptr<Core> core_;
    std::thread thread_;
};

}  // namespace telvane
