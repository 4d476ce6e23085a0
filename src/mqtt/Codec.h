#pragma once

// The byte-level MQTT 3.1.1 / 5.0 codec: the three packets the client sends
// (CONNECT, SUBSCRIBE, PINGREQ), framing, cutting packets off the receive
// buffer, and the two fields the client reads (CONNACK code, PUBLISH topic and
// payload). Pure functions; no state. Reads are bounds-checked and report a
// malformed input instead of reading past the end.

#include "model/Records.h"
#include "platform/Connection.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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

// Packet types the client reads, as the high four bits of the first byte.
inline constexpr std::uint8_t kConnackType = 0x20;
inline constexpr std::uint8_t kPublishType = 0x30;
inline constexpr std::uint8_t kPingrespType = 0xD0;

[[nodiscard]] constexpr std::uint8_t packetType(std::uint8_t firstByte) { return firstByte & 0xF0u; }

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
// The same with a fresh random packet identifier.
[[nodiscard]] std::optional<Bytes> buildSubscribeBody(std::string_view topicFilter, MQTTProtocolVersion version);

// ---- Packet reading -------------------------------------------------------

enum class ExtractStatus {
    packet,      // a complete packet is at the front of the buffer
    incomplete,  // more bytes are needed; the buffer is fine as it is
    malformed,   // the Remaining Length is invalid: the stream cannot be resynchronised
};

struct ExtractResult {
    ExtractStatus status = ExtractStatus::incomplete;
    std::uint8_t firstByte = 0;
    ByteView body;          // a view into the buffer that was read
    std::size_t length = 0; // bytes of the whole packet (header and body); the caller drops them
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
};

// Reads a PUBLISH body as QoS 0 (no packet identifier) and, for 5.0, skips its
// properties. No value, meaning "drop the packet", when the body is shorter
// than its fields, the topic is not UTF-8, or a 5.0 property length is
// malformed, takes more than four bytes or runs past the body.
[[nodiscard]] std::optional<PublishMessage> parsePublish(ByteView body, MQTTProtocolVersion version);

// ---- Text helpers ---------------------------------------------------------

// RFC 4648 Base64, standard alphabet, padded, no line breaks.
[[nodiscard]] std::string base64Encode(ByteView bytes);

}  // namespace telvane
