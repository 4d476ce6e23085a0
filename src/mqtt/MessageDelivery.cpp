#include "mqtt/MessageDelivery.h"

#include <algorithm>

namespace telvane {

MessageDelivery::MessageDelivery(SharedStore& store, ReloadSignal& reloadSignal, EventLoop& mainLoop)
    : store_(store), reloadSignal_(reloadSignal), mainLoop_(mainLoop)
{
}

void MessageDelivery::setOnMessage(std::function<void(const MQTTMessage&)> onMessage)
{
    onMessage_ = std::move(onMessage);
}

void MessageDelivery::deliver(const std::string& topic, std::string payload,
                              const std::vector<std::string>& configuredTopics)
{
    if (!isSynced_) {
        syncKnownTopics();
    }
    if (known_.insert(topic).second) {
        unsaved_.insert(topic);
        if (!topicsTimer_) {
            topicsTimer_ = mainLoop_.schedule(kTopicsWriteInterval, false, [this] { saveTopics(); });
        }
    }
    if (std::find(configuredTopics.begin(), configuredTopics.end(), topic) == configuredTopics.end()) {
        return;
    }
    // A stored message's topic is in the store's discovered topics before the
    // widget hears of the message.
    hasUnsavedStoredTopic_ = hasUnsavedStoredTopic_ || unsaved_.contains(topic);
    batch_.push_back(MQTTMessage{topic, std::move(payload), Date::now()});
}

void MessageDelivery::finishBatch()
{
    isSynced_ = false;
    if (batch_.empty()) {
        return;
    }
    if (std::exchange(hasUnsavedStoredTopic_, false)) {
        saveTopics();
    }
    const auto messages = std::exchange(batch_, {});
    store_.appendMessages(messages, kMaxStoredMessages);
    if (onMessage_) {
        const auto callback = onMessage_;
        for (const auto& message : messages) {
            callback(message);
        }
    }
    reloadSignal_.emitReload();
}

// The store hands out the same snapshot until its set changes, so this is a
// pointer test unless something else wrote the set (or on the first batch).
void MessageDelivery::syncKnownTopics()
{
    isSynced_ = true;
    auto stored = store_.loadDiscoveredTopics();
    if (stored == lastStored_) {
        return;
    }
    known_ = *stored;
    known_.insert(unsaved_.begin(), unsaved_.end());
    lastStored_ = std::move(stored);
}

void MessageDelivery::saveTopics()
{
    topicsTimer_.invalidate();
    if (unsaved_.empty()) {
        return;
    }
    store_.saveDiscoveredTopics(known_);
    unsaved_.clear();
    lastStored_ = store_.loadDiscoveredTopics();
}

}  // namespace telvane
