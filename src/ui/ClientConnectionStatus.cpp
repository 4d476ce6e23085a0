#include "ui/ClientConnectionStatus.h"

namespace telvane {

ClientConnectionStatus::ClientConnectionStatus(std::shared_ptr<MQTTClient> client) : client_(std::move(client)) {}

ClientConnectionStatus::~ClientConnectionStatus()
{
    client_->setStateObserver({});
}

bool ClientConnectionStatus::isConnected() const
{
    return client_->isConnected();
}

std::optional<ClientError> ClientConnectionStatus::lastError() const
{
    return client_->lastError();
}

void ClientConnectionStatus::setObserver(std::function<void()> observer)
{
    client_->setStateObserver(std::move(observer));
}

}  // namespace telvane
