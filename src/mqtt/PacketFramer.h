#pragma once

// Cuts the byte stream of one connection into packets and decodes what the
// client reads of them. There is one framer per connection, used only on the
// transport's queue ("mqtt.client"); it has no lock and needs none.

#include "model/Records.h"
#include "mqtt/ClientError.h"
#include "mqtt/Codec.h"
#include "platform/Connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace telvane {

// A packet the client acts on.
struct InboundPacket {
    enum class Kind { connack, pingresp, publish, subscriptionRefused, disconnect };
    Kind kind = Kind::publish;
    std::uint8_t code = 0;  // connack: the return or reason code; disconnect: the reason code
    std::string topic;      // publish; subscriptionRefused: the refused filter
    std::string payload;    // publish: UTF-8 text, or Base64 of other bytes
};

// What one read completed, in the order it arrived.
struct FramedRead {
    std::vector<InboundPacket> packets;
    // Whole packets to send back at once: the acknowledgements of PUBLISH
    // packets at QoS 1 and 2, so that the broker does not send them again.
    std::vector<Bytes> replies;
    // A malformed packet came after `packets`: a length that can never be
    // valid (the stream cannot be resynchronised) or a PUBLISH at QoS 3. The
    // connection must be closed.
    std::optional<ProtocolError> malformed;
    // The last of `packets` is the broker's DISCONNECT: it closes the
    // connection, and nothing after it is read.
    bool isDisconnected = false;
};

class PacketFramer {
public:
    explicit PacketFramer(MQTTProtocolVersion version) : version_(version) {}

    // Appends the bytes of one read and returns every packet they complete.
    // PUBLISH packets that cannot be decoded are consumed and dropped (but
    // QoS 3 is malformed), and so are packets the client does not read. A QoS 2 PUBLISH sent
    // again before its PUBREL is answered but not returned twice. Once a
    // malformed packet or a DISCONNECT was seen the framer holds nothing and
    // ignores whatever follows.
    [[nodiscard]] FramedRead append(Bytes data);

    // Notes a SUBSCRIBE of `filter` and returns the packet identifier to send
    // it with: one that no other SUBSCRIBE awaiting its SUBACK has, so that a
    // refusal names the right filter.
    [[nodiscard]] std::uint16_t beginSubscribe(std::string filter);

    // Keep-alive bookkeeping: false while a PINGREQ is unanswered (nothing is
    // to be sent then), else notes the PINGREQ as sent. A PINGRESP cut by
    // append() answers it.
    [[nodiscard]] bool beginPing();
    [[nodiscard]] bool isPingPending() const { return isPingPending_; }

private:
    void dispatch(std::uint8_t firstByte, ByteView body, FramedRead& read);
    void dispatchPublish(std::uint8_t firstByte, ByteView body, FramedRead& read);
    void dispatchSuback(ByteView body, FramedRead& read);

    MQTTProtocolVersion version_;
    Bytes buffer_;  // starts with a packet; holds at most one incomplete one between reads
    bool isPingPending_ = false;
    bool isBroken_ = false;
    std::unordered_map<std::uint16_t, std::string> pendingSubscriptions_;  // packet identifier -> filter
    std::unordered_set<std::uint16_t> awaitingRelease_;                    // QoS 2 identifiers received, PUBREL not yet
};

}  // namespace telvane
