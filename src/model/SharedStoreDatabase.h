#pragma once

// The SQLite side of SharedStore: the open database, its prepared
// statements, the decoded documents it caches and the documents kept back by
// another connection's lock. Only SharedStore.cpp includes this.

#include "model/HistoryTables.h"
#include "model/JsonText.h"
#include "model/PrivateFiles.h"
#include "model/SharedStore.h"
#include "model/StoreSchema.h"
#include "model/Utf8.h"
#include "model/WalCheckpointer.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <string_view>
#include <utility>

namespace telvane {

namespace store_detail {

using namespace store_schema;

// In WAL mode a reader never blocks a writer; the timeout only matters while
// another writer holds the lock. It rides out a short write of another
// connection; a longer lock is not waited for on the main thread: what could
// not be written is kept and tried again every kRetryInterval.
inline constexpr int kBusyTimeoutMs = 20;
inline constexpr Seconds kRetryInterval{0.25};
// At exit a kept document gets one longer wait before it would be lost.
inline constexpr int kFinalBusyTimeoutMs = 3000;
// Setting up waits as long: a widget polling for the store can hold a read
// lock on the new, still empty file just when journal_mode=WAL needs it
// exclusively, and a store that fails to open stays unusable for the run.
inline constexpr int kSetUpBusyTimeoutMs = 3000;

// WAL lets the widget read while Telvane writes. synchronous=NORMAL keeps
// the file consistent after a power loss (at worst the last few writes are
// lost) without an fsync per received message; a process crash loses nothing.
inline constexpr const char* kSetUpPragmas = "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;";

// The encoder turns bytes that are not UTF-8 into U+FFFD. Only when no such
// character is in the text does the stored document decode to the very value
// that was written, so that the value may stand in for reading it back.
inline bool encodedLosslessly(const std::string& text)
{
    return text.find(kReplacementCharacterUTF8) == std::string::npos;
}

inline bool isBusy(int result)
{
    const int primary = result & 0xFF;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Rows the trimming of the history deletes per statement: a few
// milliseconds, so that the main loop goes on between two.
inline constexpr std::int64_t kHistoryTrimChunk = 1000;
inline constexpr std::int64_t kAllBuckets = std::numeric_limits<std::int64_t>::max();

// One statement's worth of trimming: the points of one series and tier
// before `firstKept`, or (without a tier) the series itself.
struct HistoryTrimStep {
    std::int64_t series = 0;
    std::optional<int> tier;
    std::int64_t firstKept = 0;
};

}  // namespace store_detail

// The open database with its prepared statements, and the last decoded
// document of each key. A cached document is valid while no other connection
// has committed a change since it was read, which PRAGMA data_version tells.
// The store's own writes do not change data_version, so each write replaces
// (or drops) the cached document of the key it wrote. A document kept back by
// a lock stays cached whatever others commit: it is the newest there is.
struct SharedStore::Database {
    enum class Outcome { written, kept, failed };

    sqlite3* db = nullptr;
    sqlite3_stmt* selectValue = nullptr;
    sqlite3_stmt* upsertValue = nullptr;
    sqlite3_stmt* dataVersion = nullptr;
    sqlite3_stmt* insertHistorySeries = nullptr;  // both none until the history tables exist
    sqlite3_stmt* upsertHistoryPoint = nullptr;
    sqlite3_stmt* deleteOldHistoryPoints = nullptr;
    sqlite3_stmt* deleteHistorySeries = nullptr;
    std::unique_ptr<HistoryQueries> historyQueries;

    std::optional<std::int64_t> knownVersion;  // none: unknown, trust no cache

    std::optional<MQTTConfig> config;
    // Shared, not copied: a payload can be megabytes, and the window holds
    // the list between its refresh ticks.
    std::shared_ptr<const std::vector<MQTTMessage>> messages;
    std::optional<std::vector<MQTTDisplayItem>> displayItems;
    std::shared_ptr<const TopicSet> discoveredTopics;

    EventLoop* retryLoop = nullptr;
    std::unique_ptr<WalCheckpointer> checkpointer;
    TimerHandle retryTimer;
    std::function<void()> pendingWrittenObserver;
    // Documents kept back by another connection's lock, oldest first; at
    // most one per key.
    std::vector<std::pair<const char*, std::string>> pending;
    // The history rows written with them, merged by key: they go in the
    // same transaction as the documents.
    std::map<HistoryRowKey, HistoryPoint> pendingHistory;

