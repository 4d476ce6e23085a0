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
//
// Targets: choosing shows the rows within 200 ms; an unchanged tick with the
// topic chosen costs under 5 ms.

#include "discovery/BrokerDiscovery.h"
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
#include "ui/displayitems/DisplayItemsEditor.h"

#include <QApplication>
#include <QTest>

#include <benchmark/benchmark.h>

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
