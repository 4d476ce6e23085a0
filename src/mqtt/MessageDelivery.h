#pragma once

// The main-thread end of the receive path. Every received topic is recorded
// among the store's discovered topics; a message whose topic is exactly one
// of the configured topics (no wildcard matching) is stored, and the widget
// is asked to reload. Main thread only.

#include "model/Records.h"
#include "model/SharedStore.h"
#include "platform/ReloadSignal.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace telvane {

class MessageDelivery {
public:
    static constexpr std::size_t kMaxStoredMessages = 50;

    // Both must outlive the delivery.
    MessageDelivery(SharedStore& store, ReloadSignal& reloadSignal);

    // Called with every stored message, after it was stored and before the
    // reload signal. It may use the store.
    void setOnMessage(std::function<void(const MQTTMessage&)> onMessage);

    // One received PUBLISH. `configuredTopics` are the topics of the
    // connection it came on.
    void deliver(const std::string& topic, std::string payload, const std::vector<std::string>& configuredTopics);
    // The end of one read: topics new to the store are written here once,
    // unless a stored message made them go out earlier.
    void finishRead();

private:
    void saveNewTopics();

    SharedStore& store_;
    ReloadSignal& reloadSignal_;
    std::function<void(const MQTTMessage&)> onMessage_;

    // The store's discovered topics as this read sees them. With a busy "#"
    // a fresh broker brings thousands of new topics in a burst; rewriting the
    // whole set for each of them kept the main thread busy for seconds.
    std::shared_ptr<const TopicSet> storedTopics_;  // null: not read in this read yet
    std::shared_ptr<TopicSet> updatedTopics_;       // stored plus new topics, while unsaved
};

}  // namespace telvane
