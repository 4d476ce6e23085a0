#pragma once

// Resident memory of a process as Linux reports it (VmRSS in
// /proc/PID/status), for the benchmarks that report memory.

#include <sys/types.h>

#include <fstream>
#include <string>

namespace telvane::bench {

// In MiB; 0 when the process is gone. `pid` 0 is this process.
inline double residentMiB(pid_t pid = 0)
{
    std::ifstream status(pid == 0 ? std::string("/proc/self/status") : "/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kib = 0;
            status >> kib;
            return kib / 1024.0;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

}  // namespace telvane::bench
