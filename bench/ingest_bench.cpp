// Ingest throughput of the client: real Asio transport, receive path and
// delivery into a real SharedStore, against mosquitto_sub -t '#' as the
// baseline on the same stream in the same run.
//
// Run 1: our packet streamer writes N pre-built PUBLISH packets as fast as
//        the socket takes them; the subscriber alone is the limit.
// Run 2: a real mosquitto between our publisher and the subscriber; the
//        broker is the limit and the subscriber has to keep up with it.
// Each for (a) 1,000 topics that are only discovered, (b) 10 configured
// topics (each message stored and a reload requested) and (c) the same 10
// topics each a display item, so that every message also adds to the kept
// history; (c) measures (b) again in the same run as its baseline.
// Run 3: one bulk transfer (a 20 MB payload, say) read through the transport
//        in the client's read size, against a blocking read() loop of the
//        same size: reading a busy stream in gathered pieces must not slow it.
//
// Usage: ingest_bench [--count N] [--broker-count N] [--version 4|5] [--runs 1a,1b,1c,2a,2b,2c,3]

#include "model/SharedStore.h"
#include "mqtt/MQTTClient.h"
#include "platform/AsioTransport.h"
#include "support/CountingReloadSignal.h"
#include "support/MosquittoBroker.h"
#include "support/TempDir.h"
#include "support/ThreadEventLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef PACKET_STREAMER_EXECUTABLE
#error "PACKET_STREAMER_EXECUTABLE must name the packet_streamer binary"
#endif

namespace telvane {
namespace {

using Clock = std::chrono::steady_clock;
using test::MosquittoBroker;
using test::MosquittoOptions;

constexpr const char* kEndTopic = "bench/end";
constexpr const char* kMosquittoSub = "/usr/bin/mosquitto_sub";

struct Scenario {
    const char* name;
    long topics;
    const char* prefix;
    bool configured;     // every topic of the stream is a configured topic
    bool items = false;  // and a display item of the payloads' number {"v":i}
};

const Scenario kDiscovered{"(a) 1000 discovered topics", 1000, "bench/t", false};
const Scenario kStored{"(b) 10 configured topics", 10, "bench/c", true};
const Scenario kShown{"(c) 10 configured topics, each a display item", 10, "bench/c", true, true};

struct Measurement {
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;
    long received = 0;  // PUBLISH packets that reached the subscriber, end marker excluded

