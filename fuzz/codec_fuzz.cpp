// The broker's byte stream: cutting packets off it and decoding what the
// client reads of them (CONNACK, PUBLISH at every QoS, PUBREL, SUBACK,
// DISCONNECT), for both protocol versions.
//
// Input: one control byte, then the stream. Bit 0 of the control byte picks
// the protocol version (0: 3.1.1, 1: 5.0); bits 1-7 give the size of the
// reads the stream arrives in, minus one (but at most 16 reads), so that
// packets split across reads are covered. The framers have subscribed to
// three filters; a SUBACK for packet identifier 0, 1 or 2 in the input
// answers the first, second or third of them.
//
// Beyond "no fault", it checks that a framer fed the stream in reads reports
// exactly what one fed it at once does (packets, replies, the end of the
// stream); that every cut packet lies inside the stream; that the framer
// stops at the first malformed packet (a bad length or a PUBLISH at QoS 3)
// or DISCONNECT, says which, and reports nothing after it; that a decoded PUBLISH
// holds the packet's topic and its payload as text or as Base64 that decodes
// back to it; and that a SUBACK's codes are the rest of its body.

#include "FuzzCheck.h"
#include "model/Utf8.h"
#include "mqtt/Codec.h"
#include "mqtt/PacketFramer.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
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

constexpr std::array<const char*, 3> kFilters{"a/#", "b/+/c", "#"};

// The payload is the body's tail, as text or as Base64 of its bytes; its
// length on the wire.
std::size_t checkedPayloadLength(ByteView body, const std::string& payload)
{
    const bool isText =
        isValidUTF8(payload) && body.size() >= payload.size() && asText(body.last(payload.size())) == payload;
    if (isText) {
        return payload.size();
    }
    const auto decoded = base64Decode(payload);
    FUZZ_CHECK(decoded.has_value());
    FUZZ_CHECK(decoded->size() <= body.size());
    FUZZ_CHECK(std::equal(decoded->begin(), decoded->end(), body.last(decoded->size()).begin()));
    FUZZ_CHECK(!isValidUTF8(asText(*decoded)));
    return decoded->size();
}

void checkPublish(std::uint8_t firstByte, ByteView body, const PublishMessage& message, MQTTProtocolVersion version)
{
    const auto qos = static_cast<std::uint8_t>((firstByte >> 1U) & 3U);
    FUZZ_CHECK(message.qos == qos && qos != 3);
    FUZZ_CHECK((message.packetIdentifier != 0) == (qos > 0));
    FUZZ_CHECK(isValidUTF8(message.topic));
    const auto topic = readString(body);
    FUZZ_CHECK(topic.status == ReadStatus::ok && topic.value == message.topic);
    const std::size_t headerLength = topic.length + (qos > 0 ? 2 : 0);
    if (qos > 0) {
        const auto identifier = readUInt16(body.subspan(topic.length));
        FUZZ_CHECK(identifier.status == ReadStatus::ok && identifier.value == message.packetIdentifier);
    }
    const std::size_t payloadLength = checkedPayloadLength(body, message.payload);
    FUZZ_CHECK(headerLength + payloadLength <= body.size());
    if (version == MQTTProtocolVersion::mqtt311) {
        // No properties: the payload is all that follows the header.
        FUZZ_CHECK(headerLength + payloadLength == body.size());
    }
}

void checkSuback(ByteView body, const Suback& suback, MQTTProtocolVersion version)
{
    const auto identifier = readUInt16(body);
    FUZZ_CHECK(identifier.status == ReadStatus::ok && identifier.value == suback.packetIdentifier);
    FUZZ_CHECK(!suback.reasonCodes.empty() && suback.reasonCodes.size() + 2 <= body.size());
    const auto codes = body.last(suback.reasonCodes.size());
    FUZZ_CHECK(std::equal(codes.begin(), codes.end(), suback.reasonCodes.begin()));
    if (version == MQTTProtocolVersion::mqtt311) {
        FUZZ_CHECK(suback.reasonCodes.size() + 2 == body.size());
    }
}

// The codec's decoders on one packet, directly.
void checkPacket(std::uint8_t firstByte, ByteView body, MQTTProtocolVersion version)
{
    switch (packetType(firstByte)) {
    case kConnackType: FUZZ_CHECK(connackCode(body) == (body.size() >= 2 ? body[1] : 255)); break;
    case kPublishType:
        if (const auto message = parsePublish(firstByte, body, version)) {
            checkPublish(firstByte, body, *message, version);
        }
        break;
    case kPubrelType:
        if (const auto identifier = acknowledgedPacketIdentifier(body)) {
            FUZZ_CHECK(*identifier != 0 && body.size() >= 2);
            const Bytes ack = buildAcknowledgement(kPubcompFirstByte, *identifier);
            FUZZ_CHECK(ack.size() == 4 && std::equal(ack.begin() + 2, ack.end(), body.begin()));
        }
        break;
    case kSubackType:
        if (const auto suback = parseSuback(body, version)) {
            checkSuback(body, *suback, version);
        }
        break;
    case kDisconnectType: FUZZ_CHECK(disconnectReasonCode(body) == (body.empty() ? 0 : body[0])); break;
    default: break;
    }
}

// Everything a framer reported over a whole stream.
struct Framed {
    std::vector<InboundPacket> packets;
    std::vector<Bytes> replies;
    bool isMalformed = false;
    bool isDisconnected = false;

    bool operator==(const Framed& other) const
    {
        return isMalformed == other.isMalformed && isDisconnected == other.isDisconnected && replies == other.replies
               && std::equal(packets.begin(), packets.end(), other.packets.begin(), other.packets.end(),
                             [](const InboundPacket& x, const InboundPacket& y) {
                                 return x.kind == y.kind && x.code == y.code && x.topic == y.topic
                                        && x.payload == y.payload;
                             });
    }
};

