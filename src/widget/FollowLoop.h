#pragma once

// --follow: a line for each snapshot that StoreFollower shows (at start,
// after Telvane's reload signals, every tick; only when it changed), each
// written at once, from one poll() loop. stdin is read and thrown away
// (i3blocks writes clicks there). Ends on SIGTERM, SIGINT or when stdout is
// closed, with status 0. With --changed-from it prints only the first
// snapshot whose digest differs from the given one, and then ends.

#include "widget/WidgetOptions.h"

#include <filesystem>
#include <optional>
#include <string>

namespace telvane::widget {

struct FollowIo {
    int input = 0;   // read and ignored; -1 for none
    int output = 1;  // the lines
};

// Blocks SIGTERM and SIGINT in the calling thread (and threads it starts
// later) and runs until one arrives or the output is closed. Returns the
// exit status: 0 then, 1 when writing failed for another reason.
[[nodiscard]] int runFollow(const WidgetOptions& options, const std::optional<std::filesystem::path>& storePath,
                            const std::string& busAddress, FollowIo io = {});

}  // namespace telvane::widget
