#pragma once

// A real mosquitto broker for tests and benchmarks, listening on a free
// loopback port with a generated configuration in a directory of its own.
// The process is killed with the object (and with the thread that started
// it, should the test process die first).

#include "support/TempDir.h"

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace telvane::test {

struct MosquittoOptions {
    // false: every CONNECT is refused with "not authorised" (code 5).
    bool allowAnonymous = true;
    // Benchmarks keep the log quiet; tests want to see connects in it.
    bool verboseLog = true;
};

enum class MqttVersion { v311, v5 };

// Result of a helper process such as mosquitto_pub.
struct ProcessResult {
    int exitCode = -1;  // -1 when not started, killed by a signal or timed out

    [[nodiscard]] bool succeeded() const { return exitCode == 0; }
};

class MosquittoBroker {
public:
    // Reserves a free loopback port; starts nothing yet.
    explicit MosquittoBroker(MosquittoOptions options = {});
    ~MosquittoBroker() { kill(); }
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Whether mosquitto and mosquitto_pub are installed.
    [[nodiscard]] static bool isInstalled();

    // Starts the broker and waits (at most 10 s) until it accepts TCP
    // connections. Returns false when it did not come up; see log().
    [[nodiscard]] bool start();
    // SIGKILL, then reaps the process. Nothing when it is not running.
    void kill();
    // kill() and start() on the same port, optionally with other options.
    [[nodiscard]] bool restart() { return restart(options_); }
    [[nodiscard]] bool restart(MosquittoOptions options);

    [[nodiscard]] std::string host() const { return "127.0.0.1"; }
    [[nodiscard]] std::uint16_t port() const { return port_; }
    // The broker's log file, empty when there is none yet.
    [[nodiscard]] std::string log() const;

    // Publishes one QoS 0 message with mosquitto_pub and waits for it to exit.
    [[nodiscard]] ProcessResult publish(const std::string& topic, const std::string& payload,
                                        MqttVersion version = MqttVersion::v311) const;
    // Same with arbitrary bytes, sent from a file with mosquitto_pub -f.
    [[nodiscard]] ProcessResult publishBytes(const std::string& topic, const std::vector<std::uint8_t>& payload,
                                             MqttVersion version = MqttVersion::v311) const;

private:
    MosquittoOptions options_;
    TempDir dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// Reserves a currently free TCP port on 127.0.0.1 (0 on failure). Another
// process may take it before it is used; good enough on a test machine.
[[nodiscard]] std::uint16_t freeLoopbackPort();

// A socket listening on a free port of 127.0.0.1, with `port` set to it;
// -1 (and port 0) on failure. The caller closes it.
[[nodiscard]] int listenOnLoopback(std::uint16_t& port, int backlog);

// Runs argv[0] (an absolute path) with the given arguments, output to
// /dev/null, and waits at most `timeout`; a process still running then is killed.
[[nodiscard]] ProcessResult runProcess(const std::vector<std::string>& argv,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Starts argv[0] in the background (stdout to `stdoutFile` or /dev/null,
// stderr to `stderrFile` or inherited) and returns its pid, or -1. The child
// dies with the calling thread.
[[nodiscard]] pid_t spawnProcess(const std::vector<std::string>& argv,
                                 const std::optional<std::filesystem::path>& stdoutFile = std::nullopt,
                                 const std::optional<std::filesystem::path>& stderrFile = std::nullopt);

// Waits at most `timeout` for `pid` to exit, then SIGKILLs it. Returns the
// exit code, or -1 when it was killed or is unknown.
int reapProcess(pid_t pid, std::chrono::milliseconds timeout);

// A process of spawnProcess() that ends with the object (SIGTERM, then
// SIGKILL after 5 s).
class ChildProcess {
public:
    ChildProcess() = default;
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::optional<std::filesystem::path>& stdoutFile = std::nullopt,
                          const std::optional<std::filesystem::path>& stderrFile = std::nullopt)
        : pid_(spawnProcess(argv, stdoutFile, stderrFile))
    {}
    ~ChildProcess() { stop(); }
    ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
    ChildProcess& operator=(ChildProcess&& other) noexcept
    {
        stop();
        pid_ = std::exchange(other.pid_, -1);
        return *this;
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    // Sends `signal` unless it has ended already, then reaps it as
    // reapProcess() does; nothing (-1) once stopped or waited for.
    int stop(int signal = SIGTERM, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reaps it as reapProcess() does, without a signal.
    int wait(std::chrono::milliseconds timeout) { return reapProcess(std::exchange(pid_, -1), timeout); }

private:
    pid_t pid_ = -1;
};

// Polls `done` every 10 ms until it is true (returns true) or `timeout` has passed.
[[nodiscard]] bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace telvane::test
