#pragma once

// The four records Telvane keeps, and their JSON encodings. The encodings are
// a file format: the desktop widget reads the same documents (see README).

#include <nlohmann/json.hpp>

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {

using Json = nlohmann::ordered_json;

enum class MQTTProtocolVersion : int { mqtt311 = 0, mqtt50 = 1 };

inline constexpr std::array<MQTTProtocolVersion, 2> kAllProtocolVersions{MQTTProtocolVersion::mqtt311,
                                                                         MQTTProtocolVersion::mqtt50};

[[nodiscard]] constexpr int rawValue(MQTTProtocolVersion v)
{
    return static_cast<int>(v);
}
// No value for anything but 0 and 1.
[[nodiscard]] std::optional<MQTTProtocolVersion> protocolVersionFromRaw(std::int64_t raw);
// "MQTT 3.1.1" or "MQTT 5.0".
[[nodiscard]] std::string_view displayText(MQTTProtocolVersion v);
// The protocol level byte of CONNECT: 4 or 5.
[[nodiscard]] constexpr std::uint8_t protocolLevel(MQTTProtocolVersion v)
{
    return static_cast<std::uint8_t>(rawValue(v) + 4);
}

// A point in time as seconds since 2001-01-01 00:00:00 UTC, the form in which
// it is stored. Kept as the stored double so that it reads back exactly.
struct Date {
    static constexpr double kUnixOffset = 978307200.0;  // 2001-01-01 in Unix seconds

    double secondsSince2001 = 0.0;

    [[nodiscard]] static Date now();
    [[nodiscard]] static Date fromUnix(double unixSeconds) { return Date{unixSeconds - kUnixOffset}; }
    [[nodiscard]] double unixSeconds() const { return secondsSince2001 + kUnixOffset; }

    auto operator<=>(const Date&) const = default;
};

struct MQTTConfig {
    std::string host;
    std::uint16_t port = 1883;
    std::string clientID;
    std::optional<std::string> username;
    std::optional<std::string> password;
    std::vector<std::string> topics;
    std::uint16_t keepAliveInterval = 60;
    MQTTProtocolVersion protocolVersion = MQTTProtocolVersion::mqtt311;
    std::map<std::string, std::string> topicLabels;

    bool operator==(const MQTTConfig&) const = default;

    // Used whenever no configuration can be read. Built once per process on
    // first use: its client identifier ("Telvane-<unix seconds>") is stable
    // for the whole run. Thread-safe.
    [[nodiscard]] static const MQTTConfig& defaultConfig();
};

struct MQTTMessage {
    std::string topic;
    std::string payload;
    Date timestamp;

    bool operator==(const MQTTMessage&) const = default;
};

struct MQTTDisplayItem {
    std::string id;  // upper-case UUID, 8-4-4-4-12
    std::string topic;
    std::string label;
    std::string jsonPath;

    bool operator==(const MQTTDisplayItem&) const = default;

    // An item with a fresh random identity.
    [[nodiscard]] static MQTTDisplayItem make(std::string topic, std::string label, std::string jsonPath);
};

// A fresh random (version 4) UUID in upper case.
[[nodiscard]] std::string makeUUID();
// The canonical upper-case form of a UUID text, or no value when the text is
// not 36 characters of hex digits grouped 8-4-4-4-12.
[[nodiscard]] std::optional<std::string> canonicalUUID(std::string_view text);

// Encoders never fail. Decoders fail as a whole: no value instead of a
// partial record.
[[nodiscard]] Json toJson(const MQTTConfig& config);
[[nodiscard]] Json toJson(const MQTTMessage& message);
[[nodiscard]] Json toJson(const MQTTDisplayItem& item);
[[nodiscard]] std::optional<MQTTConfig> configFromJson(const Json& json);
[[nodiscard]] std::optional<MQTTMessage> messageFromJson(const Json& json);
[[nodiscard]] std::optional<MQTTDisplayItem> displayItemFromJson(const Json& json);

// Whole documents, as the store keeps them. One bad entry makes the whole list
// unreadable.
[[nodiscard]] Json toJson(const std::vector<MQTTMessage>& messages);
[[nodiscard]] Json toJson(const std::vector<MQTTDisplayItem>& items);
[[nodiscard]] std::optional<std::vector<MQTTMessage>> messagesFromJson(const Json& json);
// The text encodeJsonDocument(toJson(messages)) gives, without building the
// JSON value first: payloads can be megabytes, and each copy of one counts.
[[nodiscard]] std::string encodeMessagesDocument(const std::vector<MQTTMessage>& messages);
[[nodiscard]] std::optional<std::vector<MQTTDisplayItem>> displayItemsFromJson(const Json& json);

}  // namespace telvane
