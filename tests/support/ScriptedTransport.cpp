#include "support/ScriptedTransport.h"

#include <algorithm>

namespace telvane::test {

namespace {
constexpr const char* kCancelledText = "Operation canceled";
}  // namespace

ScriptedConnection::ScriptedConnection(SerialQueue& queue, std::string host, std::uint16_t port,
                                       double connectTimeoutSeconds)
    : queue_(queue), host_(std::move(host)), port_(port), connectTimeoutSeconds_(connectTimeoutSeconds)
{
}

void ScriptedConnection::setStateHandler(StateHandler handler)
{
    const std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}

void ScriptedConnection::start()
{
    const std::lock_guard lock(mutex_);
    isStarted_ = true;
}

void ScriptedConnection::send(Bytes data, SendCompletion completion)
{
    std::optional<std::string> error;
    {
        const std::lock_guard lock(mutex_);
        if (isCancelled_) {
            error = kCancelledText;
        } else {
            sent_.push_back(std::move(data));
            error = sendError_;
        }
    }
    if (completion) {
        queue_.post([completion = std::move(completion), error] { completion(error); });
    }
}

void ScriptedConnection::receive(std::size_t /*minimum*/, std::size_t maximum, ReceiveCompletion completion)
{
    const std::lock_guard lock(mutex_);
    largestReceiveMaximum_ = std::max(largestReceiveMaximum_, maximum);
    if (isCancelled_) {
        queue_.post([completion = std::move(completion)] { completion({}, false, kCancelledText); });
        return;
    }
    pendingReceive_ = PendingReceive{maximum, std::move(completion)};
    serveReceive();
}

void ScriptedConnection::cancel()
{
    const std::lock_guard lock(mutex_);
    if (isCancelled_) {
        return;
    }
    isCancelled_ = true;
    if (pendingReceive_) {
        queue_.post([completion = std::move(pendingReceive_->completion)] { completion({}, false, kCancelledText); });
        pendingReceive_.reset();
    }
    if (stateHandler_) {
        queue_.post([handler = stateHandler_] { handler(ConnectionState::cancelled, std::nullopt); });
    }
}

void ScriptedConnection::reportState(ConnectionState state, std::optional<std::string> error)
{
    const std::lock_guard lock(mutex_);
    if (stateHandler_) {
        queue_.post([handler = stateHandler_, state, error = std::move(error)] { handler(state, error); });
    }
}

void ScriptedConnection::feed(Bytes data)
{
    const std::lock_guard lock(mutex_);
    inbound_.insert(inbound_.end(), data.begin(), data.end());
    serveReceive();
}

void ScriptedConnection::endStream()
{
    const std::lock_guard lock(mutex_);
    isEndOfStream_ = true;
    serveReceive();
}

void ScriptedConnection::failReceive(std::string error)
{
    const std::lock_guard lock(mutex_);
    receiveError_ = std::move(error);
    serveReceive();
}

void ScriptedConnection::failSends(std::optional<std::string> error)
{
    const std::lock_guard lock(mutex_);
    sendError_ = std::move(error);
}

void ScriptedConnection::serveReceive()
{
    if (!pendingReceive_) {
        return;
    }
    if (receiveError_) {
        queue_.post([completion = std::move(pendingReceive_->completion), error = *receiveError_] {
            completion({}, false, error);
        });
        pendingReceive_.reset();
        return;
    }
    if (inbound_.empty() && !isEndOfStream_) {
        return;
    }
    const std::size_t count = std::min(inbound_.size(), pendingReceive_->maximum);
    Bytes data(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(count));
    inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(count));
    const bool isComplete = isEndOfStream_ && inbound_.empty();
    queue_.post([completion = std::move(pendingReceive_->completion), data = std::move(data), isComplete]() mutable {
        completion(std::move(data), isComplete, std::nullopt);
    });
    pendingReceive_.reset();
}

bool ScriptedConnection::isStarted() const
{
    const std::lock_guard lock(mutex_);
    return isStarted_;
}

bool ScriptedConnection::isCancelled() const
{
    const std::lock_guard lock(mutex_);
    return isCancelled_;
}

bool ScriptedConnection::hasPendingReceive() const
{
    const std::lock_guard lock(mutex_);
    return pendingReceive_.has_value();
}

std::size_t ScriptedConnection::largestReceiveMaximum() const
{
    const std::lock_guard lock(mutex_);
    return largestReceiveMaximum_;
}

std::vector<Bytes> ScriptedConnection::sent() const
{
    const std::lock_guard lock(mutex_);
    return sent_;
}

std::vector<std::uint8_t> ScriptedConnection::sentTypes() const
{
    const std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> types;
    for (const auto& packet : sent_) {
        types.push_back(packet.empty() ? std::uint8_t{0} : packet.front());
    }
    return types;
}

std::shared_ptr<Connection> ScriptedTransport::makeConnection(const std::string& host, std::uint16_t port,
                                                              double connectTimeoutSeconds)
{
    auto connection = std::make_shared<ScriptedConnection>(queue_, host, port, connectTimeoutSeconds);
    connections_.push_back(connection);
    return connection;
}

}  // namespace telvane::test
