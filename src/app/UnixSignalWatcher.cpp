#include "app/UnixSignalWatcher.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <csignal>

namespace telvane {
namespace {

// The self-pipe: a signal handler may only write(), so it hands the signal
// number to the event loop through a socket pair.
int gPipe[2] = {-1, -1};
constexpr std::array kWatchedSignals = {SIGTERM, SIGINT};

extern "C" void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe means a termination is already pending; dropping is fine.
    [[maybe_unused]] const auto written = ::write(gPipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

UnixSignalWatcher::UnixSignalWatcher(QObject* parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, gPipe) != 0) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &UnixSignalWatcher::onReadable);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : kWatchedSignals) {
        ::sigaction(signalNumber, &action, nullptr);
    }
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    if (!notifier_) {
        return;
    }
    for (const int signalNumber : kWatchedSignals) {
        ::signal(signalNumber, SIG_DFL);
    }
    notifier_.reset();
    ::close(gPipe[0]);
    ::close(gPipe[1]);
    gPipe[0] = gPipe[1] = -1;
}

void UnixSignalWatcher::onReadable()
{
    unsigned char byte = 0;
    while (::read(gPipe[0], &byte, 1) == 1) {
        emit terminationRequested(byte);
    }
}

}  // namespace telvane
