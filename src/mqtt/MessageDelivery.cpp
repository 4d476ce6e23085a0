#include "mqtt/MessageDelivery.h"

#include <algorithm>
#include <array>
#include <utility>

namespace telvane {

MessageDelivery::MessageDelivery(SharedStore& store, ReloadSignal& reloadSignal, EventLoop& mainLoop,
                                 std::function<Date()> clock)
    : store_(store),
      reloadSignal_(reloadSignal),
      mainLoop_(mainLoop),
      clock_(std::move(clock))
{
    const auto trim = [this, alive = std::weak_ptr<const bool>(lifetime_)] {
        if (!alive.expired()) {
            store_.trimHistory(clock_().unixSeconds());
        }
    };
    mainLoop_.post(trim);
    trimTimer_ = mainLoop_.schedule(kHistoryTrimInterval, true, trim);
}

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
    batch_.push_back(MQTTMessage{topic, std::move(payload), clock_()});
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
    for (const auto& row : historyRows(messages)) {
        const auto [kept, isNew] = unwrittenHistory_.try_emplace(row.key, row.point);
        if (!isNew) {
            mergeHistoryPoint(kept->second, row.point);
        }
    }
    auto history = !historyTimer_ || isHistoryDue_ ? takeHistory() : std::vector<HistoryRow>{};
    if (!onMessage_) {
        // The app has no observer: the batch moves into the store, since a
        // payload can be megabytes.
        store_.appendMessages(std::move(messages), kMaxStoredMessages, std::move(history));
    } else {
        store_.appendMessages(messages, kMaxStoredMessages, std::move(history));
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
        isHistoryDue_ = true;
        writeBatch();
        spacingTimer_.invalidate();
    } else if (!unwrittenHistory_.empty()) {
        store_.appendMessages({}, kMaxStoredMessages, takeHistory());
    }
    historyTimer_.invalidate();
}

// The points waiting to be written, and the spacing started (again).
std::vector<HistoryRow> MessageDelivery::takeHistory()
{
    isHistoryDue_ = false;
    std::vector<HistoryRow> rows;
    rows.reserve(unwrittenHistory_.size());
    for (auto& [key, point] : unwrittenHistory_) {
        rows.push_back({key, point});
    }
    unwrittenHistory_.clear();
    if (!rows.empty() && !historyTimer_) {
        historyTimer_ = mainLoop_.schedule(kHistoryWriteSpacing, true, [this] {
            if (unwrittenHistory_.empty()) {
                isHistoryDue_ = false;
                historyTimer_.invalidate();  // quiet: the next batch writes its points at once
            } else if (std::exchange(isHistoryDue_, true)) {
                // A whole spacing without a batch: the messages have stopped.
                store_.appendMessages({}, kMaxStoredMessages, takeHistory());
            }
        });
    }
    return rows;
}

void MessageDelivery::updateSeries()
{
    auto items = store_.loadDisplayItems();
    if (seriesItems_ == items) {
        return;
    }
    series_.clear();
    seriesOfTopic_.clear();
    for (auto& key : wantedHistorySeries({}, items)) {
        seriesOfTopic_[key.topic].push_back(series_.size());
        PayloadPath path(key.path);
        series_.push_back({std::move(key), std::move(path)});
    }
    seriesItems_ = std::move(items);
}

// One row per series, tier and interval of the batch: thousands of messages
// a second become a few rows per write.
std::vector<HistoryRow> MessageDelivery::historyRows(const std::vector<MQTTMessage>& messages)
{
    updateSeries();
    const bool byTopic = seriesItems_->empty();
    std::vector<HistoryRow> rows;
    // Per series and tier: its last row in `rows`, while that is the
    // interval the messages are in.
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::array<std::size_t, kHistoryTiers.size()>> lastRow;
    for (const auto& message : messages) {
        auto found = seriesOfTopic_.find(message.topic);
        if (found == seriesOfTopic_.end()) {
            if (!byTopic) {
                continue;
            }
            found = seriesOfTopic_.emplace(message.topic, std::vector<std::size_t>{series_.size()}).first;
            series_.push_back({{message.topic, ""}, PayloadPath::wholePayload()});
        }
        lastRow.resize(series_.size(), {kNone, kNone});
        const double time = message.timestamp.unixSeconds();
        for (const std::size_t index : found->second) {
            const auto number = findPayloadNumber(message.payload, series_[index].path);
            if (number.kind != PayloadNumberKind::number) {
                continue;
            }
            const HistoryPoint point{time, number.value, number.value, number.value};
            for (const auto& tier : kHistoryTiers) {
                const auto bucket = historyBucket(tier, time);
                auto& last = lastRow[index][static_cast<std::size_t>(tier.id)];
                if (last != kNone && rows[last].key.bucket == bucket) {
                    mergeHistoryPoint(rows[last].point, point);
                } else {
                    last = rows.size();
                    rows.push_back({{series_[index].key, tier.id, bucket}, point});
                }
            }
        }
    }
    return rows;
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
