#include "support/VirtualEventLoop.h"

#include <algorithm>

namespace telvane {

namespace {
// A timer never falls due in the instant it was armed: a zero-interval
// repeating timer would otherwise keep advance() from ever finishing.
constexpr double kResolution = 1e-6;
}  // namespace

struct VirtualEventLoop::TimerEntry {
    double due = 0.0;
    double interval = 0.0;
    bool repeats = false;
    bool isValid = true;
    std::uint64_t sequence = 0;
    std::function<void()> action;
};

class VirtualEventLoop::VirtualTimer final : public Timer {
public:
    explicit VirtualTimer(std::weak_ptr<TimerEntry> entry) : entry_(std::move(entry)) {}
    void invalidate() override
    {
        if (const auto entry = entry_.lock()) {
            entry->isValid = false;
        }
    }

private:
    std::weak_ptr<TimerEntry> entry_;
};

VirtualEventLoop::~VirtualEventLoop() = default;

void VirtualEventLoop::post(std::function<void()> task)
{
    const std::lock_guard lock(postMutex_);
    posted_.push_back(std::move(task));
}

TimerHandle VirtualEventLoop::schedule(Seconds interval, bool repeats, std::function<void()> action)
{
    auto entry = std::make_shared<TimerEntry>();
    entry->interval = std::max(interval.count(), kResolution);
    entry->due = now_ + entry->interval;
    entry->repeats = repeats;
    entry->sequence = nextSequence_++;
    entry->action = std::move(action);
    timers_.push_back(entry);
    return TimerHandle(std::make_unique<VirtualTimer>(entry));
}

std::size_t VirtualEventLoop::runUntilIdle()
{
    std::size_t count = 0;
    while (true) {
        std::function<void()> task;
        {
            const std::lock_guard lock(postMutex_);
            if (posted_.empty()) {
                return count;
            }
            task = std::move(posted_.front());
            posted_.pop_front();
        }
        task();
        ++count;
    }
}

std::shared_ptr<VirtualEventLoop::TimerEntry> VirtualEventLoop::nextDueBy(double deadline)
{
    std::erase_if(timers_, [](const auto& entry) { return !entry->isValid; });
    std::shared_ptr<TimerEntry> next;
    for (const auto& entry : timers_) {
        if (entry->due <= deadline
            && (!next || entry->due < next->due || (entry->due == next->due && entry->sequence < next->sequence))) {
            next = entry;
        }
    }
    return next;
}

void VirtualEventLoop::advance(Seconds duration)
{
    const double deadline = now_ + std::max(duration.count(), 0.0);
    runUntilIdle();
    while (const auto entry = nextDueBy(deadline)) {
        now_ = std::max(now_, entry->due);
        if (entry->repeats) {
            entry->due += entry->interval;
        } else {
            entry->isValid = false;
        }
        // The action may invalidate its own timer; the entry stays alive here.
        const auto action = entry->action;
        action();
        runUntilIdle();
    }
    now_ = deadline;
}

std::size_t VirtualEventLoop::activeTimerCount() const
{
    return static_cast<std::size_t>(
        std::count_if(timers_.begin(), timers_.end(), [](const auto& entry) { return entry->isValid; }));
}

}  // namespace telvane
