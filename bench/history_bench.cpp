// The kept history at its worst: 50 display items whose values change
// several times every 10 seconds, for longer than anything is kept. Prints
// each figure beside its baseline from the same run:
//
// 1. the store's file size, against the same store without the history;
// 2. the trimming pass (SharedStore::trimHistory) after 5 minutes, and when
//    every item was removed, against one batch write of the messages with
//    their points;
// 3. telvane-widget --once --format json --history 24h against the plain
//    --once on that store (limit 3x).
//
// Usage: history_bench [--runs N]

#include "model/HistoryTables.h"
#include "model/SharedStore.h"
#include "support/StoreFile.h"
#include "support/TempDir.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#ifndef TELVANE_WIDGET_EXECUTABLE
#error "TELVANE_WIDGET_EXECUTABLE must name the telvane-widget binary"
#endif

namespace telvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kItems = 50;
constexpr double kBatchSeconds = 300;  // what one batch of points covers here

double seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string topicOf(int item)
{
    return "home/room" + std::to_string(item) + "/climate";
}

// The rows of `kBatchSeconds` from `begin` on: per item three values every
// 10 s, none equal, so every point keeps a min and a max of its own.
std::vector<HistoryRow> batchRows(double begin)
{
    std::vector<HistoryRow> rows;
    for (int item = 0; item < kItems; ++item) {
        const HistorySeries series{topicOf(item), "temperature"};
        for (const auto& tier : kHistoryTiers) {
            for (double start = begin; start < begin + kBatchSeconds; start += tier.intervalSeconds) {
                const double time = start + tier.intervalSeconds - 1;
                const double value = 20 + item + std::fmod(time, 7) / 10;
                rows.push_back({{series, tier.id, historyBucket(tier, time)}, {time, value, value - 0.5, value + 0.5}});
            }
        }
    }
    return rows;
}

std::vector<MQTTMessage> batchMessages(double unixTime)
{
    std::vector<MQTTMessage> messages;
    for (int item = 0; item < kItems; ++item) {
        messages.push_back({topicOf(item), R"({"temperature":21.5,"humidity":48})", Date::fromUnix(unixTime)});
    }
    return messages;
}

double storeBytes(const std::filesystem::path& path)
{
    double bytes = 0;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code error;
        const auto size = std::filesystem::file_size(path.string() + suffix, error);
        bytes += error ? 0 : static_cast<double>(size);
    }
    return bytes;
}

// Mean wall time of `runs` runs of argv.
double meanSeconds(const std::vector<std::string>& argv, int runs)
{
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    for (int i = 0; i < runs; ++i) {
        pid_t pid = -1;
        int status = 0;
        if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0
            || ::waitpid(pid, &status, 0) != pid || status != 0) {
            std::fprintf(stderr, "history_bench: %s failed\n", args[0]);
            std::exit(1);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    return seconds(start) / runs;
}

int run(int widgetRuns)
{
    test::TempDir dir;
    const auto path = dir.path() / "defaults.sqlite3";
    const double now = std::floor(static_cast<double>(std::time(nullptr)) / kBatchSeconds) * kBatchSeconds;
    std::vector<MQTTDisplayItem> items;
    MQTTConfig config;
    for (int item = 0; item < kItems; ++item) {
        config.topics.push_back(topicOf(item));
        items.push_back(MQTTDisplayItem::make(topicOf(item), "Raum " + std::to_string(item), "temperature"));
    }
    double withoutHistory = 0;
    double batchWrite = 0;
    {
        SharedStore store(path);
        store.saveConfig(config);
        store.saveDisplayItems(items);
        store.appendMessages(batchMessages(now), 50);
    }
    withoutHistory = storeBytes(path);

    // A day more than the longest keeping, trimmed as Telvane does every 5
    // minutes; the batch write timed over the last day, on a full store.
    {
        SharedStore filling(path);
        const double first = now - 8 * 86400;
        const auto fillStart = Clock::now();
        int timed = 0;
        for (double begin = first; begin < now; begin += kBatchSeconds) {
            const auto start = Clock::now();
            filling.appendMessages(batchMessages(begin), 50, batchRows(begin));
            if (begin >= now - 86400) {
                batchWrite += seconds(start);
                ++timed;
            }
            filling.trimHistory(begin + kBatchSeconds);
        }
        batchWrite /= std::max(timed, 1);
        std::printf("filled 8 days of %d items in %.1f s (back to back, the log grew to %.1f MB meanwhile)\n", kItems,
                    seconds(fillStart), static_cast<double>(std::filesystem::file_size(path.string() + "-wal")) / 1e6);
    }  // the last connection copies the log into the file and removes it

    SharedStore store(path);
    store.appendMessages(batchMessages(now), 50, batchRows(now));
    const auto trimStart = Clock::now();
    store.trimHistory(now + kBatchSeconds);
    const double trim = seconds(trimStart);
    const double bytes = static_cast<double>(std::filesystem::file_size(path));
    std::printf("database file: %.1f MB with the history, %.1f kB without: +%.1f MB for %d items\n", bytes / 1e6,
                withoutHistory / 1e3, (bytes - withoutHistory) / 1e6, kItems);
    std::printf(
        "trimming pass after 5 minutes: %.1f ms; one batch write (50 messages, %zu rows, mean): %.1f ms; "
        "ratio %.2fx\n",
        trim * 1000, batchRows(now).size(), batchWrite * 1000, trim / batchWrite);

    const std::vector<std::string> plain{
        TELVANE_WIDGET_EXECUTABLE, "--once", "--format", "json", "--store", path.string()};
    auto withHistory = plain;
    withHistory.insert(withHistory.end(), {"--history", "24h"});
    meanSeconds(plain, 5);  // warm the page cache for both
    meanSeconds(withHistory, 5);
    double plainTotal = 0;
    double historyTotal = 0;
    for (int round = 0; round < 4; ++round) {  // interleaved, so load drifts hit both
        plainTotal += meanSeconds(plain, widgetRuns / 4);
        historyTotal += meanSeconds(withHistory, widgetRuns / 4);
    }
    const double ratio = historyTotal / plainTotal;
    std::printf(
        "telvane-widget --once --format json --history 24h: %.2f ms, plain --once --format json %.2f ms, "
        "ratio %.2f (limit 3.00) %s\n",
        historyTotal / 4 * 1000, plainTotal / 4 * 1000, ratio, ratio <= 3.0 ? "ok" : "OVER");

    // Every item removed: the whole history goes, a statement at a time.
    store.saveDisplayItems({});
    config.topics.clear();
    store.saveConfig(config);
    const double rows = std::stod(test::StoreFile(path).query("SELECT count(*) FROM historyPoints"));
    const auto removeStart = Clock::now();
    store.trimHistory(now + kBatchSeconds);
    const double removal = seconds(removeStart);
    // A delete statement takes at most 1000 rows; the main loop runs between two.
    const double statements = std::ceil(rows / 1000) + 3 * kItems;
    std::printf(
        "trimming pass removing all %d series (%.0f rows): %.1f ms in all, about %.0f statements, "
        "%.2f ms per statement on average; one batch write %.1f ms\n",
        kItems, rows, removal * 1000, statements, removal * 1000 / statements, batchWrite * 1000);
    return ratio <= 3.0 ? 0 : 1;
}

}  // namespace
}  // namespace telvane

int main(int argc, char** argv)
{
    int runs = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--runs") {
            runs = std::max(4, std::atoi(argv[i + 1]));
        }
    }
    return telvane::run(runs);
}
