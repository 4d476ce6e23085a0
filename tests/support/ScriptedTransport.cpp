#include "support/ScriptedTransport.h"

#include <algorithm>
#include <utility>

namespace telvane::test {

namespace {
const TransportError kCancelled{TransportError::Kind::other, "Operation canceled"};
}  // namespace

void ScriptedConnection::send(Bytes data, SendCompletion completion)
{
    std::optional<TransportError> error;
    {
        const std::lock_guard lock(mutex_);
        if (isCancelled_) {
            error = kCancelled;
        } else if (sendFailure_) {
            error = sendFailure_;
        } else {
            sent_.push_back(std::move(data));
        }
    }
    if (completion) {
        queue_.post([completion = std::move(completion), error] { completion(error); });
    }
}

void ScriptedConnection::receive(std::size_t /*minimum*/, std::size_t maximum, ReceiveCompletion completion)
{
    const std::lock_guard lock(mutex_);
    receiveMaximum_ = maximum;
    pendingReceive_ = std::move(completion);
    serveReceive();
}

void ScriptedConnection::cancel()
{
    const std::lock_guard lock(mutex_);
    if (std::exchange(isCancelled_, true)) {
        return;
    }
    serveReceive();
    if (stateHandler_) {
        queue_.post([handler = stateHandler_] { handler(ConnectionState::cancelled, std::nullopt); });
    }
}

void ScriptedConnection::reportState(ConnectionState state, std::optional<TransportError> error)
{
    const std::lock_guard lock(mutex_);
    if (stateHandler_) {
        queue_.post([handler = stateHandler_, state, error = std::move(error)] { handler(state, error); });
    }
}

void ScriptedConnection::feed(const Bytes& data)
{
    const std::lock_guard lock(mutex_);
    inbound_.insert(inbound_.end(), data.begin(), data.end());
    serveReceive();
}

void ScriptedConnection::failSends(TransportError error)
{
    const std::lock_guard lock(mutex_);
    sendFailure_ = std::move(error);
}

void ScriptedConnection::failReceive(TransportError error)
{
    const std::lock_guard lock(mutex_);
    receiveFailure_ = std::move(error);
    serveReceive();
}

void ScriptedConnection::endStream()
{
    const std::lock_guard lock(mutex_);
    isEnded_ = true;
    serveReceive();
}

void ScriptedConnection::serveReceive()
{
    const bool hasNews = !inbound_.empty() || isCancelled_ || receiveFailure_ || isEnded_;
    if (!pendingReceive_ || !hasNews) {
        return;
    }
    auto completion = std::exchange(pendingReceive_, nullptr);
    if (isCancelled_ || (inbound_.empty() && receiveFailure_)) {
        queue_.post([completion = std::move(completion), error = isCancelled_ ? kCancelled : *receiveFailure_] {
            completion({}, false, error);
        });
        return;
    }
    if (inbound_.empty()) {
        queue_.post([completion = std::move(completion)] { completion({}, true, std::nullopt); });
        return;
    }
    const auto count = static_cast<std::ptrdiff_t>(std::min(inbound_.size(), receiveMaximum_));
    Bytes data(inbound_.begin(), inbound_.begin() + count);
    inbound_.erase(inbound_.begin(), inbound_.begin() + count);
    queue_.post([completion = std::move(completion), data = std::move(data)]() mutable {
        completion(std::move(data), false, std::nullopt);
    });
}

}  // namespace telvane::test
