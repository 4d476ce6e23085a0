#include "mqtt/PacketFramer.h"

#include "mqtt/Codec.h"

#include <utility>

namespace telvane {

namespace {

constexpr std::size_t kTypicalPacketsPerRead = 64;

}  // namespace

FramedRead PacketFramer::append(Bytes data)
{
    FramedRead read;
    if (isBroken_) {
        return read;
    }
    if (buffer_.empty()) {
        buffer_ = std::move(data);  // the common case: no partial packet waiting
    } else {
        buffer_.insert(buffer_.end(), data.begin(), data.end());
    }
    read.packets.reserve(kTypicalPacketsPerRead);
    // Packets are cut by offset and the rest moved down once per read, not
    // once per packet.
    const ByteView buffer(buffer_);
    std::size_t consumed = 0;
    while (true) {
        const auto packet = extractPacket(buffer.subspan(consumed));
        if (packet.status == ExtractStatus::incomplete) {
            break;
        }
        if (packet.status == ExtractStatus::malformed) {
            read.malformed = ProtocolError{ProtocolError::Fault::invalidLength};
            isBroken_ = true;
            Bytes().swap(buffer_);
            return read;
        }
        consumed += packet.length;
        dispatch(packet.firstByte, packet.body, read);
        if (read.malformed || read.isDisconnected) {
            isBroken_ = true;
            Bytes().swap(buffer_);
            return read;
        }
    }
    if (consumed == buffer_.size()) {
        buffer_.clear();
    } else if (consumed > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
    }
    return read;
}

std::uint16_t PacketFramer::beginSubscribe(std::string filter)
{
    std::uint16_t identifier = randomPacketIdentifier();
    while (pendingSubscriptions_.contains(identifier)) {
        identifier = randomPacketIdentifier();
    }
    pendingSubscriptions_.emplace(identifier, std::move(filter));
    return identifier;
}

bool PacketFramer::beginPing()
{
    return !std::exchange(isPingPending_, true);
}

void PacketFramer::dispatch(std::uint8_t firstByte, ByteView body, FramedRead& read)
{
    auto& packets = read.packets;
    switch (packetType(firstByte)) {
    case kConnackType: packets.push_back({InboundPacket::Kind::connack, connackCode(body), {}, {}}); break;
    case kPingrespType:
        isPingPending_ = false;
        packets.push_back({InboundPacket::Kind::pingresp, 0, {}, {}});
        break;
    case kPublishType: dispatchPublish(firstByte, body, read); break;
    case kPubrelType:
        if (const auto identifier = acknowledgedPacketIdentifier(body)) {
            awaitingRelease_.erase(*identifier);
            read.replies.push_back(buildAcknowledgement(kPubcompFirstByte, *identifier));
        }
        break;
    case kSubackType: dispatchSuback(body, read); break;
    case kDisconnectType:
        packets.push_back({InboundPacket::Kind::disconnect, disconnectReasonCode(body), {}, {}});
        read.isDisconnected = true;
        break;
    default: break;  // the rest is not read
    }
}

void PacketFramer::dispatchPublish(std::uint8_t firstByte, ByteView body, FramedRead& read)
{
    if (isQoS3Publish(firstByte)) {
        read.malformed = ProtocolError{ProtocolError::Fault::publishAtQoS3};
        return;
    }
    auto message = parsePublish(firstByte, body, version_);
    if (!message) {
        return;
    }
    if (message->qos == 1) {
        read.replies.push_back(buildAcknowledgement(kPubackFirstByte, message->packetIdentifier));
    } else if (message->qos == 2) {
        read.replies.push_back(buildAcknowledgement(kPubrecFirstByte, message->packetIdentifier));
        // Sent again because our PUBREC was lost: it was delivered already.
        if (!awaitingRelease_.insert(message->packetIdentifier).second) {
            return;
        }
    }
    read.packets.push_back({InboundPacket::Kind::publish, 0, std::move(message->topic), std::move(message->payload)});
}

void PacketFramer::dispatchSuback(ByteView body, FramedRead& read)
{
    const auto suback = parseSuback(body, version_);
    if (!suback) {
        return;
    }
    const auto pending = pendingSubscriptions_.find(suback->packetIdentifier);
    if (pending == pendingSubscriptions_.end()) {
        return;  // not ours, or answered already
    }
    // One filter per SUBSCRIBE, so one code.
    if (isRefusal(suback->reasonCodes.front())) {
        read.packets.push_back(
            {InboundPacket::Kind::subscriptionRefused, suback->reasonCodes.front(), std::move(pending->second), {}});
    }
    pendingSubscriptions_.erase(pending);
}

}  // namespace telvane
