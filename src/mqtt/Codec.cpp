#include "mqtt/Codec.h"

#include "model/Utf8.h"

#include <array>
#include <random>

namespace telvane {

namespace {

constexpr std::uint8_t kContinuationBit = 0x80;
constexpr std::uint8_t kCleanSession = 0x02;
constexpr std::uint8_t kUsernameFlag = 0x80;
constexpr std::uint8_t kPasswordFlag = 0x40;
constexpr std::uint8_t kRequestedQoS0 = 0x00;
constexpr std::uint8_t kEmptyProperties = 0x00;
constexpr std::string_view kProtocolName = "MQTT";

// extractPacket tolerates one length byte more than the protocol's four, as
// long as the value stays in range (a non-minimal "80 80 80 80 00").
constexpr std::size_t kRemainingLengthMaxBytes = 5;
constexpr std::size_t kPropertyLengthMaxBytes = 4;

ByteView asBytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string_view asText(ByteView bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::size_t variableByteIntegerSize(std::uint32_t value)
{
    std::size_t size = 1;
    while (value > 127) {
        value >>= 7;
        ++size;
    }
    return size;
}

bool isEmpty(const std::optional<std::string>& text)
{
    return !text || text->empty();
}

// The start of what follows the 5.0 properties at `offset`; none when their
// length is malformed or they run past the body.
std::optional<std::size_t> skipProperties(ByteView body, std::size_t offset)
{
    const auto properties = readVariableByteInteger(body.subspan(offset), kPropertyLengthMaxBytes);
    if (properties.status != ReadStatus::ok) {
        return std::nullopt;
    }
    offset += properties.length;
    if (body.size() - offset < properties.value) {
        return std::nullopt;
    }
    return offset + properties.value;
}

}  // namespace

void writeUInt16(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFFu));
}

bool writeVariableByteInteger(Bytes& out, std::uint32_t value)
{
    if (value > kMaxVariableByteInteger) {
        return false;
    }
    do {
        auto byte = static_cast<std::uint8_t>(value % 128);
        value /= 128;
        if (value > 0) {
            byte |= kContinuationBit;
        }
        out.push_back(byte);
    } while (value > 0);
    return true;
}

bool writeString(Bytes& out, std::string_view text)
{
    if (text.size() > kMaxStringLength) {
        return false;
    }
    writeUInt16(out, static_cast<std::uint16_t>(text.size()));
    const auto bytes = asBytes(text);
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
}

ReadResult<std::uint16_t> readUInt16(ByteView input)
{
    if (input.size() < 2) {
        return {};
    }
    const auto value = static_cast<std::uint16_t>((input[0] << 8) | input[1]);
    return {ReadStatus::ok, value, 2};
}

ReadResult<std::uint32_t> readVariableByteInteger(ByteView input, std::size_t maxBytes)
{
    std::uint64_t value = 0;
    std::uint64_t multiplier = 1;
    for (std::size_t i = 0; i < maxBytes; ++i) {
        if (i >= input.size()) {
            return {};
        }
        const std::uint8_t byte = input[i];
        value += (byte & 0x7Fu) * multiplier;
        if ((byte & kContinuationBit) == 0) {
            if (value > kMaxVariableByteInteger) {
                return {ReadStatus::malformed, 0, 0};
            }
            return {ReadStatus::ok, static_cast<std::uint32_t>(value), i + 1};
        }
        multiplier *= 128;
    }
    return {ReadStatus::malformed, 0, 0};
}

ReadResult<std::string_view> readString(ByteView input)
{
    const auto length = readUInt16(input);
    if (length.status != ReadStatus::ok) {
        return {};
    }
    const std::size_t end = length.length + length.value;
    if (input.size() < end) {
        return {};
    }
    return {ReadStatus::ok, asText(input.subspan(length.length, length.value)), end};
}

