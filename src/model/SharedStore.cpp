#include "model/SharedStore.h"

#include "model/JsonText.h"
#include "model/PrivateFiles.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace telvane {

namespace {

constexpr const char* kConfigKey = "config";
constexpr const char* kMessagesKey = "messages";
constexpr const char* kDisplayItemsKey = "displayItems";
constexpr const char* kDiscoveredTopicsKey = "discoveredTopics";

constexpr const char* kStoreDirectory = "group.org.telvane.Telvane";
constexpr const char* kDatabaseFile = "defaults.sqlite3";

// In WAL mode a reader never blocks a writer; the timeout only matters while
// another writer holds the lock or the file is being recovered. Long enough to
// ride that out, short enough not to freeze the window.
constexpr int kBusyTimeoutMs = 3000;

// The schema is the widget contract. WAL lets the widget read while Telvane
// writes. synchronous=NORMAL keeps the file consistent after a power loss
// (at worst the last few writes are lost) without an fsync per received
// message; a process crash loses nothing.
constexpr const char* kSetUpStatements =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY NOT NULL, value);";
constexpr const char* kSelectValue = "SELECT value FROM defaults WHERE key = ?1";
// One statement per write, so a reader sees the old or the new document.
constexpr const char* kUpsertValue =
    "INSERT INTO defaults(key, value) VALUES(?1, ?2) "
    "ON CONFLICT(key) DO UPDATE SET value = excluded.value";
constexpr const char* kDataVersion = "PRAGMA data_version";

bool usableBaseDirectory(const char* value)
{
    return value != nullptr && value[0] == '/';
}

// The encoder turns bytes that are not UTF-8 into U+FFFD. Only when no such
// character is in the text does the stored document decode to the very value
// that was written, so that the value may stand in for reading it back.
bool encodedLosslessly(const std::string& text)
{
    return text.find("\xEF\xBF\xBD") == std::string::npos;
}

const std::shared_ptr<const TopicSet>& emptyTopics()
{
    static const auto empty = std::make_shared<const TopicSet>();
    return empty;
}

}  // namespace

std::optional<TopicSet> discoveredTopicsFromJson(const Json& json)
{
    if (!json.is_array()) {
        return std::nullopt;
    }
    TopicSet topics;
    topics.reserve(json.size());
    for (const auto& entry : json) {
        if (!entry.is_string()) {
            return std::nullopt;
        }
        topics.insert(entry.get<std::string>());
    }
    return topics;
}

// The open database with its prepared statements, and the last decoded
// document of each key. A cached document is valid while no other connection
// has committed a change since it was read, which PRAGMA data_version tells.
// The store's own writes do not change data_version, so each write replaces
// (or drops) the cached document of the key it wrote.
struct SharedStore::Database {
    sqlite3* db = nullptr;
    sqlite3_stmt* selectValue = nullptr;
    sqlite3_stmt* upsertValue = nullptr;
    sqlite3_stmt* dataVersion = nullptr;

    std::optional<std::int64_t> knownVersion;  // none: unknown, trust no cache

    std::optional<MQTTConfig> config;
    std::optional<std::vector<MQTTMessage>> messages;
    std::optional<std::vector<MQTTDisplayItem>> displayItems;
    std::shared_ptr<const TopicSet> discoveredTopics;

    Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    ~Database()
    {
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
        // No SQLITE_OPEN_CREATE: the file exists with its mode set above. No
        // mutex: the store is used from the main thread only.
        if (sqlite3_open_v2(path.c_str(), &database->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                            nullptr)
            != SQLITE_OK) {
            return nullptr;
        }
        sqlite3_busy_timeout(database->db, kBusyTimeoutMs);
        // A file that is not a database fails here and is left as it is.
        if (sqlite3_exec(database->db, kSetUpStatements, nullptr, nullptr, nullptr) != SQLITE_OK
            || !database->prepare(kSelectValue, &database->selectValue)
            || !database->prepare(kUpsertValue, &database->upsertValue)
            || !database->prepare(kDataVersion, &database->dataVersion)) {
            return nullptr;
        }
        database->knownVersion = database->currentDataVersion();
        return database;
    }

    bool prepare(const char* sql, sqlite3_stmt** statement) const
    {
        return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr)
               == SQLITE_OK;
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

