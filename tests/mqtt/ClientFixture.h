#pragma once

// The fixture of the client's unit tests: a scripted broker, a virtual clock
// and a real SQLite store, with helpers to build what a broker sends.

#include "model/SharedStore.h"
#include "mqtt/Codec.h"
#include "mqtt/MQTTClient.h"
#include "support/CountingReloadSignal.h"
#include "support/ScriptedTransport.h"
#include "support/TempDir.h"
#include "support/VirtualEventLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace telvane::test::client {

using test::ScriptedConnection;
using test::ScriptedTransport;
using Strings = std::vector<std::string>;

inline constexpr auto v311 = MQTTProtocolVersion::mqtt311;
inline constexpr auto v50 = MQTTProtocolVersion::mqtt50;
inline Bytes connack(std::uint8_t code)
{
    return {0x20, 0x02, 0x00, code};
}
inline const Bytes kPingresp{0xD0, 0x00};
inline const TransportError kRefused{TransportError::Kind::connectionRefused, "Connection refused"};
inline const Bytes kBadLength{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // the fifth length byte continues

inline Bytes publish(std::string_view topic, std::string_view payload, MQTTProtocolVersion version = v311)
{
    Bytes body;
    EXPECT_TRUE(writeString(body, topic));
    if (version == v50) {
        body.push_back(0x00);  // no properties
    }
    body.insert(body.end(), payload.begin(), payload.end());
    return framePacket(kPublishType, body).value();
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The topic filters of the SUBSCRIBEs among `sent`, in order.
inline Strings subscribed(const std::vector<Bytes>& sent, MQTTProtocolVersion version = v311)
{
    Strings filters;
    for (const auto& packet : sent) {
        if (packet.at(0) == kSubscribeFirstByte) {
            // After the packet identifier and (5.0) the empty properties.
            filters.emplace_back(readString(extractPacket(packet).body.subspan(version == v50 ? 3 : 2)).value);
        }
    }
    return filters;
}

inline long count(const ScriptedConnection& connection, std::uint8_t firstByte)
{
    const auto sent = connection.sent();
    return std::count_if(sent.begin(), sent.end(), [&](const Bytes& packet) { return packet.at(0) == firstByte; });
}

// A client over a scripted transport, a virtual clock and a real store.
class ClientFixture : public ::testing::Test {
protected:
    ClientFixture()
    {
        saveConfig([](MQTTConfig&) {});
    }

    // Stores the test's base configuration (keep alive 60) after `edit`.
    void saveConfig(const std::function<void(MQTTConfig&)>& edit)
    {
        MQTTConfig config;
        config.host = "broker.test";
        config.clientID = "telvane-test";
        config.topics = {"home/temp"};
        edit(config);
        store.saveConfig(config);
    }

    ScriptedConnection& connect()
    {
        client->connect();
        loop.runUntilIdle();
        return transport->last();
    }

    void report(ScriptedConnection& connection, ConnectionState state, std::optional<TransportError> error = {})
    {
        connection.reportState(state, std::move(error));
        loop.runUntilIdle();
    }

    void feed(ScriptedConnection& connection, const Bytes& bytes)
    {
        connection.feed(bytes);
        loop.runUntilIdle();
    }

    // connect(), then the transport reports ready: CONNECT and SUBSCRIBEs go out.
    ScriptedConnection& connectReady()
    {
        auto& connection = connect();
        report(connection, ConnectionState::ready);
        return connection;
    }

    ScriptedConnection& connectAccepted()
    {
        auto& connection = connectReady();
        feed(connection, connack(0));
        return connection;
    }

    void advance(double seconds) { loop.advance(Seconds(seconds)); }

    test::TempDir dir;
    VirtualEventLoop loop;
    SharedStore store{dir.path() / "defaults.sqlite3", &loop};
    std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>(loop);
    CountingReloadSignal reloadSignal;
    std::shared_ptr<MQTTClient> client = MQTTClient::create(loop, transport, store, reloadSignal);
};

}  // namespace telvane::test::client
