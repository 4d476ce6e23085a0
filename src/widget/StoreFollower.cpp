#include "widget/StoreFollower.h"

#include "widget/OnceRun.h"
#include "widget/TextFormats.h"

#include <algorithm>

namespace telvane::widget {

namespace {

using Clock = StoreFollower::Clock;
using namespace std::chrono_literals;

// Short: the caller must keep answering its own events while a writer
// holds the store; a busy read is tried again after kBusyRetry.
constexpr std::chrono::milliseconds kBusyTimeout{100};
constexpr auto kBusyRetry = 1s;
constexpr auto kPollInterval = 1s;

Clock::duration seconds(double value)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

StoreFollower::StoreFollower(const WidgetOptions& options, const std::optional<std::filesystem::path>& storePath,
                             const std::string& busAddress, Output& output)
    : options_(options),
      output_(output),
      bus_(busAddress)
{
    if (storePath) {
        reader_.emplace(*storePath, kBusyTimeout);
    }
}

bool StoreFollower::start(Clock::time_point now)
{
    // The version before the first read: a commit between the two then
    // shows as a change at the next poll instead of going unseen.
    lastVersion_ = reader_ ? reader_->version() : std::nullopt;
    nextTick_ = now + seconds(options_.tickSeconds);
    nextPoll_ = now + kPollInterval;
    return read(now);
}

bool StoreFollower::handle(Clock::time_point now)
{
    handleBus(now);
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
    if (!throttle_.isDue(now)) {
        return true;
    }
    if (bus_.isOpen() && !bus_.isSubscribed()) {
        // Subscribe first, read once the bus confirms it, so that no write
        // after the read goes unheard.
        bus_.resume();
        resuming_ = true;
        return true;
    }
    resuming_ = false;
    return read(now);
}

void StoreFollower::handleBus(Clock::time_point now)
{
    if (!bus_.isOpen()) {
        return;
    }
    const bool wasSubscribed = bus_.isSubscribed();
    if (bus_.process() > 0) {
        // The read to come covers every later signal too, so stop the bus
        // sending them until then.
        bus_.pause();
        throttle_.request(now);
    }
    if (!wasSubscribed && bus_.isSubscribed()) {
        // A write whose signal went out before the subscription took
        // effect was not heard: read once more.
        throttle_.request(now);
    }
}

Clock::time_point StoreFollower::deadline() const
{
    Clock::time_point deadline = nextTick_;
    // While a subscription is on its way the bus's answer is the wake-up.
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
void StoreFollower::pollStore(Clock::time_point now)
{
    nextPoll_ = now + kPollInterval;
    const auto version = reader_ ? reader_->version() : std::nullopt;
    if (version != lastVersion_) {
        lastVersion_ = version;
        throttle_.request(now);
    }
}

bool StoreFollower::read(Clock::time_point now)
{
    throttle_.rendered(now);
    StoreContents contents;
    if (reader_) {
        contents = reader_->read();
    }
    if (contents.status == StoreStatus::busy && (shownOnce_ || options_.changedFrom)) {
        busyRetryAt_ = now + kBusyRetry;  // the writer lets go soon
        return true;
    }
    const std::string path = reader_ ? reader_->path().string() : std::string();
    const Snapshot snapshot = makeSnapshot(contents, path, unixNow(), options_.staleAfterSeconds);
    if (options_.changedFrom && snapshotDigest(snapshot) == *options_.changedFrom) {
        // The caller still shows this snapshot: wait for the next change.
        return true;
    }
    std::string presented = output_.present(snapshot);
    if (shownOnce_ && presented == lastShown_) {
        return true;
    }
    shownOnce_ = true;
    lastShown_ = std::move(presented);
    // With --changed-from the caller wants one line, then runs us again.
    return output_.show(snapshot, lastShown_) && !options_.changedFrom;
}

}  // namespace telvane::widget