    void dropCachedDocuments()
    {
        config.reset();
        messages.reset();
        displayItems.reset();
        discoveredTopics.reset();
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
    template <typename T, typename Decode>
    std::optional<T> read(const char* key, Decode decode)
    {
        std::optional<T> result;
        sqlite3_bind_text(selectValue, 1, key, -1, SQLITE_STATIC);
        if (sqlite3_step(selectValue) == SQLITE_ROW
            && sqlite3_column_type(selectValue, 0) == SQLITE_BLOB) {
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

    [[nodiscard]] bool write(const char* key, const std::string& text) const
    {
        sqlite3_bind_text(upsertValue, 1, key, -1, SQLITE_STATIC);
        sqlite3_bind_blob64(upsertValue, 2, text.data(), text.size(), SQLITE_STATIC);
        const bool ok = sqlite3_step(upsertValue) == SQLITE_DONE;
        sqlite3_reset(upsertValue);
        sqlite3_clear_bindings(upsertValue);
        return ok;
    }

    // Writes `json` under `key` and keeps `value` as the key's cached
    // document when it is exactly what a read would decode.
    template <typename T>
    void store(const char* key, const Json& json, std::optional<T>& cache, T value)
    {
        const std::string text = encodeJsonDocument(json);
        if (write(key, text) && encodedLosslessly(text)) {
            cache = std::move(value);
        } else {
            cache.reset();
        }
        synchronize();
    }
};

std::optional<std::filesystem::path> SharedStore::defaultDatabasePath()
{
    std::filesystem::path base;
    // Relative values are invalid by the XDG base directory rules and ignored.
    if (const char* dataHome = std::getenv("XDG_DATA_HOME"); usableBaseDirectory(dataHome)) {
        base = dataHome;
    } else if (const char* home = std::getenv("HOME"); usableBaseDirectory(home)) {
        base = std::filesystem::path(home) / ".local" / "share";
    } else {
        return std::nullopt;
    }
    return base / kStoreDirectory / kDatabaseFile;
}

SharedStore::SharedStore(std::optional<std::filesystem::path> databasePath)
{
    if (databasePath) {
        database_ = Database::open(*databasePath);
    }
}

SharedStore::~SharedStore() = default;

bool SharedStore::isAvailable() const
{
    return database_ != nullptr;
}

MQTTConfig SharedStore::loadConfig()
{
    if (!database_) {
        return MQTTConfig::defaultConfig();
    }
    database_->synchronize();
    if (!database_->config) {
        database_->config = database_->read<MQTTConfig>(kConfigKey, configFromJson)
                                .value_or(MQTTConfig::defaultConfig());
    }
    return *database_->config;
}

void SharedStore::saveConfig(const MQTTConfig& config)
{
    if (!database_) {
        return;
    }
    database_->store(kConfigKey, toJson(config), database_->config, config);
}

std::vector<MQTTMessage> SharedStore::loadMessages()
{
    if (!database_) {
        return {};
    }
    database_->synchronize();
    if (!database_->messages) {
        database_->messages = database_->read<std::vector<MQTTMessage>>(kMessagesKey, messagesFromJson)
                                  .value_or(std::vector<MQTTMessage>{});
    }
    return *database_->messages;
}

void SharedStore::saveMessages(const std::vector<MQTTMessage>& messages)
{
    if (!database_) {
        return;
    }
    // JSON has no infinity or NaN; writing one would make the whole list
    // unreadable. Treat it as an encoding failure: the stored list stays.
    const bool encodable = std::all_of(messages.begin(), messages.end(), [](const MQTTMessage& m) {
        return std::isfinite(m.timestamp.secondsSince2001);
    });
    if (!encodable) {
        return;
    }
    database_->store(kMessagesKey, toJson(messages), database_->messages, messages);
}

void SharedStore::appendMessage(const MQTTMessage& message, std::size_t maxCount)
{
    auto messages = loadMessages();
    std::erase_if(messages, [&](const MQTTMessage& m) { return m.topic == message.topic; });
    messages.insert(messages.begin(), message);
    if (messages.size() > maxCount) {
        messages.resize(maxCount);
    }
    saveMessages(messages);
}

void SharedStore::pruneMessages(const std::vector<std::string>& keepingTopics)
{
    const std::unordered_set<std::string> keep(keepingTopics.begin(), keepingTopics.end());
    auto kept = loadMessages();
    std::erase_if(kept, [&](const MQTTMessage& m) { return !keep.contains(m.topic); });
    if (kept.size() != loadMessages().size()) {
        saveMessages(kept);
    }
}

std::vector<MQTTDisplayItem> SharedStore::loadDisplayItems()
{
    if (!database_) {
        return {};
    }
    database_->synchronize();
    if (!database_->displayItems) {
        database_->displayItems =
            database_->read<std::vector<MQTTDisplayItem>>(kDisplayItemsKey, displayItemsFromJson)
                .value_or(std::vector<MQTTDisplayItem>{});
    }
    return *database_->displayItems;
}

void SharedStore::saveDisplayItems(const std::vector<MQTTDisplayItem>& items)
{
    if (!database_) {
        return;
    }
    database_->store(kDisplayItemsKey, toJson(items), database_->displayItems, items);
}

void SharedStore::removeDisplayItem(const std::string& uuid)
{
    // Stored ids are canonical upper case; a UUID given in lower case is the
    // same UUID. Text that is no UUID matches nothing.
    const auto id = canonicalUUID(uuid);
    auto items = loadDisplayItems();
    std::erase_if(items, [&](const MQTTDisplayItem& item) { return id && item.id == *id; });
    saveDisplayItems(items);
}

std::shared_ptr<const TopicSet> SharedStore::loadDiscoveredTopics()
{
    if (!database_) {
        return emptyTopics();
    }
    database_->synchronize();
    if (!database_->discoveredTopics) {
        auto topics = database_->read<TopicSet>(kDiscoveredTopicsKey, discoveredTopicsFromJson);
        database_->discoveredTopics =
            topics ? std::make_shared<const TopicSet>(std::move(*topics)) : emptyTopics();
    }
    return database_->discoveredTopics;
}

void SharedStore::saveDiscoveredTopics(const TopicSet& topics)
{
    if (!database_) {
        return;
    }
    Json json = Json::array();
    json.get_ref<Json::array_t&>().reserve(topics.size());
    for (const auto& topic : topics) {
        json.push_back(topic);
    }
    const std::string text = encodeJsonDocument(json);
    auto& database = *database_;
    if (database.write(kDiscoveredTopicsKey, text) && encodedLosslessly(text)) {
        database.discoveredTopics = std::make_shared<const TopicSet>(topics);
    } else {
        database.discoveredTopics.reset();
    }
    database.synchronize();
}

}  // namespace telvane
