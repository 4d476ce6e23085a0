#include "model/HistoryTables.h"

#include "model/StoreSchema.h"

#include <algorithm>
#include <cmath>

namespace telvane {

const HistoryTier& historyTierForSpan(double spanSeconds)
{
    return spanSeconds <= kFineTierLongestSpan ? kFineTier : kCoarseTier;
}

std::int64_t historyBucket(const HistoryTier& tier, double unixSeconds)
{
    // Far beyond any real time, but a span given on a command line can reach
    // there, and converting a double out of the 64-bit range is undefined.
    constexpr double kLimit = 1e18;
    return static_cast<std::int64_t>(std::clamp(std::floor(unixSeconds / tier.intervalSeconds), -kLimit, kLimit));
}

void mergeHistoryPoint(HistoryPoint& point, const HistoryPoint& later)
{
    if (later.time >= point.time) {
        point.time = later.time;
        point.value = later.value;
    }
    point.min = std::min(point.min, later.min);
    point.max = std::max(point.max, later.max);
}

HistoryQueries::~HistoryQueries()
{
    sqlite3_finalize(selectPoints_);
}

std::vector<HistoryPoint> HistoryQueries::points(const HistorySeries& series, const HistoryTier& tier, double sinceUnix)
{
    std::vector<HistoryPoint> points;
    if (selectPoints_ == nullptr
        && sqlite3_prepare_v3(db_, store_schema::kSelectHistoryPoints, -1, SQLITE_PREPARE_PERSISTENT, &selectPoints_,
                              nullptr)
               != SQLITE_OK) {
        // No history tables (yet): no points.
        sqlite3_finalize(selectPoints_);
        selectPoints_ = nullptr;
        return points;
    }
    sqlite3_bind_text(selectPoints_, 1, series.topic.data(), static_cast<int>(series.topic.size()), SQLITE_STATIC);
    sqlite3_bind_text(selectPoints_, 2, series.path.data(), static_cast<int>(series.path.size()), SQLITE_STATIC);
    sqlite3_bind_int(selectPoints_, 3, tier.id);
    sqlite3_bind_int64(selectPoints_, 4, historyBucket(tier, sinceUnix));
    sqlite3_bind_double(selectPoints_, 5, sinceUnix);
    while (sqlite3_step(selectPoints_) == SQLITE_ROW) {
        points.push_back({sqlite3_column_double(selectPoints_, 0), sqlite3_column_double(selectPoints_, 1),
                          sqlite3_column_double(selectPoints_, 2), sqlite3_column_double(selectPoints_, 3)});
    }
    sqlite3_reset(selectPoints_);
    sqlite3_clear_bindings(selectPoints_);
    return points;
}

}  // namespace telvane