    // What is left of the trimming of the history, last step first; with a
    // retry loop one step runs per turn of it.
    std::vector<store_detail::HistoryTrimStep> trimSteps;
    TimerHandle trimTimer;

    Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    ~Database()
    {
        retryTimer.invalidate();
        trimTimer.invalidate();
        if (!pending.empty()) {
            sqlite3_busy_timeout(db, store_detail::kFinalBusyTimeoutMs);
            writePending();
        }
        checkpointer.reset();
        historyQueries.reset();
        sqlite3_finalize(selectValue);
        sqlite3_finalize(upsertValue);
        sqlite3_finalize(dataVersion);
        finalizeHistory();
        sqlite3_close_v2(db);
    }

    static std::unique_ptr<Database> open(const std::filesystem::path& path)
    {
        const auto dir = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
        if (!ensurePrivateDirectory(dir) || !ensurePrivateDatabaseFile(path)) {
            return nullptr;
        }
        auto database = std::make_unique<Database>();
        // The file exists with its mode set above; the store is used from the
        // main thread only.
        if (sqlite3_open_v2(path.c_str(), &database->db, store_detail::kWriterOpenFlags, nullptr) != SQLITE_OK) {
            return nullptr;
        }
        sqlite3_busy_timeout(database->db, store_detail::kSetUpBusyTimeoutMs);
        // A file that is not a database fails here and is left as it is.
        if (sqlite3_exec(database->db, store_detail::kSetUpPragmas, nullptr, nullptr, nullptr) != SQLITE_OK
            || sqlite3_exec(database->db, store_detail::kCreateTable, nullptr, nullptr, nullptr) != SQLITE_OK
            || !database->prepare(store_detail::kSelectValue, &database->selectValue)
            || !database->prepare(store_detail::kUpsertValue, &database->upsertValue)
            || !database->prepare(store_detail::kDataVersion, &database->dataVersion)) {
            return nullptr;
        }
        // Without them the store works as before: only the history is not kept.
        (void)database->prepareHistory();
        database->historyQueries = std::make_unique<HistoryQueries>(database->db);
        sqlite3_busy_timeout(database->db, store_detail::kBusyTimeoutMs);
        database->checkpointer = std::make_unique<WalCheckpointer>(database->db, path);
        database->knownVersion = database->currentDataVersion();
        return database;
    }

    bool prepare(const char* sql, sqlite3_stmt** statement) const
    {
        return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) == SQLITE_OK;
    }

    // Creates the history tables where missing and prepares their writes.
    // False when that failed; it is tried again at the next write of rows.
    bool prepareHistory()
    {
        if (upsertHistoryPoint != nullptr) {
            return true;
        }
        if (sqlite3_exec(db, store_detail::kCreateHistoryTables, nullptr, nullptr, nullptr) == SQLITE_OK
            && prepare(store_detail::kInsertHistorySeries, &insertHistorySeries)
            && prepare(store_detail::kDeleteOldHistoryPoints, &deleteOldHistoryPoints)
            && prepare(store_detail::kDeleteHistorySeries, &deleteHistorySeries)
            && prepare(store_detail::kUpsertHistoryPoint, &upsertHistoryPoint)) {
            return true;
        }
        finalizeHistory();
        return false;
    }

    void finalizeHistory()
    {
        for (sqlite3_stmt** statement :
             {&insertHistorySeries, &deleteOldHistoryPoints, &deleteHistorySeries, &upsertHistoryPoint}) {
            sqlite3_finalize(*statement);
            *statement = nullptr;
        }
    }

