// telvane-widget's three performance figures, each beside its baseline
// measured in the same run:
//
// 1. --once over a store with 50 messages and 50 display items, wall time
//    against `sqlite3 -readonly DB "SELECT value FROM defaults WHERE
//    key='messages'"` on the same store (limit: 2x).
// 2. --follow under 10,000 reload signals a second for 10 s, with a store
//    write every 10 ms: renders a second (limit 4), CPU in % of one core
//    (limit 5%, beside the same program idle for as long), and whether the
//    last line shows the last write.
// 3. --window resident memory against a bare Qt Widgets window (limit 1.3x).
//
// Runs itself under dbus-run-session: the storm goes to a private bus.

#include "../ResidentMemory.h"
#include "model/SharedStore.h"

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace telvane;

constexpr int kOnceRuns = 200;
constexpr auto kStormTime = 10s;
constexpr int kSignalsPerMs = 10;  // 10,000 a second
constexpr int kWindowSettleMs = 1500;

std::filesystem::path makeTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "telvane-widget-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

// Starts argv with stdout to `stdoutFd` (-1: /dev/null) and stdin and
// stderr on /dev/null.
pid_t spawn(const std::vector<std::string>& argv, int stdoutFd = -1)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int waitFor(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::filesystem::path seedStore(const std::filesystem::path& root)
{
    auto path = root / "defaults.sqlite3";
    SharedStore store(path);
    std::vector<MQTTMessage> messages;
    std::vector<MQTTDisplayItem> items;
    for (int i = 0; i < 50; ++i) {
        const std::string topic = "home/room" + std::to_string(i) + "/climate";
        messages.push_back(MQTTMessage{topic,
                                       R"({"temperature":)" + std::to_string(20 + i % 5) + R"(.5,"humidity":)"
                                           + std::to_string(40 + i) + R"(,"sensor":{"battery":97,"rssi":-61}})",
                                       Date::now()});
        items.push_back(MQTTDisplayItem::make(topic, "Raum " + std::to_string(i), "temperature"));
    }
    store.appendMessages(std::move(messages), 50);
    store.saveDisplayItems(items);
    return path;
}

// Mean wall time of `runs` runs of argv, alternating with nothing else.
double meanSeconds(const std::vector<std::string>& argv, int runs)
{
    double total = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const pid_t pid = spawn(argv);
        if (pid < 0 || waitFor(pid) != 0) {
            std::fprintf(stderr, "widget_bench: %s failed\n", argv[0].c_str());
            std::exit(1);
        }
        total += std::chrono::duration<double>(Clock::now() - start).count();
    }
    return total / runs;
}

bool benchOnce(const std::filesystem::path& store)
{
    const std::vector<std::string> widget{TELVANE_WIDGET_EXECUTABLE, "--once", "--store", store.string()};
    const std::vector<std::string> sqlite{"sqlite3", "-readonly", store.string(),
                                          "SELECT value FROM defaults WHERE key='messages'"};
    meanSeconds(widget, 10);  // warm the page cache for both
    meanSeconds(sqlite, 10);
    double widgetTotal = 0;
    double sqliteTotal = 0;
    for (int round = 0; round < 4; ++round) {  // interleaved, so load drifts hit both
        widgetTotal += meanSeconds(widget, kOnceRuns / 4);
        sqliteTotal += meanSeconds(sqlite, kOnceRuns / 4);
    }
    const double ratio = widgetTotal / sqliteTotal;
    std::printf("once: telvane-widget --once %.2f ms, sqlite3 baseline %.2f ms, ratio %.2f (limit 2.00) %s\n",
                widgetTotal / 4 * 1000, sqliteTotal / 4 * 1000, ratio, ratio <= 2.0 ? "ok" : "OVER");
    return ratio <= 2.0;
}

struct FollowRun {
    int lines = 0;
    int mostInOneSecond = 0;  // lines in the busiest one-second window
    double cpu = 0;
    std::string lastLine;
};

