#pragma once

// Cuts the byte stream of one connection into packets and decodes what the
// client reads of them. There is one framer per connection, used only on the
// transport's queue ("mqtt.client"); it has no lock and needs none.

#include "model/Records.h"
#include "mqtt/Codec.h"
#include "platform/Connection.h"

#include <cstdint>
#include <string>
#include <vector>

namespace telvane {

// A packet the client acts on.
struct InboundPacket {
    enum class Kind { connack, pingresp, publish };
    Kind kind = Kind::publish;
    std::uint8_t code = 0;  // connack: the return or reason code
    std::string topic;      // publish
    std::string payload;    // publish: UTF-8 text, or Base64 of other bytes
};

// What one read completed, in the order it arrived.
struct FramedRead {
    std::vector<InboundPacket> packets;
    // A packet length that can never be valid came after `packets`: the
    // stream cannot be resynchronised and the connection must be closed.
    bool isMalformed = false;
};

class PacketFramer {
public:
    explicit PacketFramer(MQTTProtocolVersion version) : version_(version) {}

    // Appends the bytes of one read and returns every packet they complete.
    // SUBACK, DISCONNECT and the other types are consumed and dropped, and so
    // are PUBLISH packets that cannot be decoded. Once a malformed length was
    // seen the framer holds nothing and ignores whatever follows.
    [[nodiscard]] FramedRead append(Bytes data);

    // Keep-alive bookkeeping: false while a PINGREQ is unanswered (nothing is
    // to be sent then), else notes the PINGREQ as sent. A PINGRESP cut by
    // append() answers it.
    [[nodiscard]] bool beginPing();
    [[nodiscard]] bool isPingPending() const { return isPingPending_; }

private:
    void dispatch(std::uint8_t firstByte, ByteView body, std::vector<InboundPacket>& packets);

    MQTTProtocolVersion version_;
    Bytes buffer_;  // starts with a packet; holds at most one incomplete one between reads
    bool isPingPending_ = false;
    bool isBroken_ = false;
};

}  // namespace telvane
