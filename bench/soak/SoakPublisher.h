#pragma once

// The soak run's traffic: a plain MQTT 3.1.1 publisher on its own thread that
// sends QoS 0 PUBLISH packets to a broker on 127.0.0.1 at a steady rate, and
// connects again at once whenever the broker goes away.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace telvane::soak {

struct PublisherOptions {
    std::uint16_t port = 0;
    long messagesPerSecond = 1000;
    // Every `configuredEvery`-th message goes to one of `configuredTopics`
    // (round robin), the rest to the other topics (round robin).
    std::vector<std::string> configuredTopics;
    std::vector<std::string> otherTopics;
    long configuredEvery = 10;
};

class SoakPublisher {
public:
    explicit SoakPublisher(PublisherOptions options);
    ~SoakPublisher();
    SoakPublisher(const SoakPublisher&) = delete;
    SoakPublisher& operator=(const SoakPublisher&) = delete;

    void start();
    void stop();

    // Messages written to the socket, and those of them on configured topics.
    [[nodiscard]] long sent() const { return sent_.load(); }
    [[nodiscard]] long sentConfigured() const { return sentConfigured_.load(); }
    [[nodiscard]] long connects() const { return connects_.load(); }

private:
    void run();
    [[nodiscard]] int connectToBroker() const;
    // The next PUBLISH packet; `configured` tells whether its topic is a configured one.
    [[nodiscard]] std::vector<std::uint8_t> nextMessage(bool& configured);

    PublisherOptions options_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<long> sent_{0};
    std::atomic<long> sentConfigured_{0};
    std::atomic<long> connects_{0};
    long sequence_ = 0;  // publisher thread only
    std::size_t nextConfigured_ = 0;
    std::size_t nextOther_ = 0;
};

}  // namespace telvane::soak
