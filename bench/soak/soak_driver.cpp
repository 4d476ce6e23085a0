// The soak run: Telvane's client, store and delivery in this process against
// a real mosquitto on loopback for a long time, with the broker killed and
// started again every 30 s, a publisher sending a steady stream, and a
// separate reader process decoding the store's documents at 100 Hz.
//
// It reports resident memory over time, the reconnect delay after each
// restart and what the reader saw, and exits non-zero when memory grew more
// than 5% after the first minute, a reconnect took longer than 6 s, or the
// reader ever met an unreadable document.
//
// Usage: soak_driver [--minutes M]             (default 10)
//        soak_driver read DATABASE SECONDS      (the reader process; prints its tally)

#include "model/SharedStore.h"
#include "mqtt/MQTTClient.h"
#include "platform/AsioTransport.h"
#include "soak/SoakPublisher.h"
#include "soak/StoreReader.h"
#include "support/CountingReloadSignal.h"
#include "support/MosquittoBroker.h"
#include "support/TempDir.h"
#include "support/ThreadEventLoop.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace telvane::soak {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kConfiguredPrefix = "soak/c/";
constexpr long kConfiguredTopics = 10;
constexpr long kOtherTopics = 1000;
constexpr long kMessagesPerSecond = 1000;
constexpr auto kRestartEvery = std::chrono::seconds(30);
constexpr auto kRssEvery = std::chrono::seconds(10);
constexpr double kReaderHertz = 100;
constexpr double kRssSpreadLimit = 0.05;
constexpr double kReconnectLimitSeconds = 6.0;

double residentMegabytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

struct Restart {
    double killedAt = 0;                 // seconds since the start
    std::optional<double> brokerBackAt;  // none: mosquitto did not come back
};

struct ConnectionChange {
    double at = 0;
    bool connected = false;
};

struct RssSample {
    double at = 0;
    double megabytes = 0;
    long stored = 0;
    std::size_t discovered = 0;
};

// Kills and starts the broker every kRestartEvery until stopped.
class Restarter {
public:
    Restarter(test::MosquittoBroker& broker, Clock::time_point begin) : broker_(broker), begin_(begin) {}
    ~Restarter() { stop(); }
    Restarter(const Restarter&) = delete;
    Restarter& operator=(const Restarter&) = delete;

    void start()
    {
        thread_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            while (!wakeUp_.wait_for(lock, kRestartEvery, [this] { return stopping_; })) {
                Restart restart{secondsSince(begin_), std::nullopt};
                if (broker_.restart()) {
                    restart.brokerBackAt = secondsSince(begin_);
                }
                restarts_.push_back(restart);
            }
        });
    }
    void stop()
    {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wakeUp_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // After stop().
    [[nodiscard]] const std::vector<Restart>& restarts() const { return restarts_; }

    static double secondsSince(Clock::time_point begin)
    {
        return std::chrono::duration<double>(Clock::now() - begin).count();
    }

private:
    test::MosquittoBroker& broker_;
    Clock::time_point begin_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    bool stopping_ = false;
    std::vector<Restart> restarts_;
};

MQTTConfig soakConfig(std::uint16_t port)
{
    MQTTConfig config;
    config.host = "127.0.0.1";
    config.port = port;
    config.clientID = "telvane-soak";
    for (long i = 0; i < kConfiguredTopics; ++i) {
        config.topics.push_back(kConfiguredPrefix + std::to_string(i));
    }
    return config;
}

PublisherOptions soakPublishing(const MQTTConfig& config)
{
    PublisherOptions publishing;
    publishing.port = config.port;
    publishing.messagesPerSecond = kMessagesPerSecond;
    publishing.configuredTopics = config.topics;
    for (long i = 0; i < kOtherTopics; ++i) {
        publishing.otherTopics.push_back("soak/t/" + std::to_string(i));
    }
    return publishing;
}

std::optional<ReaderTally> readTally(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::string line;
    ReaderTally tally;
    while (std::getline(in, line)) {
        if (tally.parse(line)) {
            return tally;
        }
    }
    return std::nullopt;
}

