#pragma once

// Stand-ins for the settings window's collaborators where a benchmark wants
// the window without a client or a session bus.

#include "platform/ReloadSignal.h"
#include "ui/ConnectionStatus.h"

#include <functional>
#include <optional>

namespace telvane::test {

// Swallows reload requests.
class NoReload final : public ReloadSignal {
public:
    void emitReload() override {}
};

// A client that never connects and never reports an error.
class Disconnected final : public ConnectionStatus {
public:
    [[nodiscard]] bool isConnected() const override { return false; }
    [[nodiscard]] std::optional<ClientError> lastError() const override { return std::nullopt; }
    void setObserver(std::function<void()> /*observer*/) override {}
};

}  // namespace telvane::test
