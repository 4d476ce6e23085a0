#include "model/JsonText.h"
#include "model/Records.h"

#include <gtest/gtest.h>

#include <regex>

namespace telvane {
namespace {

std::optional<MQTTConfig> decodeConfig(std::string_view text)
{
    const auto json = parseJsonDocument(text);
    return json ? configFromJson(*json) : std::nullopt;
}

TEST(ConfigDecoding, AcceptsAndRejectsByTheFileFormatRules)
{
    struct Case {
        const char* name;
        const char* json;
        bool readable;
    };
    const Case cases[] = {
        {"minimal", R"({"host":"h","port":1883,"clientID":"c","topics":[]})", true},
        {"escaped solidus read", R"({"host":"h","port":1,"clientID":"c","topics":["a\/b"]})", true},
        {"protocol null", R"({"host":"h","port":1,"clientID":"c","topics":[],"protocolVersion":null})", true},
        {"protocol 2", R"({"host":"h","port":1,"clientID":"c","topics":[],"protocolVersion":2})", false},
        {"protocol 7", R"({"host":"h","port":1,"clientID":"c","topics":[],"protocolVersion":7})", false},
        {"protocol as string", R"({"host":"h","port":1,"clientID":"c","topics":[],"protocolVersion":"1"})", false},
        {"no topics", R"({"host":"h","port":1883,"clientID":"c"})", false},
        {"topics null", R"({"host":"h","port":1883,"clientID":"c","topics":null})", false},
        {"topic not a string", R"({"host":"h","port":1883,"clientID":"c","topics":[1]})", false},
        {"port 65535", R"({"host":"h","port":65535,"clientID":"c","topics":[]})", true},
        {"port 65536", R"({"host":"h","port":65536,"clientID":"c","topics":[]})", false},
        {"port negative", R"({"host":"h","port":-1,"clientID":"c","topics":[]})", false},
        {"port fraction", R"({"host":"h","port":1883.5,"clientID":"c","topics":[]})", false},
        {"port integral fraction", R"({"host":"h","port":1883.0,"clientID":"c","topics":[]})", true},
        {"port exponent", R"({"host":"h","port":1e3,"clientID":"c","topics":[]})", true},
        {"port as string", R"({"host":"h","port":"1883","clientID":"c","topics":[]})", false},
        {"host missing", R"({"port":1883,"clientID":"c","topics":[]})", false},
        {"host null", R"({"host":null,"port":1883,"clientID":"c","topics":[]})", false},
        {"username wrong type", R"({"host":"h","port":1,"clientID":"c","topics":[],"username":1})", false},
        {"keep alive 65536", R"({"host":"h","port":1,"clientID":"c","topics":[],"keepAliveInterval":65536})", false},
        {"label not a string", R"({"host":"h","port":1,"clientID":"c","topics":[],"topicLabels":{"a":1}})", false},
        {"labels not an object", R"({"host":"h","port":1,"clientID":"c","topics":[],"topicLabels":[]})", false},
        {"not an object", R"([1,2])", false},
        {"unknown keys ignored", R"({"host":"h","port":1,"clientID":"c","topics":[],"extra":{"x":1}})", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeConfig(c.json).has_value(), c.readable) << c.name;
    }
}

TEST(JsonDocument, RejectsTrailingDataAndRawNulBytes)
{
    const std::string withNul("{\"a\":1}\0junk", 12);
    const struct {
        std::string text;
        bool parses;
    } cases[] = {
        {R"({"a":1})", true},
        {R"({"a":1} x)", false},
        {withNul, false},
        {"", false},
        {R"({"a":1,})", false},
        {"{\"a\":\"\xFF\"}", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseJsonDocument(c.text).has_value(), c.parses) << c.text;
    }
}

TEST(ConfigDecoding, MissingOptionalKeysTakeTheirDefaults)
{
    const auto config = decodeConfig(R"({"host":"b","port":1884,"clientID":"x","topics":["a\/b","c"]})");
    ASSERT_TRUE(config);
    EXPECT_EQ(config->host, "b");
    EXPECT_EQ(config->port, 1884);
    EXPECT_EQ(config->keepAliveInterval, 60);
    EXPECT_EQ(config->protocolVersion, MQTTProtocolVersion::mqtt311);
    EXPECT_TRUE(config->topicLabels.empty());
    EXPECT_FALSE(config->username);
    EXPECT_FALSE(config->password);
    EXPECT_EQ(config->topics, (std::vector<std::string>{"a/b", "c"}));
}

TEST(ConfigEncoding, RoundTripsEveryFieldAndOmitsOnlyAbsentCredentials)
{
    MQTTConfig config;
    config.host = "broker.local";
    config.port = 8883;
    config.clientID = "Telvane-1";
    config.password = "";
    config.topics = {"home/+/temp", "#"};
    config.keepAliveInterval = 0;
    config.protocolVersion = MQTTProtocolVersion::mqtt50;
    config.topicLabels = {{"home/a", "Wohnzimmer"}, {"ü/ß", "Ümlaut"}};

    const std::string text = encodeJsonDocument(toJson(config));
    EXPECT_EQ(text.find("\"username\""), std::string::npos);
    EXPECT_NE(text.find(R"("password":"")"), std::string::npos);
    EXPECT_NE(text.find(R"("home\/+\/temp")"), std::string::npos);
    EXPECT_EQ(text.find("home/"), std::string::npos) << "every solidus is escaped";
    EXPECT_EQ(text.find(' '), std::string::npos) << "compact output";
    EXPECT_EQ(decodeConfig(text), config);
}

TEST(ConfigDefault, IsBuiltOncePerProcess)
{
    const MQTTConfig& first = MQTTConfig::defaultConfig();
    EXPECT_TRUE(std::regex_match(first.clientID, std::regex("Telvane-[0-9]{10,}")));
    EXPECT_EQ(first.host, "");
    EXPECT_EQ(first.port, 1883);
    EXPECT_EQ(first.keepAliveInterval, 60);
    EXPECT_EQ(&first, &MQTTConfig::defaultConfig());
}

TEST(MessageEncoding, TimestampIsSecondsSince2001AndReadsBackExactly)
{
    struct Case {
        double unix;
        const char* written;
    };
    const Case cases[] = {
        {978307200.0, R"("timestamp":0)"},
        {978307200.5, R"("timestamp":0.5)"},
        {1700000000.25, R"("timestamp":721692800.25)"},
    };
    for (const auto& c : cases) {
        const MQTTMessage m{"a/b", "{\"t\":1}", Date::fromUnix(c.unix)};
        const std::string text = encodeJsonDocument(toJson(m));
        EXPECT_NE(text.find(c.written), std::string::npos) << text;
        const auto back = messageFromJson(*parseJsonDocument(text));
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, m);
    }
    // Arbitrary fractions survive the text form bit for bit.
    const MQTTMessage now{"t", "", Date::now()};
    EXPECT_EQ(messageFromJson(*parseJsonDocument(encodeJsonDocument(toJson(now)))), now);
}

TEST(MessageIdentity, CarriesTheUnixTimeInShortestForm)
{
    struct Case {
        double unix;
        const char* id;
    };
    const Case cases[] = {
        {1700000000.0, "a/b-1700000000.0"},
        {1700000000.25, "a/b-1700000000.25"},
        {0.0, "a/b-0.0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((MQTTMessage{"a/b", "", Date{c.unix - Date::kUnixOffset}}.id()), c.id);
    }
}

TEST(ListDecoding, OneBadEntryMakesTheWholeListUnreadable)
{
    const char* good = R"({"id":"0d0e6c1a-1111-4222-8333-444455556666","topic":"t","label":"L","jsonPath":"a.b"})";
    const struct {
        std::string json;
        bool readable;
    } cases[] = {
        {std::string("[") + good + "]", true},
        {std::string("[") + good + R"(,{"id":"nope","topic":"t","label":"L","jsonPath":""}])", false},
        {R"([{"id":"0D0E6C1A-1111-4222-8333-444455556666","topic":"t","label":"L"}])", false},
        {R"([{"id":"0D0E6C1A-1111-4222-8333-44445555666G","topic":"t","label":"L","jsonPath":""}])", false},
        {R"({"not":"a list"})", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(displayItemsFromJson(*parseJsonDocument(c.json)).has_value(), c.readable) << c.json;
    }
    const auto items = displayItemsFromJson(*parseJsonDocument(std::string("[") + good + "]"));
    EXPECT_EQ(items->front().id, "0D0E6C1A-1111-4222-8333-444455556666") << "ids are kept in upper case";

    EXPECT_FALSE(messagesFromJson(*parseJsonDocument(R"([{"topic":"t","payload":"p","timestamp":"0"}])")));
    EXPECT_FALSE(messagesFromJson(*parseJsonDocument(R"([{"topic":"t","payload":null,"timestamp":0}])")));
}

TEST(DisplayItem, FreshIdsAreUpperCaseVersion4Uuids)
{
    const auto a = MQTTDisplayItem::make("t", "L", "p");
    const auto b = MQTTDisplayItem::make("t", "L", "p");
    EXPECT_NE(a.id, b.id);
    EXPECT_TRUE(std::regex_match(a.id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << a.id;
    EXPECT_EQ(canonicalUUID(a.id), a.id);
}

TEST(ProtocolVersion, RawValuesLevelsAndTexts)
{
    EXPECT_EQ(protocolVersionFromRaw(0), MQTTProtocolVersion::mqtt311);
    EXPECT_EQ(protocolVersionFromRaw(1), MQTTProtocolVersion::mqtt50);
    EXPECT_FALSE(protocolVersionFromRaw(2));
    EXPECT_FALSE(protocolVersionFromRaw(-1));
    EXPECT_EQ(protocolLevel(MQTTProtocolVersion::mqtt311), 4);
    EXPECT_EQ(protocolLevel(MQTTProtocolVersion::mqtt50), 5);
    EXPECT_EQ(displayText(kAllProtocolVersions[0]), "MQTT 3.1.1");
    EXPECT_EQ(displayText(kAllProtocolVersions[1]), "MQTT 5.0");
}

}  // namespace
}  // namespace telvane
