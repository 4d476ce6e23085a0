#include "WidgetProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace telvane::widget::test {

WidgetProcess::WidgetProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        for (const auto& setting : environment) {
            const auto equals = setting.find('=');
            if (equals == std::string::npos) {
                ::unsetenv(setting.c_str());
            } else {
                ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
            }
        }
        std::vector<char*> args;
        args.reserve(argv.size() + 1);
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
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
    if (pid_ <= 0) {
        return -1;
    }
    if (signal) {
        ::kill(pid_, *signal);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double WidgetProcess::cpuSeconds() const
{
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace telvane::widget::test
