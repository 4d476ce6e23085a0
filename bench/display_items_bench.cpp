// The box "Anzeige-Elemente" with a topic whose payload has 10,000 paths, in
// the real window on the offscreen platform over a real SQLite store.
//
//   BM_ChooseLargeTopic/S        choosing the topic until its rows are painted
//                                (the payload was parsed by the tick that
//                                brought it); S=0: 1,000 objects of 10 values,
//                                S=1: one flat object of 10,000 members
//   BM_ParseLargePayload/S       baseline: parsing the payload and listing its
//                                paths, the least any view of them costs
//   BM_RefreshTick/S/C           one refresh tick, store unchanged; C=1: the
//                                topic chosen, C=0 (baseline): none chosen
//   BM_RefreshTickNewPayload/S/C a tick that brings a new payload of the
//                                topic (C=1 chosen: parse, paths, values;
//                                C=0: parse only, and the recent messages)
//   BM_RefreshTickSparklines/H/N one refresh tick with 50 display items, each
//                                on a topic of its own; H=1: each with a day of
//                                kept points (288), so each row in sight draws
//                                a sparkline, H=0 (baseline): none kept; N=1:
//                                every topic brought a message and a point
//                                since the last tick, N=0: nothing did
//
// Targets: choosing shows the rows within 200 ms; an unchanged tick with the
// topic chosen costs under 5 ms; the sparklines add under 5 ms to a tick.

#include "discovery/BrokerDiscovery.h"
#include "model/HistoryTables.h"
#include "model/JsonPath.h"
#include "model/SharedStore.h"
#include "platform/AsioTransport.h"
#include "support/CountingReloadSignal.h"
#include "support/FakeConnectionStatus.h"
#include "support/ScriptedServiceBrowser.h"
#include "support/TempDir.h"
#include "ui/ConnectionStatus.h"
#include "ui/QtEventLoop.h"
#include "ui/SettingsWindow.h"
#include "ui/displayitems/DisplayItemRows.h"
#include "ui/displayitems/DisplayItemsEditor.h"

#include <QApplication>
#include <QTest>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using namespace telvane;

const std::string kTopic = "home/big";

using test::CountingReloadSignal;
using test::FakeConnectionStatus;

