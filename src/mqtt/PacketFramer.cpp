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
            read.isMalformed = true;
            isBroken_ = true;
            Bytes().swap(buffer_);
            return read;
        }
        consumed += packet.length;
        dispatch(packet.firstByte, packet.body, read.packets);
    }
    if (consumed == buffer_.size()) {
        buffer_.clear();
    } else if (consumed > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
    }
    return read;
}

bool PacketFramer::beginPing()
{
    return !std::exchange(isPingPending_, true);
}

void PacketFramer::dispatch(std::uint8_t firstByte, ByteView body, std::vector<InboundPacket>& packets)
{
    switch (packetType(firstByte)) {
    case kConnackType: packets.push_back({InboundPacket::Kind::connack, connackCode(body), {}, {}}); break;
    case kPingrespType:
        isPingPending_ = false;
        packets.push_back({InboundPacket::Kind::pingresp, 0, {}, {}});
        break;
    case kPublishType:
        if (auto message = parsePublish(body, version_)) {
            packets.push_back(
                {InboundPacket::Kind::publish, 0, std::move(message->topic), std::move(message->payload)});
        }
        break;
    default: break;  // SUBACK, DISCONNECT and the rest are not read
    }
}

}  // namespace telvane
