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
    const struct {
        const char* name;
        std::string json;
        bool readable;
    } cases[] = {
        {"protocol 2", R"({"host":"h","port":1,"clientID":"c","topics":[],"protocolVersion":2})", false},
        {"protocol as string", R"({"host":"h","port":1,"clientID":"c","topics":[],"protocolVersion":"1"})", false},
        {"no topics", R"({"host":"h","port":1883,"clientID":"c"})", false},
        {"topics null", R"({"host":"h","port":1883,"clientID":"c","topics":null})", false},
        {"topic not a string", R"({"host":"h","port":1883,"clientID":"c","topics":[1]})", false},
        {"host missing", R"({"port":1883,"clientID":"c","topics":[]})", false},
        {"port 65535", R"({"host":"h","port":65535,"clientID":"c","topics":[]})", true},
        {"port 65536", R"({"host":"h","port":65536,"clientID":"c","topics":[]})", false},
        {"port negative", R"({"host":"h","port":-1,"clientID":"c","topics":[]})", false},
        {"port fraction", R"({"host":"h","port":1883.5,"clientID":"c","topics":[]})", false},
        {"port integral fraction", R"({"host":"h","port":1883.0,"clientID":"c","topics":[]})", true},
        {"port exponent", R"({"host":"h","port":1e3,"clientID":"c","topics":[]})", true},
        {"port as string", R"({"host":"h","port":"1883","clientID":"c","topics":[]})", false},
        {"username wrong type", R"({"host":"h","port":1,"clientID":"c","topics":[],"username":1})", false},
        {"keep alive 65536", R"({"host":"h","port":1,"clientID":"c","topics":[],"keepAliveInterval":65536})", false},
        {"label not a string", R"({"host":"h","port":1,"clientID":"c","topics":[],"topicLabels":{"a":1}})", false},
        {"not an object", R"([1,2])", false},
        {"unknown keys ignored", R"({"host":"h","port":1,"clientID":"c","topics":[],"extra":{"x":1}})", true},
        {"trailing data", R"({"host":"h","port":1,"clientID":"c","topics":[]} x)", false},
        {"raw NUL byte", R"({"host":"h","port":1,"clientID":"c","topics":[]})" + std::string(1, '\0'), false},
        {"not UTF-8", "{\"host\":\"\xFF\",\"port\":1,\"clientID\":\"c\",\"topics\":[]}", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeConfig(c.json).has_value(), c.readable) << c.name;
    }
}

