#include "mqtt/MessageDelivery.h"

#include <algorithm>
#include <utility>

namespace telvane {

MessageDelivery::MessageDelivery(SharedStore& store, ReloadSignal& reloadSignal, EventLoop& mainLoop)
    : store_(store),
      reloadSignal_(reloadSignal),
      mainLoop_(mainLoop)
{}

void MessageDelivery::setOnMessage(std::function<void(const MQTTMessage&)> onMessage)
{
    onMessage_ = std::move(onMessage);
}

void MessageDelivery::deliver(const std::string& topic, std::string payload,
                              const std::vector<std::string>& configuredTopics)
{
    if (!isLoaded_) {
        loadKnownTopics();
    }
    const bool isNew = known_.insert(topic).second;
    if (isNew) {
        unsaved_.push_back(topic);
        if (!topicsTimer_) {
            topicsTimer_ = mainLoop_.schedule(kTopicsWriteInterval, false, [this] { saveTopics(); });
        }
    }
    if (std::find(configuredTopics.begin(), configuredTopics.end(), topic) == configuredTopics.end()) {
        return;
    }
    // A stored message's topic is in the store's discovered topics before the
    // widget hears of the message. (A configured topic is never left unsaved
    // past the batch that brought it first.)
    hasUnsavedStoredTopic_ = hasUnsavedStoredTopic_ || isNew;
    batch_.push_back(MQTTMessage{topic, std::move(payload), Date::now()});
    // Posted behind the reads already waiting on the main loop, so that they
    // join this batch.
    if (!std::exchange(isBatchEndPosted_, true)) {
        mainLoop_.post([this, alive = std::weak_ptr<const bool>(lifetime_)] {
            if (!alive.expired()) {
                endBatch();
            }
        });
    }
}

void MessageDelivery::endBatch()
{
    isBatchEndPosted_ = false;
    if (batch_.empty() || spacingTimer_) {
        return;
    }
    writeBatch();
}

void MessageDelivery::writeBatch()
{
    if (std::exchange(hasUnsavedStoredTopic_, false)) {
        saveTopics();
    }
    auto messages = std::exchange(batch_, {});
    if (!onMessage_) {
        // The app has no observer: the batch moves into the store, since a
        // payload can be megabytes.
        store_.appendMessages(std::move(messages), kMaxStoredMessages);
    } else {
        store_.appendMessages(messages, kMaxStoredMessages);
        const auto callback = onMessage_;
        for (const auto& message : messages) {
            callback(message);
        }
    }
    reloadSignal_.emitReload();
    spacingTimer_ = mainLoop_.schedule(kMessagesWriteSpacing, false, [this] {
        spacingTimer_.invalidate();
        if (!batch_.empty()) {
            writeBatch();
        }
    });
}

void MessageDelivery::flush()
{
    spacingTimer_.invalidate();
    if (!batch_.empty()) {
        writeBatch();
        spacingTimer_.invalidate();
    }
}

void MessageDelivery::loadKnownTopics()
{
    isLoaded_ = true;
    known_ = *store_.loadDiscoveredTopics();
}

void MessageDelivery::saveTopics()
{
    topicsTimer_.invalidate();
    if (unsaved_.empty()) {
        return;
    }
    if (!document_) {
        document_.emplace();
        for (const auto& topic : known_) {
            document_->append(topic);
        }
    } else {
        for (const auto& topic : unsaved_) {
            document_->append(topic);
        }
    }
    unsaved_.clear();
    store_.saveDiscoveredTopicsDocument(*document_);
}

}  // namespace telvane
