#pragma once

// The connection status of the application's MQTT client.

#include "mqtt/MQTTClient.h"
#include "ui/ConnectionStatus.h"

#include <memory>

namespace telvane {

class ClientConnectionStatus final : public ConnectionStatus {
public:
    explicit ClientConnectionStatus(std::shared_ptr<MQTTClient> client);
    // Removes the observer from the client.
    ~ClientConnectionStatus() override;
    ClientConnectionStatus(const ClientConnectionStatus&) = delete;
    ClientConnectionStatus& operator=(const ClientConnectionStatus&) = delete;

    [[nodiscard]] bool isConnected() const override;
    [[nodiscard]] std::optional<ClientError> lastError() const override;
    // Installs `observer` as the client's state observer.
    void setObserver(std::function<void()> observer) override;

private:
    std::shared_ptr<MQTTClient> client_;
};

}  // namespace telvane
