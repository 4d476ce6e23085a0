#include "mqtt/Codec.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace telvane {
namespace {

constexpr auto v311 = MQTTProtocolVersion::mqtt311;
constexpr auto v50 = MQTTProtocolVersion::mqtt50;

// Keep alive 60, MQTT 3.1.1.
MQTTConfig configWith(std::string clientID, std::optional<std::string> username = std::nullopt,
                      std::optional<std::string> password = std::nullopt)
{
    MQTTConfig config;
    config.clientID = std::move(clientID);
    config.username = std::move(username);
    config.password = std::move(password);
    return config;
}

// ---- Wire types ---------------------------------------------------------------

TEST(CodecTest, VariableByteIntegerRoundTripsAtItsBoundaries)
{
    const std::vector<std::pair<std::uint32_t, Bytes>> cases{{0, {0x00}},
                                                             {127, {0x7F}},
                                                             {128, {0x80, 0x01}},
                                                             {321, {0xC1, 0x02}},
                                                             {16'383, {0xFF, 0x7F}},
                                                             {16'384, {0x80, 0x80, 0x01}},
                                                             {2'097'151, {0xFF, 0xFF, 0x7F}},
                                                             {2'097'152, {0x80, 0x80, 0x80, 0x01}},
                                                             {268'435'455, {0xFF, 0xFF, 0xFF, 0x7F}}};
    for (const auto& [value, encoded] : cases) {
        SCOPED_TRACE(value);
        Bytes written;
        EXPECT_TRUE(writeVariableByteInteger(written, value));
        EXPECT_EQ(written, encoded);
        const auto read = readVariableByteInteger(encoded);
        EXPECT_EQ(read.status, ReadStatus::ok);
        EXPECT_EQ(read.value, value);
        EXPECT_EQ(read.length, encoded.size());
        // Every proper prefix asks for more bytes instead of guessing.
        for (std::size_t n = 0; n < encoded.size(); ++n) {
            EXPECT_EQ(readVariableByteInteger(ByteView(encoded).first(n)).status, ReadStatus::incomplete);
        }
    }

    // Past the maximum nothing is written, and a fourth byte that still continues is malformed.
    Bytes out{0xAA};
    EXPECT_FALSE(writeVariableByteInteger(out, 268'435'456));
    EXPECT_FALSE(writeVariableByteInteger(out, 0xFFFF'FFFFu));
    EXPECT_EQ(out, Bytes{0xAA});
    EXPECT_EQ(readVariableByteInteger(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x01}).status, ReadStatus::malformed);
}

// ---- CONNECT and SUBSCRIBE ------------------------------------------------------

TEST(CodecTest, ConnectMatchesTheReferenceBytes)
{
    EXPECT_EQ(framePacket(kConnectFirstByte, buildConnectBody(configWith("abc")).value()),
              (Bytes{
                  0x10, 0x0F,                      // CONNECT, remaining length 15
                  0x00, 0x04, 'M', 'Q', 'T', 'T',  // protocol name
                  0x04,                            // protocol level 3.1.1
                  0x02,                            // flags: clean session
                  0x00, 0x3C,                      // keep alive 60
                  0x00, 0x03, 'a', 'b', 'c',       // client identifier
              }));

    // 5.0: level 5, no properties after the keep alive; keep alive 0 and an empty client identifier as they are.
    auto v50Config = configWith("");
    v50Config.protocolVersion = v50;
    v50Config.keepAliveInterval = 0;
    EXPECT_EQ(framePacket(kConnectFirstByte, buildConnectBody(v50Config).value()),
              (Bytes{0x10, 0x0D, 0x00, 0x04, 'M', 'Q', 'T', 'T', 0x05, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(CodecTest, ConnectFlagsFollowUsernameAndPassword)
{
    struct Case {
        const char* name;
        std::optional<std::string> username;
        std::optional<std::string> password;
        std::uint8_t flags;
        Bytes tail;  // the fields after the client identifier
    };
    const std::vector<Case> cases{
        {"neither", std::nullopt, std::nullopt, 0x02, {}},
        {"both empty", "", "", 0x02, {}},
        {"user only", "u", std::nullopt, 0x82, {0x00, 0x01, 'u'}},
        {"user, empty password", "u", "", 0x82, {0x00, 0x01, 'u'}},
        {"password only", std::nullopt, "pw", 0xC2, {0x00, 0x00, 0x00, 0x02, 'p', 'w'}},
        {"both", "u", "pw", 0xC2, {0x00, 0x01, 'u', 0x00, 0x02, 'p', 'w'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto body = buildConnectBody(configWith("c", c.username, c.password)).value();
        ASSERT_GE(body.size(), 13u);
        EXPECT_EQ(body[7], c.flags);
        // Protocol name (6), level, flags, keep alive (2), client identifier "c" (3) precede the tail.
        EXPECT_EQ(Bytes(body.begin() + 13, body.end()), c.tail);
    }
}

TEST(CodecTest, OverlongConnectFieldIsNamedAndNothingIsBuilt)
{
    const std::string tooLong(65'536, 'x');
    const std::string longest(65'535, 'x');
    const std::vector<std::pair<MQTTConfig, std::optional<ConnectField>>> cases{
        {configWith(longest, longest, longest), std::nullopt},
        {configWith(tooLong), ConnectField::clientID},
        {configWith("c", tooLong), ConnectField::username},
        {configWith("c", std::nullopt, tooLong), ConnectField::password},
        {configWith(tooLong, tooLong, tooLong), ConnectField::clientID},
    };
    for (const auto& [config, field] : cases) {
        EXPECT_EQ(overlongConnectField(config), field);
        EXPECT_EQ(buildConnectBody(config).has_value(), !field.has_value());
    }
}

TEST(CodecTest, SubscribeMatchesTheReferenceBytes)
{
    EXPECT_EQ(framePacket(kSubscribeFirstByte, buildSubscribeBody("a/b", v311, 0x1234).value()),
              (Bytes{
                  0x82, 0x08,                 // SUBSCRIBE, remaining length 8
                  0x12, 0x34,                 // packet identifier
                  0x00, 0x03, 'a', '/', 'b',  // topic filter
                  0x00,                       // QoS 0
              }));
    // 5.0: empty properties after the packet identifier; the options byte asks for QoS 0.
    EXPECT_EQ(framePacket(kSubscribeFirstByte, buildSubscribeBody("#", v50, 0x1234).value()),
              (Bytes{0x82, 0x07, 0x12, 0x34, 0x00, 0x00, 0x01, '#', 0x00}));
}

// ---- Reading ------------------------------------------------------------------

TEST(CodecTest, ExtractPacketCutsWholePacketsKeepsThePartialRestAndRefusesBadLengths)
{
    const Bytes publish{0x30, 0x07, 0x00, 0x03, 'a', '/', 'b', 'H', 'i'};
    Bytes merged{0xD0, 0x00};
    merged.insert(merged.end(), publish.begin(), publish.end());
    Bytes withPartial = merged;
    withPartial.insert(withPartial.end(), publish.begin(), publish.begin() + 4);
    Bytes twoByteLength{0x30, 0x80, 0x01};  // a body of 128 bytes
    twoByteLength.resize(3 + 128, 'x');
    Bytes withBadLength = publish;
    withBadLength.insert(withBadLength.end(), {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});

    struct Case {
        const char* name;
        Bytes buffer;
        std::size_t packets;
        std::size_t consumed;
        ExtractStatus last = ExtractStatus::incomplete;
    };
    const auto malformed = ExtractStatus::malformed;
    const std::vector<Case> cases{
        {"empty", {}, 0, 0},
        {"first byte only", {0x30}, 0, 0},
        {"empty body", {0x30, 0x00}, 1, 2},
        {"length only", {0x30, 0x07}, 0, 0},
        {"one short of complete", Bytes(publish.begin(), publish.end() - 1), 0, 0},
        {"exactly one", publish, 1, publish.size()},
        {"two merged", merged, 2, merged.size()},
        {"two and a partial", withPartial, 2, merged.size()},
        {"length continues past the end", {0x30, 0x80}, 0, 0},
        {"two-byte length, one short", Bytes(twoByteLength.begin(), twoByteLength.end() - 1), 0, 0},
        {"two-byte length", twoByteLength, 1, twoByteLength.size()},
        {"four continuation bytes so far", {0x30, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0},
        {"non-minimal zero of five bytes", {0xD0, 0x80, 0x80, 0x80, 0x80, 0x00}, 1, 6},
        {"maximum, body missing", {0x30, 0xFF, 0xFF, 0xFF, 0x7F}, 0, 0},
        {"fifth length byte continues", {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, malformed},
        {"length past the maximum", {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 0, 0, malformed},
        {"a packet, then a bad length", withBadLength, 1, publish.size(), malformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<std::uint8_t, Bytes>> packets;
        std::size_t consumed = 0;
        ExtractResult result;
        // Cut every complete packet off the front, as the receive path does.
        while ((result = extractPacket(ByteView(c.buffer).subspan(consumed))).status == ExtractStatus::packet) {
            packets.emplace_back(result.firstByte, Bytes(result.body.begin(), result.body.end()));
            consumed += result.length;
        }
        EXPECT_EQ(result.status, c.last);
        EXPECT_EQ(packets.size(), c.packets);
        EXPECT_EQ(consumed, c.consumed);
        if (c.buffer == merged) {
            const std::vector<std::pair<std::uint8_t, Bytes>> expected{
                {0xD0, {}}, {0x30, Bytes(publish.begin() + 2, publish.end())}};
            EXPECT_EQ(packets, expected);
        }
    }
}

TEST(CodecTest, ConnackCodeIsTheSecondBodyByte)
{
    // Session present is ignored; 5.0 properties after the reason code too; too short is 255.
    const std::vector<std::pair<Bytes, std::uint8_t>> cases{
        {{0x00, 0x00}, 0}, {{0x01, 0x00}, 0}, {{0x00, 0x05}, 5}, {{0x00, 0x87, 0x00}, 0x87}, {{0x00}, 255}, {{}, 255}};
    for (const auto& [body, code] : cases) {
        EXPECT_EQ(connackCode(body), code);
    }
}

TEST(CodecTest, ParsePublishReadsTopicAndPayload)
{
    Bytes twoByteProperties{0x00, 0x01, 't', 0x80, 0x01};  // 128 bytes of properties
    twoByteProperties.resize(twoByteProperties.size() + 128, 0x00);
    twoByteProperties.push_back('v');
    struct Case {
        const char* name;
        MQTTProtocolVersion version;
        Bytes body;
        std::optional<std::pair<std::string, std::string>> expected;
    };
    using P = std::pair<std::string, std::string>;
    const std::vector<Case> cases{
        {"3.1.1 text", v311, {0x00, 0x03, 'a', '/', 'b', 'H', 'i'}, P{"a/b", "Hi"}},
        {"5.0 text", v50, {0x00, 0x03, 'a', '/', 'b', 0x00, 'H', 'i'}, P{"a/b", "Hi"}},
        {"not UTF-8 becomes Base64", v311, {0x00, 0x01, 't', 0xFF, 0xFE}, P{"t", "//4="}},
        {"truncated UTF-8 becomes Base64", v311, {0x00, 0x01, 't', 'o', 'k', 0xC3}, P{"t", "b2vD"}},
        {"overlong UTF-8 becomes Base64", v311, {0x00, 0x01, 't', 0xC0, 0xAF}, P{"t", "wK8="}},
        {"surrogate becomes Base64", v311, {0x00, 0x01, 't', 0xED, 0xA0, 0x80}, P{"t", "7aCA"}},
        {"multi-byte UTF-8 stays text", v311, {0x00, 0x01, 't', 0xE2, 0x82, 0xAC}, P{"t", "\xE2\x82\xAC"}},
        {"3.1.1 empty payload", v311, {0x00, 0x01, 't'}, P{"t", ""}},
        {"5.0 ends after the topic", v50, {0x00, 0x01, 't'}, std::nullopt},
        {"5.0 skips properties", v50, {0x00, 0x01, 't', 0x03, 0x01, 0x01, 0x00, 'v'}, P{"t", "v"}},
        {"5.0 two-byte property length", v50, twoByteProperties, P{"t", "v"}},
        {"5.0 properties past the end", v50, {0x00, 0x01, 't', 0x05, 0x01}, std::nullopt},
        {"5.0 property length unfinished", v50, {0x00, 0x01, 't', 0x80}, std::nullopt},
        {"5.0 property length of five bytes", v50, {0x00, 0x01, 't', 0x80, 0x80, 0x80, 0x80, 0x00, 'v'}, std::nullopt},
        {"empty body", v311, {}, std::nullopt},
        {"too short", v311, {0x00, 0x01}, std::nullopt},
        {"topic past the end", v311, {0x00, 0x05, 'a', 'b'}, std::nullopt},
        {"topic not UTF-8", v311, {0x00, 0x01, 0xFF, 'x'}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto message = parsePublish(kPublishType, c.body, c.version);
        EXPECT_EQ(message ? std::optional(P{message->topic, message->payload}) : std::nullopt, c.expected);
    }
}

TEST(CodecTest, ParsePublishReadsThePacketIdentifierOfQoS1And2AndRefusesQoS3)
{
    const Bytes withIdentifier{0x00, 0x01, 't', 0x00, 0x01, 'q', '1'};
    const Bytes withIdentifierV5{0x00, 0x01, 't', 0x12, 0x34, 0x00, 'v'};
    struct Case {
        const char* name;
        std::uint8_t firstByte;
        MQTTProtocolVersion version;
        Bytes body;
        std::optional<std::tuple<std::string, std::uint8_t, std::uint16_t>> expected;  // payload, QoS, identifier
    };
    using E = std::tuple<std::string, std::uint8_t, std::uint16_t>;
    const std::vector<Case> cases{
        {"QoS 0 keeps the bytes in the payload", 0x30, v311, withIdentifier, E{std::string("\x00\x01q1", 4), 0, 0}},
        {"QoS 1", 0x32, v311, withIdentifier, E{"q1", 1, 1}},
        {"QoS 2, DUP and RETAIN set", 0x3D, v311, withIdentifier, E{"q1", 2, 1}},
        {"QoS 1 in 5.0: identifier before the properties", 0x32, v50, withIdentifierV5, E{"v", 1, 0x1234}},
        {"QoS 3", 0x36, v311, withIdentifier, std::nullopt},
        {"QoS 3 in 5.0", 0x36, v50, withIdentifierV5, std::nullopt},
        {"QoS 1, identifier 0", 0x32, v311, {0x00, 0x01, 't', 0x00, 0x00, 'x'}, std::nullopt},
        {"QoS 1, identifier cut short", 0x32, v311, {0x00, 0x01, 't', 0x00}, std::nullopt},
        {"QoS 1, empty payload", 0x32, v311, {0x00, 0x01, 't', 0xFF, 0xFF}, E{"", 1, 0xFFFF}},
        {"QoS 2 in 5.0, no properties byte", 0x34, v50, {0x00, 0x01, 't', 0x00, 0x07}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto message = parsePublish(c.firstByte, c.body, c.version);
        EXPECT_EQ(message ? std::optional(E{message->payload, message->qos, message->packetIdentifier}) : std::nullopt,
                  c.expected);
        if (message) {
            EXPECT_EQ(message->topic, "t");
        }
    }
}

TEST(CodecTest, AcknowledgementsMatchTheReferenceBytes)
{
    EXPECT_EQ(buildAcknowledgement(kPubackFirstByte, 0x0102), (Bytes{0x40, 0x02, 0x01, 0x02}));  // PUBACK
    EXPECT_EQ(buildAcknowledgement(kPubrecFirstByte, 0xFFFF), (Bytes{0x50, 0x02, 0xFF, 0xFF}));  // PUBREC
    EXPECT_EQ(buildAcknowledgement(kPubcompFirstByte, 1), (Bytes{0x70, 0x02, 0x00, 0x01}));      // PUBCOMP

    // PUBREL: the identifier, whatever 5.0 appends (reason code, properties).
    const std::vector<std::pair<Bytes, std::optional<std::uint16_t>>> pubrels{{{0x12, 0x34}, 0x1234},
                                                                              {{0x12, 0x34, 0x92, 0x00}, 0x1234},
                                                                              {{0x00, 0x00}, std::nullopt},
                                                                              {{0x12}, std::nullopt},
                                                                              {{}, std::nullopt}};
    for (const auto& [body, identifier] : pubrels) {
        EXPECT_EQ(acknowledgedPacketIdentifier(body), identifier);
    }
}

TEST(CodecTest, SubackCodesAndDisconnectReasonAreRead)
{
    struct Case {
        const char* name;
        MQTTProtocolVersion version;
        Bytes body;
        std::optional<std::pair<std::uint16_t, Bytes>> expected;  // identifier, codes
    };
    using E = std::pair<std::uint16_t, Bytes>;
    const std::vector<Case> cases{
        {"3.1.1 granted", v311, {0x12, 0x34, 0x00}, E{0x1234, {0x00}}},
        {"3.1.1 refused", v311, {0x12, 0x34, 0x80}, E{0x1234, {0x80}}},
        {"3.1.1 several", v311, {0x00, 0x07, 0x01, 0x80, 0x02}, E{7, {0x01, 0x80, 0x02}}},
        {"5.0 not authorized", v50, {0x12, 0x34, 0x00, 0x87}, E{0x1234, {0x87}}},
        {"5.0 skips a reason string", v50, {0x00, 0x01, 0x04, 0x1F, 0x00, 0x01, 'x', 0x00}, E{1, {0x00}}},
        {"5.0 properties past the end", v50, {0x00, 0x01, 0x05, 0x1F}, std::nullopt},
        {"5.0 no properties byte", v50, {0x00, 0x01}, std::nullopt},
        {"no code", v311, {0x00, 0x01}, std::nullopt},
        {"identifier cut short", v311, {0x00}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto suback = parseSuback(c.body, c.version);
        EXPECT_EQ(suback ? std::optional(E{suback->packetIdentifier, suback->reasonCodes}) : std::nullopt, c.expected);
    }
    for (const auto& [code, refused] :
         {std::pair{0x00, false}, {0x02, false}, {0x7F, false}, {0x80, true}, {0x87, true}, {0xA2, true}}) {
        EXPECT_EQ(isRefusal(static_cast<std::uint8_t>(code)), refused) << code;
    }

    EXPECT_EQ(disconnectReasonCode(Bytes{}), 0);               // 3.1.1, or 5.0 "normal"
    EXPECT_EQ(disconnectReasonCode(Bytes{0x8B}), 0x8B);        // server shutting down
    EXPECT_EQ(disconnectReasonCode(Bytes{0x8E, 0x00}), 0x8E);  // session taken over, no properties
}

TEST(CodecTest, Base64MatchesRfc4648Vectors)
{
    const std::vector<std::pair<std::string, std::string>> vectors{{"", ""},
                                                                   {"f", "Zg=="},
                                                                   {"fo", "Zm8="},
                                                                   {"foo", "Zm9v"},
                                                                   {"foob", "Zm9vYg=="},
                                                                   {"fooba", "Zm9vYmE="},
                                                                   {"foobar", "Zm9vYmFy"},
                                                                   {"\xFB\xFF", "+/8="}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(Bytes(plain.begin(), plain.end())), encoded);
    }
}

}  // namespace
}  // namespace telvane
