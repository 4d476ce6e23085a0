#include "model/Records.h"

#include "model/JsonText.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <random>

namespace telvane {

namespace {

// Field names double as JSON keys.
constexpr const char* kHost = "host";
constexpr const char* kPort = "port";
constexpr const char* kClientID = "clientID";
constexpr const char* kUsername = "username";
constexpr const char* kPassword = "password";
constexpr const char* kTopics = "topics";
constexpr const char* kKeepAlive = "keepAliveInterval";
constexpr const char* kProtocolVersion = "protocolVersion";
constexpr const char* kTopicLabels = "topicLabels";
constexpr const char* kTopic = "topic";
constexpr const char* kPayload = "payload";
constexpr const char* kTimestamp = "timestamp";
constexpr const char* kId = "id";
constexpr const char* kLabel = "label";
constexpr const char* kJsonPath = "jsonPath";

// Largest magnitude below which every integer is exactly representable.
constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53

// A member that must be there and must be a string.
std::optional<std::string> requiredString(const Json& object, const char* key)
{
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

// A member that may be missing or null. Present with another type: failure.
struct OptionalMember {
    bool ok = true;
    const Json* value = nullptr;  // null when missing or JSON null
};

OptionalMember optionalMember(const Json& object, const char* key)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return {};
    }
    return {true, &*it};
}

Json timestampJson(const Date& date)
{
    const double v = date.secondsSince2001;
    // Integral values are written without a fraction ("timestamp": 0).
    if (std::trunc(v) == v && std::fabs(v) < kExactIntegerLimit) {
        return static_cast<std::int64_t>(v);
    }
    return v;
}

}  // namespace

std::optional<MQTTProtocolVersion> protocolVersionFromRaw(std::int64_t raw)
{
    switch (raw) {
    case 0: return MQTTProtocolVersion::mqtt311;
    case 1: return MQTTProtocolVersion::mqtt50;
    default: return std::nullopt;
    }
}

std::string_view displayText(MQTTProtocolVersion v)
{
    return v == MQTTProtocolVersion::mqtt50 ? "MQTT 5.0" : "MQTT 3.1.1";
}

Date Date::now()
{
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<microseconds>(system_clock::now().time_since_epoch());
    return fromUnix(static_cast<double>(sinceEpoch.count()) / 1e6);
}

const MQTTConfig& MQTTConfig::defaultConfig()
{
    static const MQTTConfig config = [] {
        MQTTConfig c;
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
        c.clientID = "Telvane-" + std::to_string(seconds.count());
        return c;
    }();
    return config;
}

std::string makeUUID()
{
    static thread_local std::random_device device;
    std::uniform_int_distribution<unsigned> byte(0, 255);
    std::array<unsigned, 16> b{};
    for (auto& x : b) {
        x = byte(device);
    }
    b[6] = (b[6] & 0x0Fu) | 0x40u;  // version 4
    b[8] = (b[8] & 0x3Fu) | 0x80u;  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += kHex[b[i] >> 4];
        text += kHex[b[i] & 0x0Fu];
    }
    return text;
}

std::optional<std::string> canonicalUUID(std::string_view text)
{
    if (text.size() != 36) {
        return std::nullopt;
    }
    std::string upper(text);
    for (std::size_t i = 0; i < upper.size(); ++i) {
        char& c = upper[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') {
                return std::nullopt;
            }
        } else if (c >= 'a' && c <= 'f') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return std::nullopt;
        }
    }
    return upper;
}

MQTTDisplayItem MQTTDisplayItem::make(std::string topic, std::string label, std::string jsonPath)
{
    return MQTTDisplayItem{makeUUID(), std::move(topic), std::move(label), std::move(jsonPath)};
}

Json toJson(const MQTTConfig& c)
{
    Json j = Json::object();
    j[kHost] = c.host;
    j[kPort] = c.port;
    j[kClientID] = c.clientID;
    if (c.username) {
        j[kUsername] = *c.username;
    }
    if (c.password) {
        j[kPassword] = *c.password;
    }
    j[kTopics] = c.topics;
    j[kKeepAlive] = c.keepAliveInterval;
    j[kProtocolVersion] = rawValue(c.protocolVersion);
    Json labels = Json::object();
    for (const auto& [topic, label] : c.topicLabels) {
        labels[topic] = label;
    }
    j[kTopicLabels] = std::move(labels);
    return j;
}

namespace {

// The members a configuration may lack, each read into `c` when present;
// false when one is there but not what it must be.
bool readOptionalMembers(const Json& j, MQTTConfig& c)
{
    for (auto [key, field] : {std::pair{kUsername, &c.username}, std::pair{kPassword, &c.password}}) {
        const auto member = optionalMember(j, key);
        if (member.value) {
            if (!member.value->is_string()) {
                return false;
            }
            *field = member.value->get<std::string>();
        }
    }
    if (const auto member = optionalMember(j, kKeepAlive); member.value) {
        const auto keepAlive = jsonUInt16(*member.value);
        if (!keepAlive) {
            return false;
        }
        c.keepAliveInterval = *keepAlive;
    }
    if (const auto member = optionalMember(j, kProtocolVersion); member.value) {
        const auto raw = jsonUInt16(*member.value);
        const auto version = raw ? protocolVersionFromRaw(*raw) : std::nullopt;
        if (!version) {
            return false;
        }
        c.protocolVersion = *version;
    }
    if (const auto member = optionalMember(j, kTopicLabels); member.value) {
        if (!member.value->is_object()) {
            return false;
        }
        for (const auto& [topic, label] : member.value->items()) {
            if (!label.is_string()) {
                return false;
            }
            c.topicLabels[topic] = label.get<std::string>();
        }
    }
    return true;
}

}  // namespace

