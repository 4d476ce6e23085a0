#include "soak/SoakPublisher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <string_view>
#include <utility>

namespace telvane::soak {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Messages are sent in bursts every 10 ms: 10 per burst at 1,000 msg/s.
constexpr auto kTick = std::chrono::milliseconds(10);
constexpr auto kReconnectPause = std::chrono::milliseconds(20);

void appendVarint(Bytes& out, std::size_t value)
{
    do {
        auto digit = static_cast<std::uint8_t>(value % 128);
        value /= 128;
        if (value > 0) {
            digit |= 0x80U;
        }
        out.push_back(digit);
    } while (value > 0);
}

void appendString(Bytes& out, std::string_view text)
{
    out.push_back(static_cast<std::uint8_t>(text.size() >> 8U));
    out.push_back(static_cast<std::uint8_t>(text.size() & 0xFFU));
    out.insert(out.end(), text.begin(), text.end());
}

Bytes publishPacket(std::string_view topic, std::string_view payload)
{
    Bytes packet{0x30};
    appendVarint(packet, 2 + topic.size() + payload.size());
    appendString(packet, topic);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

Bytes connectPacket()
{
    Bytes body;
    appendString(body, "MQTT");
    body.push_back(4);     // 3.1.1
    body.push_back(0x02);  // clean session
    body.push_back(0);     // keep alive 60 s; the steady traffic keeps the connection alive
    body.push_back(60);
    appendString(body, "telvane-soak-publisher");
    Bytes packet{0x10};
    appendVarint(packet, body.size());
    packet.insert(packet.end(), body.begin(), body.end());
    return packet;
}

bool sendAll(int fd, const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

SoakPublisher::SoakPublisher(PublisherOptions options) : options_(std::move(options)) {}

SoakPublisher::~SoakPublisher()
{
    stop();
}

void SoakPublisher::start()
{
    thread_ = std::thread([this] { run(); });
}

void SoakPublisher::stop()
{
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

int SoakPublisher::connectToBroker() const
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0
        || !sendAll(fd, connectPacket())) {
        ::close(fd);
        return -1;
    }
    // CONNACK: 20 02 00 00. QoS 0 needs nothing else from the broker.
    std::uint8_t connack[4] = {};
    std::size_t got = 0;
    while (got < sizeof(connack)) {
        const ssize_t n = ::recv(fd, connack + got, sizeof(connack) - got, 0);
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        got += static_cast<std::size_t>(n);
    }
    if (connack[0] != 0x20 || connack[3] != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Bytes SoakPublisher::nextMessage(bool& configured)
{
    const long sequence = sequence_++;
    configured = !options_.configuredTopics.empty() && sequence % options_.configuredEvery == 0;
    const std::string& topic = configured
                                   ? options_.configuredTopics[nextConfigured_++ % options_.configuredTopics.size()]
                                   : options_.otherTopics[nextOther_++ % options_.otherTopics.size()];
    const std::string payload = R"({"seq":)" + std::to_string(sequence) + R"(,"value":)"
                                + std::to_string(static_cast<double>(sequence % 1000) / 4.0) + "}";
    return publishPacket(topic, payload);
}

void SoakPublisher::run()
{
    const long perTick = options_.messagesPerSecond * kTick.count() / 1000;
    int fd = -1;
    auto nextTick = Clock::now();
    while (!stopping_) {
        if (fd < 0) {
            fd = connectToBroker();
            if (fd < 0) {
                std::this_thread::sleep_for(kReconnectPause);
                nextTick = Clock::now();  // no catching up on what the broker missed
                continue;
            }
            connects_.fetch_add(1);
        }
        Bytes burst;
        long configured = 0;
        for (long i = 0; i < perTick; ++i) {
            bool isConfigured = false;
            const Bytes packet = nextMessage(isConfigured);
            configured += isConfigured ? 1 : 0;
            burst.insert(burst.end(), packet.begin(), packet.end());
        }
        if (sendAll(fd, burst)) {
            sent_.fetch_add(perTick);
            sentConfigured_.fetch_add(configured);
        } else {
            ::close(fd);
            fd = -1;
            continue;
        }
        nextTick += kTick;
        std::this_thread::sleep_until(nextTick);
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

}  // namespace telvane::soak
