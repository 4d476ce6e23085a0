#include "platform/AsioTransport.h"

// ThreadSanitizer does not model Asio's stand-alone memory fences; the
// handler queues are mutex-protected anyway, which it does understand.
#if defined(__SANITIZE_THREAD__)
#define ASIO_DISABLE_FENCED_BLOCK
#endif
#include <asio.hpp>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace telvane {

namespace {

class AsioConnection;

}  // namespace

struct AsioTransport::Core {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);

    // Connections that may still hold sockets, so that shutdown can close
    // them and the thread's run() can return.
    std::mutex mutex;
    std::vector<std::weak_ptr<AsioConnection>> connections;
};

namespace {

using Core = AsioTransport::Core;

// How long a receive waits before reading while the peer streams: at most
// this much added latency for a message, and one read per this interval
// instead of one per message.
constexpr std::chrono::microseconds kGatherDelay{1000};

TransportError::Kind kindOf(const asio::error_code& error)
{
    using Kind = TransportError::Kind;
    namespace e = asio::error;
    if (error == e::host_not_found || error == e::host_not_found_try_again || error == e::no_data
        || error == e::no_recovery || error == e::service_not_found) {
        return Kind::hostNotFound;
    }
    if (error == e::connection_refused) {
        return Kind::connectionRefused;
    }
    if (error == e::network_unreachable || error == e::host_unreachable || error == e::network_down) {
        return Kind::networkUnreachable;
    }
    if (error == e::timed_out) {
        return Kind::timedOut;
    }
    if (error == e::connection_reset || error == e::connection_aborted || error == e::broken_pipe || error == e::eof
        || error == e::not_connected || error == e::shut_down) {
        return Kind::connectionClosed;
    }
    return Kind::other;
}

std::optional<TransportError> describe(const asio::error_code& error)
{
    if (!error) {
        return std::nullopt;
    }
    return TransportError{kindOf(error), error.message()};
}

class AsioConnection final : public Connection, public std::enable_shared_from_this<AsioConnection> {
public:
    AsioConnection(std::shared_ptr<Core> core, std::string host, std::uint16_t port, double timeoutSeconds)
        : core_(std::move(core)),
          host_(std::move(host)),
          port_(port),
          timeout_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double>(timeoutSeconds > 0 ? timeoutSeconds : 0))),
          resolver_(core_->io),
          socket_(core_->io),
          deadline_(core_->io),
          gather_(core_->io)
    {}

    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }

    void start() override
    {
        asio::post(core_->io, [self = shared_from_this()] { self->startOnQueue(); });
    }

    void send(Bytes data, SendCompletion completion) override
    {
        asio::post(core_->io,
                   [self = shared_from_this(), data = std::move(data), completion = std::move(completion)]() mutable {
                       self->sendOnQueue(std::move(data), std::move(completion));
                   });
    }

    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override
    {
        asio::post(core_->io,
                   [self = shared_from_this(), minimum, maximum, completion = std::move(completion)]() mutable {
                       self->receiveOnQueue(minimum, maximum, std::move(completion));
                   });
    }

    void cancel() override
    {
        asio::post(core_->io, [self = shared_from_this()] { self->cancelOnQueue(); });
    }

    [[nodiscard]] std::optional<RemoteEndpoint> remoteEndpoint() const override { return remote_; }

    // Queue only: also used by the transport's shutdown.
    void cancelOnQueue()
    {
        if (phase_ == Phase::cancelled) {
            return;
        }
        phase_ = Phase::cancelled;
        closeEverything();
        // Writes still waiting behind the one in flight never reach the
        // socket; the one in flight completes through its handler.
        failQueuedWrites(asio::error::operation_aborted, writing_ ? 1 : 0);
        report(ConnectionState::cancelled, std::nullopt);
    }

