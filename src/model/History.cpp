#include "model/History.h"

#include "model/JsonPath.h"

#include <algorithm>

namespace telvane {

std::vector<HistorySeries> wantedHistorySeries(const std::vector<std::string>& topics,
                                               const std::vector<MQTTDisplayItem>& items)
{
    std::vector<HistorySeries> wanted;
    for (const auto& item : items) {
        // The empty path and one of dots only address the top level, never a number.
        if (!splitJSONPath(item.jsonPath).empty()) {
            wanted.push_back({item.topic, item.jsonPath});
        }
    }
    if (items.empty()) {
        for (const auto& topic : topics) {
            wanted.push_back({topic, ""});
        }
    }
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    return wanted;
}

std::optional<HistoryRange> historyRange(std::span<const HistoryPoint> points)
{
    if (points.empty()) {
        return std::nullopt;
    }
    HistoryRange range{points.front().min, points.front().max};
    for (const auto& point : points) {
        range.min = std::min(range.min, point.min);
        range.max = std::max(range.max, point.max);
    }
    return range;
}

std::vector<HistoryPoint> thinHistory(std::vector<HistoryPoint> points, std::size_t maxPoints)
{
    const std::size_t count = points.size();
    if (count <= maxPoints) {
        return points;
    }
    std::vector<HistoryPoint> thinned;
    thinned.reserve(maxPoints);
    // Run i covers [i * count / maxPoints, (i + 1) * count / maxPoints): the
    // lengths differ by one at most, and none is empty since count > maxPoints.
    for (std::size_t run = 0; run < maxPoints; ++run) {
        const std::size_t begin = run * count / maxPoints;
        const std::size_t end = (run + 1) * count / maxPoints;
        HistoryPoint merged = points[end - 1];
        for (std::size_t i = begin; i + 1 < end; ++i) {
            merged.min = std::min(merged.min, points[i].min);
            merged.max = std::max(merged.max, points[i].max);
        }
        thinned.push_back(merged);
    }
    return thinned;
}

}  // namespace telvane
