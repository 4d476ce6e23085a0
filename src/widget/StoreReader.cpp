#include "widget/StoreReader.h"

#include "model/HistoryTables.h"
#include "model/JsonText.h"
#include "model/StoreSchema.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string_view>

namespace telvane::widget {

namespace {

using namespace store_schema;

std::string sqliteReason(int code)
{
    switch (code & 0xFF) {
    case SQLITE_NOTADB: return "Die Datei ist keine SQLite-Datenbank.";
    case SQLITE_CORRUPT: return "Die Datenbank ist beschädigt.";
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN: return "Die Datenbank lässt sich nicht öffnen (Zugriffsrechte?).";
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return "Die Datenbank ist gerade von einem anderen Programm gesperrt.";
    default: return std::string("SQLite-Fehler: ") + sqlite3_errstr(code);
    }
}

StoreContents failed(StoreStatus status, std::string reason)
{
    StoreContents contents;
    contents.status = status;
    contents.reason = std::move(reason);
    return contents;
}

bool isBusy(int code)
{
    return (code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED;
}

// Decodes one stored value into `contents`; values that are not a BLOB or
// not a readable document leave the default in place, as the store does.
void decodeDocument(std::string_view key, sqlite3_stmt* row, StoreContents& contents)
{
    if (sqlite3_column_type(row, 1) != SQLITE_BLOB) {
        return;
    }
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(row, 1));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(row, 1));
    if (bytes == nullptr) {
        return;
    }
    const auto json = parseJsonDocument(std::string_view(bytes, size));
    if (!json) {
        return;
    }
    if (key == kConfigKey) {
        if (auto config = configFromJson(*json)) {
            contents.config = std::move(*config);
        }
    } else if (key == kMessagesKey) {
        if (auto messages = messagesFromJson(*json)) {
            contents.messages = std::move(*messages);
        }
    } else if (key == kDisplayItemsKey) {
        if (auto items = displayItemsFromJson(*json)) {
            contents.displayItems = std::move(*items);
        }
    }
}

// The series the snapshot of `contents` shows: a display item's topic and
// path, or without display items each stored message's topic.
std::set<HistorySeries> shownSeries(const StoreContents& contents)
{
    std::set<HistorySeries> shown;
    for (const auto& item : contents.displayItems) {
        shown.insert({item.topic, item.jsonPath});
    }
    if (contents.displayItems.empty()) {
        for (const auto& message : contents.messages) {
            shown.insert({message.topic, ""});
        }
    }
    return shown;
}

constexpr double kTrendSpan = 3600;
constexpr double kTrendRangeSpan = 86400;

SeriesHistory readSeries(HistoryQueries& queries, const HistorySeries& series, const HistoryRequest& request)
{
    SeriesHistory history;
    if (request.spanSeconds) {
        const auto& tier = historyTierForSpan(*request.spanSeconds);
        history.points =
            thinHistory(queries.points(series, tier, request.nowUnix - *request.spanSeconds), kMaxHistoryPoints);
    }
    if (request.trend) {
        const auto hour = queries.points(series, historyTierForSpan(kTrendSpan), request.nowUnix - kTrendSpan);
        if (hour.size() >= 2) {
            history.hourFirst = hour.front();
            history.hourLast = hour.back();
            const auto day =
                queries.points(series, historyTierForSpan(kTrendRangeSpan), request.nowUnix - kTrendRangeSpan);
            history.dayRange = historyRange(day);
        }
    }
    return history;
}

}  // namespace

struct StoreReader::Connection {
    sqlite3* db = nullptr;
    sqlite3_stmt* selectDocuments = nullptr;
    sqlite3_stmt* dataVersion = nullptr;
    std::unique_ptr<HistoryQueries> history;
    dev_t device = 0;
    ino_t inode = 0;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection()
    {
        history.reset();
        sqlite3_finalize(selectDocuments);
        sqlite3_finalize(dataVersion);
        sqlite3_close_v2(db);
    }

    // Prepares the read of the shown documents, bound to their keys for good
    // (a reset keeps the bindings). Returns SQLite's result.
    int prepareShownDocuments()
    {
        const int prepared =
            sqlite3_prepare_v3(db, kSelectShownDocuments, -1, SQLITE_PREPARE_PERSISTENT, &selectDocuments, nullptr);
        if (prepared == SQLITE_OK) {
            sqlite3_bind_text(selectDocuments, 1, kConfigKey, -1, SQLITE_STATIC);
            sqlite3_bind_text(selectDocuments, 2, kMessagesKey, -1, SQLITE_STATIC);
            sqlite3_bind_text(selectDocuments, 3, kDisplayItemsKey, -1, SQLITE_STATIC);
        }
        return prepared;
    }
};