// Runs telvane-widget --follow for `duration`; `during` runs meanwhile on
// this thread. Counts the lines and takes the CPU time used.
template <typename During>
FollowRun follow(const std::filesystem::path& store, std::chrono::seconds duration, During during)
{
    int fds[2];
    if (::pipe(fds) != 0) {
        std::exit(1);
    }
    const pid_t pid =
        spawn({TELVANE_WIDGET_EXECUTABLE, "--follow", "--format=json", "--store", store.string()}, fds[1]);
    ::close(fds[1]);
    std::this_thread::sleep_for(500ms);  // started and subscribed
    FollowRun run;
    std::string buffer;
    std::thread reader([&] {
        char chunk[65536];
        ssize_t n = 0;
        while ((n = ::read(fds[0], chunk, sizeof chunk)) > 0) {
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
    });
    const double cpuBefore = cpuSeconds(pid);
    during(duration);
    std::this_thread::sleep_for(1500ms);  // the render after the last signal, on a loaded machine too
    run.cpu = cpuSeconds(pid) - cpuBefore;
    ::kill(pid, SIGTERM);
    waitFor(pid);
    reader.join();
    ::close(fds[0]);
    std::istringstream lines(buffer);
    std::string line;
    // When each line was rendered: its "now", taken by the widget as it
    // renders, so that delays of the pipe do not bunch lines together.
    std::vector<double> renderedAt;
    while (std::getline(lines, line)) {
        ++run.lines;
        run.lastLine = line;
        if (const auto now = line.find("\"now\":"); now != std::string::npos) {
            renderedAt.push_back(std::strtod(line.c_str() + now + 6, nullptr));
        }
    }
    for (std::size_t i = 0; i < renderedAt.size(); ++i) {
        const auto end = std::lower_bound(renderedAt.begin() + static_cast<std::ptrdiff_t>(i), renderedAt.end(),
                                          renderedAt[i] + 1.0);
        run.mostInOneSecond =
            std::max(run.mostInOneSecond, static_cast<int>(end - renderedAt.begin() - static_cast<std::ptrdiff_t>(i)));
    }
    return run;
}

bool benchStorm(const std::filesystem::path& storePath)
{
    const auto idle = follow(storePath, kStormTime, [](auto d) { std::this_thread::sleep_for(d); });

    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) {
        std::fprintf(stderr, "widget_bench: no session bus\n");
        return false;
    }
    SharedStore store(storePath);
    long long signals = 0;
    int writes = 0;
    const auto storm = follow(storePath, kStormTime, [&](auto duration) {
        const auto start = Clock::now();
        auto nextWrite = start;
        for (auto tick = start; Clock::now() - start < duration; tick += 1ms) {
            if (Clock::now() >= nextWrite) {
                store.appendMessages({MQTTMessage{"home/room0/climate",
                                                  "{\"temperature\":" + std::to_string(++writes) + "}", Date::now()}},
                                     50);
                nextWrite += 10ms;
            }
            for (int i = 0; i < kSignalsPerMs; ++i) {
                sd_bus_emit_signal(bus, "/org/telvane/Telvane", "org.telvane.Telvane.Widget", "ReloadAllTimelines",
                                   nullptr);
                ++signals;
            }
            sd_bus_flush(bus);
            std::this_thread::sleep_until(tick + 1ms);
        }
    });
    sd_bus_flush_close_unref(bus);
    const double seconds = std::chrono::duration<double>(kStormTime).count();
    const int mostInOneSecond = storm.mostInOneSecond;
    const double cpuPercent = storm.cpu / seconds * 100;
    const double idlePercent = idle.cpu / seconds * 100;
    // "Raum 0" shows the temperature of the topic written to.
    const std::string shownPrefix = "\"label\":\"Raum 0\",\"value\":\"";
    const auto shownAt = storm.lastLine.find(shownPrefix);
    const std::string shown =
        shownAt == std::string::npos
            ? std::string("?")
            : storm.lastLine.substr(shownAt + shownPrefix.size(), storm.lastLine.find('"', shownAt + shownPrefix.size())
                                                                      - shownAt - shownPrefix.size());
    const bool lastShown = shown == std::to_string(writes);
    std::printf(
        "storm: %lld signals in %.0f s (%.0f/s), %d writes: %d lines in all, at most %d rendered in one second "
        "(limit 4), CPU %.2f%% of a core (limit 5%%; idle baseline %.2f%%), last write shown: %s (%s)\n",
        signals, seconds, static_cast<double>(signals) / seconds, writes, storm.lines, mostInOneSecond, cpuPercent,
        idlePercent, lastShown ? "yes" : "NO", shown.c_str());
    return mostInOneSecond <= 4 && cpuPercent < 5.0 && lastShown;
}

// Starts `argv` with "--quit-after-shown", waits for "shown", samples the
// resident memory after settling.
double windowResidentMiB(std::vector<std::string> argv)
{
    argv.insert(argv.end(), {"--quit-after-shown", std::to_string(kWindowSettleMs + 1000)});
    int fds[2];
    if (::pipe(fds) != 0) {
        std::exit(1);
    }
    const pid_t pid = spawn(argv, fds[1]);
    ::close(fds[1]);
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kWindowSettleMs));
    const double mib = bench::residentMiB(pid);
    while (::read(fds[0], &c, 1) == 1) {
    }
    ::close(fds[0]);
    waitFor(pid);
    return mib;
}

bool benchWindow(const std::filesystem::path& store)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const double baseline = windowResidentMiB({EMPTY_WINDOW_EXECUTABLE});
    const double window = windowResidentMiB({TELVANE_WIDGET_EXECUTABLE, "--window", "--store", store.string()});
    const double ratio = window / baseline;
    std::printf(
        "window: telvane-widget --window %.1f MiB resident, bare Qt window %.1f MiB, ratio %.2f "
        "(limit 1.30) %s\n",
        window, baseline, ratio, ratio <= 1.3 ? "ok" : "OVER");
    return ratio <= 1.3;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (std::getenv("TELVANE_WIDGET_BENCH_BUS") == nullptr) {
        ::setenv("TELVANE_WIDGET_BENCH_BUS", "1", 1);
        std::vector<char*> args{const_cast<char*>("dbus-run-session"), const_cast<char*>("--"), argv[0], nullptr};
        ::execvp(args[0], args.data());
        std::perror("dbus-run-session");
        return 1;
    }
    (void)argc;
    const auto root = makeTempDir();
    ::chmod(root.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    const auto store = seedStore(root);
    bool ok = benchOnce(store);
    ok = benchStorm(store) && ok;
    ok = benchWindow(store) && ok;
    std::filesystem::remove_all(root);
    return ok ? 0 : 1;
}
