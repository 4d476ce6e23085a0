// Costs of the settings window on the offscreen platform, over a real SQLite
// store. Baselines from the same run: loading the stored topic set alone, and
// sorting the same topics as plain strings.
//
//   BM_OpenTopicPicker/N/F  store load, tree build and first draw of the picker;
//                           F=1: all topics on the top level (non-ASCII among them)
//   BM_RefreshTick/N/C      one refresh tick with 50 messages; C=1: the store
//                           changed since the last tick (a new message and a
//                           new topic), C=0: unchanged; N=0 is the baseline
//   BM_RefreshFromStore/N   the store's part of a tick after a change alone

#include "discovery/BrokerDiscovery.h"
#include "model/SharedStore.h"
#include "platform/AsioTransport.h"
#include "support/CountingReloadSignal.h"
#include "support/DiscoveredTopics.h"
#include "support/FakeConnectionStatus.h"
#include "support/ScriptedServiceBrowser.h"
#include "support/TempDir.h"
#include "ui/ConnectionStatus.h"
#include "ui/QtEventLoop.h"
#include "ui/SettingsWindow.h"
#include "ui/picker/TopicPickerDialog.h"
#include "ui/picker/TopicTreeNode.h"

#include <QApplication>
#include <QTest>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace telvane;

class Scratch {
public:
    [[nodiscard]] fs::path database() const { return dir_.path() / "defaults.sqlite3"; }

private:
    telvane::test::TempDir dir_;
};

using test::CountingReloadSignal;
using test::FakeConnectionStatus;

// Topics shaped like a busy broker (sites, rooms, devices and a few
// readings), or all on the top level, where the picker sorts every one of
// them before the first draw.
TopicSet makeTopics(std::int64_t count, bool flat = false)
{
    TopicSet topics;
    topics.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        if (flat) {
            topics.insert((i % 3 == 0 ? "Sensör-" : "sensor-") + std::to_string(i));
        } else {
            topics.insert("site" + std::to_string(i % 20) + "/room" + std::to_string((i / 20) % 50) + "/device"
                          + std::to_string(i / 1000) + "/reading" + std::to_string(i % 7));
        }
    }
    return topics;
}

