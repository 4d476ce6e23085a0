#include "platform/AsioTransport.h"

#include "support/MosquittoBroker.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
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
#include <thread>

namespace telvane {
namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 or ::1; its peer logic runs in a thread
// of the test with plain blocking calls.
class LoopbackServer {
public:
    explicit LoopbackServer(bool ipv6 = false, int backlog = 8)
    {
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            return;
        }
        const int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (ipv6) {
            auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
            address->sin6_family = AF_INET6;
            address->sin6_addr = in6addr_loopback;
            length = sizeof(sockaddr_in6);
        } else {
            auto* address = reinterpret_cast<sockaddr_in*>(&storage);
            address->sin_family = AF_INET;
            address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof(sockaddr_in);
        }
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd_, backlog) != 0
            || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                           : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    }

    ~LoopbackServer()
    {
        join();
        for (const int fd : fillers_) {
            ::close(fd);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    // Waits for the script of serveOne() to finish.
    void join()
    {
        if (peer_.joinable()) {
            peer_.join();
        }
    }

    [[nodiscard]] bool isListening() const { return fd_ >= 0; }
    [[nodiscard]] std::uint16_t port() const { return port_; }

    // Accepts one connection (waiting at most 10 s) and runs `script` with
    // its socket in a thread; the socket is closed after the script.
    void serveOne(std::function<void(int fd)> script)
    {
        peer_ = std::thread([this, script = std::move(script)] {
            pollfd listening{fd_, POLLIN, 0};
            if (::poll(&listening, 1, 10'000) != 1) {
                return;
            }
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                return;
            }
            script(client);
            ::close(client);
        });
    }

    // Fills the accept queue (the server never accepts), so that the
    // kernel drops further SYNs and a new connect hangs. Only meaningful
    // with backlog 0. Returns false when the queue did not fill up.
    bool fillAcceptQueue()
    {
        for (int attempt = 0; attempt < 8; ++attempt) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port_);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool connectedAtOnce = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
            fillers_.push_back(fd);
            if (!connectedAtOnce) {
                pollfd pending{fd, POLLOUT, 0};
                if (::poll(&pending, 1, 200) == 0) {
                    return true;  // this SYN was dropped: the queue is full
                }
            }
        }
        return false;
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread peer_;
    std::vector<int> fillers_;
};

bool readExactly(int fd, std::size_t count, Bytes& out)
{
    out.clear();
    std::uint8_t chunk[65536];
    while (out.size() < count) {
        const auto got = ::read(fd, chunk, std::min(sizeof(chunk), count - out.size()));
        if (got <= 0) {
            return false;
        }
        out.insert(out.end(), chunk, chunk + got);
    }
    return true;
}

void writeAll(int fd, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const auto n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0) {
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

std::string currentThreadName()
{
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

// What the connection reported, filled on the transport's thread.
class Recorder {
public:
    Connection::StateHandler stateHandler()
    {
        return [this](ConnectionState state, const std::optional<std::string>& error) {
            const std::lock_guard lock(mutex_);
            states_.push_back(state);
            if (state == ConnectionState::failed) {
                failure_ = error;
            }
            threadNames_.push_back(currentThreadName());
            changed_.notify_all();
        };
    }

    void add(std::function<void()> change)
    {
        const std::lock_guard lock(mutex_);
        change();
        changed_.notify_all();
    }

    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 15s)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, condition);
    }

    [[nodiscard]] int count(ConnectionState state)
    {
        const std::lock_guard lock(mutex_);
        return countLocked(state);
    }

    [[nodiscard]] int countLocked(ConnectionState state) const
    {
        return static_cast<int>(std::count(states_.begin(), states_.end(), state));
    }

    bool waitForState(ConnectionState state, std::chrono::milliseconds timeout = 15s)
    {
        return waitFor([&] { return countLocked(state) > 0; }, timeout);
    }

    [[nodiscard]] std::optional<std::string> failure()
    {
        const std::lock_guard lock(mutex_);
        return failure_;
    }

    [[nodiscard]] std::vector<std::string> threadNames()
    {
        const std::lock_guard lock(mutex_);
        return threadNames_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ConnectionState> states_;
    std::optional<std::string> failure_;
    std::vector<std::string> threadNames_;
};

Bytes bytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