// One read's report, given what the reads before it reported.
void checkRead(const Framed& before, const FramedRead& read)
{
    // Once the stream has ended or could not be cut, nothing more is reported.
    FUZZ_CHECK(!(before.isMalformed || before.isDisconnected)
               || (read.packets.empty() && read.replies.empty() && !read.malformed && !read.isDisconnected));
    FUZZ_CHECK(!read.isDisconnected
               || (!read.packets.empty() && read.packets.back().kind == InboundPacket::Kind::disconnect));
    for (const auto& reply : read.replies) {
        FUZZ_CHECK(reply.size() == 4 && reply[1] == 2 && (reply[2] != 0 || reply[3] != 0));
        FUZZ_CHECK(reply[0] == kPubackFirstByte || reply[0] == kPubrecFirstByte || reply[0] == kPubcompFirstByte);
    }
    for (const auto& packet : read.packets) {
        if (packet.kind == InboundPacket::Kind::subscriptionRefused) {
            FUZZ_CHECK(isRefusal(packet.code)
                       && std::find(kFilters.begin(), kFilters.end(), packet.topic) != kFilters.end());
        }
    }
}

// A framer subscribed to kFilters, fed `stream` in reads of `readSize`
// bytes. In its copy of the stream, the SUBACKs at `subackOffsets` that
// name identifier 0, 1 or 2 name the identifier this framer drew for that
// filter, and the others one it did not draw.
Framed frame(MQTTProtocolVersion version, ByteView stream, const std::vector<std::size_t>& subackOffsets,
             std::size_t readSize)
{
    PacketFramer framer(version);
    std::array<std::uint16_t, kFilters.size()> identifiers{};
    for (std::size_t i = 0; i < kFilters.size(); ++i) {
        identifiers.at(i) = framer.beginSubscribe(kFilters.at(i));
    }
    const auto isOurs = [&identifiers](std::uint16_t identifier) {
        return std::find(identifiers.begin(), identifiers.end(), identifier) != identifiers.end();
    };
    Bytes bytes(stream.begin(), stream.end());
    for (const std::size_t offset : subackOffsets) {
        const auto named = static_cast<std::uint16_t>((bytes[offset] << 8U) | bytes[offset + 1]);
        std::uint16_t identifier = named;
        if (named < identifiers.size()) {
            identifier = identifiers.at(named);
        } else {
            // Any other identifier names no subscription, even where it
            // happens to be one the framer drew at random.
            while (isOurs(identifier)) {
                identifier = static_cast<std::uint16_t>(identifier + identifiers.size());
            }
        }
        bytes[offset] = static_cast<std::uint8_t>(identifier >> 8U);
        bytes[offset + 1] = static_cast<std::uint8_t>(identifier & 0xFFU);
    }
    Framed framed;
    for (std::size_t at = 0; at < bytes.size(); at += readSize) {
        const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at + readSize, bytes.size()));
        auto read = framer.append(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at), end));
        checkRead(framed, read);
        std::move(read.packets.begin(), read.packets.end(), std::back_inserter(framed.packets));
        framed.replies.insert(framed.replies.end(), read.replies.begin(), read.replies.end());
        framed.isMalformed = framed.isMalformed || read.malformed.has_value();
        framed.isDisconnected = framed.isDisconnected || read.isDisconnected;
    }
    return framed;
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

// Where a framer has to stop reading a stream.
enum class StreamEnd { open, malformed, disconnected };

// The codec's decoders on every packet of the stream, one after the other;
// notes where the SUBACKs' identifiers are.
StreamEnd checkPackets(ByteView stream, MQTTProtocolVersion version, std::vector<std::size_t>& subackOffsets)
{
    std::size_t offset = 0;
    StreamEnd end = StreamEnd::open;
    while (true) {
        const ByteView rest = stream.subspan(offset);
        const auto packet = extractPacket(rest);
        if (packet.status != ExtractStatus::packet) {
            if (packet.status == ExtractStatus::malformed && end == StreamEnd::open) {
                end = StreamEnd::malformed;
            }
            return end;
        }
        if (end == StreamEnd::open && isQoS3Publish(packet.firstByte)) {
            end = StreamEnd::malformed;
        } else if (end == StreamEnd::open && packetType(packet.firstByte) == kDisconnectType) {
            end = StreamEnd::disconnected;
        }
        FUZZ_CHECK(packet.length >= 2 && packet.length <= rest.size());
        FUZZ_CHECK(packet.firstByte == rest[0]);
        FUZZ_CHECK(packet.body.data() + packet.body.size() == rest.data() + packet.length);
        checkPacket(packet.firstByte, packet.body, version);
        if (packetType(packet.firstByte) == kSubackType && packet.body.size() >= 2) {
            subackOffsets.push_back(static_cast<std::size_t>(packet.body.data() - stream.data()));
        }
        offset += packet.length;
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

    // The codec directly, on every packet of the stream.
    std::vector<std::size_t> subackOffsets;
    const StreamEnd end = checkPackets(stream, version, subackOffsets);

    // The framer: in reads, the same as at once.
    const Framed atOnce = frame(version, stream, subackOffsets, std::max<std::size_t>(stream.size(), 1));
    const Framed inReads = frame(version, stream, subackOffsets, readSize);
    FUZZ_CHECK(inReads == atOnce);
    FUZZ_CHECK(atOnce.isMalformed == (end == StreamEnd::malformed)
               && atOnce.isDisconnected == (end == StreamEnd::disconnected));
    return 0;
}
