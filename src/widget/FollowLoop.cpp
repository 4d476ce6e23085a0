#include "widget/FollowLoop.h"

#include "platform/MonotonicClock.h"
#include "widget/StoreFollower.h"
#include "widget/TextFormats.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace telvane::widget {

namespace {

using Clock = StoreFollower::Clock;

// The lines on a file descriptor, each written at once.
class LineOutput final : public StoreFollower::Output {
public:
    LineOutput(const WidgetOptions& options, int fd) : options_(options), fd_(fd) {}

    std::string present(const Snapshot& snapshot) override { return render(snapshot, options_.format); }

    bool show(const Snapshot& /*snapshot*/, const std::string& presented) override
    {
        const std::string line = presented + '\n';
        std::size_t written = 0;
        while (written < line.size()) {
            const auto n = ::write(fd_, line.data() + written, line.size() - written);
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

    // How the run ends once show() failed.
    [[nodiscard]] int status() const { return status_; }

private:
    const WidgetOptions& options_;
    int fd_;
    int status_ = 0;
};

void drainInput(int& input)
{
    std::array<char, 4096> buffer{};
    const auto n = ::read(input, buffer.data(), buffer.size());
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        input = -1;  // end of input: stop watching it, go on
    }
}

int follow(StoreFollower& follower, const LineOutput& output, FollowIo io, int signalFd)
{
    if (!follower.start(Clock::now())) {
        return output.status();
    }
    for (;;) {
        std::array<pollfd, 4> fds{};
        fds[0] = {signalFd, POLLIN, 0};
        // No events: poll() still reports POLLERR/POLLHUP, which is how a
        // closed pipe shows before anything is written to it.
        fds[1] = {io.output, 0, 0};
        fds[2] = {io.input, POLLIN, 0};
        fds[3] = {follower.busFd(), follower.busEvents(), 0};
        const int polled = ::poll(fds.data(), fds.size(), pollTimeoutMs(follower.deadline(), Clock::now()));
        if (polled < 0 && errno != EINTR) {
            return 1;
        }
        if ((fds[0].revents & POLLIN) != 0 || (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return 0;
        }
        if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
            drainInput(io.input);
        }
        if (!follower.handle(Clock::now())) {
            return output.status();
        }
    }
}

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
    LineOutput output(options, io.output);
    StoreFollower follower(options, storePath, busAddress, output);
    const int status = follow(follower, output, io, signalFd);
    ::close(signalFd);
    return status;
}

}  // namespace telvane::widget
