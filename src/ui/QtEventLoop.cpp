#include "ui/QtEventLoop.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <chrono>

namespace telvane {

namespace {

class QtTimer final : public Timer {
public:
    explicit QtTimer(QTimer* timer) : timer_(timer) {}
    ~QtTimer() override { invalidate(); }
    QtTimer(const QtTimer&) = delete;
    QtTimer& operator=(const QtTimer&) = delete;

    void invalidate() override
    {
        if (timer_) {
            timer_->stop();
            // The action may be running right now (it may be what invalidates
            // us): let the event loop delete the timer and the action with it.
            timer_->deleteLater();
            timer_.clear();
        }
    }

private:
    QPointer<QTimer> timer_;  // cleared when the loop goes first
};

}  // namespace

QtEventLoop::QtEventLoop() : context_(std::make_unique<QObject>()) {}

QtEventLoop::~QtEventLoop() = default;

void QtEventLoop::post(std::function<void()> task)
{
    QMetaObject::invokeMethod(context_.get(), std::move(task), Qt::QueuedConnection);
}

TimerHandle QtEventLoop::schedule(Seconds interval, bool repeats, std::function<void()> action)
{
    auto* timer = new QTimer(context_.get());
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!repeats);
    QObject::connect(timer, &QTimer::timeout, timer, std::move(action));
    timer->start(std::chrono::round<std::chrono::milliseconds>(interval));
    return TimerHandle(std::make_unique<QtTimer>(timer));
}

}  // namespace telvane
