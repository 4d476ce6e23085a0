#include "platform/ConfigChangedSignal.h"

namespace telvane {

ConfigChangedSignal::ObserverId ConfigChangedSignal::addObserver(std::function<void()> observer)
{
    const std::lock_guard lock(mutex_);
    const ObserverId id = nextId_++;
    entries_.push_back({id, std::move(observer)});
    return id;
}

void ConfigChangedSignal::removeObserver(ObserverId id)
{
    const std::lock_guard lock(mutex_);
    std::erase_if(entries_, [id](const Entry& e) { return e.id == id; });
}

void ConfigChangedSignal::post()
{
    // Observers run outside the lock so they may post or (un)register.
    std::vector<std::function<void()>> observers;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& e : entries_) {
            observers.push_back(e.observer);
        }
    }
    for (const auto& observer : observers) {
        observer();
    }
}

}  // namespace telvane
