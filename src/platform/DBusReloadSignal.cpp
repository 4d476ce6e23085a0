#include "platform/DBusReloadSignal.h"

#include "platform/MonotonicClock.h"

#include <systemd/sd-bus.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace telvane {

namespace {

using Clock = MonotonicClock;
using namespace std::chrono_literals;

constexpr auto kConnectTimeout = 5s;
constexpr std::chrono::milliseconds kFirstRetryPause = 250ms;
constexpr std::chrono::milliseconds kLongestRetryPause = 30s;
constexpr auto kExitFlushTime = 250ms;

// D-Bus address values escape every byte outside [-0-9A-Za-z_/.\*] as %xx.
std::string escapeAddressValue(std::string_view value)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '-' || b == '_'
            || b == '/' || b == '.' || b == '\\' || b == '*') {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
    }
    return out;
}

}  // namespace

// Owns the bus connection; only its thread touches `bus_`. The caller's side
// is a counter of requested signals and an eventfd that wakes the thread.
class DBusReloadSignal::Worker {
public:
    explicit Worker(std::string address) : address_(std::move(address)), ownerPid_(::getpid())
    {
        if (address_.empty()) {
            return;
        }
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) {
            return;
        }
        try {
            thread_ = std::make_unique<std::thread>([this] { run(); });
        } catch (...) {
            // No thread, no reloads; the application goes on without them.
            thread_.reset();
        }
    }

    ~Worker()
    {
        if (thread_) {
            if (::getpid() != ownerPid_) {
                // A forked child has no copy of the thread to join, and its
                // sd-bus state belongs to the parent: leave both alone.
                static_cast<void>(thread_.release());
                return;
            }
            {
                const std::lock_guard lock(mutex_);
                stopping_ = true;
            }
            wake();
            thread_->join();
        }
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
        }
    }

    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void request()
    {
        if (!thread_) {
            return;
        }
        {
            const std::lock_guard lock(mutex_);
            ++pending_;
        }
        wake();
    }

