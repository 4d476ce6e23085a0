#pragma once

// In-process notifications by name. Observers run on the posting thread, in
// the order they were added; any sender may post.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace telvane {

// Posted by the settings window after it saved a configuration; the
// application reconnects the client when it arrives.
inline constexpr const char* kConfigDidChangeNotification = "MQTTConfigDidChange";

class NotificationCenter {
public:
    using ObserverId = std::uint64_t;

    static NotificationCenter& defaultCenter();

    ObserverId addObserver(std::string name, std::function<void()> observer);
    void removeObserver(ObserverId id);
    // Calls every observer of `name`. An observer may add or remove
    // observers; those changes apply from the next post.
    void post(const std::string& name);

private:
    struct Entry {
        ObserverId id;
        std::string name;
        std::function<void()> observer;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
    ObserverId nextId_ = 1;
};

}  // namespace telvane