TEST(AsioTransportTest, ConnectsSendsReceivesAndReportsEndOfStream)
{
    LoopbackServer server;
    ASSERT_TRUE(server.isListening());
    Bytes request;
    server.serveOne([&request](int fd) {
        if (readExactly(fd, 5, request)) {
            writeAll(fd, "world");
        }
    });

    AsioTransport transport;
    Recorder recorder;
    auto connection = transport.makeConnection("127.0.0.1", server.port(), 10.0);
    connection->setStateHandler(recorder.stateHandler());
    connection->start();
    ASSERT_TRUE(recorder.waitForState(ConnectionState::ready));

    bool sent = false;
    std::optional<std::string> sendError = "not called";
    connection->send(bytesOf("hello"), [&](const std::optional<std::string>& error) {
        recorder.add([&] {
            sent = true;
            sendError = error;
        });
    });

    // Reads until the end of the stream, one receive at a time, as the client does.
    std::string received;
    bool ended = false;
    std::optional<std::string> receiveError;
    std::function<void()> receiveNext = [&] {
        connection->receive(1, 4096, [&](Bytes data, bool isComplete, const std::optional<std::string>& error) {
            recorder.add([&] {
                received.append(data.begin(), data.end());
                receiveError = error;
                ended = isComplete;
            });
            if (!isComplete && !error) {
                receiveNext();
            }
        });
    };
    receiveNext();

    ASSERT_TRUE(recorder.waitFor([&] { return ended || receiveError.has_value(); }));
    EXPECT_TRUE(sent);
    EXPECT_EQ(sendError, std::nullopt);
    EXPECT_EQ(std::string(request.begin(), request.end()), "hello");
    EXPECT_EQ(received, "world");
    EXPECT_TRUE(ended);
    EXPECT_EQ(receiveError, std::nullopt);
    // The end of the stream is no failure of the connection.
    EXPECT_EQ(recorder.count(ConnectionState::failed), 0);
    for (const auto& name : recorder.threadNames()) {
        EXPECT_EQ(name, "mqtt.client");
    }
    connection->cancel();
    EXPECT_TRUE(recorder.waitForState(ConnectionState::cancelled));
}

TEST(AsioTransportTest, ManySendsInFlightArriveWholeAndInOrder)
{
    LoopbackServer server;
    ASSERT_TRUE(server.isListening());

    // Sizes around the socket buffer, so that writes complete partially.
    std::vector<std::string> pieces;
    std::string expected;
    for (int i = 0; i < 60; ++i) {
        const std::size_t size = (i % 3 == 0) ? 200'000 : static_cast<std::size_t>(1 + i * 37);
        pieces.emplace_back(size, static_cast<char>('A' + i % 26));
        expected += pieces.back();
    }
    Bytes arrived;
    server.serveOne([&](int fd) {
        // Read slowly at first, so that the writes pile up in the transport.
        std::this_thread::sleep_for(100ms);
        (void)readExactly(fd, expected.size(), arrived);
    });

    AsioTransport transport;
    Recorder recorder;
    auto connection = transport.makeConnection("127.0.0.1", server.port(), 10.0);
    connection->setStateHandler(recorder.stateHandler());
    connection->start();
    // Sent before `ready`: they wait and go out in order once connected.
    std::vector<int> completionOrder;
    for (int i = 0; i < static_cast<int>(pieces.size()); ++i) {
        connection->send(bytesOf(pieces[static_cast<std::size_t>(i)]),
                         [&, i](const std::optional<std::string>& error) {
                             EXPECT_EQ(error, std::nullopt);
                             recorder.add([&] { completionOrder.push_back(i); });
                         });
    }
    ASSERT_TRUE(recorder.waitFor([&] { return completionOrder.size() == pieces.size(); }));
    connection->cancel();
    ASSERT_TRUE(recorder.waitForState(ConnectionState::cancelled));

    std::vector<int> inOrder(pieces.size());
    for (std::size_t i = 0; i < inOrder.size(); ++i) {
        inOrder[i] = static_cast<int>(i);
    }
    EXPECT_EQ(completionOrder, inOrder);
    server.join();
    EXPECT_TRUE(std::string(arrived.begin(), arrived.end()) == expected) << "the byte stream was reordered or torn";
}