StoreReader::StoreReader(std::filesystem::path databasePath, std::chrono::milliseconds busyTimeout)
    : path_(std::move(databasePath)),
      busyTimeout_(busyTimeout)
{}

StoreReader::~StoreReader() = default;

void StoreReader::close()
{
    connection_.reset();
}

// Opens the database when none is open or the file on disk is another one
// than the open connection's. Fills `contents` with the status on failure.
bool StoreReader::openIfNeeded(StoreContents& contents)
{
    struct stat status {};
    if (::stat(path_.c_str(), &status) != 0) {
        const int error = errno;
        close();
        if (error == ENOENT || error == ENOTDIR) {
            contents = failed(StoreStatus::missing, {});
        } else {
            contents = failed(StoreStatus::error, std::string("Systemfehler: ") + std::strerror(error));
        }
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        close();
        contents = failed(StoreStatus::error, "Der Pfad ist keine Datei.");
        return false;
    }
    if (connection_ && connection_->device == status.st_dev && connection_->inode == status.st_ino) {
        return true;
    }
    close();
    auto connection = std::make_unique<Connection>();
    connection->device = status.st_dev;
    connection->inode = status.st_ino;
    const int opened = sqlite3_open_v2(path_.c_str(), &connection->db, kReaderOpenFlags, nullptr);
    if (opened != SQLITE_OK) {
        contents = failed(StoreStatus::error, sqliteReason(opened));
        return false;
    }
    sqlite3_busy_timeout(connection->db, static_cast<int>(busyTimeout_.count()));
    connection_ = std::move(connection);
    ++connectionsOpened_;
    return true;
}

StoreContents StoreReader::read(const HistoryRequest& history)
{
    StoreContents contents;
    if (!openIfNeeded(contents)) {
        return contents;
    }
    auto& connection = *connection_;
    if (connection.selectDocuments == nullptr) {
        const int prepared = connection.prepareShownDocuments();
        if (prepared != SQLITE_OK) {
            const std::string message = sqlite3_errmsg(connection.db);
            if (isBusy(prepared)) {
                return failed(StoreStatus::busy, sqliteReason(prepared));
            }
            // A database that exists but has no table yet is a store that
            // Telvane is just creating: nothing stored so far.
            if ((prepared & 0xFF) == SQLITE_ERROR && message.starts_with("no such table")) {
                close();
                contents.status = StoreStatus::ok;
                return contents;
            }
            close();
            return failed(StoreStatus::error, sqliteReason(prepared));
        }
    }
    contents.status = StoreStatus::ok;
    // The history from the same commit as the documents: one read transaction.
    const bool withHistory = history.spanSeconds || history.trend;
    if (withHistory) {
        (void)sqlite3_exec(connection.db, "BEGIN", nullptr, nullptr, nullptr);
    }
    int stepped = SQLITE_ROW;
    while ((stepped = sqlite3_step(connection.selectDocuments)) == SQLITE_ROW) {
        const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(connection.selectDocuments, 0));
        if (key != nullptr) {
            decodeDocument(key, connection.selectDocuments, contents);
        }
    }
    sqlite3_reset(connection.selectDocuments);
    if (withHistory) {
        if (stepped == SQLITE_DONE) {
            if (!connection.history) {
                connection.history = std::make_unique<HistoryQueries>(connection.db);
            }
            contents.hasHistory = history.spanSeconds.has_value();
            for (const auto& series : shownSeries(contents)) {
                contents.history.emplace(series, readSeries(*connection.history, series, history));
            }
        }
        (void)sqlite3_exec(connection.db, "COMMIT", nullptr, nullptr, nullptr);
    }
    if (stepped != SQLITE_DONE) {
        const StoreStatus status = isBusy(stepped) ? StoreStatus::busy : StoreStatus::error;
        if (status == StoreStatus::error) {
            close();
        }
        return failed(status, sqliteReason(stepped));
    }
    return contents;
}

std::optional<StoreVersion> StoreReader::version()
{
    StoreContents ignored;
    if (!openIfNeeded(ignored)) {
        return std::nullopt;
    }
    auto& connection = *connection_;
    if (connection.dataVersion == nullptr
        && sqlite3_prepare_v3(connection.db, kDataVersion, -1, SQLITE_PREPARE_PERSISTENT, &connection.dataVersion,
                              nullptr)
               != SQLITE_OK) {
        return std::nullopt;
    }
    std::optional<StoreVersion> version;
    if (sqlite3_step(connection.dataVersion) == SQLITE_ROW) {
        version = StoreVersion{connectionsOpened_, sqlite3_column_int64(connection.dataVersion, 0)};
    }
    sqlite3_reset(connection.dataVersion);
    return version;
}

}  // namespace telvane::widget
