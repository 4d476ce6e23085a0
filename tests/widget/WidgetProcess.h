#pragma once

// telvane-widget as a child process with pipes on stdin and stdout, for
// the follow mode's end-to-end tests: lines are read with a deadline, the
// pipes can be closed from this side, and the exit status is collected.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace telvane::widget::test {

class WidgetProcess {
public:
    // Starts `argv` (argv[0] an absolute path) with the environment of this
    // process plus `environment` ("NAME=value"; "NAME" alone unsets it).
    explicit WidgetProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});
    ~WidgetProcess();
    WidgetProcess(const WidgetProcess&) = delete;
    WidgetProcess& operator=(const WidgetProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    // The next line (without "\n"), or none when none came within `timeout`
    // or the output ended.
    [[nodiscard]] std::optional<std::string> nextLine(std::chrono::milliseconds timeout);
    // Every line that arrives within `duration`.
    [[nodiscard]] std::vector<std::string> linesFor(std::chrono::milliseconds duration);
    // The next line satisfying `wanted`, skipping others; none on timeout.
    template <typename Predicate>
    std::optional<std::string> lineWhere(Predicate wanted, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            auto line = nextLine(left);
            if (line && wanted(*line)) {
                return line;
            }
        }
        return std::nullopt;
    }

    void writeInput(const std::string& text) const;
    void closeInput();
    void closeOutput();

    // Sends `signal` (when given) and waits at most `timeout` for the exit;
    // the exit status, or -1 when it had to be killed or died of a signal.
    int stop(std::optional<int> signal, std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
};

}  // namespace telvane::widget::test