std::vector<MQTTMessage> makeMessages(int count)
{
    std::vector<MQTTMessage> messages;
    messages.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        messages.push_back({"site0/room0/device" + std::to_string(i) + "/reading0",
                            R"({"temperature": 21.5, "humidity": 40, "battery": {"level": 87}})",
                            Date::fromUnix(1'700'000'000.0 + i)});
    }
    return messages;
}

// The window over a store holding `topicCount` topics and 50 messages.
struct WindowUnderTest {
    explicit WindowUnderTest(std::int64_t topicCount, bool flat = false)
        : store(scratch.database()),
          writer(scratch.database()),
          topics(makeTopics(topicCount, flat))
    {
        MQTTConfig config;
        config.host = "127.0.0.1";
        for (const auto& m : makeMessages(50)) {
            config.topics.push_back(m.topic);
        }
        writer.saveConfig(config);
        writer.appendMessages(makeMessages(50), 50);
        telvane::test::saveDiscoveredTopics(writer, topics);
        window = std::make_unique<SettingsWindow>(store, loop, reloader, std::function<void()>(), status, discovery);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get())) {
            throw std::runtime_error("window not exposed");
        }
    }

    // What another process changes between two ticks: a new message and a
    // new topic. The grown set is freed here, not in a timed part: freeing
    // 100,000 topics takes milliseconds.
    void changeStore(std::int64_t n)
    {
        writer.appendMessages({{"site0/room0/device1/reading0", "{\"temperature\": " + std::to_string(n) + "}",
                                Date::fromUnix(1'800'000'000.0 + static_cast<double>(n))}},
                              50);
        TopicSet grown = topics;
        grown.insert("new/topic/" + std::to_string(n));
        telvane::test::saveDiscoveredTopics(writer, grown);
    }

    Scratch scratch;
    SharedStore store;
    SharedStore writer;  // another connection, like the client's writes
    QtEventLoop loop;
    CountingReloadSignal reloader;
    FakeConnectionStatus status;
    // Never started here: the window only needs one.
    BrokerDiscovery discovery{loop, std::make_unique<test::ScriptedServiceBrowser>(),
                              std::make_shared<AsioTransport>()};
    TopicSet topics;
    std::unique_ptr<SettingsWindow> window;
};

void BM_OpenTopicPicker(benchmark::State& state)
{
    WindowUnderTest w(state.range(0), state.range(1) != 0);
    // The dialog is made at its first opening, which is not timed.
    w.window->state().topicPicker().open();
    TopicPickerDialog* picker = w.window->topicPicker();
    picker->done(QDialog::Accepted);
    QCoreApplication::processEvents();
    for (auto _ : state) {
        state.PauseTiming();
        telvane::test::saveDiscoveredTopics(w.writer, w.topics);  // the next open reads the store again
        state.ResumeTiming();

        w.window->state().topicPicker().open();
        QCoreApplication::processEvents();
        picker->repaint();

        state.PauseTiming();
        picker->done(QDialog::Accepted);
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
    state.counters["topics"] = static_cast<double>(w.topics.size());
}
// Fixed iteration counts: each iteration also rewrites the store untimed.
BENCHMARK(BM_OpenTopicPicker)->Args({1'000, 0})->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenTopicPicker)->Args({100'000, 0})->Args({100'000, 1})->Iterations(10)->Unit(benchmark::kMillisecond);

// Part of the above: the tree build alone, with the old tree torn down.
void BM_BuildTopicTree(benchmark::State& state)
{
    const TopicSet topics = makeTopics(state.range(0), state.range(1) != 0);
    for (auto _ : state) {
        auto tree = std::make_shared<const TopicTreeNode>(buildTopicTree(topics));
        benchmark::DoNotOptimize(tree.get());
    }
}
BENCHMARK(BM_BuildTopicTree)->Args({100'000, 0})->Args({100'000, 1})->Unit(benchmark::kMillisecond);

void BM_RefreshTick(benchmark::State& state)
{
    WindowUnderTest w(state.range(0));
    const bool storeChanges = state.range(1) != 0;
    std::int64_t n = 0;
    for (auto _ : state) {
        if (storeChanges) {
            state.PauseTiming();
            w.changeStore(n++);
            state.ResumeTiming();
        }
        w.window->state().refreshFromStore();
        QCoreApplication::processEvents();
        w.window->repaint();
    }
}
BENCHMARK(BM_RefreshTick)->Args({100'000, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshTick)->Args({100'000, 1})->Iterations(20)->Unit(benchmark::kMillisecond);
// Baseline: the same tick with no discovered topics at all, so that what the
// topics add is the difference.
BENCHMARK(BM_RefreshTick)->Args({0, 1})->Iterations(20)->Unit(benchmark::kMillisecond);

// The store's part of a tick after a change (what the topic set used to
// make slow), without drawing the new rows; N=0 is the baseline.
void BM_RefreshFromStore(benchmark::State& state)
{
    WindowUnderTest w(state.range(0));
    std::int64_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        w.changeStore(n++);
        QCoreApplication::processEvents();
        w.window->repaint();
        // Real ticks are a second apart: the writer's checkpoint thread has
        // long copied its log back by then.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        state.ResumeTiming();
        w.window->state().refreshFromStore();
        state.PauseTiming();
        QCoreApplication::processEvents();
        w.window->repaint();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_RefreshFromStore)->Arg(100'000)->Arg(0)->Iterations(20)->Unit(benchmark::kMillisecond);

// Baseline: what the store needs to hand out the topic set after another
// process wrote it.
void BM_LoadTopicsFromStore(benchmark::State& state)
{
    Scratch scratch;
    SharedStore store(scratch.database());
    SharedStore writer(scratch.database());
    const TopicSet topics = makeTopics(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        telvane::test::saveDiscoveredTopics(writer, topics);
        state.ResumeTiming();
        benchmark::DoNotOptimize(store.loadDiscoveredTopics());
    }
}
BENCHMARK(BM_LoadTopicsFromStore)->Arg(1'000)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadTopicsFromStore)->Arg(100'000)->Iterations(10)->Unit(benchmark::kMillisecond);

// Baseline: sorting the topics as plain strings.
void BM_SortTopics(benchmark::State& state)
{
    const TopicSet topics = makeTopics(state.range(0));
    for (auto _ : state) {
        std::vector<std::string> sorted(topics.begin(), topics.end());
        std::sort(sorted.begin(), sorted.end());
        benchmark::DoNotOptimize(sorted.data());
    }
}
BENCHMARK(BM_SortTopics)->Arg(1'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