// 10,000 leaf paths; `variant` changes the values, not the paths.
std::string largePayload(bool flat, std::int64_t variant = 0)
{
    std::string payload;
    if (flat) {
        payload = "{";
        for (int i = 0; i < 10'000; ++i) {
            payload += i == 0 ? "\"reading" : ",\"reading";
            payload += std::to_string(100'000 + i);
            payload += "\":";
            payload += std::to_string(i + variant);
            payload += ".5";
        }
        return payload + "}";
    }
    payload = R"({"devices":[)";
    for (int i = 0; i < 1'000; ++i) {
        const std::string n = std::to_string(i + variant);
        payload += i == 0 ? R"({"id":"device-)" : R"(,{"id":"device-)";
        payload += std::to_string(i);
        payload += R"(","temperature":2)";
        payload += n;
        payload += R"(.5,"humidity":4)";
        payload += n;
        payload += R"(,"battery":87,"rssi":-61,"online":true,"firmware":"1.2.3","uptime":)";
        payload += n;
        payload += R"(,"room":"kitchen","pressure":1013.25})";
    }
    return payload + "]}";
}

struct WindowUnderTest {
    explicit WindowUnderTest(bool flat)
        : store(scratch.path() / "defaults.sqlite3"),
          writer(scratch.path() / "defaults.sqlite3")
    {
        MQTTConfig config;
        config.host = "127.0.0.1";
        config.topics = {kTopic, "home/small"};
        writer.saveConfig(config);
        writer.appendMessages({{"home/small", R"({"t": 21.5})", Date::fromUnix(1'700'000'000)},
                               {kTopic, largePayload(flat), Date::fromUnix(1'700'000'001)}},
                              50);
        writer.saveDisplayItems({MQTTDisplayItem::make(kTopic, "Temperatur", "devices.0.temperature"),
                                 MQTTDisplayItem::make("home/small", "Klein", "t")});
        window = std::make_unique<SettingsWindow>(store, loop, reloader, std::function<void()>(), status, discovery);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get())) {
            throw std::runtime_error("window not exposed");
        }
    }

    [[nodiscard]] DisplayItemsEditor& editor() const { return window->state().displayItemsEditor(); }
    // As the timer runs it: whatever the tick changed is painted before
    // processEvents() returns; what it left alone is not painted at all.
    void tick() const
    {
        window->state().refreshFromStore();
        QCoreApplication::processEvents();
    }

    test::TempDir scratch;
    SharedStore store;
    SharedStore writer;  // another connection, like the client's writes
    QtEventLoop loop;
    CountingReloadSignal reloader;
    FakeConnectionStatus status;
    // Never started here: the window only needs one.
    BrokerDiscovery discovery{loop, std::make_unique<test::ScriptedServiceBrowser>(),
                              std::make_shared<AsioTransport>()};
    std::unique_ptr<SettingsWindow> window;
};

// 50 display items, each on a topic of its own, with or without a day of
// points at the 24 hour read's resolution.
struct WindowWithItems {
    static constexpr int kItems = 50;

    explicit WindowWithItems(bool history)
        : store(scratch.path() / "defaults.sqlite3"),
          writer(scratch.path() / "defaults.sqlite3"),
          history_(history)
    {
        MQTTConfig config;
        config.host = "127.0.0.1";
        std::vector<MQTTDisplayItem> items;
        for (int i = 0; i < kItems; ++i) {
            config.topics.push_back(topic(i));
            items.push_back(MQTTDisplayItem::make(topic(i), "Sensor " + std::to_string(i), "t"));
        }
        writer.saveConfig(config);
        writer.saveDisplayItems(items);
        const double now = Date::now().unixSeconds();
        for (double ago = 24 * 3600; ago >= 0; ago -= kCoarseTier.intervalSeconds) {
            write(now - ago);
        }
        window = std::make_unique<SettingsWindow>(store, loop, reloader, std::function<void()>(), status, discovery);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get())) {
            throw std::runtime_error("window not exposed");
        }
    }

    static std::string topic(int i) { return "home/sensor" + std::to_string(i); }

    // A message on every topic at `unixTime`, and with history its points.
    void write(double unixTime)
    {
        std::vector<MQTTMessage> messages;
        std::vector<HistoryRow> rows;
        for (int i = 0; i < kItems; ++i) {
            const double value = 20 + std::sin(unixTime / 3600 + i);
            messages.push_back({topic(i), R"({"t":)" + std::to_string(value) + "}", Date::fromUnix(unixTime)});
            if (history_) {
                rows.push_back({{{topic(i), "t"}, kCoarseTier.id, historyBucket(kCoarseTier, unixTime)},
                                {unixTime, value, value, value}});
            }
        }
        writer.appendMessages(std::move(messages), std::size_t{2} * kItems, std::move(rows));
    }

    void tick() const
    {
        window->state().refreshFromStore();
        QCoreApplication::processEvents();
    }

    test::TempDir scratch;
    SharedStore store;
    SharedStore writer;
    QtEventLoop loop;
    CountingReloadSignal reloader;
    FakeConnectionStatus status;
    BrokerDiscovery discovery{loop, std::make_unique<test::ScriptedServiceBrowser>(),
                              std::make_shared<AsioTransport>()};
    std::unique_ptr<SettingsWindow> window;

private:
    bool history_;
};

void BM_RefreshTickSparklines(benchmark::State& state)
{
    WindowWithItems w(state.range(0) != 0);
    const bool newMessages = state.range(1) != 0;
    w.tick();
    for (auto _ : state) {
        if (newMessages) {
            state.PauseTiming();
            w.write(Date::now().unixSeconds());
            state.ResumeTiming();
        }
        w.tick();
    }
    // The rows in sight, each with its sparkline; the others have no widget.
    state.counters["rows"] = static_cast<double>(w.window->findChildren<ItemRow*>().size());
}
BENCHMARK(BM_RefreshTickSparklines)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Iterations(200)
    ->Unit(benchmark::kMillisecond);

void BM_ChooseLargeTopic(benchmark::State& state)
{
    const bool flat = state.range(0) != 0;
    WindowUnderTest w(flat);
    std::int64_t variant = 0;
    for (auto _ : state) {
        state.PauseTiming();
        w.editor().setNewItemTopic("");
        // A new payload, parsed by its tick: the choice lists its paths afresh.
        w.writer.appendMessages({{kTopic, largePayload(flat, ++variant), Date::fromUnix(1'800'000'000.0)}}, 50);
        w.tick();
        state.ResumeTiming();

        w.editor().setNewItemTopic(kTopic);
        QCoreApplication::processEvents();
        w.window->repaint();
    }
    state.counters["paths"] = static_cast<double>(w.editor().availablePaths()->size());
}
BENCHMARK(BM_ChooseLargeTopic)->Arg(0)->Arg(1)->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_ParseLargePayload(benchmark::State& state)
{
    const std::string payload = largePayload(state.range(0) != 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(payloadJSONPaths(payload));
    }
}
BENCHMARK(BM_ParseLargePayload)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_RefreshTick(benchmark::State& state)
{
    WindowUnderTest w(state.range(0) != 0);
    w.editor().setNewItemTopic(state.range(1) != 0 ? kTopic : "");
    w.tick();
    for (auto _ : state) {
        w.tick();
    }
}
BENCHMARK(BM_RefreshTick)->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})->Unit(benchmark::kMillisecond);

void BM_RefreshTickNewPayload(benchmark::State& state)
{
    const bool flat = state.range(0) != 0;
    WindowUnderTest w(flat);
    w.editor().setNewItemTopic(state.range(1) != 0 ? kTopic : "");
    std::int64_t variant = 0;
    for (auto _ : state) {
        state.PauseTiming();
        w.writer.appendMessages({{kTopic, largePayload(flat, ++variant), Date::fromUnix(1'800'000'000.0)}}, 50);
        state.ResumeTiming();
        w.tick();
    }
}
BENCHMARK(BM_RefreshTickNewPayload)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

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
