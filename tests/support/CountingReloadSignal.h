#pragma once

// A reload signal that counts the requests instead of sending them, where a
// test or benchmark checks how often the widget would be asked to reload.

#include "platform/ReloadSignal.h"

#include <atomic>

namespace telvane::test {

class CountingReloadSignal final : public ReloadSignal {
public:
    void emitReload() override { ++count; }
    // Atomic: some callers emit from a thread other than the one that reads.
    std::atomic<int> count = 0;
};

}  // namespace telvane::test
