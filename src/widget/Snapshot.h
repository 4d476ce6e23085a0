#pragma once

// What the widget shows, built from one read of the store: with display
// items one entry per item (its label and the value at its path in the
// latest message of its topic), without them the stored messages, newest
// first, named by their topic label or topic. Every format renders the same
// snapshot.

#include "model/History.h"
#include "widget/StoreReader.h"

#include <optional>
#include <string>
#include <vector>

namespace telvane::widget {

// "↑", "↓", "→" after a value in the text formats.
enum class Trend { rising, falling, steady };

struct Entry {
    std::string label;                 // as stored; formats make it one line
    std::optional<std::string> value;  // display text; none is shown as "–"
    std::string topic;
    std::optional<std::string> path;     // the display item's path; none for raw messages
    std::optional<double> receivedUnix;  // the message's stored time; none without a message
    std::optional<double> ageSeconds;    // now minus receivedUnix, never negative
    bool isStale = false;
    // With a history read (StoreReader::read): the entry's points over the
    // span asked for, oldest first, at most kMaxHistoryPoints, and their
    // range; no points and no range without one, or for an entry without a
    // kept series.
    std::vector<HistoryPoint> history;
    std::optional<HistoryRange> historyRange;
    // With a trend read: how the value moved over the last hour.
    std::optional<Trend> trend;
};

// Ordered from best to worst: a bar's class names the worst that applies.
enum class SnapshotState { ok, stale, empty, missing, error };

struct Snapshot {
    SnapshotState state = SnapshotState::ok;
    std::string reason;  // German, for missing and error
    std::string storePath;
    double nowUnix = 0;
    bool hasHistory = false;  // the read asked for points (StoreContents::hasHistory)
    std::vector<Entry> entries;
};

// `staleAfterSeconds` <= 0: nothing is ever stale.
[[nodiscard]] Snapshot makeSnapshot(const StoreContents& contents, const std::string& storePath, double nowUnix,
                                    double staleAfterSeconds);

// "ok", "stale", "empty", "missing", "error": the class and alt of bars.
[[nodiscard]] const char* stateName(SnapshotState state);

}  // namespace telvane::widget
