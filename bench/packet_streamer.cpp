// Feeds an MQTT subscriber with pre-built QoS 0 PUBLISH packets as fast as
// the socket takes them, so that ingest benchmarks measure the subscriber and
// not a broker.
//
//   packet_streamer serve   --port P --ready-file F [stream options]
//       Listens on 127.0.0.1:P, creates F once listening, accepts one
//       subscriber, answers CONNACK and every SUBACK, and after the SUBSCRIBE
//       for "#" writes the packets. Then answers PINGREQs until the
//       subscriber disconnects (at most 300 s).
//   packet_streamer publish --port P [stream options]
//       Connects to a broker on 127.0.0.1:P and publishes the same packets,
//       then DISCONNECT. Prints "published N in S s".
//
// Stream options: --count N (default 1000000) messages over --topics K
// (default 1000) topics named PREFIX/0 .. PREFIX/K-1 (--prefix, default
// "bench/t"), round robin, each payload {"v":i}; then one message "end" on
// --end-topic (default "bench/end"). --version 4|5 for publish (serve takes
// the subscriber's version from its CONNECT).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Options {
    std::string mode;
    std::uint16_t port = 0;
    std::string readyFile;
    long count = 1'000'000;
    long topics = 1000;
    std::string prefix = "bench/t";
    std::string endTopic = "bench/end";
    int version = 4;
};

void appendVarint(Bytes& out, std::size_t value)
{
    do {
        auto digit = static_cast<std::uint8_t>(value % 128);
        value /= 128;
        if (value > 0) {
            digit |= 0x80;
        }
        out.push_back(digit);
    } while (value > 0);
}

