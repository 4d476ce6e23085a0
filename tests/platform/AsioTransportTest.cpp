#include "platform/AsioTransport.h"

#include "support/MosquittoBroker.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>

namespace telvane {
namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 that accepts one connection and runs a
// script on it in a thread of the test, with plain blocking calls.
class LoopbackServer {
public:
    explicit LoopbackServer(std::function<void(int fd)> script)
    {
        fd_ = test::listenOnLoopback(port_, 8);
        EXPECT_GE(fd_, 0);
        peer_ = std::thread([this, script = std::move(script)] {
            pollfd listening{fd_, POLLIN, 0};
            const int client = ::poll(&listening, 1, 10'000) == 1 ? ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (client >= 0) {
                script(client);
                ::close(client);
            }
        });
    }
    // Wakes a peer thread still waiting for a connection that never came.
    ~LoopbackServer()
    {
        ::shutdown(fd_, SHUT_RDWR);
        join();
        ::close(fd_);
    }

    void join()
    {
        if (peer_.joinable()) {
            peer_.join();
        }
    }
    [[nodiscard]] std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread peer_;
};

bool readExactly(int fd, std::size_t count, std::string& out)
{
    out.clear();
    char chunk[65536];
    while (out.size() < count) {
        const auto got = ::read(fd, chunk, std::min(sizeof(chunk), count - out.size()));
        if (got <= 0) {
            return false;
        }
        out.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
}

// Stands for "completed without an error" where a test waits for either.
const TransportError kNoError{TransportError::Kind::other, "no error"};

Bytes bytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// What a connection reported, filled on the transport's thread. Declared
// before the transport, whose destructor may still report `cancelled`.
class Recorder {
public:
    Connection::StateHandler stateHandler()
    {
        return [this](ConnectionState state, const std::optional<TransportError>& error) {
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof(name));
            add([&] {
                states_.push_back(state);
                failure_ = state == ConnectionState::failed ? error : failure_;
                offThread_ += std::string(name) != "mqtt.client";
            });
        };
    }

    // A connection of `transport` that reports to this recorder, started.
    std::shared_ptr<Connection> connect(AsioTransport& transport, const std::string& host, std::uint16_t port)
    {
        auto connection = transport.makeConnection(host, port, 10.0);
        connection->setStateHandler(stateHandler());
        connection->start();
        return connection;
    }

    // Runs `change` under the lock and wakes the waiters.
    void add(const std::function<void()>& change)
    {
        const std::lock_guard lock(mutex_);
        change();
        changed_.notify_all();
    }
    bool waitFor(const std::function<bool()>& condition)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 15s, condition);
    }
    bool waitForState(ConnectionState state)
    {
        return waitFor([&] { return countLocked(state) > 0; });
    }
    [[nodiscard]] int count(ConnectionState state)
    {
        const std::lock_guard lock(mutex_);
        return countLocked(state);
    }
    [[nodiscard]] std::optional<TransportError> failure()
    {
        const std::lock_guard lock(mutex_);
        return failure_;
    }
    [[nodiscard]] int reportsOffThread()
    {
        const std::lock_guard lock(mutex_);
        return offThread_;
    }

private:
    [[nodiscard]] int countLocked(ConnectionState state) const
    {
        return static_cast<int>(std::count(states_.begin(), states_.end(), state));
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ConnectionState> states_;
    std::optional<TransportError> failure_;
    int offThread_ = 0;
};

// Reads a connection until the end of the stream or an error, one receive at
// a time, as the client does; what it read is guarded by the recorder's lock.
struct StreamReader {
    std::string received;
    int reads = 0;  // reads that brought data
    std::chrono::steady_clock::time_point firstRead;
    std::chrono::steady_clock::time_point lastRead;
    bool ended = false;
    std::optional<TransportError> error;

    void start(const std::shared_ptr<Connection>& connection, Recorder& recorder)
    {
        connection->receive(
            1, 4096,
            [this, connection, &recorder](Bytes data, bool isComplete, const std::optional<TransportError>& failure) {
                const auto now = std::chrono::steady_clock::now();
                recorder.add([&] {
                    if (!data.empty()) {
                        firstRead = reads++ == 0 ? now : firstRead;
                        lastRead = now;
                    }
                    received.append(data.begin(), data.end());
                    error = failure;
                    ended = isComplete;
                });
                if (!isComplete && !failure) {
                    start(connection, recorder);
                }
            });
    }
};

