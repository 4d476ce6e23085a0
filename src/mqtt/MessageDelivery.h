#pragma once

// The main-thread end of the receive path. Every received topic is recorded
// among the store's discovered topics; a message whose topic is exactly one
// of the configured topics (no wildcard matching) is stored, the numbers it
// brings to the history's series (wantedHistorySeries) with it, and the
// widget is asked to reload. The delivery decides itself when messages are
// written: the client only hands them over. Main thread only.

#include "model/DiscoveredTopicsDocument.h"
#include "model/HistoryTables.h"
#include "model/PayloadNumber.h"
#include "model/Records.h"
#include "model/SharedStore.h"
#include "platform/EventLoop.h"
#include "platform/ReloadSignal.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
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
    // The history's points past their keeping and its series no longer
    // shown are removed this often, and once at the start
    // (SharedStore::trimHistory, a small delete per turn of the loop).
    static constexpr Seconds kHistoryTrimInterval{300};
    // The history's points go with a batch of messages at most this often
    // (the interval a point stands for), merged meanwhile: a batch's points
    // touch a page per series and tier, which at 20 writes a second would be
    // megabytes a second through the write-ahead log. After a spacing
    // without a batch they are written on their own; the first batch after a
    // quiet spell takes them at once.
    static constexpr Seconds kHistoryWriteSpacing{10};

    // All three must outlive the delivery. `clock` stamps the messages.
    MessageDelivery(SharedStore& store, ReloadSignal& reloadSignal, EventLoop& mainLoop,
                    std::function<Date()> clock = &Date::now);
    MessageDelivery(const MessageDelivery&) = delete;
    MessageDelivery& operator=(const MessageDelivery&) = delete;

    // Called with every stored message, after it was stored and before the
    // reload signal. It may use the store.
    void setOnMessage(std::function<void(const MQTTMessage&)> onMessage);

    // One received PUBLISH. `configuredTopics` are the topics of the
    // connection it came on. A message of a configured topic joins the
    // current batch, which ends in the next turn of the main loop, after
    // every task already queued there: reads that queued up while the loop
    // was busy end as one batch. Its messages are then applied in order with
    // one write of the messages, after the discovered topics when one of
    // their topics is new; onMessage runs for each and the widget gets one
    // reload signal. Within kMessagesWriteSpacing of the last write the batch
    // waits and joins the next ones instead. Other new topics are written
    // within kTopicsWriteInterval. The batch belongs to no connection: a
    // reconnect meanwhile does not drop it.
    void deliver(const std::string& topic, std::string payload, const std::vector<std::string>& configuredTopics);
    // Writes what waits now, spacing or not (at the end of the client).
    void flush();

private:
    void endBatch();
    void writeBatch();
    void loadKnownTopics();
    void saveTopics();
    void updateSeries();
    [[nodiscard]] std::vector<HistoryRow> historyRows(const std::vector<MQTTMessage>& messages);
    [[nodiscard]] std::vector<HistoryRow> takeHistory();

    SharedStore& store_;
    ReloadSignal& reloadSignal_;
    EventLoop& mainLoop_;
    std::function<Date()> clock_;
    std::function<void(const MQTTMessage&)> onMessage_;

    // With a busy "#" a fresh broker brings hundreds of thousands of new
    // topics in a burst. Copying, encoding and writing the whole set per read
    // made that quadratic, so the set lives here, its document grows by the
    // new topics only, and it is written on a timer. The delivery is the one
    // writer of the set: it reads the store's once, at its first message.
    TopicSet known_;                    // the stored topics and those not written yet
    std::vector<std::string> unsaved_;  // new since the last write, in order
    // known_ but unsaved_; none until the first write, so that a set that
    // never grows is never encoded.
    std::optional<DiscoveredTopicsDocument> document_;
    bool isLoaded_ = false;
    TimerHandle topicsTimer_;

    std::vector<MQTTMessage> batch_;  // the batch's messages to store, in order
    bool hasUnsavedStoredTopic_ = false;
    bool isBatchEndPosted_ = false;
    // Runs for kMessagesWriteSpacing after each write of the messages; a
    // batch that ends meanwhile is written when it runs out.
    TimerHandle spacingTimer_;
    // The history's series by topic, made again when the display items
    // change, not per message. Without display items a configured topic's
    // series (its whole payload) joins at its first message.
    struct Series {
        HistorySeries key;
        PayloadPath path;
    };
    std::vector<Series> series_;
    std::unordered_map<std::string, std::vector<std::size_t>> seriesOfTopic_;
    std::optional<std::vector<MQTTDisplayItem>> seriesItems_;  // what series_ was made for
    TimerHandle trimTimer_;
    std::map<HistoryRowKey, HistoryPoint> unwrittenHistory_;
    TimerHandle historyTimer_;   // runs while points were written within the spacing
    bool isHistoryDue_ = false;  // the spacing ran out: the next batch takes the points

    // Expires with the delivery, and with it a batch end posted before.
    std::shared_ptr<const bool> lifetime_ = std::make_shared<const bool>(true);
};

}  // namespace telvane