private:
    enum class Phase { idle, connecting, ready, failed, cancelled };

    struct PendingWrite {
        Bytes data;
        SendCompletion completion;
    };

    void report(ConnectionState state, const std::optional<TransportError>& error)
    {
        if (stateHandler_) {
            stateHandler_(state, error);
        }
    }

    void startOnQueue()
    {
        if (phase_ != Phase::idle) {
            return;  // started twice, or cancelled before it began
        }
        phase_ = Phase::connecting;
        report(ConnectionState::preparing, std::nullopt);

        deadline_.expires_after(timeout_);
        deadline_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error) {
                self->onDeadline();
            }
        });
        // No address_configured flag: it hides ::1 on hosts whose only IPv6
        // address is the loopback one.
        resolver_.async_resolve(host_, std::to_string(port_), asio::ip::tcp::resolver::numeric_service,
                                [self = shared_from_this()](const asio::error_code& error,
                                                            const asio::ip::tcp::resolver::results_type& results) {
                                    self->onResolved(error, results);
                                });
    }

    void onDeadline()
    {
        if (phase_ != Phase::connecting) {
            return;
        }
        fail(asio::error::timed_out);
    }

    void onResolved(const asio::error_code& error, const asio::ip::tcp::resolver::results_type& results)
    {
        if (phase_ != Phase::connecting) {
            return;  // timed out or cancelled meanwhile; already reported
        }
        if (error) {
            fail(error);
            return;
        }
        asio::async_connect(
            socket_, results,
            [self = shared_from_this()](const asio::error_code& previous, const asio::ip::tcp::endpoint&) {
                // Called before each attempt; `previous` is the last attempt's error.
                if (previous && self->phase_ == Phase::connecting) {
                    self->report(ConnectionState::waiting, describe(previous));
                }
                return self->phase_ == Phase::connecting;
            },
            [self = shared_from_this()](const asio::error_code& connectError, const asio::ip::tcp::endpoint&) {
                self->onConnected(connectError);
            });
    }

    void onConnected(const asio::error_code& error)
    {
        if (phase_ != Phase::connecting) {
            return;
        }
        if (error) {
            fail(error);
            return;
        }
        deadline_.cancel();
        asio::error_code ignored;
        // MQTT packets are small and latency matters more than segment count.
        socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
        const auto peer = socket_.remote_endpoint(ignored);
        if (!ignored) {
            remote_ = RemoteEndpoint{peer.address().to_string(), peer.port()};
        }
        phase_ = Phase::ready;
        report(ConnectionState::ready, std::nullopt);
        writeNext();
    }

    // Ends a connection that cannot be used any more; reports `failed` once.
    void fail(const asio::error_code& error)
    {
        if (phase_ == Phase::failed || phase_ == Phase::cancelled) {
            return;
        }
        phase_ = Phase::failed;
        failure_ = error;
        closeEverything();
        failQueuedWrites(error, writing_ ? 1 : 0);
        report(ConnectionState::failed, describe(error));
    }

    // The error for operations on a connection that is no longer usable:
    // the failure that ended it, or "cancelled", or "not connected" yet.
    [[nodiscard]] asio::error_code endedError() const
    {
        switch (phase_) {
        case Phase::cancelled: return asio::error::operation_aborted;
        case Phase::failed: return failure_;
        default: return asio::error::not_connected;
        }
    }

    [[nodiscard]] asio::error_code endedErrorOr(const asio::error_code& error) const
    {
        return phase_ == Phase::cancelled || phase_ == Phase::failed ? endedError() : error;
    }

    void closeEverything()
    {
        asio::error_code ignored;
        deadline_.cancel();
        gather_.cancel();
        resolver_.cancel();
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

    void failQueuedWrites(const asio::error_code& error, std::size_t keep)
    {
        // Completions may call back into this connection (which only posts),
        // so the queue is detached before any of them runs.
        std::deque<PendingWrite> dropped;
        while (writes_.size() > keep) {
            dropped.push_front(std::move(writes_.back()));
            writes_.pop_back();
        }
        const auto text = describe(error);
        for (auto& write : dropped) {
            if (write.completion) {
                write.completion(text);
            }
        }
    }

    void sendOnQueue(Bytes data, SendCompletion completion)
    {
        if (phase_ == Phase::failed || phase_ == Phase::cancelled) {
            if (completion) {
                completion(describe(endedError()));
            }
            return;
        }
        // Before `ready` the data waits; it goes out once connected.
        writes_.push_back({std::move(data), std::move(completion)});
        writeNext();
    }

    // One write at a time: async_write of several buffers at once could
    // interleave their pieces on the socket.
    void writeNext()
    {
        if (writing_ || writes_.empty() || phase_ != Phase::ready) {
            return;
        }
        writing_ = true;
        asio::async_write(
            socket_, asio::buffer(writes_.front().data),
            [self = shared_from_this()](const asio::error_code& error, std::size_t) { self->onWritten(error); });
    }

    void onWritten(const asio::error_code& error)
    {
        writing_ = false;
        PendingWrite done = std::move(writes_.front());
        writes_.pop_front();
        if (error && phase_ == Phase::ready) {
            fail(error);
        }
        if (done.completion) {
            done.completion(describe(error ? endedErrorOr(error) : error));
        }
        writeNext();
    }

    void receiveOnQueue(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion)
    {
        if (!completion) {
            return;
        }
        if (phase_ != Phase::ready) {
            completion({}, false, describe(endedError()));
            return;
        }
        maximum = std::max<std::size_t>(maximum, 1);
        minimum = std::clamp<std::size_t>(minimum, 1, maximum);
        if (!isStreaming_) {
            readOnQueue(minimum, maximum, std::move(completion));
            return;
        }
        // A broker forwarding a busy stream writes each message on its own;
        // reading each on its own costs a wake-up of this thread and of the
        // client's, which is most of the time a message takes. Waiting a
        // moment lets what follows arrive and be read at once.
        gather_.expires_after(kGatherDelay);
        gather_.async_wait([self = shared_from_this(), minimum, maximum,
                            completion = std::move(completion)](const asio::error_code&) mutable {
            if (self->phase_ != Phase::ready) {
                completion({}, false, describe(self->endedError()));
                return;
            }
            self->readOnQueue(minimum, maximum, std::move(completion));
        });
    }

    void readOnQueue(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion)
    {
        auto buffer = std::make_shared<Bytes>(maximum);
        const auto started = std::chrono::steady_clock::now();
        asio::async_read(socket_, asio::buffer(*buffer), asio::transfer_at_least(minimum),
                         [self = shared_from_this(), buffer, started, completion = std::move(completion)](
                             const asio::error_code& error, std::size_t received) mutable {
                             // Data there at once but less than a full buffer, twice
                             // in a row: a peer writing many small pieces. A full
                             // buffer means more is waiting; a bulk transfer has
                             // them in between, and a read that waited long means
                             // the peer is idle.
                             const bool isQuickAndShort = !error && received < buffer->size()
                                                          && std::chrono::steady_clock::now() - started < kGatherDelay;
                             self->isStreaming_ = isQuickAndShort && self->wasQuickAndShort_;
                             self->wasQuickAndShort_ = isQuickAndShort;
                             buffer->resize(received);
                             self->onReceived(std::move(*buffer), error, completion);
                         });
    }

    void onReceived(Bytes data, const asio::error_code& error, const ReceiveCompletion& completion)
    {
        if (!error) {
            completion(std::move(data), false, std::nullopt);
            return;
        }
        if (error == asio::error::eof && phase_ == Phase::ready) {
            completion(std::move(data), true, std::nullopt);
            return;
        }
        fail(error);
        completion({}, false, describe(endedErrorOr(error)));
    }

    std::shared_ptr<Core> core_;  // keeps the io_context alive as long as the socket
    std::string host_;
    std::uint16_t port_;
    std::chrono::steady_clock::duration timeout_;
    asio::ip::tcp::resolver resolver_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer deadline_;
    asio::steady_timer gather_;  // delays a receive while the peer streams
    StateHandler stateHandler_;

    // Touched on the queue only.
    Phase phase_ = Phase::idle;
    std::deque<PendingWrite> writes_;  // front is in flight while writing_
    bool writing_ = false;
    asio::error_code failure_;              // set with Phase::failed
    std::optional<RemoteEndpoint> remote_;  // set before `ready` is reported
    bool isStreaming_ = false;              // the next receive waits to gather
    bool wasQuickAndShort_ = false;         // the last read found less than a buffer waiting
};

}  // namespace

