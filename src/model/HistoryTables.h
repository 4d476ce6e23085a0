#pragma once

// The SQLite side of the history (tables in StoreSchema.h), shared by
// Telvane's store and telvane-widget's reader: the two tiers of points, the
// rows a write adds, and the reads on an open connection.

#include "model/History.h"

#include <sqlite3.h>

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <vector>

namespace telvane {

struct HistoryTier {
    int id;
    double intervalSeconds;  // one point per series and interval
    double keptSeconds;      // points older than this are removed
};

// A day of 10 second points (and an hour to spare, so that a 24 hour span
// read at that resolution would still be whole), and a week of 5 minute
// points, which a 24 hour span reads: 288 points.
inline constexpr HistoryTier kFineTier{0, 10, 25 * 3600};
inline constexpr HistoryTier kCoarseTier{1, 300, 7 * 86400};
inline constexpr std::array<HistoryTier, 2> kHistoryTiers{kFineTier, kCoarseTier};
// Spans up to this long read the fine tier.
inline constexpr double kFineTierLongestSpan = 3600;

[[nodiscard]] const HistoryTier& historyTierForSpan(double spanSeconds);
// The interval of the tier that `unixSeconds` falls in.
[[nodiscard]] std::int64_t historyBucket(const HistoryTier& tier, double unixSeconds);

// One point of one series in one tier, as a write adds or merges it.
struct HistoryRowKey {
    HistorySeries series;
    int tier = 0;
    std::int64_t bucket = 0;

    auto operator<=>(const HistoryRowKey&) const = default;
    bool operator==(const HistoryRowKey&) const = default;
};

struct HistoryRow {
    HistoryRowKey key;
    HistoryPoint point;
};

// `later` merged into `point`, as the store merges two points of one
// interval: the newer value with its time (the later one on a tie), the
// smaller min, the larger max.
void mergeHistoryPoint(HistoryPoint& point, const HistoryPoint& later);

// The reads, on a connection that the caller owns and keeps open while the
// queries exist. Statements are prepared at first use and again after a
// failure, so a store whose history tables appear later is read then; a
// store without them reads as one without points.
class HistoryQueries {
public:
    explicit HistoryQueries(sqlite3* db) : db_(db) {}
    ~HistoryQueries();
    HistoryQueries(const HistoryQueries&) = delete;
    HistoryQueries& operator=(const HistoryQueries&) = delete;

    // The points of `series` in `tier` from `sinceUnix` on, oldest first.
    [[nodiscard]] std::vector<HistoryPoint> points(const HistorySeries& series, const HistoryTier& tier,
                                                   double sinceUnix);

private:
    sqlite3* db_;
    sqlite3_stmt* selectPoints_ = nullptr;
};

}  // namespace telvane
