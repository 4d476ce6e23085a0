#include "mqtt/MessageDelivery.h"

#include <algorithm>

namespace telvane {

MessageDelivery::MessageDelivery(SharedStore& store, ReloadSignal& reloadSignal)
    : store_(store), reloadSignal_(reloadSignal)
{
}

void MessageDelivery::setOnMessage(std::function<void(const MQTTMessage&)> onMessage)
{
    onMessage_ = std::move(onMessage);
}

void MessageDelivery::deliver(const std::string& topic, std::string payload,
                              const std::vector<std::string>& configuredTopics)
{
    if (!storedTopics_) {
        storedTopics_ = store_.loadDiscoveredTopics();
    }
    const TopicSet& known = updatedTopics_ ? *updatedTopics_ : *storedTopics_;
    if (!known.contains(topic)) {
        if (!updatedTopics_) {
            updatedTopics_ = std::make_shared<TopicSet>(*storedTopics_);
        }
        updatedTopics_->insert(topic);
    }
    if (std::find(configuredTopics.begin(), configuredTopics.end(), topic) == configuredTopics.end()) {
        return;
    }
    // A stored message's topic is in the store's discovered topics before the
    // widget hears of the message.
    saveNewTopics();
    const MQTTMessage message{topic, std::move(payload), Date::now()};
    store_.appendMessage(message, kMaxStoredMessages);
    if (onMessage_) {
        const auto callback = onMessage_;
        callback(message);
        storedTopics_.reset();  // the callback may have written the store
    }
    reloadSignal_.emitReload();
}

void MessageDelivery::finishRead()
{
    saveNewTopics();
    storedTopics_.reset();
}

void MessageDelivery::saveNewTopics()
{
    if (updatedTopics_) {
        store_.saveDiscoveredTopics(*updatedTopics_);
        storedTopics_ = std::move(updatedTopics_);
    }
}

}  // namespace telvane