struct FailureCase {
    const char* name;
    std::string host;
    bool refusedPort;       // use a loopback port where nothing listens
    bool unansweredPort;    // use a port whose accept queue is full
    double timeoutSeconds;
    const char* expectedText;  // a part of the failure text; nullptr: any text
};

class AsioTransportFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(AsioTransportFailureTest, ReportsFailedWithTheSystemsText)
{
    const auto& param = GetParam();
    LoopbackServer unanswered(false, 0);
    std::uint16_t port = 1883;
    if (param.refusedPort) {
        port = test::freeLoopbackPort();
    }
    if (param.unansweredPort) {
        ASSERT_TRUE(unanswered.isListening());
        if (!unanswered.fillAcceptQueue()) {
            GTEST_SKIP() << "the kernel accepted every connection; cannot make a connect hang";
        }
        port = unanswered.port();
    }

    AsioTransport transport;
    Recorder recorder;
    auto connection = transport.makeConnection(param.host, port, param.timeoutSeconds);
    connection->setStateHandler(recorder.stateHandler());
    connection->start();
    ASSERT_TRUE(recorder.waitForState(ConnectionState::failed));
    const auto text = recorder.failure();
    ASSERT_TRUE(text.has_value());
    EXPECT_FALSE(text->empty());
    if (param.expectedText != nullptr) {
        EXPECT_NE(text->find(param.expectedText), std::string::npos) << *text;
    }
    EXPECT_EQ(recorder.count(ConnectionState::ready), 0);

    // A failed connection refuses further work with the failure's text.
    std::optional<std::string> sendError;
    connection->send(bytesOf("x"), [&](const std::optional<std::string>& error) {
        recorder.add([&] { sendError = error; });
    });
    ASSERT_TRUE(recorder.waitFor([&] { return sendError.has_value(); }));
    EXPECT_EQ(sendError, text);

