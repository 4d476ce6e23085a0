#include "model/JsonPath.h"
#include "model/PayloadNumber.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace telvane {
namespace {

constexpr auto kNotJSON = PayloadNumber{PayloadNumberKind::notJSON, 0};
constexpr auto kNoNumber = PayloadNumber{PayloadNumberKind::noNumber, 0};

constexpr PayloadNumber number(double value)
{
    return {PayloadNumberKind::number, value};
}

std::string nested(int depth, const std::string& inner)
{
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += "{\"a\":";
    }
    return text + inner + std::string(static_cast<std::size_t>(depth), '}');
}

// Each case is also held against the parsed document, so that a table entry
// that is wrong about JsonPath's rules fails as well as a scanner that is.
TEST(PayloadNumberTest, FindsWhatTheParsedDocumentHoldsAtThePath)
{
    const std::string deepPath = [] {
        std::string path;
        for (int i = 0; i < kMaxPayloadDepth - 1; ++i) {
            path += "a.";
        }
        return path;
    }();
    const struct {
        std::string payload;
        std::string path;
        PayloadNumber expected;
    } cases[] = {
        {R"({"t": 21.5})", "t", number(21.5)},
        {R"( {"s": {"t": -0.25e1}} )", "s..t.", number(-2.5)},
        {R"({"a": [{"v": 1}, {"v": 2}]})", "a.+1.v", number(2)},
        {R"({"a": [{"v": 1}, {"v": 2}]})", "a.-0.v", number(1)},
        {R"({"a": [{"v": 1}, {"v": 2}]})", "a.2.v", kNoNumber},
        {R"({"0": 5, "x": [6]})", "0", number(5)},
        {R"([[1, [2, 3]], 4])", "0.1.1", number(3)},
        {R"({"t": 1, "t": 2})", "t", number(2)},
        {R"({"t": 1, "t": "warm"})", "t", kNoNumber},
        {R"({"s": {"t": 1}, "s": {"u": 2}})", "s.t", kNoNumber},
        {R"({"s": {"t": 1}, "s": 3, "s": {"t": 4}})", "s.t", number(4)},
        {R"({"\u0074\u00e4": 7, "x\"y": 8})", "tä", number(7)},
        {R"({"x\"y": 8, "\ud834\udd1e": 9})", "𝄞", number(9)},
        {R"({"t": 1})", "", kNoNumber},
        {R"({"t": "21.5"})", "t", kNoNumber},
        {R"({"t": true, "f": false, "n": null, "o": {}, "a": []})", "t", kNoNumber},
        {R"({"t": true, "f": false, "n": null, "o": {}, "a": []})", "n", kNoNumber},
        {R"({"t": true, "f": false, "n": null, "o": {}, "a": []})", "o", kNoNumber},
        {R"({"t": [1]})", "t", kNoNumber},
        {R"({"t": 1})", "t.u", kNoNumber},
        {R"({"t": 18446744073709551615})", "t", number(18446744073709551615.0)},
        {R"({"t": -9223372036854775808})", "t", number(-9223372036854775808.0)},
        {R"({"t": 18446744073709551616})", "t", kNoNumber},  // text beyond 64 bits
        {R"({"t": -9223372036854775809})", "t", kNoNumber},
        {R"({"t": 1.7976931348623157e308})", "t", number(std::numeric_limits<double>::max())},
        {R"({"t": 1.7976931348623159e308})", "t", kNotJSON},
        {R"({"t": 1, "u": 1e400})", "t", kNotJSON},
        {R"({"t": 1, "u": -1e400})", "t", kNotJSON},
        {R"({"t": 4.9e-324})", "t", number(std::numeric_limits<double>::denorm_min())},
        {R"({"t": -1e-400})", "t", number(-0.0)},
        {"{\"t\": 1" + std::string(310, '0') + "}", "t", kNotJSON},
        {"{\"t\": 1" + std::string(300, '0') + "}", "t", kNoNumber},
        {"\xEF\xBB\xBF{\"t\": 3}", "t", number(3)},
        {"\xEF\xBB{\"t\": 3}", "t", kNotJSON},
        {"21.5", "", kNotJSON},
        {"", "t", kNotJSON},
        {R"({"t": 01})", "t", kNotJSON},
        {R"({"t": 1.})", "t", kNotJSON},
        {R"({"t": .5})", "t", kNotJSON},
        {R"({"t": +1})", "t", kNotJSON},
        {R"({"t": NaN})", "t", kNotJSON},
        {R"({"t": 1,})", "t", kNotJSON},
        {R"({"t": 1} {)", "t", kNotJSON},
        {R"({"t": 1, "s": "\ud800"})", "t", kNotJSON},
        {R"({"t": 1, "s": "\x"})", "t", kNotJSON},
        {"{\"t\": 1, \"s\": \"\xC0\xAF\"}", "t", kNotJSON},
        {"{\"t\": 1, \"s\": \"\xED\xA0\x80\"}", "t", kNotJSON},
        {"{\"t\": 1, \"s\": \"a\tb\"}", "t", kNotJSON},
        {std::string("{\"t\": 1}\0", 9), "t", kNotJSON},
        {nested(kMaxPayloadDepth - 1, "[7]"), deepPath + "0", number(7)},
        {nested(kMaxPayloadDepth, "[7]"), deepPath + "a.0", kNotJSON},
    };
    for (const auto& c : cases) {
        const auto found = findPayloadNumber(c.payload, PayloadPath(c.path));
        EXPECT_EQ(found, c.expected) << "payload " << c.payload.substr(0, 80) << ", path " << c.path.substr(0, 40);
        const auto root = parseJSONPayload(c.payload);
        EXPECT_EQ(root.has_value(), c.expected.kind != PayloadNumberKind::notJSON) << c.payload.substr(0, 80);
    }
}

TEST(PayloadNumberTest, AWholePayloadCountsOnlyAsABareNumber)
{
    const struct {
        std::string payload;
        PayloadNumber expected;
    } cases[] = {
        {"21.5", number(21.5)},
        {" \t-3\r\n", number(-3)},
        {"1e2", number(100)},
        {"18446744073709551616", kNotJSON},
        {"1e400", kNotJSON},
        {"", kNotJSON},
        {"21.5 °C", kNotJSON},
        {"21,5", kNotJSON},
        {"[21.5]", kNotJSON},
        {R"("21.5")", kNotJSON},
        {"true", kNotJSON},
        {"0x10", kNotJSON},
        {"\xEF\xBB\xBF"
         "1",
         kNotJSON},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(findPayloadNumber(c.payload, PayloadPath::wholePayload()), c.expected) << c.payload;
    }
}

}  // namespace
}  // namespace telvane