AsioTransport::AsioTransport() : core_(std::make_shared<Core>())
{
    // The thread holds the core too: when the transport is destroyed on
    // its own thread, the thread is detached and finishes the work itself.
    thread_ = std::thread([core = core_] {
        pthread_setname_np(pthread_self(), "mqtt.client");
        core->io.run();
    });
}

AsioTransport::~AsioTransport()
{
    stop();
}

void AsioTransport::stop()
{
    if (!thread_.joinable()) {
        return;
    }
    asio::post(core_->io, [core = core_] {
        std::vector<std::shared_ptr<AsioConnection>> alive;
        {
            const std::lock_guard lock(core->mutex);
            for (const auto& weak : core->connections) {
                if (auto connection = weak.lock()) {
                    alive.push_back(std::move(connection));
                }
            }
            core->connections.clear();
        }
        for (const auto& connection : alive) {
            connection->cancelOnQueue();
        }
    });
    // run() returns once the cancelled operations' handlers have run.
    core_->work.reset();
    if (isQueueThread()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void AsioTransport::post(std::function<void()> task)
{
    asio::post(core_->io, std::move(task));
}

std::shared_ptr<Connection> AsioTransport::makeConnection(const std::string& host, std::uint16_t port,
                                                          double connectTimeoutSeconds)
{
    auto connection = std::make_shared<AsioConnection>(core_, host, port, connectTimeoutSeconds);
    const std::lock_guard lock(core_->mutex);
    std::erase_if(core_->connections, [](const auto& weak) { return weak.expired(); });
    core_->connections.push_back(connection);
    return connection;
}

bool AsioTransport::isQueueThread() const
{
    return std::this_thread::get_id() == thread_.get_id();
}

}  // namespace telvane
