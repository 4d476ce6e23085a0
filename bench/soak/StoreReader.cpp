#include "soak/StoreReader.h"

#include "model/JsonText.h"
#include "model/Records.h"
#include "model/SharedStore.h"
#include "model/StoreSchema.h"
#include "mqtt/MessageDelivery.h"

#include <sqlite3.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

namespace telvane::soak {

namespace {

using Clock = std::chrono::steady_clock;

enum class Outcome { readable, missing, unreadable, inconsistent, busy };

using namespace store_schema;

constexpr std::array<const char*, 4> kKeys{kConfigKey, kMessagesKey, kDisplayItemsKey, kDiscoveredTopicsKey};

Outcome checkMessages(const std::vector<MQTTMessage>& messages, const std::string& configuredPrefix)
{
    if (messages.size() > MessageDelivery::kMaxStoredMessages) {
        return Outcome::inconsistent;
    }
    for (const auto& message : messages) {
        // Only configured topics are stored, and the publisher sends JSON only.
        if (message.topic.rfind(configuredPrefix, 0) != 0 || !parseJsonDocument(message.payload)) {
            return Outcome::inconsistent;
        }
    }
    return Outcome::readable;
}

Outcome decode(std::string_view key, std::string_view text, const std::string& configuredPrefix)
{
    const auto json = parseJsonDocument(text);
    if (!json) {
        return Outcome::unreadable;
    }
    if (key == kConfigKey) {
        return configFromJson(*json) ? Outcome::readable : Outcome::unreadable;
    }
    if (key == kMessagesKey) {
        const auto messages = messagesFromJson(*json);
        return messages ? checkMessages(*messages, configuredPrefix) : Outcome::unreadable;
    }
    if (key == kDisplayItemsKey) {
        return displayItemsFromJson(*json) ? Outcome::readable : Outcome::unreadable;
    }
    return discoveredTopicsFromJson(*json) ? Outcome::readable : Outcome::unreadable;
}

// A read-only connection, opened once the file and its table exist.
class ReadOnlyStore {
public:
    explicit ReadOnlyStore(const std::filesystem::path& path)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, kReaderOpenFlags, nullptr) != SQLITE_OK) {
            return;
        }
        sqlite3_busy_timeout(db_, 100);
        sqlite3_prepare_v2(db_, kSelectValue, -1, &select_, nullptr);
    }
    ~ReadOnlyStore()
    {
        sqlite3_finalize(select_);
        sqlite3_close_v2(db_);
    }
    ReadOnlyStore(const ReadOnlyStore&) = delete;
    ReadOnlyStore& operator=(const ReadOnlyStore&) = delete;

    [[nodiscard]] bool isOpen() const { return select_ != nullptr; }

    Outcome read(const char* key, const std::string& configuredPrefix)
    {
        Outcome outcome = Outcome::missing;
        sqlite3_bind_text(select_, 1, key, -1, SQLITE_STATIC);
        const int step = sqlite3_step(select_);
        if (step == SQLITE_ROW) {
            if (sqlite3_column_type(select_, 0) != SQLITE_BLOB) {
                outcome = Outcome::unreadable;
            } else {
                const auto* bytes = static_cast<const char*>(sqlite3_column_blob(select_, 0));
                const auto size = static_cast<std::size_t>(sqlite3_column_bytes(select_, 0));
                outcome = decode(key, std::string_view(bytes == nullptr ? "" : bytes, size), configuredPrefix);
            }
        } else if (step == SQLITE_BUSY || step == SQLITE_LOCKED) {
            outcome = Outcome::busy;
        } else if (step != SQLITE_DONE) {
            outcome = Outcome::unreadable;
        }
        sqlite3_reset(select_);
        return outcome;
    }

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
};

void count(ReaderTally& tally, Outcome outcome)
{
    switch (outcome) {
    case Outcome::readable: ++tally.readable; break;
    case Outcome::missing: ++tally.missing; break;
    case Outcome::unreadable: ++tally.unreadable; break;
    case Outcome::inconsistent: ++tally.inconsistent; break;
    case Outcome::busy: ++tally.busy; break;
    }
}

}  // namespace

std::string ReaderTally::summary() const
{
    char line[256];
    std::snprintf(line, sizeof line,
                  "reader rounds=%ld readable=%ld missing=%ld unreadable=%ld inconsistent=%ld busy=%ld "
                  "slowest_ms=%.3f",
                  rounds, readable, missing, unreadable, inconsistent, busy, slowestReadMs);
    return line;
}

bool ReaderTally::parse(const std::string& line)
{
    return std::sscanf(line.c_str(),
                       "reader rounds=%ld readable=%ld missing=%ld unreadable=%ld inconsistent=%ld busy=%ld "
                       "slowest_ms=%lf",
                       &rounds, &readable, &missing, &unreadable, &inconsistent, &busy, &slowestReadMs)
           == 7;
}

StoreReader::StoreReader(std::filesystem::path database, std::string configuredPrefix)
    : database_(std::move(database)),
      configuredPrefix_(std::move(configuredPrefix))
{}

ReaderTally StoreReader::run(double hertz, std::chrono::duration<double> duration) const
{
    ReaderTally tally;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hertz));
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(duration);
    std::optional<ReadOnlyStore> store;
    auto next = Clock::now();
    while (Clock::now() < end) {
        if (!store || !store->isOpen()) {
            store.emplace(database_);  // the file or its table may not exist yet
        }
        const auto begin = Clock::now();
        for (const char* key : kKeys) {
            count(tally, store->isOpen() ? store->read(key, configuredPrefix_) : Outcome::missing);
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        tally.slowestReadMs = std::max(tally.slowestReadMs, ms);
        ++tally.rounds;
        next += period;
        if (next < Clock::now()) {
            next = Clock::now();  // fell behind (the machine was busy): no burst to catch up
        }
        std::this_thread::sleep_until(next);
    }
    return tally;
}

}  // namespace telvane::soak