TEST(AsioTransportTest, ConnectsSendsReceivesAndReportsEndOfStream)
{
    std::string request;
    LoopbackServer server([&request](int fd) {
        if (readExactly(fd, 5, request)) {
            EXPECT_EQ(::write(fd, "world", 5), 5);
        }
    });
    Recorder recorder;
    AsioTransport transport;
    auto connection = recorder.connect(transport, "127.0.0.1", server.port());
    ASSERT_TRUE(recorder.waitForState(ConnectionState::ready));

    std::optional<TransportError> sendError = kNoError;  // until the completion ran
    connection->send(bytesOf("hello"),
                     [&](const std::optional<TransportError>& error) { recorder.add([&] { sendError = error; }); });
    StreamReader reader;
    reader.start(connection, recorder);

    ASSERT_TRUE(recorder.waitFor([&] { return reader.ended || reader.error.has_value(); }));
    EXPECT_EQ(sendError, std::nullopt);
    EXPECT_EQ(request, "hello");
    EXPECT_EQ(reader.received, "world");
    EXPECT_EQ(reader.error, std::nullopt);
    // The end of the stream is no failure of the connection.
    EXPECT_EQ(recorder.count(ConnectionState::failed), 0);
    connection->cancel();
    EXPECT_TRUE(recorder.waitForState(ConnectionState::cancelled));
    EXPECT_EQ(recorder.reportsOffThread(), 0) << "states are reported on the mqtt.client thread";
}

TEST(AsioTransportTest, ManySendsInFlightArriveWholeAndInOrder)
{
    // Sizes around the socket buffer, so that writes complete partially.
    std::vector<std::string> pieces;
    std::string expected;
    for (int i = 0; i < 60; ++i) {
        pieces.emplace_back(i % 3 == 0 ? 200'000 : static_cast<std::size_t>(1 + i * 37),
                            static_cast<char>('A' + i % 26));
        expected += pieces.back();
    }
    std::string arrived;
    LoopbackServer server([&](int fd) {
        // Read slowly at first, so that the writes pile up in the transport.
        std::this_thread::sleep_for(100ms);
        (void)readExactly(fd, expected.size(), arrived);
    });
    Recorder recorder;
    AsioTransport transport;
    auto connection = recorder.connect(transport, "127.0.0.1", server.port());
    // Sent before `ready`: they wait and go out in order once connected.
    std::vector<int> completionOrder;
    for (int i = 0; i < static_cast<int>(pieces.size()); ++i) {
        connection->send(bytesOf(pieces[static_cast<std::size_t>(i)]),
                         [&, i](const std::optional<TransportError>& error) {
                             EXPECT_EQ(error, std::nullopt);
                             recorder.add([&] { completionOrder.push_back(i); });
                         });
    }
    ASSERT_TRUE(recorder.waitFor([&] { return completionOrder.size() == pieces.size(); }));
    server.join();
    std::vector<int> inOrder(pieces.size());
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(completionOrder, inOrder);
    EXPECT_TRUE(arrived == expected) << "the byte stream was reordered or torn";
}

// A peer that writes many small pieces shortly after each other, as a broker
// forwarding a busy stream does: they arrive whole and in order, in reads
// that each gather what arrived within a millisecond or so rather than one
// read per piece, and a receive waiting to gather still ends with cancel().
TEST(AsioTransportTest, AStreamOfSmallWritesIsReadInFewerLargerReads)
{
    constexpr int kPieces = 300;
    std::string expected;
    for (int i = 0; i < kPieces; ++i) {
        expected += "piece" + std::to_string(1000 + i);
    }
    for (const bool peerCloses : {true, false}) {
        SCOPED_TRACE(peerCloses ? "peer closes" : "client cancels");
        LoopbackServer server([&expected, peerCloses](int fd) {
            for (std::size_t offset = 0; offset < expected.size(); offset += 9) {
                EXPECT_EQ(::write(fd, expected.data() + offset, 9), 9);
                std::this_thread::sleep_for(100us);
            }
            if (!peerCloses) {
                std::string ignored;
                (void)readExactly(fd, 1, ignored);  // until the client closes
            }
        });
        Recorder recorder;
        AsioTransport transport;
        auto connection = recorder.connect(transport, "127.0.0.1", server.port());
        ASSERT_TRUE(recorder.waitForState(ConnectionState::ready));

        StreamReader reader;
        reader.start(connection, recorder);

        ASSERT_TRUE(recorder.waitFor(
            [&] { return reader.received.size() == expected.size() || reader.error || reader.ended; }));
        EXPECT_TRUE(reader.received == expected) << "the byte stream was torn";
        if (peerCloses) {
            ASSERT_TRUE(recorder.waitFor([&] { return reader.ended || reader.error.has_value(); }));
            EXPECT_TRUE(reader.ended);
            EXPECT_EQ(reader.error, std::nullopt);
        } else {
            // The receive issued after the last piece is waiting, perhaps to gather.
            connection->cancel();
            ASSERT_TRUE(recorder.waitFor([&] { return reader.error.has_value(); }));
            EXPECT_EQ(recorder.count(ConnectionState::cancelled), 1);
        }
        // A slow peer (a loaded machine) makes reads rarer too: each read
        // but the first gathers at least about a millisecond of the stream.
        const auto span =
            std::chrono::duration_cast<std::chrono::milliseconds>(reader.lastRead - reader.firstRead).count();
        EXPECT_LE(reader.reads, span + 10)
            << reader.reads << " reads for " << kPieces << " pieces in " << span << " ms";
    }
}

