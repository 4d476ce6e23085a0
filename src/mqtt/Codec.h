#pragma once

// The byte-level MQTT 3.1.1 / 5.0 codec: the packets the client sends
// (CONNECT, SUBSCRIBE, PINGREQ and the acknowledgements of a PUBLISH at QoS 1
// or 2), framing, cutting packets off the receive buffer, and the fields the
// client reads (CONNACK code, PUBLISH, SUBACK reason codes, the packet
// identifier of a PUBREL, DISCONNECT reason code). Pure functions; no state. Reads are bounds-checked and report a
// malformed input instead of reading past the end.

#include "model/Records.h"
#include "platform/Connection.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {

using ByteView = std::span<const std::uint8_t>;

// Largest value a variable byte integer can carry (four bytes, OASIS MQTT 1.5.5).
inline constexpr std::uint32_t kMaxVariableByteInteger = 268'435'455;
// Largest byte count of an MQTT string (a 16-bit length prefix).
inline constexpr std::size_t kMaxStringLength = 65'535;
// A packet's first byte, the longest Remaining Length and the largest body.
inline constexpr std::size_t kMaxPacketSize = 1 + 4 + kMaxVariableByteInteger;

// First bytes of the packets the client sends.
inline constexpr std::uint8_t kConnectFirstByte = 0x10;
inline constexpr std::uint8_t kSubscribeFirstByte = 0x82;  // type 8, reserved flags 0010
inline constexpr std::uint8_t kPingreqFirstByte = 0xC0;
// The answers to a PUBLISH at QoS 1 (PUBACK) and QoS 2 (PUBREC, and PUBCOMP
// to the broker's PUBREL).
inline constexpr std::uint8_t kPubackFirstByte = 0x40;
inline constexpr std::uint8_t kPubrecFirstByte = 0x50;
inline constexpr std::uint8_t kPubcompFirstByte = 0x70;

// Packet types the client reads, as the high four bits of the first byte.
inline constexpr std::uint8_t kConnackType = 0x20;
inline constexpr std::uint8_t kPublishType = 0x30;
inline constexpr std::uint8_t kPubrelType = 0x60;
inline constexpr std::uint8_t kSubackType = 0x90;
inline constexpr std::uint8_t kPingrespType = 0xD0;
inline constexpr std::uint8_t kDisconnectType = 0xE0;

[[nodiscard]] constexpr std::uint8_t packetType(std::uint8_t firstByte)
{
    return firstByte & 0xF0u;
}

inline constexpr std::uint8_t kPublishQoSBits = 0x06;

// A PUBLISH with both QoS bits set (QoS 3). MQTT has the receiver close the
// connection on it (3.1.1 and 5.0, 3.3.1-4), as on any malformed packet.
[[nodiscard]] constexpr bool isQoS3Publish(std::uint8_t firstByte)
{
    return packetType(firstByte) == kPublishType && (firstByte & kPublishQoSBits) == kPublishQoSBits;
}

// ---- Wire types: one write/read pair each --------------------------------

// Appends `value` big-endian.
void writeUInt16(Bytes& out, std::uint16_t value);
// Appends the variable byte integer of `value`, least significant group
// first. Returns false (and appends nothing) above kMaxVariableByteInteger.
[[nodiscard]] bool writeVariableByteInteger(Bytes& out, std::uint32_t value);
// Appends the 16-bit byte count of `text` and its bytes. Returns false (and
// appends nothing) when `text` is longer than kMaxStringLength bytes: the
// length is never written wrapped.
[[nodiscard]] bool writeString(Bytes& out, std::string_view text);

// The outcome of a read at the front of a byte range.
enum class ReadStatus {
    ok,          // the value is there
    incomplete,  // the input ends before the value does; more bytes may complete it
    malformed,   // no continuation of the input can make this a valid value
};

template <typename T>
struct ReadResult {
    ReadStatus status = ReadStatus::incomplete;
    T value{};
    std::size_t length = 0;  // bytes the value takes; 0 unless ok
};

// The big-endian 16-bit integer at the front of `input`.
[[nodiscard]] ReadResult<std::uint16_t> readUInt16(ByteView input);
// The variable byte integer at the front of `input`, of at most `maxBytes`
// bytes. Malformed when byte number `maxBytes` still has the continuation bit
// or the value exceeds kMaxVariableByteInteger.
[[nodiscard]] ReadResult<std::uint32_t> readVariableByteInteger(ByteView input, std::size_t maxBytes = 4);
// The MQTT string at the front of `input` (its bytes, unchecked for UTF-8).
[[nodiscard]] ReadResult<std::string_view> readString(ByteView input);

// ---- Packet building ------------------------------------------------------

// First byte, Remaining Length, body. No value when the body is longer than
// kMaxVariableByteInteger bytes.
[[nodiscard]] std::optional<Bytes> framePacket(std::uint8_t firstByte, ByteView body);

// The CONNECT fields that carry a configured text.
enum class ConnectField { clientID, username, password };

