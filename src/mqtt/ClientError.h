#pragma once

// Why the connection is not (or not fully) working, as the client reports it
// in lastError(). The core names the case; the window words it for the user.

#include "mqtt/Codec.h"
#include "platform/TransportError.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace telvane {

// The broker answered CONNACK with a code other than 0 (255: no code byte).
struct ConnectionRefused {
    std::uint8_t code = 0;
    bool operator==(const ConnectionRefused&) const = default;
};

// No PINGRESP within ten seconds of a PINGREQ.
struct PingTimeout {
    bool operator==(const PingTimeout&) const = default;
};

// A malformed packet: a length that can never be valid (the stream cannot be
// read on) or a PUBLISH at QoS 3. The connection is closed.
struct ProtocolError {
    enum class Fault { invalidLength, publishAtQoS3 };
    Fault fault = Fault::invalidLength;
    bool operator==(const ProtocolError&) const = default;
};

// A configured text does not fit an MQTT string: nothing is connected until
// the configuration changes.
struct OverlongField {
    ConnectField field = ConnectField::clientID;
    bool operator==(const OverlongField&) const = default;
};

// A configured topic does not fit an MQTT string and is not subscribed; the
// connection itself works.
struct OverlongTopic {
    bool operator==(const OverlongTopic&) const = default;
};

// The broker answered SUBACK with a refusal (3.1.1: 0x80; 5.0: a reason code
// of 0x80 or above) for these filters, in the order refused. The connection
// stays up; the filters bring nothing.
struct SubscriptionRefused {
    std::vector<std::string> filters;
    bool operator==(const SubscriptionRefused&) const = default;
};

// The broker sent DISCONNECT (5.0 reason code; 0 when it has none).
struct DisconnectedByBroker {
    std::uint8_t reasonCode = 0;
    bool operator==(const DisconnectedByBroker&) const = default;
};

using ClientError = std::variant<TransportError, ConnectionRefused, PingTimeout, ProtocolError, OverlongField,
                                 OverlongTopic, SubscriptionRefused, DisconnectedByBroker>;

}  // namespace telvane
