#include "model/SharedStore.h"

#include "model/JsonText.h"
#include "model/SharedStoreDatabase.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace telvane {

using namespace store_detail;

namespace {

bool usableBaseDirectory(const char* value)
{
    return value != nullptr && value[0] == '/';
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
    return base / kDirectory / kDatabaseFile;
}

SharedStore::SharedStore(std::optional<std::filesystem::path> databasePath, EventLoop* retryLoop)
{
    if (databasePath) {
        database_ = Database::open(*databasePath);
    }
    if (database_) {
        database_->retryLoop = retryLoop;
    }
}

SharedStore::~SharedStore() = default;

void SharedStore::setPendingWrittenObserver(std::function<void()> observer)
{
    if (database_) {
        database_->pendingWrittenObserver = std::move(observer);
    }
}

MQTTConfig SharedStore::loadConfig()
{
    if (!database_) {
        return MQTTConfig::defaultConfig();
    }
    database_->synchronize();
    if (!database_->config) {
        database_->config =
            database_->read<MQTTConfig>(kConfigKey, configFromJson).value_or(MQTTConfig::defaultConfig());
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

std::shared_ptr<const std::vector<MQTTMessage>> SharedStore::messagesSnapshot()
{
    if (!database_) {
        static const auto none = std::make_shared<const std::vector<MQTTMessage>>();
        return none;
    }
    database_->synchronize();
    if (!database_->messages) {
        database_->messages = std::make_shared<const std::vector<MQTTMessage>>(
            database_->read<std::vector<MQTTMessage>>(kMessagesKey, messagesFromJson)
                .value_or(std::vector<MQTTMessage>{}));
    }
    return database_->messages;
}

void SharedStore::saveMessages(std::vector<MQTTMessage> messages)
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
    auto text = encodeMessagesDocument(messages);
    database_->storeText(kMessagesKey, std::move(text), database_->messages, std::move(messages));
}

void SharedStore::appendMessages(std::vector<MQTTMessage> added, std::size_t maxCount)
{
    // The same as replacing and putting first one message after the other,
    // in one pass from the newest: a batch can hold thousands.
    std::vector<MQTTMessage> messages;
    std::unordered_set<std::string> topics;
    for (auto it = added.rbegin(); it != added.rend() && messages.size() < maxCount; ++it) {
        if (!topics.contains(it->topic)) {
            topics.insert(it->topic);
            messages.push_back(std::move(*it));
        }
    }
    const auto stored = messagesSnapshot();
    for (auto it = stored->begin(); it != stored->end() && messages.size() < maxCount; ++it) {
        if (!topics.contains(it->topic)) {
            messages.push_back(*it);
        }
    }
    saveMessages(std::move(messages));
}

void SharedStore::pruneMessages(const std::vector<std::string>& keepingTopics)
{
    const std::unordered_set<std::string> keep(keepingTopics.begin(), keepingTopics.end());
    auto kept = *messagesSnapshot();
    std::erase_if(kept, [&](const MQTTMessage& m) { return !keep.contains(m.topic); });
    if (kept.size() != messagesSnapshot()->size()) {
        saveMessages(std::move(kept));
    }
}

std::vector<MQTTDisplayItem> SharedStore::loadDisplayItems()
{
    if (!database_) {
        return {};
    }
    database_->synchronize();
    if (!database_->displayItems) {
        database_->displayItems = database_->read<std::vector<MQTTDisplayItem>>(kDisplayItemsKey, displayItemsFromJson)
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
        database_->discoveredTopics = topics ? std::make_shared<const TopicSet>(std::move(*topics)) : emptyTopics();
    }
    return database_->discoveredTopics;
}

void SharedStore::saveDiscoveredTopicsDocument(const DiscoveredTopicsDocument& document)
{
    if (!database_) {
        return;
    }
    (void)database_->put(kDiscoveredTopicsKey, document.text());
    database_->discoveredTopics.reset();
    database_->synchronize();
}

}  // namespace telvane