// The first of client identifier, user name, password (in wire order) whose
// UTF-8 form is longer than an MQTT string can carry; none when all fit.
[[nodiscard]] std::optional<ConnectField> overlongConnectField(const MQTTConfig& config);

// CONNECT variable header and payload for `config`: protocol "MQTT", level 4
// or 5, clean session, keep alive, (5.0: empty properties), client
// identifier, user name when the user name or the password is non-empty,
// password when it is non-empty. No value when overlongConnectField() names
// a field.
[[nodiscard]] std::optional<Bytes> buildConnectBody(const MQTTConfig& config);

// A packet identifier drawn uniformly from 1 to 65,535.
[[nodiscard]] std::uint16_t randomPacketIdentifier();

// SUBSCRIBE variable header and payload for one topic filter at QoS 0, with
// the given packet identifier (1 to 65,535). No value when the filter is
// longer than 65,535 bytes.
[[nodiscard]] std::optional<Bytes> buildSubscribeBody(std::string_view topicFilter, MQTTProtocolVersion version,
                                                      std::uint16_t packetIdentifier);

// ---- Packet reading -------------------------------------------------------

enum class ExtractStatus {
    packet,      // a complete packet is at the front of the buffer
    incomplete,  // more bytes are needed; the buffer is fine as it is
    malformed,   // the Remaining Length is invalid: the stream cannot be resynchronised
};

struct ExtractResult {
    ExtractStatus status = ExtractStatus::incomplete;
    std::uint8_t firstByte = 0;
    ByteView body;           // a view into the buffer that was read
    std::size_t length = 0;  // bytes of the whole packet (header and body); the caller drops them
};

// Looks for the first complete packet at the front of `buffer`. The Remaining
// Length may take at most four bytes and 268,435,455 at most (a fifth length
// byte of 00 is tolerated); anything else is malformed. The result's body
// views `buffer`: it stays valid while the buffer is unchanged.
[[nodiscard]] ExtractResult extractPacket(ByteView buffer);

// The CONNACK return code (3.1.1) or reason code (5.0): body byte 1, or 255
// when the body is shorter than two bytes.
[[nodiscard]] std::uint8_t connackCode(ByteView body);

struct PublishMessage {
    std::string topic;
    std::string payload;  // UTF-8 text, or Base64 of payload bytes that are not UTF-8
    std::uint8_t qos = 0;
    std::uint16_t packetIdentifier = 0;  // 1 to 65,535 at QoS 1 and 2; 0 at QoS 0
};

// Reads a PUBLISH with the QoS of its first byte: at QoS 1 and 2 the packet
// identifier after the topic is read and is not part of the payload; for 5.0
// the properties are skipped. No value when the QoS bits are 3 (see
// isQoS3Publish); no value either, meaning "drop the packet", when the body
// is shorter than its fields, the packet identifier is 0, the topic is not
// UTF-8, or a 5.0 property length is malformed, takes more than four bytes
// or runs past the body. DUP and RETAIN are not read.
[[nodiscard]] std::optional<PublishMessage> parsePublish(std::uint8_t firstByte, ByteView body,
                                                         MQTTProtocolVersion version);

// A whole PUBACK, PUBREC or PUBCOMP (`firstByte`) for `packetIdentifier`:
// the identifier alone, which in 5.0 means reason code 0 without properties.
[[nodiscard]] Bytes buildAcknowledgement(std::uint8_t firstByte, std::uint16_t packetIdentifier);

// The packet identifier at the front of an acknowledgement body (PUBREL);
// none when the body is shorter than two bytes or the identifier is 0.
[[nodiscard]] std::optional<std::uint16_t> acknowledgedPacketIdentifier(ByteView body);

struct Suback {
    std::uint16_t packetIdentifier = 0;
    std::vector<std::uint8_t> reasonCodes;  // one per filter of the SUBSCRIBE, in order
};

// Reads a SUBACK body: packet identifier, (5.0: properties, skipped), then
// one return or reason code per filter. No value when the body is shorter
// than the identifier, a 5.0 property length is malformed or runs past the
// body, or no code follows.
[[nodiscard]] std::optional<Suback> parseSuback(ByteView body, MQTTProtocolVersion version);

// A SUBACK code that refuses the filter: 0x80 in 3.1.1, any reason code of
// 0x80 and above in 5.0.
[[nodiscard]] constexpr bool isRefusal(std::uint8_t subackCode)
{
    return subackCode >= 0x80;
}

// The reason code of a DISCONNECT body: its first byte, or 0 (normal
// disconnection) when the body is empty, as a 3.1.1 DISCONNECT always is.
[[nodiscard]] std::uint8_t disconnectReasonCode(ByteView body);

// ---- Text helpers ---------------------------------------------------------

// RFC 4648 Base64, standard alphabet, padded, no line breaks.
[[nodiscard]] std::string base64Encode(ByteView bytes);

}  // namespace telvane
