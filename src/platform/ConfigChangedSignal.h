#pragma once

// "The configuration was saved": the settings window emits it after every
// save step, and the application answers by reconnecting the client with the
// stored configuration. In-process only; observers run on the emitting
// thread, in the order they were added.

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace telvane {

class ConfigChangedSignal {
public:
    using ObserverId = std::uint64_t;

    ObserverId addObserver(std::function<void()> observer);
    // Unknown ids are ignored.
    void removeObserver(ObserverId id);
    // Calls every observer. An observer may add or remove observers; those
    // changes apply from the next post.
    void post();

private:
    struct Entry {
        ObserverId id;
        std::function<void()> observer;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
    ObserverId nextId_ = 1;
};

}  // namespace telvane