    // cancel() after a failure still ends in exactly one `cancelled`.
    connection->cancel();
    connection->cancel();
    ASSERT_TRUE(recorder.waitForState(ConnectionState::cancelled));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder.count(ConnectionState::failed), 1);
    EXPECT_EQ(recorder.count(ConnectionState::cancelled), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AsioTransportFailureTest,
    ::testing::Values(FailureCase{"refused", "127.0.0.1", true, false, 10.0, "Connection refused"},
                      // A label longer than 63 bytes: rejected by the resolver
                      // itself, without a query leaving the machine.
                      FailureCase{"unresolvable", std::string(70, 'x') + ".invalid", false, false, 10.0, nullptr},
                      FailureCase{"timeout", "127.0.0.1", false, true, 0.5, "timed out"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

enum class CancelMoment { beforeStart, duringResolve, duringConnect, afterReady };

class AsioTransportCancelTest : public ::testing::TestWithParam<CancelMoment> {};

TEST_P(AsioTransportCancelTest, ReportsCancelledExactlyOnceAndNothingElse)
{
    const CancelMoment moment = GetParam();
    LoopbackServer server(false, moment == CancelMoment::duringConnect ? 0 : 8);
    ASSERT_TRUE(server.isListening());
    if (moment == CancelMoment::duringConnect && !server.fillAcceptQueue()) {
        GTEST_SKIP() << "the kernel accepted every connection; cannot make a connect hang";
    }
    if (moment == CancelMoment::afterReady) {
        server.serveOne([](int fd) {
            Bytes ignored;
            (void)readExactly(fd, 1, ignored);  // until the client closes
        });
    }

    AsioTransport transport;
    Recorder recorder;
    auto connection = transport.makeConnection("localhost", server.port(), 10.0);
    connection->setStateHandler(recorder.stateHandler());
    std::optional<std::string> receiveError;
    switch (moment) {
    case CancelMoment::beforeStart:
        connection->cancel();
        connection->start();
        break;
    case CancelMoment::duringResolve:
        connection->start();
        connection->cancel();
        break;
    case CancelMoment::duringConnect:
        connection->start();
        std::this_thread::sleep_for(300ms);
        connection->cancel();
        break;
    case CancelMoment::afterReady:
        connection->start();
        ASSERT_TRUE(recorder.waitForState(ConnectionState::ready));
        connection->receive(1, 4096, [&](Bytes, bool, const std::optional<std::string>& error) {
            recorder.add([&] { receiveError = error.value_or("no error"); });
        });
        connection->cancel();
        break;
    }
    ASSERT_TRUE(recorder.waitForState(ConnectionState::cancelled));
    connection->cancel();

    // Work issued after cancel() completes with an error and starts nothing.
    std::optional<std::string> sendError;
    connection->send(bytesOf("late"), [&](const std::optional<std::string>& error) {
        recorder.add([&] { sendError = error.value_or("no error"); });
    });
    ASSERT_TRUE(recorder.waitFor([&] { return sendError.has_value(); }));
    EXPECT_NE(sendError, "no error");
    if (moment == CancelMoment::afterReady) {
        ASSERT_TRUE(recorder.waitFor([&] { return receiveError.has_value(); }));
        EXPECT_NE(receiveError, "no error");
    }

    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(recorder.count(ConnectionState::cancelled), 1);
    EXPECT_EQ(recorder.count(ConnectionState::failed), 0);
    EXPECT_EQ(recorder.count(ConnectionState::ready), moment == CancelMoment::afterReady ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Moments, AsioTransportCancelTest,
                         ::testing::Values(CancelMoment::beforeStart, CancelMoment::duringResolve,
                                           CancelMoment::duringConnect, CancelMoment::afterReady),
                         [](const auto& testCase) {
                             switch (testCase.param) {
                             case CancelMoment::beforeStart:
                                 return "BeforeStart";
                             case CancelMoment::duringResolve:
                                 return "DuringResolve";
                             case CancelMoment::duringConnect:
                                 return "DuringConnect";
                             case CancelMoment::afterReady:
                                 return "AfterReady";
                             }
                             return "Unknown";
                         });

TEST(AsioTransportTest, ConnectsToIPv6Loopback)
{
    LoopbackServer server(true);
    if (!server.isListening()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    server.serveOne([](int fd) { writeAll(fd, "v6"); });

    AsioTransport transport;
    Recorder recorder;
    auto connection = transport.makeConnection("::1", server.port(), 10.0);
    connection->setStateHandler(recorder.stateHandler());
    connection->start();
    ASSERT_TRUE(recorder.waitFor([&] {
        return recorder.countLocked(ConnectionState::ready) + recorder.countLocked(ConnectionState::failed) > 0;
    }));
    EXPECT_EQ(recorder.count(ConnectionState::ready), 1) << recorder.failure().value_or("");
    connection->cancel();
    ASSERT_TRUE(recorder.waitForState(ConnectionState::cancelled));
}

TEST(AsioTransportTest, PostedTasksRunInOrderOnTheNamedThread)
{
    AsioTransport transport;
    std::mutex mutex;
    std::condition_variable done;
    std::vector<int> order;
    std::vector<std::string> names;
    constexpr int kTasks = 1000;
    for (int i = 0; i < kTasks; ++i) {
        transport.queue().post([&, i] {
            const std::lock_guard lock(mutex);
            order.push_back(i);
            names.push_back(currentThreadName());
            done.notify_all();
        });
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, 10s, [&] { return order.size() == kTasks; }));
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(std::count(names.begin(), names.end(), "mqtt.client"), kTasks);
}

TEST(AsioTransportTest, DestroyingTheTransportEndsLiveConnections)
{
    LoopbackServer server;
    ASSERT_TRUE(server.isListening());
    std::atomic<bool> peerSawClose = false;
    server.serveOne([&](int fd) {
        Bytes ignored;
        peerSawClose = !readExactly(fd, 1, ignored);
    });

    Recorder recorder;
    std::shared_ptr<Connection> connection;
    std::optional<std::string> receiveError;
    {
        AsioTransport transport;
        connection = transport.makeConnection("127.0.0.1", server.port(), 10.0);
        connection->setStateHandler(recorder.stateHandler());
        connection->start();
        ASSERT_TRUE(recorder.waitForState(ConnectionState::ready));
        connection->receive(1, 4096, [&](Bytes, bool, const std::optional<std::string>& error) {
            recorder.add([&] { receiveError = error.value_or("no error"); });
        });
    }
    // The destructor returned: everything pending has completed.
    EXPECT_EQ(recorder.count(ConnectionState::cancelled), 1);
    EXPECT_TRUE(receiveError.has_value());
    EXPECT_NE(receiveError, "no error");
    connection.reset();
    server.join();
    EXPECT_TRUE(peerSawClose);
}

}  // namespace
}  // namespace telvane
