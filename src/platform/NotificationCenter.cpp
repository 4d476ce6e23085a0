#include "platform/NotificationCenter.h"

#include <algorithm>

namespace telvane {

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::ObserverId NotificationCenter::addObserver(std::string name, std::function<void()> observer)
{
    const std::lock_guard lock(mutex_);
    const ObserverId id = nextId_++;
    entries_.push_back({id, std::move(name), std::move(observer)});
    return id;
}

void NotificationCenter::removeObserver(ObserverId id)
{
    const std::lock_guard lock(mutex_);
    std::erase_if(entries_, [id](const Entry& e) { return e.id == id; });
}

void NotificationCenter::post(const std::string& name)
{
    // Observers run outside the lock so they may post or (un)register.
    std::vector<std::function<void()>> matching;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& e : entries_) {
            if (e.name == name) {
                matching.push_back(e.observer);
            }
        }
    }
    for (const auto& observer : matching) {
        observer();
    }
}

}  // namespace telvane
