#pragma once

// What the settings window shows of the connection. The window never drives
// the connection itself; the application adapts its client to this.

#include "mqtt/ClientError.h"

#include <functional>
#include <optional>
#include <string>

namespace telvane {

class ConnectionStatus {
public:
    virtual ~ConnectionStatus() = default;
    [[nodiscard]] virtual bool isConnected() const = 0;
    // Why the connection does not work (or only in part); none while all is well.
    [[nodiscard]] virtual std::optional<ClientError> lastError() const = 0;
    // `observer` runs on the main thread after either value changed. One
    // observer at a time; an empty function removes it.
    virtual void setObserver(std::function<void()> observer) = 0;
};

}  // namespace telvane
