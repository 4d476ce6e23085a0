#pragma once

// The client's connection status as the settings window sees it, set by the
// test (or left disconnected, for a benchmark that wants the window without
// a client).

#include "ui/ConnectionStatus.h"

#include <functional>
#include <optional>

namespace telvane::test {

class FakeConnectionStatus final : public ConnectionStatus {
public:
    [[nodiscard]] bool isConnected() const override { return connected; }
    [[nodiscard]] std::optional<ClientError> lastError() const override { return error; }
    void setObserver(std::function<void()> o) override { observer = std::move(o); }
    void change(bool isConnected, std::optional<ClientError> lastError)
    {
        connected = isConnected;
        error = std::move(lastError);
        observer();
    }

    bool connected = false;
    std::optional<ClientError> error;
    std::function<void()> observer;
};

}  // namespace telvane::test
