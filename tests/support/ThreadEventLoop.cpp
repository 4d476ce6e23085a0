#include "support/ThreadEventLoop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace telvane {

namespace {

using Clock = std::chrono::steady_clock;

struct TimerEntry {
    Clock::time_point deadline;
    Clock::duration interval;
    bool repeats = false;
    std::shared_ptr<std::function<void()>> action;  // shared: a repeating action runs unlocked
};

}  // namespace

struct ThreadEventLoop::Core {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    std::map<std::uint64_t, TimerEntry> timers;  // by id: ties go to the earlier armed
    std::uint64_t nextTimerId = 1;
};

namespace {

class LoopTimer final : public Timer {
public:
    LoopTimer(std::weak_ptr<ThreadEventLoop::Core> core, std::uint64_t id) : core_(std::move(core)), id_(id) {}

    void invalidate() override
    {
        // The action is destroyed outside the lock: it may own handles
        // whose destruction invalidates other timers of this loop.
        std::shared_ptr<std::function<void()>> action;
        if (auto core = core_.lock()) {
            const std::lock_guard lock(core->mutex);
            const auto it = core->timers.find(id_);
            if (it != core->timers.end()) {
                action = std::move(it->second.action);
                core->timers.erase(it);
            }
        }
        core_.reset();
    }

private:
    std::weak_ptr<ThreadEventLoop::Core> core_;
    std::uint64_t id_;
};

}  // namespace

ThreadEventLoop::ThreadEventLoop() : core_(std::make_shared<Core>()) {}

ThreadEventLoop::~ThreadEventLoop()
{
    // Tasks and actions may own timer handles of this loop; they must not
    // be destroyed while the lock is held.
    std::deque<std::function<void()>> tasks;
    std::map<std::uint64_t, TimerEntry> timers;
    {
        const std::lock_guard lock(core_->mutex);
        tasks.swap(core_->tasks);
        timers.swap(core_->timers);
    }
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
    std::uint64_t id = 0;
    {
        const std::lock_guard lock(core_->mutex);
        id = core_->nextTimerId++;
        core_->timers.emplace(id, TimerEntry{Clock::now() + step, step, repeats,
                                             std::make_shared<std::function<void()>>(std::move(action))});
    }
    core_->wake.notify_one();
    return TimerHandle(std::make_unique<LoopTimer>(core_, id));
}

bool ThreadEventLoop::runUntil(const std::function<bool()>& done, Seconds timeout)
{
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
    const auto isDone = [&done] { return done && done(); };
    std::deque<std::function<void()>> batch;
    for (;;) {
        if (isDone()) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= end) {
            return false;
        }

        std::shared_ptr<std::function<void()>> action;
        {
            std::unique_lock lock(core_->mutex);
            auto due = core_->timers.end();
            for (auto it = core_->timers.begin(); it != core_->timers.end(); ++it) {
                if (due == core_->timers.end() || it->second.deadline < due->second.deadline) {
                    due = it;
                }
            }
            if (due != core_->timers.end() && due->second.deadline <= now) {
                // A due timer goes before queued tasks, so that a steady
                // stream of posts cannot starve the timers.
                action = due->second.action;
                if (due->second.repeats) {
                    auto& entry = due->second;
                    entry.deadline += entry.interval;
                    if (entry.deadline <= now) {
                        entry.deadline += ((now - entry.deadline) / entry.interval + 1) * entry.interval;
                    }
                } else {
                    core_->timers.erase(due);
                }
            } else if (!core_->tasks.empty()) {
                // Taken as a batch: one lock per batch, not per task.
                batch.swap(core_->tasks);
            } else {
                auto wakeAt = std::min(end, now + std::chrono::milliseconds(10));
                if (due != core_->timers.end()) {
                    wakeAt = std::min(wakeAt, due->second.deadline);
                }
                core_->wake.wait_until(lock, wakeAt, [this] { return !core_->tasks.empty(); });
                continue;
            }
        }
        if (action) {
            (*action)();
            action.reset();
            continue;
        }
        while (!batch.empty()) {
            auto task = std::move(batch.front());
            batch.pop_front();
            task();
            if (batch.empty()) {
                break;
            }
            const bool interrupted = isDone() || Clock::now() >= end;
            if (interrupted) {
                // The rest keeps its place ahead of what was posted since.
                const std::lock_guard lock(core_->mutex);
                core_->tasks.insert(core_->tasks.begin(), std::make_move_iterator(batch.begin()),
                                    std::make_move_iterator(batch.end()));
                batch.clear();
            }
        }
    }
}

void ThreadEventLoop::runFor(Seconds duration)
{
    runUntil({}, duration);
}

}  // namespace telvane
