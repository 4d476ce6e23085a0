// Start-up to the window shown, and resident memory with 100,000 discovered
// topics, of telvane on the offscreen platform: its shipped start-up
// (TelvaneApp::run, everything main() does) inside telvane-window-harness,
// which adds only the "shown" line at the first paint. Each figure comes
// with the same figure of a bare Qt window (app_empty_window) measured in
// the same run, and their ratio.

#include "../ResidentMemory.h"
#include "model/SharedStore.h"
#include "support/DiscoveredTopics.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
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
#include <string>
#include <vector>

namespace telvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kManyTopics = 100'000;
// Long enough for the window's first refresh ticks, which load the topics.
constexpr int kSettleMs = 2500;

struct Run {
    double secondsToShown = 0;
    double residentMiB = 0;  // VmRSS after settling; 0 when not sampled
    double peakMiB = 0;      // ru_maxrss at exit
    bool ok = false;
};

std::filesystem::path makeTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "telvane-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

// Starts `executable --quit-after-shown quitAfterMs [extraArgument]`, times
// the line "shown" on its stdout, samples its resident memory
// `sampleAfterMs` later (when positive) and collects its peak at exit.
Run runOnce(const char* executable, int quitAfterMs, int sampleAfterMs, const char* extraArgument = nullptr)
{
    Run run;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Qt's notes about the offscreen platform would drown the table.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string quitAfter = std::to_string(quitAfterMs);
    std::vector<char*> argv{const_cast<char*>(executable), const_cast<char*>("--quit-after-shown"),
                            const_cast<char*>(quitAfter.c_str()), const_cast<char*>(extraArgument), nullptr};

    const auto start = Clock::now();
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, executable, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return run;
    }

    std::string line;
    char c = 0;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') {
        line.push_back(c);
    }
    run.secondsToShown = std::chrono::duration<double>(Clock::now() - start).count();
    if (sampleAfterMs > 0) {
        ::usleep(static_cast<useconds_t>(sampleAfterMs) * 1000U);
        run.residentMiB = bench::residentMiB(pid);
    }
    // Drain until the child closes stdout, so it never blocks on a full pipe.
    while (::read(pipeFds[0], &c, 1) == 1) {
    }
    ::close(pipeFds[0]);

    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    run.ok = line == "shown" && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// A private store, runtime directory and no session bus for the children:
// nothing of the user's is read, and no reload reaches a real widget.
class Environment {
public:
    explicit Environment(int discoveredTopics)
    {
        ::chmod(root_.c_str(), 0700);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");

        SharedStore store(SharedStore::defaultDatabasePath());
        MQTTConfig config;
        config.host = "127.0.0.1";
        config.port = 1;  // nothing listens: the client retries quietly
        config.clientID = "Telvane-bench";
        config.topics = {"site/0/building/0/sensor/0"};
        store.saveConfig(config);
        TopicSet topics;
        topics.reserve(static_cast<std::size_t>(discoveredTopics));
        for (int i = 0; i < discoveredTopics; ++i) {
            topics.insert("site/" + std::to_string(i % 10) + "/building/" + std::to_string(i / 10 % 100) + "/sensor/"
                          + std::to_string(i / 1000));
        }
        telvane::test::saveDiscoveredTopics(store, topics);
    }
    ~Environment() { std::filesystem::remove_all(root_); }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

private:
    std::filesystem::path root_ = makeTempDir();
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Medians of runs taken in turns: on a shared machine a run now and then
// waits for a core, and one such run would move a mean of a few. The ratio
// is against the bare window; the one against the same window showing a
// word tells what is left once the fonts are loaded, which a bare window
// never does.
void BM_StartupToWindowShown(benchmark::State& state)
{
    Environment environment(0);
    std::vector<double> telvane;
    std::vector<double> baseline;
    std::vector<double> textBaseline;
    for (auto _ : state) {
        const Run base = runOnce(EMPTY_WINDOW_EXECUTABLE, 0, 0);
        const Run text = runOnce(EMPTY_WINDOW_EXECUTABLE, 0, 0, "--text");
        const Run app = runOnce(TELVANE_HARNESS_EXECUTABLE, 0, 0);
        if (!base.ok || !text.ok || !app.ok) {
            state.SkipWithError("a program did not show its window or did not exit cleanly");
            return;
        }
        state.SetIterationTime(app.secondsToShown);
        telvane.push_back(app.secondsToShown);
        baseline.push_back(base.secondsToShown);
        textBaseline.push_back(text.secondsToShown);
    }
    state.counters["telvane_ms"] = median(telvane) * 1000;
    state.counters["baseline_ms"] = median(baseline) * 1000;
    state.counters["ratio"] = median(telvane) / median(baseline);
    state.counters["text_baseline_ms"] = median(textBaseline) * 1000;
    state.counters["ratio_to_text"] = median(telvane) / median(textBaseline);
}
BENCHMARK(BM_StartupToWindowShown)->UseManualTime()->Iterations(21)->Unit(benchmark::kMillisecond);

void BM_ResidentMemoryWith100kDiscoveredTopics(benchmark::State& state)
{
    // The same program over an empty store tells what the topics themselves cost.
    double emptyStoreMiB = 0;
    {
        Environment empty(0);
        emptyStoreMiB = runOnce(TELVANE_HARNESS_EXECUTABLE, kSettleMs + 1000, kSettleMs).residentMiB;
    }
    Environment environment(kManyTopics);
    for (auto _ : state) {
        const Run base = runOnce(EMPTY_WINDOW_EXECUTABLE, kSettleMs + 1000, kSettleMs);
        const Run app = runOnce(TELVANE_HARNESS_EXECUTABLE, kSettleMs + 1000, kSettleMs);
        if (!base.ok || !app.ok) {
            state.SkipWithError("a program did not show its window or did not exit cleanly");
            return;
        }
        state.SetIterationTime(app.secondsToShown);
        state.counters["telvane_rss_MiB"] = app.residentMiB;
        state.counters["baseline_rss_MiB"] = base.residentMiB;
        state.counters["rss_ratio"] = app.residentMiB / base.residentMiB;
        state.counters["telvane_empty_store_rss_MiB"] = emptyStoreMiB;
        state.counters["telvane_peak_MiB"] = app.peakMiB;
        state.counters["baseline_peak_MiB"] = base.peakMiB;
    }
}
BENCHMARK(BM_ResidentMemoryWith100kDiscoveredTopics)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace telvane

BENCHMARK_MAIN();