    [[nodiscard]] double rate() const { return seconds > 0 ? static_cast<double>(received) / seconds : 0; }
    [[nodiscard]] double cpuPer100k() const
    {
        return received > 0 ? cpuSeconds * 100'000.0 / static_cast<double>(received) : 0;
    }
};

double cpuSeconds(const rusage& usage)
{
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

// Counts the PUBLISH packets in the byte stream a connection receives, on
// the transport's thread, by walking the fixed headers only (a few
// instructions per packet). Used where the broker may drop messages.
class PublishCounter {
public:
    void consume(const Bytes& data)
    {
        for (const std::uint8_t byte : data) {
            if (skip_ > 0) {
                --skip_;
                continue;
            }
            if (!inLength_) {
                if ((byte & 0xF0) == 0x30) {
                    count.fetch_add(1, std::memory_order_relaxed);
                }
                inLength_ = true;
                length_ = 0;
                multiplier_ = 1;
                continue;
            }
            length_ += (byte & 0x7Fu) * multiplier_;
            multiplier_ *= 128;
            if ((byte & 0x80) == 0) {
                inLength_ = false;
                skip_ = length_;
            }
        }
    }

    std::atomic<long> count = 0;

private:
    bool inLength_ = false;
    std::size_t length_ = 0;
    std::size_t multiplier_ = 1;
    std::size_t skip_ = 0;
};

class CountingConnection final : public Connection {
public:
    CountingConnection(std::shared_ptr<Connection> inner, std::shared_ptr<PublishCounter> counter)
        : inner_(std::move(inner)),
          counter_(std::move(counter))
    {}
    void setStateHandler(StateHandler handler) override { inner_->setStateHandler(std::move(handler)); }
    void start() override { inner_->start(); }
    void send(Bytes data, SendCompletion completion) override { inner_->send(std::move(data), std::move(completion)); }
    void cancel() override { inner_->cancel(); }
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override
    {
        inner_->receive(minimum, maximum,
                        [counter = counter_, completion = std::move(completion)](
                            Bytes data, bool isComplete, const std::optional<TransportError>& error) {
                            counter->consume(data);
                            completion(std::move(data), isComplete, error);
                        });
    }

private:
    std::shared_ptr<Connection> inner_;
    std::shared_ptr<PublishCounter> counter_;
};

class CountingTransport final : public Transport {
public:
    CountingTransport(std::shared_ptr<AsioTransport> inner, std::shared_ptr<PublishCounter> counter)
        : inner_(std::move(inner)),
          counter_(std::move(counter))
    {}
    [[nodiscard]] SerialQueue& queue() override { return inner_->queue(); }
    [[nodiscard]] std::shared_ptr<Connection> makeConnection(const std::string& host, std::uint16_t port,
                                                             double timeout) override
    {
        return std::make_shared<CountingConnection>(inner_->makeConnection(host, port, timeout), counter_);
    }

private:
    std::shared_ptr<AsioTransport> inner_;
    std::shared_ptr<PublishCounter> counter_;
};

// Telvane in this process: connects, and measures until the end marker was
// delivered (deliveries run in arrival order, so everything before it was).
Measurement measureTelvane(std::uint16_t port, const Scenario& scenario, int version, long expected, bool countPackets,
                           double timeoutSeconds)
{
    test::TempDir dir;
    SharedStore store(dir.path() / "defaults.sqlite3");
    MQTTConfig config;
    config.host = "127.0.0.1";
    config.port = port;
    config.clientID = "telvane-bench";
    config.keepAliveInterval = 60;
    config.protocolVersion = version == 5 ? MQTTProtocolVersion::mqtt50 : MQTTProtocolVersion::mqtt311;
    if (scenario.configured) {
        for (long i = 0; i < scenario.topics; ++i) {
            config.topics.push_back(std::string(scenario.prefix) + "/" + std::to_string(i));
        }
    }
    if (scenario.items) {
        std::vector<MQTTDisplayItem> items;
        for (const auto& topic : config.topics) {
            items.push_back(MQTTDisplayItem::make(topic, topic, "v"));
        }
        store.saveDisplayItems(items);
    }
    config.topics.push_back(kEndTopic);
    store.saveConfig(config);

    ThreadEventLoop loop;
    test::CountingReloadSignal reloader;
    auto counter = std::make_shared<PublishCounter>();
    const auto asio = std::make_shared<AsioTransport>();
    std::shared_ptr<Transport> transport = asio;
    if (countPackets) {
        transport = std::make_shared<CountingTransport>(asio, counter);
    }
    auto client = MQTTClient::create(loop, transport, store, reloader);
    bool ended = false;
    client->setOnMessage([&ended](const MQTTMessage& message) {
        if (message.topic == kEndTopic) {
            ended = true;
        }
    });

    Measurement result;
    const double cpuBefore = processCpuSeconds();
    const auto begin = Clock::now();
    client->connect();
    result.ok = loop.runUntil([&] { return ended; }, Seconds(timeoutSeconds));
    result.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    result.cpuSeconds = processCpuSeconds() - cpuBefore;
    if (countPackets) {
        result.received = counter->count.load() - (result.ok ? 1 : 0);
    } else {
        result.received = result.ok ? expected : 0;
    }
    if (scenario.configured && reloader.count != result.received + (result.ok ? 1 : 0)) {
        std::printf("  note: %d reloads for %ld received messages\n", reloader.count.load(), result.received);
    }
    asio->stop();  // before the client, the loop and the store it reaches
    client.reset();
    return result;
}

// mosquitto_sub -t '#' exiting after `expected` + 1 messages (or after the
// timeout); its own CPU time from wait4. `outputFile` receives its output
// (one line per message) when given, else /dev/null.
Measurement measureMosquittoSub(std::uint16_t port, int version, long expected, double timeoutSeconds,
                                const std::optional<std::filesystem::path>& outputFile)
{
    std::vector<std::string> argv{kMosquittoSub,
                                  "-h",
                                  "127.0.0.1",
                                  "-p",
                                  std::to_string(port),
                                  "-t",
                                  "#",
                                  "-q",
                                  "0",
                                  "-V",
                                  version == 5 ? "mqttv5" : "mqttv311",
                                  "-C",
                                  std::to_string(expected + 1),
                                  "-W",
                                  std::to_string(static_cast<int>(timeoutSeconds))};
    Measurement result;
    const auto begin = Clock::now();
    const pid_t pid = test::spawnProcess(argv, outputFile);
    if (pid < 0) {
        return result;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    result.cpuSeconds = cpuSeconds(usage);
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (outputFile) {
        std::ifstream lines(*outputFile);
        std::string line;
        long count = 0;
        bool sawEnd = false;
        while (std::getline(lines, line)) {
            if (line == "end") {
                sawEnd = true;
            } else {
                ++count;
            }
        }
        result.received = count;
        result.ok = sawEnd;
    } else {
        result.received = result.ok ? expected : 0;
    }
    return result;
}

// Starts the packet streamer on a free port and waits until it listens.
struct Streamer {
    pid_t pid = -1;
    std::uint16_t port = 0;
};

Streamer startStreamer(const test::TempDir& dir, const Scenario& scenario, long count)
{
    Streamer streamer;
    streamer.port = test::freeLoopbackPort();
    const auto ready = dir.path() / ("ready-" + std::to_string(streamer.port));
    streamer.pid =
        test::spawnProcess({PACKET_STREAMER_EXECUTABLE, "serve", "--port", std::to_string(streamer.port),
                            "--ready-file", ready.string(), "--count", std::to_string(count), "--topics",
                            std::to_string(scenario.topics), "--prefix", scenario.prefix, "--end-topic", kEndTopic});
    for (int i = 0; i < 1000 && !std::filesystem::exists(ready); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return streamer;
}

void printRow(const char* who, const Measurement& m, long sent)
{
    std::printf("  %-14s %9.0f msg/s  %7.3f CPU s/100k  %8ld/%-8ld received  %6.2f s%s\n", who, m.rate(),
                m.cpuPer100k(), m.received, sent, m.seconds, m.ok ? "" : "  (INCOMPLETE)");
}

// For a scenario with display items: the same stream without them.
void printItemsRatio(const Measurement& withItems, const Measurement& without)
{
    printRow("without items", without, without.received);
    const double ratio = without.rate() > 0 ? withItems.rate() / without.rate() : 0;
    const double cpu = without.cpuPer100k() > 0 ? withItems.cpuPer100k() / without.cpuPer100k() : 0;
    std::printf("  ratio with/without display items: rate %.2fx (target >= 0.9), CPU per message %.2fx\n", ratio, cpu);
}

void printRatios(const Measurement& telvane, const Measurement& baseline)
{
    const double rateRatio = baseline.rate() > 0 ? telvane.rate() / baseline.rate() : 0;
    const double cpuRatio = baseline.cpuPer100k() > 0 ? telvane.cpuPer100k() / baseline.cpuPer100k() : 0;
    std::printf("  ratio Telvane/mosquitto_sub: rate %.2fx, CPU per message %.2fx\n", rateRatio, cpuRatio);
}

void runStreamer(const Scenario& scenario, long count, int version)
{
    test::TempDir dir;
    std::printf("\nrun 1, packet streamer, %s, N=%ld, MQTT %s\n", scenario.name, count, version == 5 ? "5.0" : "3.1.1");
    const double timeout = 600;

    auto streamer = startStreamer(dir, scenario, count);
    const auto telvane = measureTelvane(streamer.port, scenario, version, count, false, timeout);
    test::reapProcess(streamer.pid, std::chrono::seconds(10));

    streamer = startStreamer(dir, scenario, count);
    const auto baseline = measureMosquittoSub(streamer.port, version, count, timeout, std::nullopt);
    test::reapProcess(streamer.pid, std::chrono::seconds(10));

    Measurement withoutItems;
    if (scenario.items) {
        streamer = startStreamer(dir, scenario, count);
        withoutItems = measureTelvane(streamer.port, kStored, version, count, false, timeout);
        test::reapProcess(streamer.pid, std::chrono::seconds(10));
    }

    printRow("Telvane", telvane, count);
    printRow("mosquitto_sub", baseline, count);
    printRatios(telvane, baseline);
    if (scenario.items) {
        printItemsRatio(telvane, withoutItems);
    }
    if (scenario.configured) {
        std::printf("  stored messages/s: %.0f (target >= 20000)\n", telvane.rate());
    } else {
        std::printf("  target: rate ratio >= 1.0 and CPU ratio <= 1.0\n");
    }
}

void runBroker(const Scenario& scenario, long count, int version)
{
    test::TempDir dir;
    std::printf("\nrun 2, through mosquitto, %s, N=%ld, MQTT %s\n", scenario.name, count,
                version == 5 ? "5.0" : "3.1.1");
    MosquittoOptions options;
    options.verboseLog = false;
    MosquittoBroker broker(options);
    if (!broker.start()) {
        std::printf("  mosquitto did not start\n%s", broker.log().c_str());
        return;
    }
    const std::vector<std::string> publisher{PACKET_STREAMER_EXECUTABLE,
                                             "publish",
                                             "--port",
                                             std::to_string(broker.port()),
                                             "--count",
                                             std::to_string(count),
                                             "--topics",
                                             std::to_string(scenario.topics),
                                             "--prefix",
                                             scenario.prefix,
                                             "--end-topic",
                                             kEndTopic,
                                             "--version",
                                             std::to_string(version)};
    const double timeout = 120;

    // The subscriber first, then the publisher once it is subscribed.
    Measurement telvane;
    {
        std::thread publishing([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            (void)test::runProcess(publisher, std::chrono::seconds(300));
        });
        telvane = measureTelvane(broker.port(), scenario, version, count, true, timeout);
        publishing.join();
    }
    // The publishing delay is no part of the subscriber's time.
    telvane.seconds -= 0.5;

    Measurement baseline;
    {
        std::thread publishing([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            (void)test::runProcess(publisher, std::chrono::seconds(300));
        });
        baseline = measureMosquittoSub(broker.port(), version, count, timeout, dir.path() / "sub.out");
        publishing.join();
    }
    baseline.seconds -= 0.5;

    Measurement withoutItems;
    if (scenario.items) {
        std::thread publishing([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            (void)test::runProcess(publisher, std::chrono::seconds(300));
        });
        withoutItems = measureTelvane(broker.port(), kStored, version, count, true, timeout);
        publishing.join();
        withoutItems.seconds -= 0.5;
    }

    printRow("Telvane", telvane, count);
    printRow("mosquitto_sub", baseline, count);
    printRatios(telvane, baseline);
    if (scenario.items) {
        printItemsRatio(telvane, withoutItems);
    }
    if (telvane.received > count + 1) {  // the end marker may come twice as well
        // MQTT 5.0 lets a broker send a message once per matching
        // subscription, and Telvane subscribes to its topics and to "#".
        Measurement messages = telvane;
        messages.received = count;
        std::printf("  the broker sent Telvane %ld packets for %ld messages; per message:\n", telvane.received, count);
        printRatios(messages, baseline);
    }
    std::printf("  target: received/sent 1.0 and rate ratio >= 0.95%s\n",
                scenario.configured ? " (stored >= 20000 msg/s)" : "");
}

// ---- Run 3: bulk transfer --------------------------------------------------

constexpr std::size_t kBulkBytes = 20'000'000;
constexpr std::size_t kClientReadSize = 4096;  // what the client asks of each read

// A listening socket on 127.0.0.1 whose one accepted connection gets
// `kBulkBytes` written as fast as the socket takes them, then is closed.
class BulkSender {
public:
    BulkSender()
    {
        listening_ = test::listenOnLoopback(port_, 1);
        if (listening_ < 0) {
            return;
        }
        sender_ = std::thread([this, data = std::string(kBulkBytes, 'x')] {
            const int peer = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0) {
                return;
            }
            for (std::size_t sent = 0; sent < data.size();) {
                const auto n = ::write(peer, data.data() + sent, std::min<std::size_t>(65536, data.size() - sent));
                if (n <= 0) {
                    break;
                }
                sent += static_cast<std::size_t>(n);
            }
            ::close(peer);
        });
    }
    BulkSender(const BulkSender&) = delete;
    BulkSender& operator=(const BulkSender&) = delete;
    ~BulkSender()
    {
        ::shutdown(listening_, SHUT_RDWR);
        if (sender_.joinable()) {
            sender_.join();
        }
        ::close(listening_);
    }
    [[nodiscard]] std::uint16_t port() const { return port_; }

private:
    int listening_ = -1;
    std::uint16_t port_ = 0;
    std::thread sender_;
};

struct BulkMeasurement {
    std::size_t bytes = 0;
    long reads = 0;
    double seconds = 0;
};

BulkMeasurement readBulkBlocking()
{
    BulkSender sender;
    BulkMeasurement result;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(sender.port());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        std::vector<char> buffer(kClientReadSize);
        const auto begin = Clock::now();
        for (ssize_t n = 0; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
            result.bytes += static_cast<std::size_t>(n);
            ++result.reads;
        }
        result.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    }
    ::close(fd);
    return result;
}

BulkMeasurement readBulkThroughTransport()
{
    BulkSender sender;
    AsioTransport transport;
    auto connection = transport.makeConnection("127.0.0.1", sender.port(), 10.0);
    std::mutex mutex;
    std::condition_variable changed;
    bool ready = false;
    bool done = false;
    connection->setStateHandler([&](ConnectionState state, const std::optional<TransportError>&) {
        const std::lock_guard lock(mutex);
        ready = ready || state == ConnectionState::ready;
        done = done || state == ConnectionState::failed;
        changed.notify_all();
    });
    connection->start();
    {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return ready || done; });
    }
    BulkMeasurement result;
    Clock::time_point end;
    const auto begin = Clock::now();
    // Completions run on the transport's thread, one at a time.
    std::function<void()> receiveNext = [&] {
        connection->receive(1, kClientReadSize,
                            [&](const Bytes& data, bool isComplete, const std::optional<TransportError>& error) {
                                result.bytes += data.size();
                                ++result.reads;
                                if (isComplete || error) {
                                    const std::lock_guard lock(mutex);
                                    end = Clock::now();
                                    done = true;
                                    changed.notify_all();
                                    return;
                                }
                                receiveNext();
                            });
    };
    if (ready) {
        receiveNext();
    }
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(60), [&] { return done; });
    result.seconds = std::chrono::duration<double>(end - begin).count();
    return result;
}