private:
    void wake() const
    {
        const std::uint64_t one = 1;
        // A non-blocking eventfd only refuses a write when its counter is
        // near 2^64: then the thread is awake anyway.
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }

    void drainWake() const
    {
        std::uint64_t count = 0;
        // Nothing to read means nothing woke us; either way the counter is 0 now.
        [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
    }

    std::uint64_t pending()
    {
        const std::lock_guard lock(mutex_);
        return pending_;
    }

    void run()
    {
        for (;;) {
            bool stop = false;
            std::uint64_t wanted = 0;
            {
                const std::lock_guard lock(mutex_);
                stop = stopping_;
                wanted = pending_;
            }
            if (stop) {
                finish();
                return;
            }
            const auto now = Clock::now();
            if (wanted > 0 && bus_ == nullptr && now >= nextAttempt_) {
                startConnecting(now);
            }
            if (bus_ != nullptr) {
                if (sd_bus_is_ready(bus_) > 0) {
                    sendPending();
                } else if (now >= connectDeadline_) {
                    dropBus(/*attemptFailed=*/true, now);
                }
            }
            waitForWork(Clock::now());
            if (bus_ != nullptr) {
                processBus();
            }
        }
    }

    void startConnecting(Clock::time_point now)
    {
        sd_bus* bus = nullptr;
        int r = sd_bus_new(&bus);
        if (r >= 0) {
            r = sd_bus_set_address(bus, address_.c_str());
        }
        if (r >= 0) {
            r = sd_bus_set_bus_client(bus, 1);
        }
        if (r >= 0) {
            r = sd_bus_set_description(bus, "telvane-widget-reload");
        }
        if (r >= 0) {
            // Non-blocking: connects the socket and queues the authentication
            // and Hello; the answers are read by processBus().
            r = sd_bus_start(bus);
        }
        bus_ = bus;
        if (r < 0) {
            dropBus(/*attemptFailed=*/true, now);
            return;
        }
        connectDeadline_ = now + kConnectTimeout;
    }

    // Forgets the connection. After a failed attempt the requests made
    // meanwhile are merged into one, so that a bus that comes back gets one
    // reload instead of a burst, and the next attempt waits a growing pause.
    void dropBus(bool attemptFailed, Clock::time_point now)
    {
        sd_bus_close_unref(bus_);
        bus_ = nullptr;
        if (attemptFailed) {
            {
                const std::lock_guard lock(mutex_);
                pending_ = std::min<std::uint64_t>(pending_, 1);
            }
            nextAttempt_ = now + retryPause_;
            retryPause_ = std::min(retryPause_ * 2, kLongestRetryPause);
        } else {
            nextAttempt_ = now;
        }
    }

    void sendPending()
    {
        retryPause_ = kFirstRetryPause;
        const std::uint64_t wanted = pending();
        std::uint64_t sent = 0;
        int r = 0;
        while (sent < wanted) {
            r = sd_bus_emit_signal(bus_, reload_signal::kObjectPath, reload_signal::kInterface, reload_signal::kMember,
                                   nullptr);
            if (r < 0) {
                break;
            }
            ++sent;
        }
        {
            const std::lock_guard lock(mutex_);
            pending_ -= sent;
        }
        // -ENOBUFS: sd-bus's own queue is full because the bus stopped
        // reading; keep the rest counted and try again after writing.
        if (r < 0 && r != -ENOBUFS) {
            dropBus(/*attemptFailed=*/false, Clock::now());
        }
    }

    void waitForWork(Clock::time_point now)
    {
        std::array<pollfd, 2> fds{};
        fds[0] = {wakeFd_, POLLIN, 0};
        nfds_t count = 1;
        std::optional<Clock::time_point> deadline;
        const auto bringForward = [&deadline](Clock::time_point other) {
            deadline = deadline ? std::min(*deadline, other) : other;
        };
        if (bus_ != nullptr) {
            const int events = sd_bus_get_events(bus_);
            const int fd = sd_bus_get_fd(bus_);
            if (events < 0 || fd < 0) {
                dropBus(/*attemptFailed=*/sd_bus_is_ready(bus_) <= 0, now);
                return;
            }
            fds[1] = {fd, static_cast<short>(events), 0};
            count = 2;
            std::uint64_t busDeadline = 0;
            if (sd_bus_get_timeout(bus_, &busDeadline) >= 0) {
                if (const auto due = fromMonotonicUsec(busDeadline)) {
                    bringForward(*due);
                }
            }
            if (sd_bus_is_ready(bus_) <= 0) {
                bringForward(connectDeadline_);
            }
        } else if (pending() > 0) {
            deadline = nextAttempt_;
        }
        if (::poll(fds.data(), count, pollTimeoutMs(deadline, now)) > 0 && (fds[0].revents & POLLIN) != 0) {
            drainWake();
        }
    }

    void processBus()
    {
        int r = 0;
        while ((r = sd_bus_process(bus_, nullptr)) > 0) {
        }
        if (r < 0 || sd_bus_is_open(bus_) <= 0) {
            dropBus(/*attemptFailed=*/sd_bus_is_ready(bus_) <= 0, Clock::now());
        }
    }

    // At exit: write what a connected bus can still take, within a short
    // bound, and close without waiting for anything else.
    void finish()
    {
        if (bus_ != nullptr && sd_bus_is_ready(bus_) > 0) {
            sendPending();
            const auto deadline = Clock::now() + kExitFlushTime;
            while (bus_ != nullptr) {
                const int events = sd_bus_get_events(bus_);
                const auto now = Clock::now();
                if (events < 0 || (events & POLLOUT) == 0 || now >= deadline) {
                    break;
                }
                pollfd fd{sd_bus_get_fd(bus_), POLLOUT, 0};
                static_cast<void>(::poll(&fd, 1, pollTimeoutMs(deadline, now)));
                processBus();
            }
        }
        sd_bus_close_unref(bus_);
        bus_ = nullptr;
    }

    const std::string address_;
    const pid_t ownerPid_;
    int wakeFd_ = -1;

    std::mutex mutex_;
    std::uint64_t pending_ = 0;  // requests not yet handed to sd-bus
    bool stopping_ = false;

    // Only the worker thread uses these.
    sd_bus* bus_ = nullptr;
    Clock::time_point connectDeadline_{};
    Clock::time_point nextAttempt_{};
    std::chrono::milliseconds retryPause_ = kFirstRetryPause;

    std::unique_ptr<std::thread> thread_;  // last: started after the rest exists
};

DBusReloadSignal::DBusReloadSignal(std::string busAddress) : worker_(std::make_unique<Worker>(std::move(busAddress))) {}

DBusReloadSignal::~DBusReloadSignal() = default;

void DBusReloadSignal::emitReload()
{
    worker_->request();
}

std::string DBusReloadSignal::sessionBusAddress()
{
    return sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"));
}

std::string DBusReloadSignal::sessionBusAddress(const char* dbusSessionBusAddress, const char* xdgRuntimeDir)
{
    if (dbusSessionBusAddress != nullptr && *dbusSessionBusAddress != '\0') {
        return dbusSessionBusAddress;
    }
    if (xdgRuntimeDir != nullptr && *xdgRuntimeDir != '\0') {
        return "unix:path=" + escapeAddressValue(xdgRuntimeDir) + "/bus";
    }
    return {};
}

}  // namespace telvane
