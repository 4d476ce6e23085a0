#include "widget/BusThread.h"

#include "widget/BusWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <ctime>

namespace telvane::widget {

namespace {

std::uint64_t monotonicUsec()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

}  // namespace

BusThread::BusThread(std::string address, std::function<void()> onReload) : onReload_(std::move(onReload))
{
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0 || address.empty()) {
        listening_ = false;
        return;
    }
    thread_ = std::make_unique<std::thread>([this, address = std::move(address)] { run(address); });
}

BusThread::~BusThread()
{
    if (thread_) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
        thread_->join();
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void BusThread::run(const std::string& address)
{
    BusWatcher bus(address);
    while (bus.isOpen()) {
        std::array<pollfd, 2> fds{};
        fds[0] = {wakeFd_, POLLIN, 0};
        fds[1] = {bus.fd(), bus.events(), 0};
        int timeout = -1;
        if (const auto deadline = bus.deadlineUsec()) {
            const std::uint64_t now = monotonicUsec();
            timeout =
                *deadline <= now ? 0 : static_cast<int>(std::min<std::uint64_t>((*deadline - now) / 1000 + 1, 60'000));
        }
        if (::poll(fds.data(), fds.size(), timeout) > 0 && (fds[0].revents & POLLIN) != 0) {
            return;  // stopping
        }
        if (bus.process() > 0) {
            onReload_();
        }
    }
    listening_ = false;
}

}  // namespace telvane::widget
