#pragma once

// Telvane's reload signal heard on a thread of its own, for a caller with
// an event loop of its own (the window): `onReload` runs on that thread
// once per batch of signals read together.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace telvane::widget {

class BusThread {
public:
    // Connects to `address` on the new thread; an empty or unreachable
    // address ends the thread at once and isListening() turns false.
    BusThread(std::string address, std::function<void()> onReload);
    // Stops and joins the thread; onReload does not run after it returns.
    ~BusThread();
    BusThread(const BusThread&) = delete;
    BusThread& operator=(const BusThread&) = delete;

    // False once the bus could not be reached or went away: then the
    // caller polls the store. Any thread.
    [[nodiscard]] bool isListening() const { return listening_.load(); }

private:
    void run(const std::string& address);

    std::function<void()> onReload_;
    std::atomic<bool> listening_{true};
    int wakeFd_ = -1;
    std::unique_ptr<std::thread> thread_;
};

}  // namespace telvane::widget
