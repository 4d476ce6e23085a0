#include "platform/DBusReloadSignal.h"

#include "support/ReloadListener.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace telvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Loose bound for "returns at once": a broken implementation waits seconds.
constexpr auto kAtOnce = 1s;

bool haveSessionBus()
{
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    return address != nullptr && *address != '\0';
}

// A unix socket that takes connections and never says a word, like a bus
// daemon that hangs.
class SilentSocket {
public:
    SilentSocket()
    {
        path_ = (dir_.path() / "bus").string();
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        EXPECT_TRUE(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 16) == 0)
            << path_ << ": " << std::strerror(errno);
    }
    ~SilentSocket()
    {
        for (const int fd : accepted_) {
            ::close(fd);
        }
        ::close(fd_);
    }
    SilentSocket(const SilentSocket&) = delete;
    SilentSocket& operator=(const SilentSocket&) = delete;

    [[nodiscard]] std::string address() const { return "unix:path=" + path_; }

    // Takes the pending connections and holds them open, unanswered.
    int acceptPending()
    {
        int fd = -1;
        while ((fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
            accepted_.push_back(fd);
        }
        return static_cast<int>(accepted_.size());
    }

private:
    test::TempDir dir_;
    std::string path_;
    int fd_ = -1;
    std::vector<int> accepted_;
};

// How long `calls` calls of emitReload() take.
Clock::duration timeOfCalls(ReloadSignal& center, int calls)
{
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        center.emitReload();
    }
    return Clock::now() - start;
}

TEST(DBusReloadSignalTest, EveryCallEmitsOneSignalOnTheSessionBus)
{
    if (!haveSessionBus()) {
        GTEST_SKIP() << "needs a session bus";
    }
    test::ReloadListener reloads;
    // Includes connecting: requests made before the bus answers must not be
    // merged or lost.
    DBusReloadSignal reloadSignal(DBusReloadSignal::sessionBusAddress());
    for (int i = 0; i < 8; ++i) {
        reloadSignal.emitReload();
    }
    EXPECT_TRUE(reloads.waitForCount(8, 10s));
    EXPECT_EQ(reloads.settleAndCount(), 8);
}

TEST(DBusReloadSignalTest, CallsWithoutAUsableBusReturnAtOnce)
{
    test::TempDir dir;
    SilentSocket silent;
    const struct {
        const char* name;
        std::string address;
    } cases[] = {
        {"no address", ""},
        {"missing socket", "unix:path=" + (dir.path() / "missing").string()},
        {"socket that never answers", silent.address()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<DBusReloadSignal> reloadSignal(std::in_place, c.address);
        EXPECT_LT(timeOfCalls(*reloadSignal, 50), kAtOnce);
        // Let the worker get stuck in whatever connecting means here; later
        // calls must not notice.
        std::this_thread::sleep_for(200ms);
        silent.acceptPending();
        EXPECT_LT(timeOfCalls(*reloadSignal, 50), kAtOnce);
        // Nor may a hanging bus hold up the end of the process.
        const auto start = Clock::now();
        reloadSignal.reset();
        EXPECT_LT(Clock::now() - start, kAtOnce);
    }
    EXPECT_GE(silent.acceptPending(), 1) << "the silent socket was never tried";
}

TEST(DBusReloadSignalTest, SessionBusAddressFollowsTheEnvironment)
{
    const struct {
        const char* dbusAddress;
        const char* runtimeDir;
        std::string expected;
    } cases[] = {
        {"unix:path=/tmp/b", "/run/user/1000", "unix:path=/tmp/b"},
        {"", "/run/a b;c=d", "unix:path=/run/a%20b%3bc%3dd/bus"},
        {nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DBusReloadSignal::sessionBusAddress(c.dbusAddress, c.runtimeDir), c.expected)
            << (c.dbusAddress ? c.dbusAddress : "(unset)") << " / " << (c.runtimeDir ? c.runtimeDir : "(unset)");
    }
}

}  // namespace
}  // namespace telvane