void runBulk()
{
    std::printf("\nrun 3, one bulk transfer of %zu bytes on loopback, %zu-byte reads\n", kBulkBytes, kClientReadSize);
    constexpr int kRounds = 9;
    std::vector<double> transport;
    std::vector<double> blocking;
    for (int round = 0; round < kRounds; ++round) {
        const auto through = readBulkThroughTransport();
        const auto plain = readBulkBlocking();
        std::printf("  round %d: transport %7.1f ms (%ld reads, %zu bytes)   blocking read() %7.1f ms (%ld reads)\n",
                    round + 1, through.seconds * 1000, through.reads, through.bytes, plain.seconds * 1000, plain.reads);
        transport.push_back(through.bytes == kBulkBytes ? through.seconds : 1e9);
        blocking.push_back(plain.seconds);
    }
    std::sort(transport.begin(), transport.end());
    std::sort(blocking.begin(), blocking.end());
    std::printf("  median: transport %.1f ms, blocking read() %.1f ms: %.2fx\n", transport[kRounds / 2] * 1000,
                blocking[kRounds / 2] * 1000, transport[kRounds / 2] / blocking[kRounds / 2]);
}

}  // namespace
}  // namespace telvane

int main(int argc, char** argv)
{
    long count = 1'000'000;
    long brokerCount = 200'000;
    int version = 4;
    std::string runs = "1a,1b,1c,2a,2b,2c,3";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--count") {
            count = std::stol(argv[i + 1]);
        } else if (key == "--broker-count") {
            brokerCount = std::stol(argv[i + 1]);
        } else if (key == "--runs") {
            runs = argv[i + 1];
        } else if (key == "--version") {
            version = std::stoi(argv[i + 1]) == 5 ? 5 : 4;
        }
    }
    if (!telvane::test::MosquittoBroker::isInstalled()) {
        std::printf("ingest_bench: mosquitto is not installed; skipped\n");
        return 0;
    }
    std::printf("Ingest: Telvane (Asio transport + receive path + SharedStore) vs mosquitto_sub -t '#'\n");
    std::printf("CPU: getrusage of this process (Telvane) and wait4 of mosquitto_sub; the stream source is\n");
    std::printf("a separate process in both cases.\n");
    const auto wanted = [&runs](const char* run) { return runs.find(run) != std::string::npos; };
    if (wanted("1a")) {
        telvane::runStreamer(telvane::kDiscovered, count, version);
    }
    if (wanted("1b")) {
        telvane::runStreamer(telvane::kStored, count, version);
    }
    if (wanted("1c")) {
        telvane::runStreamer(telvane::kShown, count, version);
    }
    if (wanted("2a")) {
        telvane::runBroker(telvane::kDiscovered, brokerCount, version);
    }
    if (wanted("2b")) {
        telvane::runBroker(telvane::kStored, brokerCount, version);
    }
    if (wanted("2c")) {
        telvane::runBroker(telvane::kShown, brokerCount, version);
    }
    if (wanted("3")) {
        telvane::runBulk();
    }
    return 0;
}
