#include "widget/window/WindowFollower.h"

#include "platform/MonotonicClock.h"
#include "widget/window/WidgetWindow.h"

#include <QSocketNotifier>

#include <poll.h>

namespace telvane::widget {

WindowFollower::WindowFollower(const WidgetOptions& options, const std::optional<std::filesystem::path>& storePath,
                               const std::string& busAddress, WidgetWindow& window, QObject* parent)
    : QObject(parent),
      window_(window),
      follower_(options, storePath, busAddress, *this)
{
    wakeUp_.setSingleShot(true);
    // A coarse timer may fire early, and the follower would find nothing due.
    wakeUp_.setTimerType(Qt::PreciseTimer);
    connect(&wakeUp_, &QTimer::timeout, this, &WindowFollower::handle);
}

WindowFollower::~WindowFollower()
{
    // Before the follower closes the bus's descriptor under them.
    delete readable_;
    delete writable_;
}

void WindowFollower::start()
{
    static_cast<void>(follower_.start(StoreFollower::Clock::now()));  // the window never goes away before it
    waitAgain();
}

std::string WindowFollower::present(const Snapshot& snapshot)
{
    std::string text;
    for (const auto& card : cardsFor(snapshot)) {
        // Each field with its length: no text of the store can make two
        // different sets of cards read the same.
        for (const std::string* field : {&card.label, &card.value, &card.toolTip}) {
            text += std::to_string(field->size()) + ':' + *field;
        }
        text += card.isStale ? "s" : "f";
    }
    return text;
}

bool WindowFollower::show(const Snapshot& snapshot, const std::string& /*presented*/)
{
    window_.showSnapshot(snapshot);
    return true;
}

void WindowFollower::handle()
{
    static_cast<void>(follower_.handle(StoreFollower::Clock::now()));
    waitAgain();
}

void WindowFollower::waitAgain()
{
    const int fd = follower_.busFd();
    if (fd != watchedFd_) {
        // The bus is gone, its descriptor already closed: a notifier must
        // not watch it any more. Deleted later, as this may run in its slot.
        for (QSocketNotifier* notifier : {readable_, writable_}) {
            if (notifier != nullptr) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
        readable_ = nullptr;
        writable_ = nullptr;
        watchedFd_ = fd;
        if (fd >= 0) {
            readable_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            writable_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            connect(readable_, &QSocketNotifier::activated, this, &WindowFollower::handle);
            connect(writable_, &QSocketNotifier::activated, this, &WindowFollower::handle);
        }
    }
    if (fd >= 0) {
        const short events = follower_.busEvents();
        readable_->setEnabled((events & POLLIN) != 0);
        writable_->setEnabled((events & POLLOUT) != 0);
    }
    wakeUp_.start(pollTimeoutMs(follower_.deadline(), StoreFollower::Clock::now()));
}

}  // namespace telvane::widget
