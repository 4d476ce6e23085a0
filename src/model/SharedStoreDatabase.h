#pragma once

// The SQLite side of SharedStore: the open database, its prepared
// statements, the decoded documents it caches and the documents kept back by
// another connection's lock. Only SharedStore.cpp includes this.

#include "model/JsonText.h"
#include "model/PrivateFiles.h"
#include "model/SharedStore.h"
#include "model/StoreSchema.h"
#include "model/Utf8.h"
#include "model/WalCheckpointer.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
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

    Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    ~Database()
    {
        retryTimer.invalidate();
        if (!pending.empty()) {
            sqlite3_busy_timeout(db, store_detail::kFinalBusyTimeoutMs);
            writePending();
        }
        checkpointer.reset();
        sqlite3_finalize(selectValue);
        sqlite3_finalize(upsertValue);
        sqlite3_finalize(dataVersion);
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
        sqlite3_busy_timeout(database->db, store_detail::kBusyTimeoutMs);
        database->checkpointer = std::make_unique<WalCheckpointer>(database->db, path);
        database->knownVersion = database->currentDataVersion();
        return database;
    }

    bool prepare(const char* sql, sqlite3_stmt** statement) const
    {
        return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) == SQLITE_OK;
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

    // Writes `text` under `key`, or keeps it while another connection holds
    // the lock. With a retry loop a write never goes ahead of kept ones, so
    // that the database sees the documents in the order they were made.
    Outcome put(const char* key, std::string text)
    {
        if (!pending.empty() && retryLoop == nullptr) {
            writePending();
        }
        if (!pending.empty()) {
            keep(key, std::move(text));
            return Outcome::kept;
        }
        const int result = write(key, text);
        if (result == SQLITE_DONE) {
            return Outcome::written;
        }
        if (store_detail::isBusy(result)) {
            keep(key, std::move(text));
            return Outcome::kept;
        }
        return Outcome::failed;
    }

    void keep(const char* key, std::string text)
    {
        const auto entry = std::find_if(pending.begin(), pending.end(),
                                        [&](const auto& e) { return std::string_view(e.first) == key; });
        if (entry != pending.end()) {
            pending.erase(entry);  // the newer document takes the later place
        }
        pending.emplace_back(key, std::move(text));
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
        while (!pending.empty()) {
            if (store_detail::isBusy(write(pending.front().first, pending.front().second))) {
                return false;
            }
            // Written, or failed for another reason: then it never will be.
            pending.erase(pending.begin());
        }
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
    void storeText(const char* key, std::string text, Cache& cache, T value)
    {
        const bool lossless = store_detail::encodedLosslessly(text);
        switch (put(key, std::move(text))) {
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