void appendString(Bytes& out, std::string_view text)
{
    out.push_back(static_cast<std::uint8_t>(text.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(text.size() & 0xFF));
    out.insert(out.end(), text.begin(), text.end());
}

void appendPublish(Bytes& out, std::string_view topic, std::string_view payload, int version)
{
    const std::size_t length = 2 + topic.size() + (version == 5 ? 1 : 0) + payload.size();
    out.push_back(0x30);
    appendVarint(out, length);
    appendString(out, topic);
    if (version == 5) {
        out.push_back(0x00);  // no properties
    }
    out.insert(out.end(), payload.begin(), payload.end());
}

Bytes buildStream(const Options& options, int version)
{
    std::vector<std::string> topics;
    for (long i = 0; i < options.topics; ++i) {
        topics.push_back(options.prefix + "/" + std::to_string(i));
    }
    Bytes stream;
    stream.reserve(static_cast<std::size_t>(options.count) * (topics.front().size() + 16));
    for (long i = 0; i < options.count; ++i) {
        const std::string payload = "{\"v\":" + std::to_string(i) + "}";
        appendPublish(stream, topics[static_cast<std::size_t>(i % options.topics)], payload, version);
    }
    appendPublish(stream, options.endTopic, "end", version);
    return stream;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const auto written = ::send(fd, data, std::min<std::size_t>(size, 1 << 20), MSG_NOSIGNAL);
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool readExactly(int fd, std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const auto got = ::recv(fd, data, size, 0);
        if (got <= 0) {
            return false;
        }
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

struct Packet {
    std::uint8_t firstByte = 0;
    Bytes body;
};

std::optional<Packet> readPacket(int fd)
{
    Packet packet;
    if (!readExactly(fd, &packet.firstByte, 1)) {
        return std::nullopt;
    }
    std::size_t length = 0;
    std::size_t multiplier = 1;
    for (int i = 0; i < 4; ++i) {
        std::uint8_t digit = 0;
        if (!readExactly(fd, &digit, 1)) {
            return std::nullopt;
        }
        length += (digit & 0x7Fu) * multiplier;
        multiplier *= 128;
        if ((digit & 0x80) == 0) {
            break;
        }
    }
    packet.body.resize(length);
    if (length > 0 && !readExactly(fd, packet.body.data(), length)) {
        return std::nullopt;
    }
    return packet;
}

// The protocol level of a CONNECT body: after the protocol name "MQTT".
int connectVersion(const Bytes& body)
{
    return body.size() > 6 ? body[6] : 4;
}

// Whether a SUBSCRIBE body asks for "#"; its packet identifier goes to `id`.
bool subscribesToAll(const Bytes& body, int version, std::uint16_t& id)
{
    if (body.size() < 2) {
        return false;
    }
    id = static_cast<std::uint16_t>((body[0] << 8) | body[1]);
    std::size_t at = 2;
    if (version == 5) {
        std::size_t properties = 0;
        std::size_t multiplier = 1;
        while (at < body.size()) {
            const std::uint8_t digit = body[at++];
            properties += (digit & 0x7Fu) * multiplier;
            multiplier *= 128;
            if ((digit & 0x80) == 0) {
                break;
            }
        }
        at += properties;
    }
    while (at + 2 <= body.size()) {
        const std::size_t length = static_cast<std::size_t>((body[at] << 8) | body[at + 1]);
        at += 2;
        if (at + length > body.size()) {
            return false;
        }
        if (std::string_view(reinterpret_cast<const char*>(body.data() + at), length) == "#") {
            return true;
        }
        at += length + 1;  // filter and options byte
    }
    return false;
}

int listenOn(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Grants every SUBSCRIBE until the one to "#"; false when the subscriber
// left before it.
bool answerSubscriptions(int fd, int version)
{
    for (;;) {
        const auto packet = readPacket(fd);
        if (!packet) {
            return false;
        }
        if ((packet->firstByte & 0xF0) != 0x80) {
            continue;
        }
        std::uint16_t id = 0;
        const bool all = subscribesToAll(packet->body, version, id);
        Bytes suback{0x90, 0x00, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id & 0xFF)};
        if (version == 5) {
            suback.push_back(0x00);
        }
        suback.push_back(0x00);  // granted QoS 0
        suback[1] = static_cast<std::uint8_t>(suback.size() - 2);
        writeAll(fd, suback.data(), suback.size());
        if (all) {
            return true;
        }
    }
}

int serve(const Options& options)
{
    const int listening = listenOn(options.port);
    if (listening < 0) {
        std::perror("packet_streamer: listen");
        return 1;
    }
    std::ofstream(options.readyFile).put('\n');
    pollfd waiting{listening, POLLIN, 0};
    if (::poll(&waiting, 1, 60'000) != 1) {
        std::fprintf(stderr, "packet_streamer: nobody connected\n");
        return 1;
    }
    const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listening);
    if (fd < 0) {
        return 1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

    const auto connect = readPacket(fd);
    if (!connect || (connect->firstByte & 0xF0) != 0x10) {
        std::fprintf(stderr, "packet_streamer: no CONNECT\n");
        return 1;
    }
    const int version = connectVersion(connect->body);
    const Bytes stream = buildStream(options, version);  // built while the subscriber waits for CONNACK
    const Bytes connack = version == 5 ? Bytes{0x20, 0x03, 0x00, 0x00, 0x00} : Bytes{0x20, 0x02, 0x00, 0x00};
    writeAll(fd, connack.data(), connack.size());

    if (!answerSubscriptions(fd, version) || !writeAll(fd, stream.data(), stream.size())) {
        return 1;
    }
    // Keep the session alive until the subscriber leaves.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto packet = readPacket(fd);
        if (!packet || (packet->firstByte & 0xF0) == 0xE0) {
            break;
        }
        if ((packet->firstByte & 0xF0) == 0xC0) {
            const Bytes pingresp{0xD0, 0x00};
            writeAll(fd, pingresp.data(), pingresp.size());
        }
    }
    ::close(fd);
    return 0;
}

int publish(const Options& options)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::perror("packet_streamer: connect");
        return 1;
    }
    const Bytes stream = buildStream(options, options.version);
    Bytes body;
    appendString(body, "MQTT");
    body.push_back(static_cast<std::uint8_t>(options.version));
    body.push_back(0x02);  // clean session
    body.push_back(0x00);
    body.push_back(0x3C);  // keep alive 60 s
    if (options.version == 5) {
        body.push_back(0x00);
    }
    appendString(body, "bench-publisher");
    Bytes connect{0x10};
    appendVarint(connect, body.size());
    connect.insert(connect.end(), body.begin(), body.end());
    writeAll(fd, connect.data(), connect.size());
    const auto connack = readPacket(fd);
    if (!connack || (connack->firstByte & 0xF0) != 0x20 || connack->body.size() < 2 || connack->body[1] != 0) {
        std::fprintf(stderr, "packet_streamer: CONNACK missing or refused\n");
        return 1;
    }
    const auto begin = std::chrono::steady_clock::now();
    if (!writeAll(fd, stream.data(), stream.size())) {
        return 1;
    }
    const Bytes disconnect{0xE0, 0x00};
    writeAll(fd, disconnect.data(), disconnect.size());
    ::shutdown(fd, SHUT_WR);
    std::uint8_t drain[256];
    while (::recv(fd, drain, sizeof(drain), 0) > 0) {
    }
    ::close(fd);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("published %ld in %.3f s\n", options.count + 1, seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (argc < 2) {
        std::fprintf(stderr, "usage: packet_streamer serve|publish --port P [options]\n");
        return 2;
    }
    options.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--port") {
            options.port = static_cast<std::uint16_t>(std::stoul(value));
        } else if (key == "--ready-file") {
            options.readyFile = value;
        } else if (key == "--count") {
            options.count = std::stol(value);
        } else if (key == "--topics") {
            options.topics = std::max(1L, std::stol(value));
        } else if (key == "--prefix") {
            options.prefix = value;
        } else if (key == "--end-topic") {
            options.endTopic = value;
        } else if (key == "--version") {
            options.version = std::stoi(value) == 5 ? 5 : 4;
        } else {
            std::fprintf(stderr, "packet_streamer: unknown option %s\n", key.c_str());
            return 2;
        }
    }
    if (options.port == 0) {
        std::fprintf(stderr, "packet_streamer: --port is required\n");
        return 2;
    }
    if (options.mode == "serve" && !options.readyFile.empty()) {
        return serve(options);
    }
    if (options.mode == "publish") {
        return publish(options);
    }
    std::fprintf(stderr, "packet_streamer: serve needs --ready-file\n");
    return 2;
}
