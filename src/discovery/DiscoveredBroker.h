#pragma once

// One MQTT broker found on the local network, reachable at `host`:`port`.

#include <cstdint>
#include <string>

namespace telvane {

struct DiscoveredBroker {
    std::string id;    // the service name, with "-tls" appended for TLS services
    std::string name;  // the service instance name as announced
    std::string host;  // the address the check connection reached, without zone
    std::uint16_t port = 0;
    bool isTLS = false;  // announced as "_secure-mqtt._tcp"

    bool operator==(const DiscoveredBroker&) const = default;
};

}  // namespace telvane
