#include "support/MosquittoBroker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace telvane::test {

namespace {

constexpr const char* kMosquitto = "/usr/sbin/mosquitto";
constexpr const char* kMosquittoPub = "/usr/bin/mosquitto_pub";

sockaddr_in loopbackAddress(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool acceptsConnections(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(port);
    const bool accepted = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return accepted;
}

// mosquitto_pub with the payload given as `-m text` or `-f file`.
ProcessResult publishWith(std::uint16_t port, const std::string& topic, MqttVersion version, const char* payloadOption,
                          const std::string& payload)
{
    return runProcess({kMosquittoPub, "-h", "127.0.0.1", "-p", std::to_string(port), "-V",
                       version == MqttVersion::v5 ? "mqttv5" : "mqttv311", "-q", "0", "-t", topic, payloadOption,
                       payload});
}

}  // namespace

int listenOnLoopback(std::uint16_t& port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, backlog) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        port = 0;
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::uint16_t freeLoopbackPort()
{
    std::uint16_t port = 0;
    const int fd = listenOnLoopback(port, 1);
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

pid_t spawnProcess(const std::vector<std::string>& argv, const std::optional<std::filesystem::path>& stdoutFile,
                   const std::optional<std::filesystem::path>& stderrFile)
{
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls are allowed in a threaded process.
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const std::string outPath = stdoutFile ? stdoutFile->string() : std::string("/dev/null");
    const std::string errPath = stderrFile ? stderrFile->string() : std::string();
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;  // parent, or -1
    }
    // A crashed or aborted test must not leave brokers behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
        ::_exit(127);
    }
    ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600), STDOUT_FILENO);
    if (!errPath.empty()) {
        ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600), STDERR_FILENO);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
}

int reapProcess(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (pid > 0) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

int ChildProcess::stop(int signal, std::chrono::milliseconds timeout)
{
    const pid_t pid = std::exchange(pid_, -1);
    siginfo_t info{};
    // Only a child that still runs gets the signal: one that ended keeps its
    // pid until reaped, one reaped before may have passed it on.
    if (pid > 0 && ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0
        && info.si_pid == 0) {
        ::kill(pid, signal);
    }
    return reapProcess(pid, timeout);
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    return ProcessResult{reapProcess(spawnProcess(argv), timeout)};
}

MosquittoBroker::MosquittoBroker(MosquittoOptions options) : options_(options), port_(freeLoopbackPort()) {}

bool MosquittoBroker::isInstalled()
{
    return ::access(kMosquitto, X_OK) == 0 && ::access(kMosquittoPub, X_OK) == 0;
}

bool MosquittoBroker::start()
{
    if (pid_ > 0) {
        return true;
    }
    std::ofstream config(dir_.path() / "mosquitto.conf", std::ios::trunc);
    config << "listener " << port_ << " 127.0.0.1\n";
    config << "allow_anonymous " << (options_.allowAnonymous ? "true" : "false") << "\n";
    config << "persistence false\n";
    // Started as root, mosquitto would drop to its own user, which cannot
    // write into our temporary directory.
    if (::geteuid() == 0) {
        config << "user root\n";
    }
    config << "log_dest file " << (dir_.path() / "mosquitto.log").string() << "\n";
    config
        << (options_.verboseLog
                ? "log_type error\nlog_type warning\nlog_type notice\nlog_type information\nconnection_messages true\n"
                : "log_type error\n");
    config.close();
    // Its stderr (the warning about running as root, or why it did not
    // start) goes to the log as well.
    pid_ = spawnProcess({kMosquitto, "-c", (dir_.path() / "mosquitto.conf").string()}, std::nullopt,
                        dir_.path() / "mosquitto.log");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // exited: bad configuration or the port is taken
            return false;
        }
        if (acceptsConnections(port_)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill();
    return false;
}

void MosquittoBroker::kill()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

bool MosquittoBroker::restart(MosquittoOptions options)
{
    kill();
    options_ = options;
    return start();
}

std::string MosquittoBroker::log() const
{
    return readFile(dir_.path() / "mosquitto.log");
}

ProcessResult MosquittoBroker::publish(const std::string& topic, const std::string& payload, MqttVersion version) const
{
    return publishWith(port_, topic, version, "-m", payload);
}

ProcessResult MosquittoBroker::publishBytes(const std::string& topic, const std::vector<std::uint8_t>& payload,
                                            MqttVersion version) const
{
    const auto file = dir_.path() / "payload.bin";
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
    return publishWith(port_, topic, version, "-f", file.string());
}

}  // namespace telvane::test
