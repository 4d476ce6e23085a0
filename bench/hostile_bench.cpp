// A flood of new topics and a store locked by another process, through the
// real delivery and a real SQLite store on a virtual clock: how long the main
// thread is busy at a stretch, and when a configured message behind the flood
// is stored. Baselines from the same run: one write and one decode of the
// whole topic set (what each read used to cost at the end of a flood), and
// one unlocked store write.
//
// Usage: hostile_bench [TOPICS]   (default 200000)

#include "model/SharedStore.h"
#include "mqtt/MessageDelivery.h"
#include "support/CountingReloadSignal.h"
#include "support/DiscoveredTopics.h"
#include "support/OutsideWriter.h"
#include "support/TempDir.h"
#include "support/VirtualEventLoop.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace telvane;
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Runs `step` and returns how long it took, in milliseconds.
template <typename Step>
double timed(Step step)
{
    const auto start = Clock::now();
    step();
    return millisecondsSince(start);
}

void flood(std::size_t topicCount)
{
    test::TempDir dir;
    VirtualEventLoop loop;
    SharedStore store(dir.path() / "defaults.sqlite3", &loop);
    test::CountingReloadSignal reload;
    MessageDelivery delivery(store, reload, loop);
    const std::vector<std::string> configured{"home/temp"};

    // The broker's reads: 100 packets each, 200,000 topics a second.
    constexpr std::size_t kPerRead = 100;
    const Seconds readInterval(static_cast<double>(kPerRead) / 200'000.0);
    double longest = 0;
    double busy = 0;
    std::size_t next = 0;
    const auto start = Clock::now();
    while (next < topicCount) {
        const double read = timed([&] {
            for (std::size_t i = 0; i < kPerRead && next < topicCount; ++i, ++next) {
                delivery.deliver("site/" + std::to_string(next % 97) + "/device/" + std::to_string(next), "1",
                                 configured);
            }
            loop.runUntilIdle();  // where the delivery ends its batch
        });
        const double timers = timed([&] { loop.advance(readInterval); });
        longest = std::max({longest, read, timers});
        busy += read + timers;
    }
    const double behind = timed([&] {
        delivery.deliver("home/temp", "behind", configured);
        loop.runUntilIdle();
    });
    const double total = millisecondsSince(start);
    const bool stored = !store.messagesSnapshot()->empty() && store.messagesSnapshot()->front().payload == "behind";

    // Baselines: the whole set written once and decoded once by another connection.
    const auto topics = *store.loadDiscoveredTopics();
    const double writeAll = timed([&] { telvane::test::saveDiscoveredTopics(store, topics); });
    SharedStore other(dir.path() / "defaults.sqlite3");
    const double decodeAll = timed([&] { (void)other.loadDiscoveredTopics(); });

    std::printf("Flood of %zu new topics (%zu per read), then one configured message\n", topicCount, kPerRead);
    std::printf("  main thread busy in total          %8.1f ms (of %.1f ms wall)\n", busy, total);
    std::printf("  longest single stretch             %8.1f ms   target <= 100 ms\n", longest);
    std::printf("  configured message behind it       %8.1f ms after the flood, stored: %s   target <= 1000 ms\n",
                behind, stored ? "yes" : "NO");
    std::printf("  baseline: one write of all topics  %8.1f ms   (old cost of every read at the end)\n", writeAll);
    std::printf("  baseline: one decode of all topics %8.1f ms\n", decodeAll);
    std::printf("  longest stretch / one write        %8.2fx\n", longest / writeAll);
}

void lockedStore()
{
    test::TempDir dir;
    VirtualEventLoop loop;
    SharedStore store(dir.path() / "defaults.sqlite3", &loop);
    test::CountingReloadSignal reload;
    MessageDelivery delivery(store, reload, loop);
    const std::vector<std::string> configured{"a", "b", "c", "d"};
    delivery.deliver("a", "before", configured);
    loop.runUntilIdle();
    loop.advance(MessageDelivery::kMessagesWriteSpacing);  // else the next one waits for the spacing
    const double unlocked = timed([&] {
        delivery.deliver("a", "unlocked", configured);
        loop.runUntilIdle();
    });

    double longest = 0;
    {
        test::OutsideWriter outside(dir.path() / "defaults.sqlite3");
        // Eight seconds of lock, a message every two seconds, the retry timer in between.
        for (const char* topic : {"a", "b", "c", "d"}) {
            longest = std::max(longest, timed([&] {
                                   delivery.deliver(topic, std::string("during ") + topic, configured);
                                   loop.runUntilIdle();
                               }));
            for (int tick = 0; tick < 8; ++tick) {
                longest = std::max(longest, timed([&] { loop.advance(Seconds(0.25)); }));
            }
        }
    }
    const double afterLock = timed([&] { loop.advance(Seconds(0.25)); });
    const auto messages = *SharedStore(dir.path() / "defaults.sqlite3").messagesSnapshot();
    const auto count = std::count_if(messages.begin(), messages.end(),
                                     [](const MQTTMessage& m) { return m.payload.starts_with("during "); });
    std::printf("Another process holds the write lock for 8 s while 4 messages arrive\n");
    std::printf("  longest main-thread stretch        %8.1f ms   target <= 100 ms\n", longest);
    std::printf("  writing what was kept, after it    %8.1f ms\n", afterLock);
    std::printf("  messages in the store after it     %8ld of 4\n", static_cast<long>(count));
    std::printf("  baseline: one unlocked delivery    %8.1f ms\n", unlocked);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::size_t topics = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200'000;
    flood(topics);
    lockedStore();
    return 0;
}
