// The four documents of the shared store, as another program may have left
// them: any text goes through the strict JSON reader and the document's
// decoder.
//
// Input: one selector byte (modulo 4: "config", "messages", "displayItems",
// "discoveredTopics"), then the document text.
//
// Beyond "no fault", a document that decodes must survive the way back:
// encoded as the store writes it, it reads again as the very same value.
// Otherwise Telvane would rewrite a readable document into one that reads
// differently (or not at all) on its next save. The store's encoder must also
// write exactly what the JSON library writes (with "/" escaped), for every
// document and for any bytes as a string, broken UTF-8 included.

#include "FuzzCheck.h"
#include "model/JsonText.h"
#include "model/Records.h"
#include "model/SharedStore.h"
#include "model/Utf8.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telvane {
namespace {

Json toJson(const TopicSet& topics)
{
    Json json = Json::array();
    for (const auto& topic : topics) {
        json.push_back(topic);
    }
    return json;
}

// The library's compact text with every "/" escaped: what stored documents
// have always held.
std::string libraryText(const Json& json)
{
    std::string text;
    for (const char c : json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) {
        if (c == '/') {
            text.push_back('\\');
        }
        text.push_back(c);
    }
    return text;
}

std::string encodedDocument(const std::vector<MQTTMessage>& messages)
{
    std::string text = encodeMessagesDocument(messages);
    FUZZ_CHECK(text == encodeJsonDocument(toJson(messages)));
    return text;
}

template <typename T>
std::string encodedDocument(const T& value)
{
    return encodeJsonDocument(toJson(value));
}

template <typename T, typename Decode>
void checkRoundTrip(const T& value, Decode decode)
{
    const std::string text = encodedDocument(value);
    FUZZ_CHECK(text == libraryText(toJson(value)));
    FUZZ_CHECK(isValidUTF8(text));
    const auto json = parseJsonDocument(text);
    FUZZ_CHECK(json.has_value());
    const auto again = decode(*json);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == value);
}

template <typename Decode>
void check(const Json& json, Decode decode)
{
    if (const auto value = decode(json)) {
        checkRoundTrip(*value, decode);
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
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const Json asString = std::string(text);
    FUZZ_CHECK(encodeJsonDocument(asString) == libraryText(asString));
    const auto json = parseJsonDocument(text);
    if (!json) {
        return 0;
    }
    switch (data[0] % 4) {
    case 0: check(*json, configFromJson); break;
    case 1: check(*json, messagesFromJson); break;
    case 2: check(*json, displayItemsFromJson); break;
    default: check(*json, discoveredTopicsFromJson); break;
    }
    return 0;
}
