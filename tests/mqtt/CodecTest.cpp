#include "mqtt/Codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace telvane {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

MQTTConfig configWith(std::string clientID, std::optional<std::string> username,
                      std::optional<std::string> password,
                      MQTTProtocolVersion version = MQTTProtocolVersion::mqtt311)
{
    MQTTConfig config;
    config.clientID = std::move(clientID);
    config.username = std::move(username);
    config.password = std::move(password);
    config.keepAliveInterval = 60;
    config.protocolVersion = version;
    return config;
}

Bytes framedConnect(const MQTTConfig& config)
{
    const auto body = buildConnectBody(config);
    EXPECT_TRUE(body.has_value());
    return framePacket(kConnectFirstByte, body.value_or(Bytes{})).value_or(Bytes{});
}

// ---- Variable byte integer ------------------------------------------------

struct VariableByteIntegerCase {
    std::uint32_t value;
    Bytes encoded;
};

TEST(CodecTest, VariableByteIntegerRoundTripsAtItsBoundaries)
{
    const std::vector<VariableByteIntegerCase> cases{
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {321, {0xC1, 0x02}},
        {16'383, {0xFF, 0x7F}},
        {16'384, {0x80, 0x80, 0x01}},
        {2'097'151, {0xFF, 0xFF, 0x7F}},
        {2'097'152, {0x80, 0x80, 0x80, 0x01}},
        {268'435'455, {0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(encodeRemainingLength(c.value), c.encoded);
        const auto read = readVariableByteInteger(c.encoded);
        EXPECT_EQ(read.status, ReadStatus::ok);
        EXPECT_EQ(read.value, c.value);
        EXPECT_EQ(read.length, c.encoded.size());
        // Every proper prefix asks for more bytes instead of guessing.
        for (std::size_t n = 0; n < c.encoded.size(); ++n) {
            EXPECT_EQ(readVariableByteInteger(ByteView(c.encoded).first(n)).status, ReadStatus::incomplete);
        }
    }
}

TEST(CodecTest, VariableByteIntegerAboveTheProtocolMaximumIsRefused)
{
    EXPECT_FALSE(encodeRemainingLength(268'435'456).has_value());
    Bytes out{0xAA};
    EXPECT_FALSE(writeVariableByteInteger(out, 0xFFFF'FFFFu));
    EXPECT_EQ(out, Bytes{0xAA});

    // A fourth byte that still continues is malformed under the four-byte limit.
    EXPECT_EQ(readVariableByteInteger(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x01}).status, ReadStatus::malformed);
    // Under the five-byte limit: a fifth continuation byte, or a value past the maximum.
    EXPECT_EQ(readVariableByteInteger(Bytes{0x80, 0x80, 0x80, 0x80, 0x80}, 5).status, ReadStatus::malformed);
    EXPECT_EQ(readVariableByteInteger(Bytes{0x80, 0x80, 0x80, 0x80, 0x01}, 5).status, ReadStatus::malformed);
    const auto nonMinimalZero = readVariableByteInteger(Bytes{0x80, 0x80, 0x80, 0x80, 0x00}, 5);
    EXPECT_EQ(nonMinimalZero.status, ReadStatus::ok);
    EXPECT_EQ(nonMinimalZero.value, 0u);
}

// ---- 16-bit integer and string --------------------------------------------

TEST(CodecTest, UInt16AndStringUseBigEndianByteCounts)
{
    EXPECT_EQ(encodeUInt16(0x1234), (Bytes{0x12, 0x34}));
    EXPECT_EQ(encodeUInt16(0), (Bytes{0x00, 0x00}));
    EXPECT_EQ(encodeUInt16(65535), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(readUInt16(Bytes{0xAB, 0xCD}).value, 0xABCD);
    EXPECT_EQ(readUInt16(Bytes{0xAB}).status, ReadStatus::incomplete);

    EXPECT_EQ(encodeString(""), (Bytes{0x00, 0x00}));
    // The count is of UTF-8 bytes: "ä" is two.
    EXPECT_EQ(encodeString("\xC3\xA4"), (Bytes{0x00, 0x02, 0xC3, 0xA4}));
    EXPECT_EQ(readString(Bytes{0x00, 0x02, 'h', 'i', 'x'}).value, "hi");
    EXPECT_EQ(readString(Bytes{0x00, 0x03, 'h', 'i'}).status, ReadStatus::incomplete);
}

TEST(CodecTest, StringLengthNeverWraps)
{
    const std::string longest(65'535, 'x');
    const auto encoded = encodeString(longest);
    ASSERT_TRUE(encoded.has_value());
    EXPECT_EQ((*encoded)[0], 0xFF);
    EXPECT_EQ((*encoded)[1], 0xFF);
    EXPECT_EQ(encoded->size(), 65'537u);

    EXPECT_FALSE(encodeString(std::string(65'536, 'x')).has_value());
    EXPECT_FALSE(buildSubscribeBody(std::string(65'536, 'x'), MQTTProtocolVersion::mqtt311, 1).has_value());
}

// ---- CONNECT ----------------------------------------------------------------

TEST(CodecTest, ConnectMatchesTheReferenceBytes)
{
    const auto v311 = configWith("abc", std::nullopt, std::nullopt);
    EXPECT_EQ(framedConnect(v311), (Bytes{
                                       0x10, 0x0F,                          // CONNECT, remaining length 15
                                       0x00, 0x04, 'M', 'Q', 'T', 'T',      // protocol name
                                       0x04,                                // protocol level 3.1.1
                                       0x02,                                // flags: clean session
                                       0x00, 0x3C,                          // keep alive 60
                                       0x00, 0x03, 'a', 'b', 'c',           // client identifier
                                   }));

    const auto v50 = configWith("abc", std::nullopt, std::nullopt, MQTTProtocolVersion::mqtt50);
    EXPECT_EQ(framedConnect(v50), (Bytes{
                                      0x10, 0x10,                           // CONNECT, remaining length 16
                                      0x00, 0x04, 'M', 'Q', 'T', 'T',       // protocol name
                                      0x05,                                 // protocol level 5.0
                                      0x02,                                 // flags: clean start
                                      0x00, 0x3C,                           // keep alive 60
                                      0x00,                                 // no properties
                                      0x00, 0x03, 'a', 'b', 'c',            // client identifier
                                  }));
}

struct ConnectFlagsCase {
    const char* name;
    std::optional<std::string> username;
    std::optional<std::string> password;
    std::uint8_t flags;
    Bytes tail;  // the fields after the client identifier
};

TEST(CodecTest, ConnectFlagsFollowUsernameAndPassword)
{
    const std::vector<ConnectFlagsCase> cases{
        {"neither", std::nullopt, std::nullopt, 0x02, {}},
        {"both empty", std::string(""), std::string(""), 0x02, {}},
        {"user only", std::string("u"), std::nullopt, 0x82, {0x00, 0x01, 'u'}},
        {"user, empty password", std::string("u"), std::string(""), 0x82, {0x00, 0x01, 'u'}},
        {"password only", std::nullopt, std::string("pw"), 0xC2, {0x00, 0x00, 0x00, 0x02, 'p', 'w'}},
        {"both", std::string("u"), std::string("pw"), 0xC2, {0x00, 0x01, 'u', 0x00, 0x02, 'p', 'w'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto body = buildConnectBody(configWith("c", c.username, c.password));
        ASSERT_TRUE(body.has_value());
        ASSERT_GE(body->size(), 13u);
        EXPECT_EQ((*body)[7], c.flags);
        // Protocol name (6), level, flags, keep alive (2), client id "c" (3) precede the tail.
        EXPECT_EQ(Bytes(body->begin() + 13, body->end()), c.tail);
    }
}

TEST(CodecTest, ConnectKeepAliveZeroAndEmptyClientIDAreSentAsIs)
{
    auto config = configWith("", std::nullopt, std::nullopt);
    config.keepAliveInterval = 0;
    const auto body = buildConnectBody(config);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(Bytes(body->begin() + 8, body->end()), (Bytes{0x00, 0x00, 0x00, 0x00}));
}

TEST(CodecTest, OverlongConnectFieldIsNamedAndNothingIsBuilt)
{
    const std::string tooLong(65'536, 'x');
    const std::string longest(65'535, 'x');
    struct Case {
        MQTTConfig config;
        std::optional<ConnectField> field;
    };
    const std::vector<Case> cases{
        {configWith(longest, longest, longest), std::nullopt},
        {configWith(tooLong, std::nullopt, std::nullopt), ConnectField::clientID},
        {configWith("c", tooLong, std::nullopt), ConnectField::username},
        {configWith("c", std::nullopt, tooLong), ConnectField::password},
        {configWith(tooLong, tooLong, tooLong), ConnectField::clientID},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(overlongConnectField(c.config), c.field);
        EXPECT_EQ(buildConnectBody(c.config).has_value(), !c.field.has_value());
    }
}

// ---- SUBSCRIBE --------------------------------------------------------------

TEST(CodecTest, SubscribeMatchesTheReferenceBytes)
{
    struct Case {
        const char* filter;
        MQTTProtocolVersion version;
        Bytes framed;
    };
    const std::vector<Case> cases{
        {"a/b", MQTTProtocolVersion::mqtt311,
         {0x82, 0x08,                  // SUBSCRIBE, remaining length 8
          0x12, 0x34,                  // packet identifier
          0x00, 0x03, 'a', '/', 'b',   // topic filter
          0x00}},                      // QoS 0
        {"a/b", MQTTProtocolVersion::mqtt50,
         {0x82, 0x09,                  // SUBSCRIBE, remaining length 9
          0x12, 0x34,                  // packet identifier
          0x00,                        // no properties
          0x00, 0x03, 'a', '/', 'b',   // topic filter
          0x00}},                      // subscription options: QoS 0
        {"#", MQTTProtocolVersion::mqtt311, {0x82, 0x06, 0x12, 0x34, 0x00, 0x01, '#', 0x00}},
        {"", MQTTProtocolVersion::mqtt311, {0x82, 0x05, 0x12, 0x34, 0x00, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filter);
        const auto body = buildSubscribeBody(c.filter, c.version, 0x1234);
        ASSERT_TRUE(body.has_value());
        EXPECT_EQ(framePacket(kSubscribeFirstByte, *body), c.framed);
    }
}

TEST(CodecTest, RandomPacketIdentifierIsNeverZero)
{
    for (int i = 0; i < 10'000; ++i) {
        ASSERT_NE(randomPacketIdentifier(), 0);
    }
    const auto body = buildSubscribeBody("t", MQTTProtocolVersion::mqtt311);
    ASSERT_TRUE(body.has_value());
    EXPECT_NE(readUInt16(*body).value, 0);
}

// ---- extractPacket ----------------------------------------------------------

// Cuts every complete packet off `buffer` as the receive path does.
struct Cut {
    std::vector<std::pair<std::uint8_t, Bytes>> packets;
    ExtractStatus last = ExtractStatus::incomplete;
    std::size_t consumed = 0;
};

Cut cutAll(const Bytes& buffer)
{
    Cut cut;
    while (true) {
        const auto result = extractPacket(ByteView(buffer).subspan(cut.consumed));
        cut.last = result.status;
        if (result.status != ExtractStatus::packet) {
            return cut;
        }
        cut.packets.emplace_back(result.firstByte, Bytes(result.body.begin(), result.body.end()));
        cut.consumed += result.length;
    }
}

TEST(CodecTest, ExtractPacketCutsWholePacketsAndKeepsThePartialRest)
{
    const Bytes publish{0x30, 0x07, 0x00, 0x03, 'a', '/', 'b', 'H', 'i'};
    struct Case {
        const char* name;
        Bytes buffer;
        std::size_t packets;
        std::size_t consumed;
    };
    Bytes merged{0xD0, 0x00};
    merged.insert(merged.end(), publish.begin(), publish.end());
    Bytes withPartial = merged;
    withPartial.insert(withPartial.end(), publish.begin(), publish.begin() + 4);

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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto cut = cutAll(c.buffer);
        EXPECT_EQ(cut.last, ExtractStatus::incomplete);
        EXPECT_EQ(cut.packets.size(), c.packets);
        EXPECT_EQ(cut.consumed, c.consumed);
    }

    const auto cut = cutAll(merged);
    ASSERT_EQ(cut.packets.size(), 2u);
    EXPECT_EQ(cut.packets[0].first, 0xD0);
    EXPECT_TRUE(cut.packets[0].second.empty());
    EXPECT_EQ(cut.packets[1].first, 0x30);
    EXPECT_EQ(cut.packets[1].second, Bytes(publish.begin() + 2, publish.end()));
}

TEST(CodecTest, ExtractPacketWaitsForTheLastByteOfATwoByteLength)
{
    Bytes buffer{0x30, 0x80, 0x01};
    buffer.resize(3 + 127, 0x41);
    EXPECT_EQ(extractPacket(buffer).status, ExtractStatus::incomplete);
    buffer.push_back(0x41);
    const auto result = extractPacket(buffer);
    ASSERT_EQ(result.status, ExtractStatus::packet);
    EXPECT_EQ(result.body.size(), 128u);
    EXPECT_EQ(result.length, buffer.size());
}

TEST(CodecTest, ExtractPacketReportsAnInvalidRemainingLengthAsMalformed)
{
    struct Case {
        const char* name;
        Bytes buffer;
        ExtractStatus status;
    };
    const std::vector<Case> cases{
        {"fifth byte continues", {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, ExtractStatus::malformed},
        {"value past the maximum", {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, ExtractStatus::malformed},
        {"four continuation bytes so far", {0x30, 0xFF, 0xFF, 0xFF, 0xFF}, ExtractStatus::incomplete},
        {"non-minimal zero", {0xD0, 0x80, 0x80, 0x80, 0x80, 0x00}, ExtractStatus::packet},
        {"maximum, body missing", {0x30, 0xFF, 0xFF, 0xFF, 0x7F}, ExtractStatus::incomplete},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(extractPacket(c.buffer).status, c.status);
    }
}

// ---- CONNACK ----------------------------------------------------------------

TEST(CodecTest, ConnackCodeIsTheSecondBodyByte)
{
    struct Case {
        Bytes body;
        std::uint8_t code;
    };
    const std::vector<Case> cases{
        {{0x00, 0x00}, 0},
        {{0x01, 0x00}, 0},        // session present is ignored
        {{0x00, 0x05}, 5},
        {{0x00, 0x87, 0x00}, 0x87},  // 5.0: reason code, properties ignored
        {{0x00}, 255},
        {{}, 255},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(connackCode(c.body), c.code);
    }
}

// ---- PUBLISH ----------------------------------------------------------------

TEST(CodecTest, ParsePublishReadsTopicAndPayload)
{
    struct Case {
        const char* name;
        MQTTProtocolVersion version;
        Bytes body;
        std::optional<PublishMessage> expected;
    };
    const auto v311 = MQTTProtocolVersion::mqtt311;
    const auto v50 = MQTTProtocolVersion::mqtt50;
    const std::vector<Case> cases{
        {"3.1.1 text", v311, {0x00, 0x03, 'a', '/', 'b', 'H', 'i'}, PublishMessage{"a/b", "Hi"}},
        {"5.0 text", v50, {0x00, 0x03, 'a', '/', 'b', 0x00, 'H', 'i'}, PublishMessage{"a/b", "Hi"}},
        {"not UTF-8 becomes Base64", v311, {0x00, 0x01, 't', 0xFF, 0xFE}, PublishMessage{"t", "//4="}},
        {"truncated UTF-8 becomes Base64", v311, {0x00, 0x01, 't', 'o', 'k', 0xC3}, PublishMessage{"t", "b2vD"}},
        {"overlong UTF-8 becomes Base64", v311, {0x00, 0x01, 't', 0xC0, 0xAF}, PublishMessage{"t", "wK8="}},
        {"surrogate becomes Base64", v311, {0x00, 0x01, 't', 0xED, 0xA0, 0x80}, PublishMessage{"t", "7aCA"}},
        {"multi-byte UTF-8 stays text", v311, {0x00, 0x01, 't', 0xE2, 0x82, 0xAC}, PublishMessage{"t", "\xE2\x82\xAC"}},
        {"3.1.1 empty payload", v311, {0x00, 0x01, 't'}, PublishMessage{"t", ""}},
        {"5.0 ends after the topic", v50, {0x00, 0x01, 't'}, std::nullopt},
        {"5.0 skips properties", v50, {0x00, 0x01, 't', 0x03, 0x01, 0x01, 0x00, 'v'}, PublishMessage{"t", "v"}},
        {"5.0 two-byte property length", v50,
         [] {
             Bytes b{0x00, 0x01, 't', 0x80, 0x01};
             b.resize(b.size() + 128, 0x00);
             b.push_back('v');
             return b;
         }(),
         PublishMessage{"t", "v"}},
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
        const auto message = parsePublish(c.body, c.version);
        ASSERT_EQ(message.has_value(), c.expected.has_value());
        if (message) {
            EXPECT_EQ(message->topic, c.expected->topic);
            EXPECT_EQ(message->payload, c.expected->payload);
        }
    }
}

TEST(CodecTest, Base64MatchesRfc4648Vectors)
{
    const std::vector<std::pair<std::string, std::string>> vectors{
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(bytesOf(plain)), encoded);
    }
    EXPECT_EQ(base64Encode(Bytes{0xFB, 0xFF}), "+/8=");
}

}  // namespace
}  // namespace telvane
