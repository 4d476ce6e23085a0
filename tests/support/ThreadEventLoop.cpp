#include "support/ThreadEventLoop.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace telvane {

using Clock = std::chrono::steady_clock;

struct ThreadEventLoop::Core {
    struct Entry {
        Clock::time_point deadline;
        Clock::duration interval;
        bool repeats = false;
        std::shared_ptr<std::function<void()>> action;  // shared: a repeating action runs unlocked
    };
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    std::map<std::uint64_t, Entry> timers;  // by id: ties go to the earlier armed
    std::uint64_t nextId = 1;
};

namespace {

class LoopTimer final : public Timer {
public:
    LoopTimer(std::weak_ptr<ThreadEventLoop::Core> core, std::uint64_t id) : core_(std::move(core)), id_(id) {}

    void invalidate() override
    {
        // The action goes outside the lock: it may own handles of this loop's timers.
        std::shared_ptr<std::function<void()>> action;
        if (const auto core = std::exchange(core_, {}).lock()) {
            const std::lock_guard lock(core->mutex);
            if (const auto it = core->timers.find(id_); it != core->timers.end()) {
                action = std::move(it->second.action);
                core->timers.erase(it);
            }
        }
    }

private:
    std::weak_ptr<ThreadEventLoop::Core> core_;
    std::uint64_t id_;
};

}  // namespace

ThreadEventLoop::ThreadEventLoop() : core_(std::make_shared<Core>()) {}

ThreadEventLoop::~ThreadEventLoop()
{
    // Tasks and actions may own handles of this loop's timers: they go after the lock.
    std::deque<std::function<void()>> tasks;
    std::map<std::uint64_t, Core::Entry> timers;
    const std::lock_guard lock(core_->mutex);
    tasks.swap(core_->tasks);
    timers.swap(core_->timers);
}

void ThreadEventLoop::post(std::function<void()> task)
{
    {
        const std::lock_guard lock(core_->mutex);
        core_->tasks.push_back(std::move(task));
    }
    core_->wake.notify_one();
}

TimerHandle ThreadEventLoop::schedule(Seconds interval, bool repeats, std::function<void()> action)
{
    const auto step =
        std::max<Clock::duration>(std::chrono::duration_cast<Clock::duration>(interval), std::chrono::milliseconds(1));
    const std::lock_guard lock(core_->mutex);
    const std::uint64_t id = core_->nextId++;
    core_->timers.emplace(id, Core::Entry{Clock::now() + step, step, repeats,
                                          std::make_shared<std::function<void()>>(std::move(action))});
    return TimerHandle(std::make_unique<LoopTimer>(core_, id));
}

bool ThreadEventLoop::runUntil(const std::function<bool()>& done, Seconds timeout)
{
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
    for (;;) {
        if (done && done()) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= end) {
            return false;
        }
        std::function<void()> task;  // run, and destroyed, outside the lock
        std::shared_ptr<std::function<void()>> action;
        {
            std::unique_lock lock(core_->mutex);
            auto& timers = core_->timers;
            const auto due = std::min_element(timers.begin(), timers.end(), [](const auto& a, const auto& b) {
                return a.second.deadline < b.second.deadline;
            });
            if (due != timers.end() && due->second.deadline <= now) {
                // A due timer goes before queued tasks, so that a steady
                // stream of posts cannot starve it; ticks missed while it
                // ran late are skipped, not run in a burst.
                auto& entry = due->second;
                action = entry.action;
                if (entry.repeats) {
                    entry.deadline += ((now - entry.deadline) / entry.interval + 1) * entry.interval;
                } else {
                    timers.erase(due);
                }
            } else if (!core_->tasks.empty()) {
                task = std::move(core_->tasks.front());
                core_->tasks.pop_front();
            } else {
                auto wakeAt = std::min(end, now + std::chrono::milliseconds(10));
                if (due != timers.end()) {
                    wakeAt = std::min(wakeAt, due->second.deadline);
                }
                core_->wake.wait_until(lock, wakeAt, [this] { return !core_->tasks.empty(); });
                continue;
            }
        }
        if (action) {
            (*action)();
        } else {
            task();
        }
    }
}

void ThreadEventLoop::runFor(Seconds duration)
{
    runUntil({}, duration);
}

}  // namespace telvane