TEST(ConfigDecoding, MissingOrNullOptionalKeysTakeTheirDefaults)
{
    for (const char* protocol : {"", R"(,"protocolVersion":null)"}) {
        const auto config = decodeConfig(std::string(R"({"host":"b","port":1884,"clientID":"x","topics":["a\/b","c"])")
                                         + protocol + "}");
        ASSERT_TRUE(config) << protocol;
        EXPECT_EQ(config->port, 1884);
        EXPECT_EQ(config->keepAliveInterval, 60);
        EXPECT_EQ(config->protocolVersion, MQTTProtocolVersion::mqtt311);
        EXPECT_TRUE(config->topicLabels.empty());
        EXPECT_FALSE(config->username);
        EXPECT_FALSE(config->password);
        EXPECT_EQ(config->topics, (std::vector<std::string>{"a/b", "c"}));
    }
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

TEST(ConfigDefault, IsBuiltOncePerProcessWithATimeBasedClientId)
{
    const MQTTConfig& first = MQTTConfig::defaultConfig();
    EXPECT_TRUE(std::regex_match(first.clientID, std::regex("Telvane-[0-9]{10,}"))) << first.clientID;
    EXPECT_EQ(first.clientID, MQTTConfig::defaultConfig().clientID);
}

TEST(MessageEncoding, TimestampIsSecondsSince2001AndReadsBackExactly)
{
    const struct {
        double unix;
        const char* written;
    } cases[] = {
        {978307200.0, R"("timestamp":0)"},
        {978307200.5, R"("timestamp":0.5)"},
    };
    for (const auto& c : cases) {
        const MQTTMessage m{"a/b", "{\"t\":1}", Date::fromUnix(c.unix)};
        const std::string text = encodeJsonDocument(toJson(m));
        EXPECT_NE(text.find(c.written), std::string::npos) << text;
        EXPECT_EQ(messageFromJson(*parseJsonDocument(text)), m);
    }
    // Arbitrary fractions survive the text form bit for bit.
    const MQTTMessage now{"t", "", Date::now()};
    EXPECT_EQ(messageFromJson(*parseJsonDocument(encodeJsonDocument(toJson(now)))), now);
}

// Stored documents have always held the JSON library's compact text with
// "/" escaped; the store's own, faster encoder must write the same bytes.
TEST(DocumentEncoding, WritesExactlyWhatTheLibraryWritesWithSlashesEscaped)
{
    const auto library = [](const Json& json) {
        std::string text;
        for (const char c : json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) {
            text += c == '/' ? std::string("\\/") : std::string(1, c);
        }
        return text;
    };
    const std::string strings[] = {
        "",
        "plain text",
        "a/b//c/",
        "\"quote\" and \\backslash\\",
        std::string("\b\f\n\r\t\x01\x1f\x7f", 8) + std::string(1, '\0') + "nul",
        "\xC3\xA4\xE2\x80\x93\xF0\x9F\x98\x80 umlaut, dash, emoji",
        "\x80 lone continuation",
        "truncated \xE2\x80",
        "overlong \xC0\xAF slash",
        "surrogate \xED\xA0\x80",
        "above \xF4\x90\x80\x80 U+10FFFF",
        "\xFF\xFE",
        "mixed \xC3\xA4 then \xC3 broken / slash",
    };
    for (const auto& text : strings) {
        EXPECT_EQ(encodeJsonDocument(Json(text)), library(Json(text))) << text;
        Json object = Json::object();
        object[text] = Json::array({text, 1, -2.5, 0.1, true, nullptr, Json::object()});
        EXPECT_EQ(encodeJsonDocument(object), library(object)) << text;
        const std::vector<MQTTMessage> messages{{text, text, Date{0.5}}, {"a/b", "{}", Date{-3}}};
        EXPECT_EQ(encodeMessagesDocument(messages), encodeJsonDocument(toJson(messages))) << text;
    }
    EXPECT_EQ(encodeMessagesDocument({}), "[]");
}

TEST(ListDecoding, OneBadEntryMakesTheWholeListUnreadable)
{
    const std::string good =
        R"({"id":"0d0e6c1a-1111-4222-8333-444455556666","topic":"t","label":"L","jsonPath":"a.b"})";
    const struct {
        std::string json;
        bool readable;
    } cases[] = {
        {"[" + good + "]", true},
        {"[" + good + R"(,{"id":"nope","topic":"t","label":"L","jsonPath":""}])", false},
        {R"([{"id":"0D0E6C1A-1111-4222-8333-444455556666","topic":"t","label":"L"}])", false},
        {R"({"not":"a list"})", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(displayItemsFromJson(*parseJsonDocument(c.json)).has_value(), c.readable) << c.json;
    }
    const auto items = displayItemsFromJson(*parseJsonDocument("[" + good + "]"));
    EXPECT_EQ(items->front().id, "0D0E6C1A-1111-4222-8333-444455556666") << "ids are kept in upper case";
    EXPECT_FALSE(messagesFromJson(*parseJsonDocument(R"([{"topic":"t","payload":"p","timestamp":"0"}])")));
}

TEST(DisplayItem, FreshIdsAreDistinctUpperCaseVersion4Uuids)
{
    const auto a = MQTTDisplayItem::make("t", "L", "p");
    EXPECT_NE(a.id, MQTTDisplayItem::make("t", "L", "p").id);
    const std::regex upperCaseV4("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    EXPECT_TRUE(std::regex_match(a.id, upperCaseV4)) << a.id;
}

}  // namespace
}  // namespace telvane
