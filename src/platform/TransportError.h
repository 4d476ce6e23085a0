#pragma once

// A failure of the byte-stream transport, sorted into the cases a user can
// act on; the system's own description rides along for the rest.

#include <string>

namespace telvane {

struct TransportError {
    enum class Kind {
        hostNotFound,
        connectionRefused,
        networkUnreachable,
        timedOut,
        connectionClosed,  // reset, aborted or closed by the peer
        notConnected,      // a send without a connection
        other,
    };

    Kind kind = Kind::other;
    std::string systemText;  // the system's description; may be empty

    bool operator==(const TransportError&) const = default;

    // What a send reports when there is no connection: "Not connected".
    [[nodiscard]] static TransportError notConnected() { return {Kind::notConnected, "Not connected"}; }
};

}  // namespace telvane
