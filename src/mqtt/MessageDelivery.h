#pragma once

// The main-thread end of the receive path. Every received topic is recorded
// among the store's discovered topics; a message whose topic is exactly one
// of the configured topics (no wildcard matching) is stored, and the widget
// is asked to reload. Main thread only.

#include "model/Records.h"
#include "model/SharedStore.h"
#include "platform/EventLoop.h"
#include "platform/ReloadSignal.h"

#include <functional>
#include <string>
#include <vector>

namespace telvane {

class MessageDelivery {
public:
    static constexpr std::size_t kMaxStoredMessages = 50;
    // While new topics keep coming, the discovered topics are written at most
    // this often.
    static constexpr Seconds kTopicsWriteInterval{0.25};
    // While messages of configured topics keep coming, the messages are
    // written (and the widget told) at most this often; the first message
    // after a quiet spell is written at once. Each write is a transaction
    // with its own file locks, which at thousands a second cost more than
    // receiving the messages did; widgets redraw a few times a second anyway.
    static constexpr Seconds kMessagesWriteSpacing{0.05};

    // All three must outlive the delivery.
    MessageDelivery(SharedStore& store, ReloadSignal& reloadSignal, EventLoop& mainLoop);

    // Called with every stored message, after it was stored and before the
    // reload signal. It may use the store.
    void setOnMessage(std::function<void(const MQTTMessage&)> onMessage);

    // One received PUBLISH of the current batch (the reads that reached the
    // main thread one after another). `configuredTopics`
    // are the topics of the connection it came on. A message of a configured
    // topic is stored at finishBatch().
    void deliver(const std::string& topic, std::string payload, const std::vector<std::string>& configuredTopics);
    // The end of one batch: its stored messages are applied in order with one
    // write of the messages, after the discovered topics when one of their
    // topics is new, then onMessage runs for each and the widget gets one
    // reload signal. Within kMessagesWriteSpacing of the last write the batch
    // waits and joins the next ones instead. Other new topics are written
    // within kTopicsWriteInterval.
    void finishBatch();
    // Writes what waits now, spacing or not (at the end of the client).
    void flush();
    // True when messages wait to be stored.
    [[nodiscard]] bool hasBatch() const { return !batch_.empty(); }

private:
    void loadKnownTopics();
    void saveTopics();

    SharedStore& store_;
    ReloadSignal& reloadSignal_;
    EventLoop& mainLoop_;
    std::function<void(const MQTTMessage&)> onMessage_;

    // With a busy "#" a fresh broker brings hundreds of thousands of new
    // topics in a burst. Copying, encoding and writing the whole set per read
    // made that quadratic, so the set lives here, its JSON text grows by the
    // new topics only, and it is written on a timer. The delivery is the one
    // writer of the set: it reads the store's once, at its first message.
    TopicSet known_;                    // the stored topics and those not written yet
    std::vector<std::string> unsaved_;  // new since the last write, in order
    std::string encodedTopics_;         // known_ but unsaved_ as a JSON array without its "]"; "" until needed
    bool isLoaded_ = false;
    TimerHandle topicsTimer_;

    void writeBatch();

    std::vector<MQTTMessage> batch_;  // the batch's messages to store, in order
    bool hasUnsavedStoredTopic_ = false;
    // Runs for kMessagesWriteSpacing after each write of the messages; a
    // batch that ends meanwhile is written when it runs out.
    TimerHandle spacingTimer_;
};

}  // namespace telvane
