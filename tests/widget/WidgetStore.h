#pragma once

// Stores for the widget's tests: seeded through the application's own
// SharedStore (what Telvane writes), or byte by byte through a second
// connection (what Telvane never writes: garbage, other SQLite types).

#include "model/HistoryTables.h"
#include "model/SharedStore.h"
#include "model/StoreSchema.h"
#include "support/StoreFile.h"
#include "support/TempDir.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace telvane::widget::test {

// Unix time the tests render at; messages are stamped relative to it.
inline constexpr double kNow = 1'750'000'000.0;

inline MQTTMessage messageAgo(std::string topic, std::string payload, double secondsAgo)
{
    return MQTTMessage{std::move(topic), std::move(payload), Date::fromUnix(kNow - secondsAgo)};
}

class WidgetStore {
public:
    WidgetStore() : path_(dir_.path() / "store" / "defaults.sqlite3") {}

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

    // Telvane's own writes.
    SharedStore& telvane()
    {
        if (!store_) {
            store_ = std::make_unique<SharedStore>(path_);
        }
        return *store_;
    }

    void seed(const std::vector<MQTTMessage>& messages, const std::vector<MQTTDisplayItem>& items = {},
              const std::map<std::string, std::string>& labels = {})
    {
        MQTTConfig config;
        config.host = "127.0.0.1";
        config.topicLabels = labels;
        telvane().saveConfig(config);
        telvane::test::StoreFile(path_).put(store_schema::kMessagesKey, encodeMessagesDocument(messages));
        telvane().saveDisplayItems(items);
    }

    // Keeps `series`' values as Telvane does, each (seconds ago, value) in
    // both tiers.
    void keep(const HistorySeries& series, const std::vector<std::pair<double, double>>& values)
    {
        std::vector<HistoryRow> rows;
        for (const auto& [secondsAgo, value] : values) {
            const double time = kNow - secondsAgo;
            for (const auto& tier : kHistoryTiers) {
                rows.push_back({{series, tier.id, historyBucket(tier, time)}, {time, value, value, value}});
            }
        }
        telvane().appendMessages({}, 50, std::move(rows));
    }

    // Closes Telvane's connection (the last one checkpoints the WAL into
    // the database file and removes it).
    void closeTelvane() { store_.reset(); }

    // Runs SQL on a connection of its own, as another program would.
    void exec(const std::string& sql) const
    {
        telvane::test::StoreFile(path_, telvane::test::StoreFile::Access::create).exec(sql);
    }

private:
    telvane::test::TempDir dir_;
    std::filesystem::path path_;
    std::unique_ptr<SharedStore> store_;
};

}  // namespace telvane::widget::test
