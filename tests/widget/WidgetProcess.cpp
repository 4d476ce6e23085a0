#include "WidgetProcess.h"

#include "support/MosquittoBroker.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <utility>

namespace telvane::widget::test {

WidgetProcess::WidgetProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    // Everything the child needs is made before fork: after it, a threaded
    // process may only make async-signal-safe calls (no setenv, no malloc).
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        variables.emplace_back(*variable);
    }
    for (const auto& setting : environment) {
        const std::string name = setting.substr(0, setting.find('=')) + "=";
        std::erase_if(variables, [&](const std::string& variable) { return variable.starts_with(name); });
        if (setting.find('=') != std::string::npos) {
            variables.push_back(setting);
        }
    }
    const auto pointers = [](const std::vector<std::string>& texts) {
        std::vector<char*> list;
        list.reserve(texts.size() + 1);
        for (const auto& text : texts) {
            list.push_back(const_cast<char*>(text.c_str()));
        }
        list.push_back(nullptr);
        return list;
    };
    auto args = pointers(argv);
    auto envp = pointers(variables);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
}

WidgetProcess::~WidgetProcess()
{
    closeInput();
    closeOutput();
    if (pid_ > 0) {
        stop(SIGKILL, std::chrono::seconds(5));
    }
}

std::optional<std::string> WidgetProcess::nextLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (output_ < 0 || left.count() <= 0) {
            return std::nullopt;
        }
        pollfd fd{output_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[4096];
        const auto n = ::read(output_, chunk, sizeof chunk);
        if (n <= 0) {
            closeOutput();
            return std::nullopt;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> WidgetProcess::linesFor(std::chrono::milliseconds duration)
{
    std::vector<std::string> lines;
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return lines;
        }
        if (auto line = nextLine(left)) {
            lines.push_back(std::move(*line));
        } else if (output_ < 0) {
            return lines;
        }
    }
}

void WidgetProcess::writeInput(const std::string& text) const
{
    [[maybe_unused]] const auto written = ::write(input_, text.data(), text.size());
}

void WidgetProcess::closeInput()
{
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
}

void WidgetProcess::closeOutput()
{
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
}

int WidgetProcess::stop(std::optional<int> signal, std::chrono::milliseconds timeout)
{
    if (signal && pid_ > 0) {
        ::kill(pid_, *signal);
    }
    return telvane::test::reapProcess(std::exchange(pid_, -1), timeout);
}

}  // namespace telvane::widget::test
