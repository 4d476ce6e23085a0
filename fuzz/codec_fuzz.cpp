// The broker's byte stream: cutting packets off it and decoding what the
// client reads of them (CONNACK, PUBLISH, SUBACK), for both protocol versions.
//
// Input: one control byte, then the stream. Bit 0 of the control byte picks
// the protocol version (0: 3.1.1, 1: 5.0); bits 1-7 give the size of the
// reads the stream arrives in, minus one (but at most 16 reads), so that
// packets split across reads are covered.
//
// Beyond "no fault", it checks that the framer reports, read by read, exactly
// the packets that cutting the whole stream at once yields; that every cut
// packet lies inside the stream; and that a decoded PUBLISH holds the
// packet's topic and its payload as text or as Base64 that decodes back to it.

#include "FuzzCheck.h"
#include "model/Utf8.h"
#include "mqtt/Codec.h"
#include "mqtt/PacketFramer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {
namespace {

constexpr std::size_t kMaxReads = 16;

std::string_view asText(ByteView bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// RFC 4648 Base64 decoding, padded, standard alphabet; no value for anything else.
std::optional<Bytes> base64Decode(std::string_view text)
{
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        int padding = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            std::uint32_t sextet = 0;
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                ++padding;
            } else {
                const auto at = kAlphabet.find(c);
                if (at == std::string_view::npos || padding > 0) {
                    return std::nullopt;
                }
                sextet = static_cast<std::uint32_t>(at);
            }
            group = (group << 6) | sextet;
        }
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        if (padding < 2) {
            out.push_back(static_cast<std::uint8_t>((group >> 8) & 0xFFu));
        }
        if (padding < 1) {
            out.push_back(static_cast<std::uint8_t>(group & 0xFFu));
        }
    }
    return out;
}

void checkPublish(ByteView body, const PublishMessage& message, MQTTProtocolVersion version)
{
    FUZZ_CHECK(isValidUTF8(message.topic));
    const auto topic = readString(body);
    FUZZ_CHECK(topic.status == ReadStatus::ok && topic.value == message.topic);
    // The payload is the body's tail, as text or as Base64 of its bytes.
    std::size_t payloadLength = message.payload.size();
    const bool isText = isValidUTF8(message.payload) && body.size() >= payloadLength
                        && asText(body.last(payloadLength)) == message.payload;
    if (!isText) {
        const auto decoded = base64Decode(message.payload);
        FUZZ_CHECK(decoded.has_value());
        payloadLength = decoded->size();
        FUZZ_CHECK(payloadLength <= body.size());
        FUZZ_CHECK(std::equal(decoded->begin(), decoded->end(), body.last(payloadLength).begin()));
        FUZZ_CHECK(!isValidUTF8(asText(*decoded)));
    }
    FUZZ_CHECK(topic.length + payloadLength <= body.size());
    if (version == MQTTProtocolVersion::mqtt311) {
        // No properties: the payload is all that follows the topic.
        FUZZ_CHECK(topic.length + payloadLength == body.size());
    }
}

// What the client must be told of one packet, decoded directly.
void expectPacket(std::uint8_t firstByte, ByteView body, MQTTProtocolVersion version,
                  std::vector<InboundPacket>& expected)
{
    switch (packetType(firstByte)) {
    case kConnackType: expected.push_back({InboundPacket::Kind::connack, connackCode(body), {}, {}}); break;
    case kPingrespType: expected.push_back({InboundPacket::Kind::pingresp, 0, {}, {}}); break;
    case kPublishType:
        if (auto message = parsePublish(body, version)) {
            checkPublish(body, *message, version);
            expected.push_back(
                {InboundPacket::Kind::publish, 0, std::move(message->topic), std::move(message->payload)});
        }
        break;
    default: break;
    }
}

bool samePackets(const std::vector<InboundPacket>& a, const std::vector<InboundPacket>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const InboundPacket& x, const InboundPacket& y) {
        return x.kind == y.kind && x.code == y.code && x.topic == y.topic && x.payload == y.payload;
    });
}

// The wire types at the front of the stream, read and written back.
void checkWireTypes(ByteView stream)
{
    for (std::size_t maxBytes = 1; maxBytes <= 4; ++maxBytes) {
        const auto read = readVariableByteInteger(stream, maxBytes);
        if (read.status != ReadStatus::ok) {
            continue;
        }
        FUZZ_CHECK(read.length >= 1 && read.length <= maxBytes && read.length <= stream.size());
        FUZZ_CHECK(read.value <= kMaxVariableByteInteger);
        Bytes written;
        FUZZ_CHECK(writeVariableByteInteger(written, read.value));
        const auto again = readVariableByteInteger(written);
        FUZZ_CHECK(again.status == ReadStatus::ok && again.value == read.value && again.length == written.size());
    }
    const auto text = readString(stream);
    if (text.status == ReadStatus::ok) {
        FUZZ_CHECK(text.length == 2 + text.value.size() && text.length <= stream.size());
        Bytes written;
        FUZZ_CHECK(writeString(written, text.value));
        FUZZ_CHECK(std::equal(written.begin(), written.end(), stream.begin()));
    }
}

}  // namespace
}  // namespace telvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace telvane;
    if (size == 0) {
        return 0;
    }
    const auto version = (data[0] & 1U) != 0 ? MQTTProtocolVersion::mqtt50 : MQTTProtocolVersion::mqtt311;
    const ByteView stream(data + 1, size - 1);
    // At most kMaxReads reads: enough to split packets anywhere, few enough
    // that long inputs do not slow the run down.
    const std::size_t readSize =
        std::max(static_cast<std::size_t>(data[0] >> 1U) + 1, (stream.size() + kMaxReads - 1) / kMaxReads);

    checkWireTypes(stream);

    // The whole stream at once.
    std::vector<InboundPacket> expected;
    bool expectMalformed = false;
    std::size_t offset = 0;
    while (true) {
        const ByteView rest = stream.subspan(offset);
        const auto packet = extractPacket(rest);
        if (packet.status == ExtractStatus::incomplete) {
            break;
        }
        if (packet.status == ExtractStatus::malformed) {
            expectMalformed = true;
            break;
        }
        FUZZ_CHECK(packet.length >= 2 && packet.length <= rest.size());
        FUZZ_CHECK(packet.firstByte == rest[0]);
        FUZZ_CHECK(packet.body.data() + packet.body.size() == rest.data() + packet.length);
        expectPacket(packet.firstByte, packet.body, version, expected);
        offset += packet.length;
    }

    // The same stream in reads of readSize bytes through the framer.
    PacketFramer framer(version);
    std::vector<InboundPacket> received;
    bool malformed = false;
    for (std::size_t at = 0; at < stream.size(); at += readSize) {
        const ByteView piece = stream.subspan(at, std::min(readSize, stream.size() - at));
        auto read = framer.append(Bytes(piece.begin(), piece.end()));
        // Once the stream could not be cut, nothing more is reported.
        FUZZ_CHECK(!malformed || (read.packets.empty() && !read.isMalformed));
        malformed = malformed || read.isMalformed;
        for (auto& packet : read.packets) {
            received.push_back(std::move(packet));
        }
    }
    FUZZ_CHECK(malformed == expectMalformed);
    FUZZ_CHECK(samePackets(received, expected));
    return 0;
}