    // Starts the trimming of the history over: the points of each wanted
    // series (`wanted` sorted) older than their tier keeps them, every
    // other series with all its points.
    void startHistoryTrim(const std::vector<HistorySeries>& wanted, double nowUnix)
    {
        trimSteps.clear();
        trimTimer.invalidate();
        sqlite3_stmt* select = nullptr;
        if (!prepareHistory()
            || sqlite3_prepare_v2(db, store_detail::kSelectHistorySeries, -1, &select, nullptr) != SQLITE_OK) {
            sqlite3_finalize(select);
            return;
        }
        while (sqlite3_step(select) == SQLITE_ROW) {
            const std::int64_t id = sqlite3_column_int64(select, 0);
            const auto* topic = reinterpret_cast<const char*>(sqlite3_column_text(select, 1));
            const auto* path = reinterpret_cast<const char*>(sqlite3_column_text(select, 2));
            const HistorySeries series{topic != nullptr ? topic : "", path != nullptr ? path : ""};
            const bool isWanted = std::binary_search(wanted.begin(), wanted.end(), series);
            if (!isWanted) {
                trimSteps.push_back({id, std::nullopt, 0});  // the last step of the series: it runs from the back
            }
            for (const auto& tier : kHistoryTiers) {
                trimSteps.push_back(
                    {id, tier.id,
                     isWanted ? historyBucket(tier, nowUnix - tier.keptSeconds) : store_detail::kAllBuckets});
            }
        }
        sqlite3_finalize(select);
        runTrimStep();
    }

    // One statement of the trimming, then the next in the next turn of the
    // retry loop; without one, all of them now. A lock ends the trimming:
    // the next one does what was left.
    void runTrimStep()
    {
        while (!trimSteps.empty()) {
            const auto step = trimSteps.back();
            sqlite3_stmt* statement = step.tier ? deleteOldHistoryPoints : deleteHistorySeries;
            sqlite3_bind_int64(statement, 1, step.series);
            if (step.tier) {
                sqlite3_bind_int(statement, 2, *step.tier);
                sqlite3_bind_int64(statement, 3, step.firstKept);
                sqlite3_bind_int64(statement, 4, store_detail::kHistoryTrimChunk);
            }
            const int result = sqlite3_step(statement);
            sqlite3_reset(statement);
            if (store_detail::isBusy(result)) {
                trimSteps.clear();
                return;
            }
            // A full chunk may have left more of the same.
            if (!step.tier || result != SQLITE_DONE || sqlite3_changes(db) < store_detail::kHistoryTrimChunk) {
                trimSteps.pop_back();
            }
            if (retryLoop != nullptr) {
                if (!trimSteps.empty()) {
                    trimTimer = retryLoop->schedule(Seconds{0}, false, [this] { runTrimStep(); });
                }
                return;
            }
        }
    }

    [[nodiscard]] std::optional<std::int64_t> currentDataVersion() const
    {
        std::optional<std::int64_t> version;
        if (sqlite3_step(dataVersion) == SQLITE_ROW) {
            version = sqlite3_column_int64(dataVersion, 0);
        }
        sqlite3_reset(dataVersion);
        return version;
    }

    [[nodiscard]] bool isPending(std::string_view key) const
    {
        return std::any_of(pending.begin(), pending.end(), [&](const auto& entry) { return entry.first == key; });
    }

    void dropCachedDocuments()
    {
        if (!isPending(store_detail::kConfigKey)) {
            config.reset();
        }
        if (!isPending(store_detail::kMessagesKey)) {
            messages.reset();
        }
        if (!isPending(store_detail::kDisplayItemsKey)) {
            displayItems.reset();
        }
        if (!isPending(store_detail::kDiscoveredTopicsKey)) {
            discoveredTopics.reset();
        }
    }

    // The refresh step before every read and after every write. SQLite has
    // nothing to flush (a write is committed when its statement returns) and
    // always reads the latest commit; what remains is to forget the decoded
    // documents as soon as another connection (the widget, a second Telvane,
    // a sqlite3 shell) has committed anything.
    void synchronize()
    {
        const auto version = currentDataVersion();
        if (!version || version != knownVersion) {
            dropCachedDocuments();
        }
        knownVersion = version;
    }

