#pragma once

#include "model/DiscoveredTopicsDocument.h"
#include "model/SharedStore.h"

namespace telvane::test {

// Stores `topics` as the discovered topics, written the way the delivery
// writes them.
inline void saveDiscoveredTopics(SharedStore& store, const TopicSet& topics)
{
    DiscoveredTopicsDocument document;
    for (const auto& topic : topics) {
        document.append(topic);
    }
    store.saveDiscoveredTopicsDocument(document);
}

}  // namespace telvane::test
