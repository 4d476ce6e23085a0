// A huge payload on a configured topic with the settings window shown
// (offscreen): how long storing it and the refresh tick that first shows it
// take (the client and the window share one store, as in the application),
// how long the ticks after it take, and the peak resident memory of the
// process. The
// baseline, measured in the same run and process, is the same with a payload
// of 100 bytes.
//
// Usage: payload_bench [MEGABYTES]   (default 20)

#include "ResidentMemory.h"
#include "discovery/BrokerDiscovery.h"
#include "model/SharedStore.h"
#include "platform/AsioTransport.h"
#include "support/CountingReloadSignal.h"
#include "support/FakeConnectionStatus.h"
#include "support/ScriptedServiceBrowser.h"
#include "support/TempDir.h"
#include "ui/ConnectionStatus.h"
#include "ui/QtEventLoop.h"
#include "ui/SettingsWindow.h"

#include <QApplication>
#include <QTest>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace {

using namespace telvane;
using Clock = std::chrono::steady_clock;

using test::CountingReloadSignal;
using test::FakeConnectionStatus;

double peakMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// One refresh tick as the timer runs it, and the drawing it causes.
double tickMilliseconds(SettingsWindow& window)
{
    const auto start = Clock::now();
    window.state().refreshFromStore();
    QCoreApplication::processEvents();
    window.repaint();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Figures {
    double store = 0;      // storing it: encoding and writing the messages
    double arrival = 0;    // the tick that first shows the message
    double laterMax = 0;   // the slowest of the ten ticks after it
    double resizeMax = 0;  // the slowest of five window resizes
};

Figures measure(std::size_t payloadBytes)
{
    test::TempDir dir;
    SharedStore store(dir.path() / "defaults.sqlite3");
    SharedStore& writer = store;  // the client's writes go through the window's store
    MQTTConfig config;
    config.topics = {"big", "small"};
    writer.saveConfig(config);
    QtEventLoop loop;
    CountingReloadSignal reload;
    FakeConnectionStatus status;
    BrokerDiscovery discovery{loop, std::make_unique<test::ScriptedServiceBrowser>(),
                              std::make_shared<AsioTransport>()};
    auto window = std::make_unique<SettingsWindow>(store, loop, reload, std::function<void()>(), status, discovery);
    window->resize(900, 800);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get())) {
        std::fprintf(stderr, "window not exposed\n");
        std::exit(1);
    }
    for (int i = 0; i < 9; ++i) {
        writer.appendMessages({{"small/" + std::to_string(i), "21.5", Date::now()}}, 50);
    }
    (void)tickMilliseconds(*window);

    std::string payload(payloadBytes, 'x');
    for (std::size_t i = 80; i < payload.size(); i += 81) {
        payload[i] = ' ';  // words, so that lines wrap as real text does
    }
    Figures figures;
    const auto stored = Clock::now();
    writer.appendMessages({{"big", std::move(payload), Date::now()}}, 50);
    figures.store = std::chrono::duration<double, std::milli>(Clock::now() - stored).count();
    figures.arrival = tickMilliseconds(*window);
    for (int i = 0; i < 10; ++i) {
        figures.laterMax = std::max(figures.laterMax, tickMilliseconds(*window));
    }
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        window->resize(900 + 40 * (i % 2 == 0 ? 1 : -1), 800);
        QCoreApplication::processEvents();
        window->repaint();
        figures.resizeMax =
            std::max(figures.resizeMax, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return figures;
}

}  // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const double megabytes = argc > 1 ? std::strtod(argv[1], nullptr) : 20.0;
    const Figures small = measure(100);
    const double before = peakMiB();
    const Figures big = measure(static_cast<std::size_t>(megabytes * 1024 * 1024));
    std::printf("A %.0f MB payload on a configured topic, window shown (offscreen); baseline: 100 bytes\n", megabytes);
    std::printf("  storing it              %9.1f ms   baseline %6.1f ms\n", big.store, small.store);
    std::printf("  tick that shows it      %9.1f ms   baseline %6.1f ms   target <= 250 ms (with storing)\n",
                big.arrival, small.arrival);
    std::printf("  slowest later tick      %9.1f ms   baseline %6.1f ms\n", big.laterMax, small.laterMax);
    std::printf("  slowest resize          %9.1f ms   baseline %6.1f ms\n", big.resizeMax, small.resizeMax);
    std::printf("  peak resident memory    %9.1f MiB  baseline %6.1f MiB (before the big run)   target < 200 MiB\n",
                peakMiB(), before);
    std::printf("  resident memory after   %9.1f MiB\n", bench::residentMiB());
    return 0;
}
