#include "widget/Snapshot.h"

#include "model/JsonPath.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace telvane::widget {

namespace {

void setAge(Entry& entry, const MQTTMessage& message, double nowUnix, double staleAfterSeconds)
{
    entry.receivedUnix = message.timestamp.unixSeconds();
    // A message stamped in the future (a clock set back) is as new as now.
    entry.ageSeconds = std::max(0.0, nowUnix - *entry.receivedUnix);
    entry.isStale = staleAfterSeconds > 0 && *entry.ageSeconds >= staleAfterSeconds;
}

const MQTTMessage* latestMessage(const std::vector<MQTTMessage>& messages, const std::string& topic)
{
    // Newest first: the first match is the latest.
    const auto found = std::find_if(messages.begin(), messages.end(),
                                    [&](const MQTTMessage& message) { return message.topic == topic; });
    return found == messages.end() ? nullptr : &*found;
}

// Rising or falling when the newest value of the last hour is at least 1% of
// the day's range away from the oldest; a series without a range does not
// move.
std::optional<Trend> trendOf(const SeriesHistory& history)
{
    if (!history.hourFirst || !history.hourLast || !history.dayRange) {
        return std::nullopt;
    }
    const double change = history.hourLast->value - history.hourFirst->value;
    const double range = history.dayRange->max - history.dayRange->min;
    if (change == 0 || std::fabs(change) < 0.01 * range) {
        return Trend::steady;
    }
    return change > 0 ? Trend::rising : Trend::falling;
}

void setHistory(Entry& entry, const StoreContents& contents, const HistorySeries& series)
{
    const auto found = contents.history.find(series);
    if (found == contents.history.end()) {
        return;
    }
    entry.history = found->second.points;
    entry.historyRange = historyRange(entry.history);
    entry.trend = trendOf(found->second);
}

std::vector<Entry> itemEntries(const StoreContents& contents, double nowUnix, double staleAfterSeconds)
{
    // Several items usually share a topic; its payload is parsed once.
    std::unordered_map<std::string, std::optional<Json>> payloads;
    std::vector<Entry> entries;
    entries.reserve(contents.displayItems.size());
    for (const auto& item : contents.displayItems) {
        Entry entry;
        entry.label = item.label;
        entry.topic = item.topic;
        entry.path = item.jsonPath;
        if (const auto* message = latestMessage(contents.messages, item.topic)) {
            auto parsed = payloads.find(item.topic);
            if (parsed == payloads.end()) {
                parsed = payloads.emplace(item.topic, parseJSONPayload(message->payload)).first;
            }
            if (parsed->second) {
                entry.value = valueAtPath(*parsed->second, item.jsonPath);
            }
            setAge(entry, *message, nowUnix, staleAfterSeconds);
        }
        setHistory(entry, contents, {item.topic, item.jsonPath});
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<Entry> messageEntries(const StoreContents& contents, double nowUnix, double staleAfterSeconds)
{
    std::vector<Entry> entries;
    entries.reserve(contents.messages.size());
    for (const auto& message : contents.messages) {
        Entry entry;
        const auto label = contents.config.topicLabels.find(message.topic);
        entry.label =
            label != contents.config.topicLabels.end() && !label->second.empty() ? label->second : message.topic;
        entry.topic = message.topic;
        entry.value = message.payload;
        setAge(entry, message, nowUnix, staleAfterSeconds);
        setHistory(entry, contents, {message.topic, ""});
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace

Snapshot makeSnapshot(const StoreContents& contents, const std::string& storePath, double nowUnix,
                      double staleAfterSeconds)
{
    Snapshot snapshot;
    snapshot.storePath = storePath;
    snapshot.nowUnix = nowUnix;
    snapshot.hasHistory = contents.hasHistory;
    switch (contents.status) {
    case StoreStatus::missing: snapshot.state = SnapshotState::missing; return snapshot;
    case StoreStatus::busy:
    case StoreStatus::error:
        snapshot.state = SnapshotState::error;
        snapshot.reason = contents.reason;
        return snapshot;
    case StoreStatus::ok: break;
    }
    snapshot.entries = contents.displayItems.empty() ? messageEntries(contents, nowUnix, staleAfterSeconds)
                                                     : itemEntries(contents, nowUnix, staleAfterSeconds);
    if (snapshot.entries.empty()) {
        snapshot.state = SnapshotState::empty;
    } else if (std::any_of(snapshot.entries.begin(), snapshot.entries.end(),
                           [](const Entry& entry) { return entry.isStale; })) {
        snapshot.state = SnapshotState::stale;
    }
    return snapshot;
}

const char* stateName(SnapshotState state)
{
    switch (state) {
    case SnapshotState::ok: return "ok";
    case SnapshotState::stale: return "stale";
    case SnapshotState::empty: return "empty";
    case SnapshotState::missing: return "missing";
    case SnapshotState::error: return "error";
    }
    return "error";
}

}  // namespace telvane::widget