bool reportRss(const std::vector<RssSample>& samples)
{
    double low = 0;
    double high = 0;
    bool any = false;
    for (const auto& sample : samples) {
        std::printf("  t=%5.0f s  rss %7.2f MB  stored messages %7ld  discovered topics %5zu\n", sample.at,
                    sample.megabytes, sample.stored, sample.discovered);
        if (sample.at >= 60.0) {
            low = any ? std::min(low, sample.megabytes) : sample.megabytes;
            high = any ? std::max(high, sample.megabytes) : sample.megabytes;
            any = true;
        }
    }
    if (!any) {
        std::printf("RSS: no sample after the first minute\n");
        return true;
    }
    const double spread = (high - low) / low;
    const bool ok = spread <= kRssSpreadLimit;
    std::printf("RSS after the first minute: %.2f to %.2f MB, spread %.1f%% (limit %.0f%%)  %s\n", low, high,
                spread * 100, kRssSpreadLimit * 100, ok ? "PASS" : "FAIL");
    return ok;
}

bool reportReconnects(const std::vector<Restart>& restarts, const std::vector<ConnectionChange>& changes)
{
    bool ok = true;
    double worst = 0;
    std::size_t index = 0;
    for (const auto& restart : restarts) {
        ++index;
        if (!restart.brokerBackAt) {
            std::printf("  restart %2zu at %6.1f s: mosquitto did not start again\n", index, restart.killedAt);
            ok = false;
            continue;
        }
        const auto reconnect = std::find_if(changes.begin(), changes.end(), [&](const ConnectionChange& change) {
            return change.connected && change.at > *restart.brokerBackAt;
        });
        if (reconnect == changes.end()) {
            std::printf("  restart %2zu at %6.1f s: broker back after %.2f s, client not connected again\n", index,
                        restart.killedAt, *restart.brokerBackAt - restart.killedAt);
            ok = false;
            continue;
        }
        const double delay = reconnect->at - *restart.brokerBackAt;
        worst = std::max(worst, delay);
        ok = ok && delay <= kReconnectLimitSeconds;
        std::printf("  restart %2zu at %6.1f s: broker back after %.2f s, client connected %.2f s after that\n", index,
                    restart.killedAt, *restart.brokerBackAt - restart.killedAt, delay);
    }
    std::printf("Reconnect delay: longest %.2f s over %zu restarts (limit %.0f s)  %s\n", worst, restarts.size(),
                kReconnectLimitSeconds, ok ? "PASS" : "FAIL");
    return ok;
}

void reportTraffic(const SoakPublisher& publisher, long stored, long reloads)
{
    std::printf("\nPublisher: %ld messages sent, %ld on configured topics, %ld connections\n", publisher.sent(),
                publisher.sentConfigured(), publisher.connects());
    std::printf(
        "Telvane: %ld messages stored (%.1f%% of those sent on configured topics; QoS 0 loses what "
        "a dead broker held), %ld reload requests\n",
        stored,
        publisher.sentConfigured() > 0
            ? 100.0 * static_cast<double>(stored) / static_cast<double>(publisher.sentConfigured())
            : 0.0,
        reloads);
}

bool reportReader(const std::optional<ReaderTally>& tally, double seconds)
{
    if (!tally) {
        std::printf("Reader: no tally (the reader process failed)  FAIL\n");
        return false;
    }
    const bool ok = tally->unreadable == 0 && tally->inconsistent == 0 && tally->rounds > 0;
    std::printf(
        "Reader: %ld rounds (%.1f per second), %ld documents read: %ld readable, %ld not written "
        "yet, %ld unreadable or torn, %ld inconsistent, %ld refused as busy; slowest round %.2f ms  "
        "%s\n",
        tally->rounds, static_cast<double>(tally->rounds) / seconds,
        tally->readable + tally->missing + tally->unreadable + tally->inconsistent + tally->busy, tally->readable,
        tally->missing, tally->unreadable, tally->inconsistent, tally->busy, tally->slowestReadMs,
        ok ? "PASS" : "FAIL");
    return ok;
}