std::optional<MQTTConfig> configFromJson(const Json& j)
{
    if (!j.is_object()) {
        return std::nullopt;
    }
    MQTTConfig c;
    auto host = requiredString(j, kHost);
    auto clientID = requiredString(j, kClientID);
    const auto portIt = j.find(kPort);
    const auto topicsIt = j.find(kTopics);
    if (!host || !clientID || portIt == j.end() || topicsIt == j.end() || !topicsIt->is_array()) {
        return std::nullopt;
    }
    const auto port = jsonUInt16(*portIt);
    if (!port) {
        return std::nullopt;
    }
    c.host = std::move(*host);
    c.port = *port;
    c.clientID = std::move(*clientID);
    for (const auto& topic : *topicsIt) {
        if (!topic.is_string()) {
            return std::nullopt;
        }
        c.topics.push_back(topic.get<std::string>());
    }

    if (!readOptionalMembers(j, c)) {
        return std::nullopt;
    }
    return c;
}

Json toJson(const MQTTMessage& m)
{
    Json j = Json::object();
    j[kTopic] = m.topic;
    j[kPayload] = m.payload;
    j[kTimestamp] = timestampJson(m.timestamp);
    return j;
}

std::optional<MQTTMessage> messageFromJson(const Json& j)
{
    if (!j.is_object()) {
        return std::nullopt;
    }
    auto topic = requiredString(j, kTopic);
    auto payload = requiredString(j, kPayload);
    const auto ts = j.find(kTimestamp);
    if (!topic || !payload || ts == j.end() || !ts->is_number()) {
        return std::nullopt;
    }
    const double seconds = ts->get<double>();
    if (!std::isfinite(seconds)) {
        return std::nullopt;
    }
    return MQTTMessage{std::move(*topic), std::move(*payload), Date{seconds}};
}

Json toJson(const MQTTDisplayItem& item)
{
    Json j = Json::object();
    j[kId] = item.id;
    j[kTopic] = item.topic;
    j[kLabel] = item.label;
    j[kJsonPath] = item.jsonPath;
    return j;
}

std::optional<MQTTDisplayItem> displayItemFromJson(const Json& j)
{
    if (!j.is_object()) {
        return std::nullopt;
    }
    auto idText = requiredString(j, kId);
    auto topic = requiredString(j, kTopic);
    auto label = requiredString(j, kLabel);
    auto path = requiredString(j, kJsonPath);
    if (!idText || !topic || !label || !path) {
        return std::nullopt;
    }
    auto id = canonicalUUID(*idText);
    if (!id) {
        return std::nullopt;
    }
    return MQTTDisplayItem{std::move(*id), std::move(*topic), std::move(*label), std::move(*path)};
}

namespace {

template <typename T>
Json listToJson(const std::vector<T>& list)
{
    Json j = Json::array();
    for (const auto& entry : list) {
        j.push_back(toJson(entry));
    }
    return j;
}

template <typename T, typename Decode>
std::optional<std::vector<T>> listFromJson(const Json& j, Decode decode)
{
    if (!j.is_array()) {
        return std::nullopt;
    }
    std::vector<T> list;
    list.reserve(j.size());
    for (const auto& entry : j) {
        auto decoded = decode(entry);
        if (!decoded) {
            return std::nullopt;
        }
        list.push_back(std::move(*decoded));
    }
    return list;
}

}  // namespace

Json toJson(const std::vector<MQTTMessage>& messages)
{
    return listToJson(messages);
}
Json toJson(const std::vector<MQTTDisplayItem>& items)
{
    return listToJson(items);
}

std::string encodeMessagesDocument(const std::vector<MQTTMessage>& messages)
{
    std::size_t size = 2;
    for (const auto& m : messages) {
        size += m.topic.size() + m.payload.size() + 64;
    }
    std::string text;
    text.reserve(size);
    text.push_back('[');
    for (const auto& m : messages) {
        if (&m != &messages.front()) {
            text.push_back(',');
        }
        text.push_back('{');
        appendJsonString(text, kTopic);
        text.push_back(':');
        appendJsonString(text, m.topic);
        text.push_back(',');
        appendJsonString(text, kPayload);
        text.push_back(':');
        appendJsonString(text, m.payload);
        text.push_back(',');
        appendJsonString(text, kTimestamp);
        text.push_back(':');
        text.append(encodeJsonDocument(timestampJson(m.timestamp)));
        text.push_back('}');
    }
    text.push_back(']');
    return text;
}

std::optional<std::vector<MQTTMessage>> messagesFromJson(const Json& j)
{
    return listFromJson<MQTTMessage>(j, messageFromJson);
}

std::optional<std::vector<MQTTDisplayItem>> displayItemsFromJson(const Json& j)
{
    return listFromJson<MQTTDisplayItem>(j, displayItemFromJson);
}

}  // namespace telvane
