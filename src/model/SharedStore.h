#pragma once

// The store shared with the desktop widget: four JSON documents under the
// keys "config", "messages", "displayItems" and "discoveredTopics" in a SQLite
// key-value table (see README, "Widget contract"). Reads never fail: missing
// or unreadable data reads as the default and stays untouched. A write that
// finds the database locked by another process (a widget or shell holding a
// transaction) does not wait for it: the document is kept in memory, every
// read of this store sees it, and it is written once the lock is free. Other
// failed writes are dropped. Not thread-safe: all callers run on the main
// thread.

#include "model/DiscoveredTopicsDocument.h"
#include "model/Records.h"
#include "platform/EventLoop.h"

#include <filesystem>
#include <functional>
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
    // With `retryLoop`, documents kept back by a lock are tried again on a
    // timer of that loop (the main loop), and later writes queue behind them
    // without touching the locked database; without it, the next write tries
    // them first.
    explicit SharedStore(std::optional<std::filesystem::path> databasePath, EventLoop* retryLoop = nullptr);
    ~SharedStore();
    SharedStore(const SharedStore&) = delete;
    SharedStore& operator=(const SharedStore&) = delete;

    // Runs after documents kept back have all been written (for example to
    // ask the widget to read them).
    void setPendingWrittenObserver(std::function<void()> observer);

    [[nodiscard]] MQTTConfig loadConfig();
    void saveConfig(const MQTTConfig& config);

    // The stored messages, newest first, without copying them: the snapshot
    // never changes; a later write or another connection's commit gives a
    // new one.
    [[nodiscard]] std::shared_ptr<const std::vector<MQTTMessage>> messagesSnapshot();
    // For each of `added` in order: replaces its topic's entry and puts it
    // first. Keeps maxCount entries, and writes once.
    void appendMessages(std::vector<MQTTMessage> added, std::size_t maxCount);
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
    // Writes the document a writer that keeps the set itself has grown:
    // nothing is encoded here, and the next load decodes the written text.
    void saveDiscoveredTopicsDocument(const DiscoveredTopicsDocument& document);

private:
    void saveMessages(std::vector<MQTTMessage> messages);

    struct Database;
    std::unique_ptr<Database> database_;  // absent when the database could not be opened
};

}  // namespace telvane
