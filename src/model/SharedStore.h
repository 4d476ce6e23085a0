#pragma once

// The store shared with the desktop widget: four JSON documents under the
// keys "config", "messages", "displayItems" and "discoveredTopics" in a SQLite
// key-value table (see README, "Widget contract"). Reads never fail: missing
// or unreadable data reads as the default and stays untouched. Failed writes
// are dropped. Not thread-safe: all callers run on the main thread.

#include "model/Records.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace telvane {

using TopicSet = std::unordered_set<std::string>;

// The decoder of the "discoveredTopics" document, an array of strings (the
// other three documents' decoders are in Records.h). No value for anything
// else.
[[nodiscard]] std::optional<TopicSet> discoveredTopicsFromJson(const Json& json);

class SharedStore {
public:
    // ${XDG_DATA_HOME:-$HOME/.local/share}/group.org.telvane.Telvane/defaults.sqlite3,
    // or no value when neither variable is usable.
    [[nodiscard]] static std::optional<std::filesystem::path> defaultDatabasePath();

    // Opens (creating where needed, private permissions) the database at
    // `databasePath`. No path, or a database that cannot be opened, gives a
    // store without database: defaults on read, writes dropped.
    explicit SharedStore(std::optional<std::filesystem::path> databasePath);
    ~SharedStore();
    SharedStore(const SharedStore&) = delete;
    SharedStore& operator=(const SharedStore&) = delete;

    [[nodiscard]] bool isAvailable() const;

    [[nodiscard]] MQTTConfig loadConfig();
    void saveConfig(const MQTTConfig& config);

    [[nodiscard]] std::vector<MQTTMessage> loadMessages();
    void saveMessages(const std::vector<MQTTMessage>& messages);
    // Replaces the topic's entry, puts the message first, keeps maxCount.
    void appendMessage(const MQTTMessage& message, std::size_t maxCount);
    // Keeps only messages whose topic is exactly one of `keepingTopics`;
    // writes only when something was dropped.
    void pruneMessages(const std::vector<std::string>& keepingTopics);

    [[nodiscard]] std::vector<MQTTDisplayItem> loadDisplayItems();
    void saveDisplayItems(const std::vector<MQTTDisplayItem>& items);
    // Removes every item with this id; writes also when none matched.
    void removeDisplayItem(const std::string& uuid);

    // A shared, immutable snapshot: with tens of thousands of topics and a
    // load per received message, copying the set on every read is too costly.
    [[nodiscard]] std::shared_ptr<const TopicSet> loadDiscoveredTopics();
    void saveDiscoveredTopics(const TopicSet& topics);

private:
    struct Database;
    std::unique_ptr<Database> database_;  // absent when the database could not be opened
};

}  // namespace telvane
