#include "widget/FollowLoop.h"

#include "widget/BusWatcher.h"
#include "widget/OnceRun.h"
#include "widget/RenderThrottle.h"
#include "widget/StoreReader.h"
#include "widget/TextFormats.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace telvane::widget {

namespace {

using Clock = RenderThrottle::Clock;
using namespace std::chrono_literals;

// Short: the loop must keep answering signals and its bar while a writer
// holds the store; a busy read is tried again after kBusyRetry.
constexpr std::chrono::milliseconds kFollowBusyTimeout{100};
constexpr auto kBusyRetry = 1s;
constexpr auto kPollInterval = 1s;

Clock::duration seconds(double value)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

class Follower {
public:
    Follower(const WidgetOptions& options, const std::optional<std::filesystem::path>& storePath,
             const std::string& busAddress, FollowIo io)
        : options_(options),
          bus_(busAddress),
          io_(io)
    {
        if (storePath) {
            reader_.emplace(*storePath, kFollowBusyTimeout);
        }
    }

    int run(int signalFd)
    {
        auto now = Clock::now();
        // The version before the first read: a commit between the two then
        // shows as a change at the next poll instead of going unseen.
        lastVersion_ = reader_ ? reader_->version() : std::nullopt;
        if (!render(now)) {
            return status_;
        }
        nextTick_ = now + seconds(options_.tickSeconds);
        nextPoll_ = now + kPollInterval;
        for (;;) {
            std::array<pollfd, 4> fds{};
            fds[0] = {signalFd, POLLIN, 0};
            // No events: poll() still reports POLLERR/POLLHUP, which is how
            // a closed pipe shows before anything is written to it.
            fds[1] = {io_.output, 0, 0};
            fds[2] = {io_.input, POLLIN, 0};
            fds[3] = {bus_.isOpen() ? bus_.fd() : -1, bus_.isOpen() ? bus_.events() : short{0}, 0};
            now = Clock::now();
            const int polled = ::poll(fds.data(), fds.size(), pollTimeoutMs(nextDeadline(), now));
            if (polled < 0 && errno != EINTR) {
                return 1;
            }
            now = Clock::now();
            if ((fds[0].revents & POLLIN) != 0) {
                return 0;
            }
            if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return 0;
            }
            if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
                drainInput();
            }
            if (bus_.isOpen()) {
                const bool wasSubscribed = bus_.isSubscribed();
                if (bus_.process() > 0) {
                    // The render to come covers every later signal too, so
                    // stop the bus sending them until then: a storm of
                    // signals then costs almost nothing.
                    bus_.pause();
                    throttle_.request(now);
                }
                if (!wasSubscribed && bus_.isSubscribed()) {
                    // A write whose signal went out before the subscription
                    // took effect was not heard: read once more.
                    throttle_.request(now);
                }
            }
            if (!bus_.isOpen() && now >= nextPoll_) {
                pollStore(now);
            }
            if (busyRetryAt_ && now >= *busyRetryAt_) {
                busyRetryAt_.reset();
                throttle_.request(now);
            }
            if (now >= nextTick_) {
                nextTick_ = now + seconds(options_.tickSeconds);
                throttle_.request(now);
            }
            if (throttle_.isDue(now)) {
                if (bus_.isOpen() && !bus_.isSubscribed()) {
                    // Subscribe first, render once the bus confirms it, so
                    // that no write after the read goes unheard.
                    bus_.resume();
                    resuming_ = true;
                } else {
                    resuming_ = false;
                    if (!render(now)) {
                        return status_;
                    }
                }
            }
        }
    }

private:
    Clock::time_point nextDeadline() const
    {
        Clock::time_point deadline = nextTick_;
        // While a subscription is on its way the bus's answer wakes the loop.
        const bool waitingForBus = resuming_ && bus_.isOpen() && !bus_.isSubscribed();
        if (const auto due = throttle_.dueAt(); due && !waitingForBus) {
            deadline = std::min(deadline, *due);
        }
        if (busyRetryAt_) {
            deadline = std::min(deadline, *busyRetryAt_);
        }
        if (!bus_.isOpen()) {
            deadline = std::min(deadline, nextPoll_);
        } else if (const auto busDeadline = bus_.deadline()) {
            deadline = std::min(deadline, *busDeadline);
        }
        return deadline;
    }

    // Without the bus: a commit of Telvane's (or a store appearing or being
    // replaced) changes the version; that is a reload request.
    void pollStore(Clock::time_point now)
    {
        nextPoll_ = now + kPollInterval;
        const auto version = reader_ ? reader_->version() : std::nullopt;
        if (version != lastVersion_) {
            lastVersion_ = version;
            throttle_.request(now);
        }
    }

    void drainInput()
    {
        std::array<char, 4096> buffer{};
        const auto n = ::read(io_.input, buffer.data(), buffer.size());
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            io_.input = -1;  // end of input: stop watching it, go on
        }
    }

    // Renders and writes the line when it changed; false when the output
    // is gone (status_ says how the run ends).
    bool render(Clock::time_point now)
    {
        throttle_.rendered(now);
        StoreContents contents;
        const double nowUnix = unixNow();
        if (reader_) {
            contents = reader_->read(historyRequestFor(options_, nowUnix));
        }
        if (contents.status == StoreStatus::busy && (printedOnce_ || options_.changedFrom)) {
            // Keep what is shown; the writer lets go soon.
            busyRetryAt_ = now + kBusyRetry;
            return true;
        }
        const std::string path = reader_ ? reader_->path().string() : std::string();
        const Snapshot snapshot = makeSnapshot(contents, path, nowUnix, options_.staleAfterSeconds);
        std::string line = widget::render(snapshot, options_.format);
        if (options_.changedFrom) {
            // The caller shows the snapshot with that digest: one line once
            // it is out of date, and the caller runs us again.
            if (snapshotDigest(snapshot) == *options_.changedFrom) {
                return true;
            }
            (void)writeAll(line + '\n');
            return false;
        }
        if (printedOnce_ && line == lastLine_) {
            return true;
        }
        lastLine_ = line;
        printedOnce_ = true;
        line += '\n';
        return writeAll(line);
    }

    bool writeAll(const std::string& text)
    {
        std::size_t written = 0;
        while (written < text.size()) {
            const auto n = ::write(io_.output, text.data() + written, text.size() - written);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                status_ = errno == EPIPE ? 0 : 1;
                return false;
            }
            written += static_cast<std::size_t>(n);
        }
        return true;
    }

    const WidgetOptions& options_;
    std::optional<StoreReader> reader_;
    BusWatcher bus_;
    FollowIo io_;
    RenderThrottle throttle_;
    Clock::time_point nextTick_{};
    Clock::time_point nextPoll_{};
    std::optional<Clock::time_point> busyRetryAt_;
    std::optional<StoreVersion> lastVersion_;
    std::string lastLine_;
    bool printedOnce_ = false;
    bool resuming_ = false;
    int status_ = 0;
};

}  // namespace

int runFollow(const WidgetOptions& options, const std::optional<std::filesystem::path>& storePath,
              const std::string& busAddress, FollowIo io)
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    // Blocked, they wait in the signalfd; the loop ends cleanly between two
    // lines instead of in the middle of one.
    if (::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        return 1;
    }
    // A closed stdout shows as EPIPE from write() instead of killing us.
    std::signal(SIGPIPE, SIG_IGN);
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        return 1;
    }
    Follower follower(options, storePath, busAddress, io);
    const int status = follower.run(signalFd);
    ::close(signalFd);
    return status;
}

}  // namespace telvane::widget
