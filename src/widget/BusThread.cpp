#include "widget/BusThread.h"

#include "widget/BusWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cstdint>

namespace telvane::widget {

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
        const int timeout = pollTimeoutMs(bus.deadline(), MonotonicClock::now());
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
