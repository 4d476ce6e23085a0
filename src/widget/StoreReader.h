#pragma once

// The widget's read-only view of the shared store. It opens the database
// with SQLITE_OPEN_READONLY, never creates it, never writes a row, and reads
// the documents it shows in one statement, so a read sees one commit of
// Telvane's, never a mix of two.

#include "model/History.h"
#include "model/Records.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace telvane::widget {

// What a read found. `missing`: no file (Telvane never ran, or runs as
// another user). `busy`: another connection held the database longer than
// the busy timeout. `error`: the file exists but is no readable store.
enum class StoreStatus { ok, missing, busy, error };

// What a read takes of the kept history besides the documents: for each
// shown series (a display item's topic and path, or without display items a
// stored message's topic with the empty path).
struct HistoryRequest {
    double nowUnix = 0;
    // The points of the last spanSeconds; none: no points.
    std::optional<double> spanSeconds;
    // The first and last point of the last hour and the 24 hour range.
    bool trend = false;
};

// The history of one series as a read found it.
struct SeriesHistory {
    std::vector<HistoryPoint> points;  // oldest first, at most kMaxHistoryPoints
    // For the trend: the oldest and newest point of the last hour and the
    // range of the last 24 hours; none with fewer than two points in the hour.
    std::optional<HistoryPoint> hourFirst;
    std::optional<HistoryPoint> hourLast;
    std::optional<HistoryRange> dayRange;
};

struct StoreContents {
    StoreStatus status = StoreStatus::missing;
    // For busy and error: the reason in the user's words (German).
    std::string reason;
    // The documents; each missing or unreadable one reads as its default.
    MQTTConfig config;
    std::vector<MQTTMessage> messages;
    std::vector<MQTTDisplayItem> displayItems;
    // Only what the read's HistoryRequest asked for; a store without the
    // history tables has none.
    std::map<HistorySeries, SeriesHistory> history;
    bool hasHistory = false;  // the request had a span: each shown series has its points, maybe none
};

struct StoreVersion {
    std::uint64_t connection = 0;  // counts the databases opened
    std::int64_t dataVersion = 0;

    bool operator==(const StoreVersion&) const = default;
};

class StoreReader {
public:
    // Opens nothing yet; each read() opens the database when needed.
    StoreReader(std::filesystem::path databasePath, std::chrono::milliseconds busyTimeout);
    ~StoreReader();
    StoreReader(const StoreReader&) = delete;
    StoreReader& operator=(const StoreReader&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

    // Reads config, messages and displayItems, and the history `history`
    // asks for, all from one commit. Never throws. A database replaced on
    // disk (another inode) is opened afresh.
    [[nodiscard]] StoreContents read(const HistoryRequest& history = {});

    // Changes whenever another connection commits (SQLite's PRAGMA
    // data_version) and whenever the file on disk is replaced. No value
    // while there is no database to open. Cheap enough to poll every second.
    [[nodiscard]] std::optional<StoreVersion> version();

private:
    struct Connection;
    bool openIfNeeded(StoreContents& contents);
    void close();

    std::filesystem::path path_;
    std::chrono::milliseconds busyTimeout_;
    std::unique_ptr<Connection> connection_;
    std::uint64_t connectionsOpened_ = 0;
};

}  // namespace telvane::widget