    // The parsed document under `key` handed to `decode`; no value when the
    // key is missing, its value is not a BLOB or not JSON, or `decode` fails.
    // A document kept back is the newest there is: it is read instead.
    template <typename T, typename Decode>
    std::optional<T> read(const char* key, Decode decode)
    {
        std::optional<T> result;
        const auto kept = std::find_if(pending.begin(), pending.end(),
                                       [&](const auto& entry) { return std::string_view(entry.first) == key; });
        if (kept != pending.end()) {
            if (const auto json = parseJsonDocument(kept->second)) {
                result = decode(*json);
            }
            return result;
        }
        sqlite3_bind_text(selectValue, 1, key, -1, SQLITE_STATIC);
        if (sqlite3_step(selectValue) == SQLITE_ROW && sqlite3_column_type(selectValue, 0) == SQLITE_BLOB) {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(selectValue, 0));
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(selectValue, 0));
            if (bytes != nullptr) {
                if (const auto json = parseJsonDocument(std::string_view(bytes, size))) {
                    result = decode(*json);
                }
            }
        }
        sqlite3_reset(selectValue);
        return result;
    }

    // The result code of the upsert: SQLITE_DONE when written.
    [[nodiscard]] int write(const char* key, const std::string& text) const
    {
        sqlite3_bind_text(upsertValue, 1, key, -1, SQLITE_STATIC);
        sqlite3_bind_blob64(upsertValue, 2, text.data(), text.size(), SQLITE_STATIC);
        const int result = sqlite3_step(upsertValue);
        sqlite3_reset(upsertValue);
        sqlite3_clear_bindings(upsertValue);
        return result;
    }

    // The result code of a statement that only changes: SQLITE_DONE when done.
    [[nodiscard]] int execute(const char* sql) const
    {
        const int result = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        return result == SQLITE_OK ? SQLITE_DONE : result;
    }

    // Upserts the rows (sorted by key, so each series is named once). Stops
    // at the first failure and returns its code.
    [[nodiscard]] int writeHistory(const std::vector<HistoryRow>& rows) const
    {
        const HistorySeries* named = nullptr;
        for (const auto& row : rows) {
            const auto& series = row.key.series;
            const auto bindSeries = [&](sqlite3_stmt* statement) {
                sqlite3_bind_text(statement, 1, series.topic.data(), static_cast<int>(series.topic.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_text(statement, 2, series.path.data(), static_cast<int>(series.path.size()),
                                  SQLITE_STATIC);
            };
            if (named == nullptr || *named != series) {
                bindSeries(insertHistorySeries);
                const int result = sqlite3_step(insertHistorySeries);
                sqlite3_reset(insertHistorySeries);
                if (result != SQLITE_DONE) {
                    return result;
                }
                named = &series;
            }
            const auto& point = row.point;
            bindSeries(upsertHistoryPoint);
            sqlite3_bind_int(upsertHistoryPoint, 3, row.key.tier);
            sqlite3_bind_int64(upsertHistoryPoint, 4, row.key.bucket);
            sqlite3_bind_double(upsertHistoryPoint, 5, point.time);
            sqlite3_bind_double(upsertHistoryPoint, 6, point.value);
            // Most intervals hold one value, or values that do not change.
            if (point.min != point.value) {
                sqlite3_bind_double(upsertHistoryPoint, 7, point.min);
            }
            if (point.max != point.value) {
                sqlite3_bind_double(upsertHistoryPoint, 8, point.max);
            }
            const int result = sqlite3_step(upsertHistoryPoint);
            sqlite3_reset(upsertHistoryPoint);
            sqlite3_clear_bindings(upsertHistoryPoint);
            if (result != SQLITE_DONE) {
                return result;
            }
        }
        return SQLITE_DONE;
    }

    struct TogetherResult {
        int code = SQLITE_DONE;  // SQLITE_DONE when committed
        bool isWhole = true;     // every document was written
    };

    // Writes the documents and the rows in one transaction. A document that
    // fails for another reason than the lock is left out, as are rows that
    // do (a history table removed by hand): the rest is written.
    [[nodiscard]] TogetherResult writeTogether(const std::vector<std::pair<const char*, std::string>>& documents,
                                               const std::vector<HistoryRow>& rows)
    {
        TogetherResult result{execute("BEGIN IMMEDIATE")};
        for (auto entry = documents.begin(); result.code == SQLITE_DONE && entry != documents.end(); ++entry) {
            const int written = write(entry->first, entry->second);
            if (store_detail::isBusy(written)) {
                result.code = written;
            }
            result.isWhole = result.isWhole && written == SQLITE_DONE;
        }
        if (result.code == SQLITE_DONE && !rows.empty() && prepareHistory()) {
            const int written = writeHistory(rows);
            result.code = store_detail::isBusy(written) ? written : SQLITE_DONE;
        }
        if (result.code == SQLITE_DONE) {
            result.code = execute("COMMIT");
        }
        if (result.code != SQLITE_DONE && sqlite3_get_autocommit(db) == 0) {
            (void)execute("ROLLBACK");
        }
        return result;
    }

    // Writes `text` under `key` (with `rows`, in one transaction), or keeps
    // both while another connection holds the lock. With a retry loop a
    // write never goes ahead of kept ones, so that the database sees the
    // documents in the order they were made.
    Outcome put(const char* key, std::string text, const std::vector<HistoryRow>& rows = {})
    {
        if (!pending.empty() && retryLoop == nullptr) {
            writePending();
        }
        if (!pending.empty()) {
            keep(key, std::move(text), rows);
            return Outcome::kept;
        }
        std::vector<std::pair<const char*, std::string>> document;
        document.emplace_back(key, std::move(text));
        TogetherResult result;
        if (rows.empty()) {
            result.code = write(key, document.front().second);
        } else {
            result = writeTogether(document, rows);
        }
        if (store_detail::isBusy(result.code)) {
            keep(key, std::move(document.front().second), rows);
            return Outcome::kept;
        }
        return result.code == SQLITE_DONE && result.isWhole ? Outcome::written : Outcome::failed;
    }

    void keep(const char* key, std::string text, const std::vector<HistoryRow>& rows)
    {
        const auto entry = std::find_if(pending.begin(), pending.end(),
                                        [&](const auto& e) { return std::string_view(e.first) == key; });
        if (entry != pending.end()) {
            pending.erase(entry);  // the newer document takes the later place
        }
        pending.emplace_back(key, std::move(text));
        for (const auto& row : rows) {
            const auto [kept, isNew] = pendingHistory.try_emplace(row.key, row.point);
            if (!isNew) {
                mergeHistoryPoint(kept->second, row.point);
            }
        }
        if (retryLoop != nullptr && !retryTimer) {
            retryTimer = retryLoop->schedule(store_detail::kRetryInterval, true, [this] { writePending(); });
        }
    }

    // Returns true when nothing is kept any more.
    bool writePending()
    {
        if (pending.empty()) {
            return true;
        }
        std::vector<HistoryRow> rows;
        rows.reserve(pendingHistory.size());
        for (const auto& [key, point] : pendingHistory) {
            rows.push_back({key, point});
        }
        if (store_detail::isBusy(writeTogether(pending, rows).code)) {
            return false;
        }
        // Written, or failed for another reason: then it never will be.
        pending.clear();
        pendingHistory.clear();
        retryTimer.invalidate();
        synchronize();
        if (pendingWrittenObserver) {
            const auto observer = pendingWrittenObserver;
            observer();
        }
        return true;
    }

    // Writes `json` under `key` and keeps `value` as the key's cached
    // document when it is exactly what a read would decode, or when it is
    // kept back (then it is the newest there is, and reads must see it).
    template <typename T>
    void store(const char* key, const Json& json, std::optional<T>& cache, T value)
    {
        storeText(key, encodeJsonDocument(json), cache, std::move(value));
    }

    // store() for a document already encoded.
    template <typename Cache, typename T>
    void storeText(const char* key, std::string text, Cache& cache, T value, const std::vector<HistoryRow>& rows = {})
    {
        const bool lossless = store_detail::encodedLosslessly(text);
        switch (put(key, std::move(text), rows)) {
        case Outcome::written:
            if (lossless) {
                setCache(cache, std::move(value));
            } else {
                cache.reset();
            }
            break;
        case Outcome::kept: setCache(cache, std::move(value)); break;
        case Outcome::failed: cache.reset(); break;
        }
        synchronize();
    }

    template <typename T>
    static void setCache(std::optional<T>& cache, T value)
    {
        cache = std::move(value);
    }
    template <typename T>
    static void setCache(std::shared_ptr<const T>& cache, T value)
    {
        cache = std::make_shared<const T>(std::move(value));
    }
};

}  // namespace telvane