std::optional<Bytes> framePacket(std::uint8_t firstByte, ByteView body)
{
    if (body.size() > kMaxVariableByteInteger) {
        return std::nullopt;
    }
    const auto length = static_cast<std::uint32_t>(body.size());
    Bytes out;
    out.reserve(1 + variableByteIntegerSize(length) + body.size());
    out.push_back(firstByte);
    if (!writeVariableByteInteger(out, length)) {
        return std::nullopt;
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::optional<ConnectField> overlongConnectField(const MQTTConfig& config)
{
    if (config.clientID.size() > kMaxStringLength) {
        return ConnectField::clientID;
    }
    if (config.username && config.username->size() > kMaxStringLength) {
        return ConnectField::username;
    }
    if (config.password && config.password->size() > kMaxStringLength) {
        return ConnectField::password;
    }
    return std::nullopt;
}

std::optional<Bytes> buildConnectBody(const MQTTConfig& config)
{
    if (overlongConnectField(config)) {
        return std::nullopt;
    }
    const bool hasPassword = !isEmpty(config.password);
    // A password cannot be sent without the user name flag (OASIS MQTT
    // 3.1.2.9), so a password alone goes out with an empty user name.
    const bool hasUsername = !isEmpty(config.username) || hasPassword;
    const bool isV5 = config.protocolVersion == MQTTProtocolVersion::mqtt50;

    std::uint8_t flags = kCleanSession;
    if (hasUsername) {
        flags |= kUsernameFlag;
    }
    if (hasPassword) {
        flags |= kPasswordFlag;
    }

    Bytes body;
    body.reserve(2 + kProtocolName.size() + 4 + (isV5 ? 1 : 0) + 2 + config.clientID.size()
                 + (hasUsername ? 2 + config.username.value_or("").size() : 0)
                 + (hasPassword ? 2 + config.password->size() : 0));
    // Every string below is known to fit, so the writes cannot fail.
    (void)writeString(body, kProtocolName);
    body.push_back(protocolLevel(config.protocolVersion));
    body.push_back(flags);
    writeUInt16(body, config.keepAliveInterval);
    if (isV5) {
        body.push_back(kEmptyProperties);
    }
    (void)writeString(body, config.clientID);
    if (hasUsername) {
        (void)writeString(body, config.username.value_or(""));
    }
    if (hasPassword) {
        (void)writeString(body, *config.password);
    }
    return body;
}

std::uint16_t randomPacketIdentifier()
{
    static thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<unsigned> identifier(1, 65535);
    return static_cast<std::uint16_t>(identifier(generator));
}

std::optional<Bytes> buildSubscribeBody(std::string_view topicFilter, MQTTProtocolVersion version,
                                        std::uint16_t packetIdentifier)
{
    const bool isV5 = version == MQTTProtocolVersion::mqtt50;
    Bytes body;
    body.reserve(2 + (isV5 ? 1 : 0) + 2 + topicFilter.size() + 1);
    writeUInt16(body, packetIdentifier);
    if (isV5) {
        body.push_back(kEmptyProperties);
    }
    if (!writeString(body, topicFilter)) {
        return std::nullopt;
    }
    body.push_back(kRequestedQoS0);
    return body;
}

ExtractResult extractPacket(ByteView buffer)
{
    if (buffer.size() < 2) {
        return {};
    }
    const auto remaining = readVariableByteInteger(buffer.subspan(1), kRemainingLengthMaxBytes);
    switch (remaining.status) {
    case ReadStatus::incomplete: return {};
    case ReadStatus::malformed: return {ExtractStatus::malformed, 0, {}, 0};
    case ReadStatus::ok: break;
    }
    const std::size_t headerLength = 1 + remaining.length;
    const std::size_t packetLength = headerLength + remaining.value;
    if (buffer.size() < packetLength) {
        return {};
    }
    return {ExtractStatus::packet, buffer[0], buffer.subspan(headerLength, remaining.value), packetLength};
}

std::uint8_t connackCode(ByteView body)
{
    return body.size() >= 2 ? body[1] : std::uint8_t{255};
}

std::optional<PublishMessage> parsePublish(std::uint8_t firstByte, ByteView body, MQTTProtocolVersion version)
{
    const auto qos = static_cast<std::uint8_t>((firstByte & kPublishQoSBits) >> 1);
    if (qos == 3 || body.size() < 3) {
        return std::nullopt;
    }
    const auto topic = readString(body);
    if (topic.status != ReadStatus::ok || !isValidUTF8(topic.value)) {
        return std::nullopt;
    }
    std::size_t payloadStart = topic.length;
    std::uint16_t packetIdentifier = 0;
    if (qos > 0) {
        const auto identifier = readUInt16(body.subspan(payloadStart));
        if (identifier.status != ReadStatus::ok || identifier.value == 0) {
            return std::nullopt;
        }
        packetIdentifier = identifier.value;
        payloadStart += identifier.length;
    }
    if (version == MQTTProtocolVersion::mqtt50) {
        const auto afterProperties = skipProperties(body, payloadStart);
        if (!afterProperties) {
            return std::nullopt;
        }
        payloadStart = *afterProperties;
    }
    const auto payload = body.subspan(payloadStart);
    PublishMessage message;
    message.topic.assign(topic.value);
    if (isValidUTF8(asText(payload))) {
        message.payload.assign(asText(payload));
    } else {
        message.payload = base64Encode(payload);
    }
    message.qos = qos;
    message.packetIdentifier = packetIdentifier;
    return message;
}

Bytes buildAcknowledgement(std::uint8_t firstByte, std::uint16_t packetIdentifier)
{
    Bytes packet{firstByte, 0x02};
    writeUInt16(packet, packetIdentifier);
    return packet;
}

std::optional<std::uint16_t> acknowledgedPacketIdentifier(ByteView body)
{
    const auto identifier = readUInt16(body);
    if (identifier.status != ReadStatus::ok || identifier.value == 0) {
        return std::nullopt;
    }
    return identifier.value;
}

std::optional<Suback> parseSuback(ByteView body, MQTTProtocolVersion version)
{
    const auto identifier = readUInt16(body);
    if (identifier.status != ReadStatus::ok) {
        return std::nullopt;
    }
    std::size_t codesStart = identifier.length;
    if (version == MQTTProtocolVersion::mqtt50) {
        const auto afterProperties = skipProperties(body, codesStart);
        if (!afterProperties) {
            return std::nullopt;
        }
        codesStart = *afterProperties;
    }
    if (codesStart >= body.size()) {
        return std::nullopt;
    }
    const auto codes = body.subspan(codesStart);
    return Suback{identifier.value, {codes.begin(), codes.end()}};
}

std::uint8_t disconnectReasonCode(ByteView body)
{
    return body.empty() ? std::uint8_t{0} : body[0];
}

std::string base64Encode(ByteView bytes)
{
    static constexpr std::array<char, 64> kAlphabet{
        'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V',
        'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r',
        's', 't', 'u', 'v', 'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t triple =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kAlphabet[(triple >> 18) & 0x3Fu];
        out += kAlphabet[(triple >> 12) & 0x3Fu];
        out += kAlphabet[(triple >> 6) & 0x3Fu];
        out += kAlphabet[triple & 0x3Fu];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t triple = std::uint32_t{bytes[i]} << 16;
        out += kAlphabet[(triple >> 18) & 0x3Fu];
        out += kAlphabet[(triple >> 12) & 0x3Fu];
        out += "==";
    } else if (rest == 2) {
        const std::uint32_t triple = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        out += kAlphabet[(triple >> 18) & 0x3Fu];
        out += kAlphabet[(triple >> 12) & 0x3Fu];
        out += kAlphabet[(triple >> 6) & 0x3Fu];
        out += '=';
    }
    return out;
}

}  // namespace telvane