TEST(AsioTransportTest, RefusedOrUnresolvableConnectionsFailWithTheirKindAndTheSystemsText)
{
    using Kind = TransportError::Kind;
    const struct {
        std::string host;
        std::uint16_t port;
        Kind kind;
        const char* expectedText;
    } cases[] = {
        {"127.0.0.1", test::freeLoopbackPort(), Kind::connectionRefused, "Connection refused"},
        // A label longer than 63 bytes: rejected by the resolver itself,
        // without a query leaving the machine.
        {std::string(70, 'x') + ".invalid", 1883, Kind::hostNotFound, ""},
    };
    for (const auto& c : cases) {
        Recorder recorder;
        AsioTransport transport;
        auto connection = recorder.connect(transport, c.host, c.port);
        ASSERT_TRUE(recorder.waitForState(ConnectionState::failed)) << c.host;
        const auto failure = recorder.failure().value_or(TransportError{});
        const std::string& text = failure.systemText;
        EXPECT_FALSE(text.empty()) << c.host;
        EXPECT_EQ(failure.kind, c.kind) << text;
        EXPECT_NE(text.find(c.expectedText), std::string::npos) << text;
        EXPECT_EQ(recorder.count(ConnectionState::ready), 0) << c.host;
        // A failed connection refuses further work with the failure's text.
        std::optional<TransportError> sendError;
        connection->send(bytesOf("x"),
                         [&](const std::optional<TransportError>& error) { recorder.add([&] { sendError = error; }); });
        ASSERT_TRUE(recorder.waitFor([&] { return sendError.has_value(); })) << c.host;
        EXPECT_EQ(sendError, failure);
    }
}

TEST(AsioTransportTest, CancelReportsCancelledExactlyOnceWheneverItComes)
{
    enum class Moment { beforeStart, duringResolve, afterReady, afterFailure };
    for (const Moment moment : {Moment::beforeStart, Moment::duringResolve, Moment::afterReady, Moment::afterFailure}) {
        SCOPED_TRACE(static_cast<int>(moment));
        LoopbackServer server([](int fd) {
            std::string ignored;
            (void)readExactly(fd, 1, ignored);  // until the client closes
        });
        Recorder recorder;
        AsioTransport transport;
        const auto port = moment == Moment::afterFailure ? test::freeLoopbackPort() : server.port();
        auto connection = transport.makeConnection("localhost", port, 10.0);
        connection->setStateHandler(recorder.stateHandler());
        std::optional<TransportError> receiveError;
        if (moment == Moment::beforeStart) {
            connection->cancel();
        }
        connection->start();
        if (moment == Moment::afterReady) {
            ASSERT_TRUE(recorder.waitForState(ConnectionState::ready));
            connection->receive(1, 4096, [&](const Bytes&, bool, const std::optional<TransportError>& error) {
                recorder.add([&] { receiveError = error.value_or(kNoError); });
            });
        }
        if (moment == Moment::afterFailure) {
            ASSERT_TRUE(recorder.waitForState(ConnectionState::failed));
        }
        connection->cancel();
        ASSERT_TRUE(recorder.waitForState(ConnectionState::cancelled));
        connection->cancel();

        // Work issued after cancel() completes with an error and starts nothing.
        std::optional<TransportError> sendError;
        connection->send(bytesOf("late"), [&](const std::optional<TransportError>& error) {
            recorder.add([&] { sendError = error.value_or(kNoError); });
        });
        ASSERT_TRUE(recorder.waitFor([&] { return sendError.has_value(); }));
        EXPECT_NE(sendError, kNoError);
        if (moment == Moment::afterReady) {
            ASSERT_TRUE(recorder.waitFor([&] { return receiveError.has_value(); }));
            EXPECT_NE(receiveError, kNoError);
        }
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(recorder.count(ConnectionState::cancelled), 1);
        EXPECT_EQ(recorder.count(ConnectionState::failed), moment == Moment::afterFailure ? 1 : 0);
        EXPECT_EQ(recorder.count(ConnectionState::ready), moment == Moment::afterReady ? 1 : 0);
    }
}

// Owners stop the transport before they destroy what its completions reach:
// once stop() returns, every completion has run and nothing runs after.
TEST(AsioTransportTest, StopRunsTheCancelledCompletionsBeforeItReturnsAndNothingAfter)
{
    LoopbackServer server([](int fd) {
        std::string ignored;
        (void)readExactly(fd, 1, ignored);  // until the client closes
    });
    Recorder recorder;
    AsioTransport transport;
    const auto connection = recorder.connect(transport, "127.0.0.1", server.port());
    ASSERT_TRUE(recorder.waitForState(ConnectionState::ready));
    std::atomic<bool> received = false;
    connection->receive(1, 4096, [&](const Bytes&, bool, const std::optional<TransportError>&) { received = true; });
    // Still busy when stop() comes: a task holding the queue for a while.
    transport.post([] { std::this_thread::sleep_for(100ms); });

    transport.stop();
    EXPECT_EQ(recorder.count(ConnectionState::cancelled), 1);
    EXPECT_TRUE(received);
    std::atomic<bool> ranLate = false;
    transport.post([&] { ranLate = true; });
    connection->cancel();
    transport.stop();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(ranLate);
    EXPECT_EQ(recorder.count(ConnectionState::cancelled), 1);
}

}  // namespace
}  // namespace telvane