int runSoak(const char* self, double minutes)
{
    const auto duration = std::chrono::duration<double>(minutes * 60.0);
    std::printf(
        "soak: %.1f min against mosquitto, restarted every %lld s; %ld msg/s over %ld topics and %ld "
        "configured ones (every 10th message); store read at %.0f Hz by another process\n",
        minutes, static_cast<long long>(kRestartEvery.count()), kMessagesPerSecond, kOtherTopics, kConfiguredTopics,
        kReaderHertz);
    std::fflush(stdout);

    test::TempDir dir;
    test::MosquittoOptions brokerOptions;
    brokerOptions.verboseLog = false;
    test::MosquittoBroker broker(brokerOptions);
    if (!broker.start()) {
        std::printf("soak: mosquitto did not start\n%s", broker.log().c_str());
        return 1;
    }
    const auto database = dir.path() / "defaults.sqlite3";
    SharedStore store(database);
    const MQTTConfig config = soakConfig(broker.port());
    store.saveConfig(config);
    store.saveDisplayItems({MQTTDisplayItem::make(config.topics[0], "Wert", "value"),
                            MQTTDisplayItem::make(config.topics[1], "Folge", "seq")});

    const auto tallyFile = dir.path() / "reader.txt";
    const pid_t reader =
        test::spawnProcess({self, "read", database.string(), std::to_string(duration.count())}, tallyFile);

    SoakPublisher publisher(soakPublishing(config));

    ThreadEventLoop loop;
    test::CountingReloadSignal reloader;
    const auto begin = Clock::now();
    std::vector<ConnectionChange> changes;
    std::vector<RssSample> rss;
    long stored = 0;
    {
        const auto transport = std::make_shared<AsioTransport>();
        auto client = MQTTClient::create(loop, transport, store, reloader);
        client->setStateObserver([&] {
            if (changes.empty() || changes.back().connected != client->isConnected()) {
                changes.push_back({Restarter::secondsSince(begin), client->isConnected()});
            }
        });
        client->setOnMessage([&stored](const MQTTMessage& /*message*/) { ++stored; });
        const auto sampler = loop.schedule(kRssEvery, true, [&] {
            rss.push_back(
                {Restarter::secondsSince(begin), residentMegabytes(), stored, store.loadDiscoveredTopics()->size()});
        });
        Restarter restarter(broker, begin);
        client->connect();
        publisher.start();
        restarter.start();
        loop.runFor(duration);
        restarter.stop();
        publisher.stop();
        transport->stop();  // before the client, the loop and the store it reaches

        std::printf("\nResident memory of the Telvane process:\n");
        const bool rssOk = reportRss(rss);
        std::printf("\nReconnects after a broker restart (from mosquitto accepting connections again):\n");
        const bool reconnectOk = reportReconnects(restarter.restarts(), changes);

        test::reapProcess(reader, std::chrono::seconds(30));
        const auto tally = readTally(tallyFile);
        reportTraffic(publisher, stored, static_cast<long>(reloader.count.load()));
        const bool readerOk = reportReader(tally, duration.count());
        const bool ok = rssOk && reconnectOk && readerOk;
        std::printf("\nsoak: %s\n", ok ? "PASS" : "FAIL");
        return ok ? 0 : 1;
    }
}

}  // namespace
}  // namespace telvane::soak

int main(int argc, char** argv)
{
    using namespace telvane::soak;
    if (argc == 4 && std::string(argv[1]) == "read") {
        const StoreReader reader(argv[2], kConfiguredPrefix);
        const auto tally = reader.run(kReaderHertz, std::chrono::duration<double>(std::stod(argv[3])));
        std::printf("%s\n", tally.summary().c_str());
        return 0;
    }
    double minutes = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--minutes") {
            minutes = std::stod(argv[i + 1]);
        }
    }
    // The reader is this program again, started by its absolute path.
    std::vector<char> self(4096);
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (length <= 0) {
        std::printf("soak: cannot find its own executable\n");
        return 1;
    }
    self[static_cast<std::size_t>(length)] = '\0';
    return runSoak(self.data(), minutes);
}
