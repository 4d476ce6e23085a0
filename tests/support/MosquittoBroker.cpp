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
#include <sstream>
#include <thread>

namespace telvane::test {

namespace {

constexpr const char* kMosquittoPub = "/usr/bin/mosquitto_pub";

sockaddr_in loopbackAddress(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

const char* protocolArgument(MqttVersion version)
{
    return version == MqttVersion::v5 ? "mqttv5" : "mqttv311";
}

}  // namespace

std::uint16_t freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof(address);
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

bool acceptsConnections(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const sockaddr_in address = loopbackAddress(port);
    const bool accepted = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return accepted;
}

pid_t spawnProcess(const std::vector<std::string>& argv, const std::optional<std::filesystem::path>& stdoutFile,
                   const std::optional<std::filesystem::path>& stderrFile)
{
    if (argv.empty()) {
        return -1;
    }
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
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) {
        ::dup2(out, STDOUT_FILENO);
        ::close(out);
    }
    if (!errPath.empty()) {
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0) {
            ::dup2(err, STDERR_FILENO);
            ::close(err);
        }
    }
    const int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) {
        ::dup2(in, STDIN_FILENO);
        ::close(in);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
}

int reapProcess(pid_t pid, std::chrono::milliseconds timeout)
{
    if (pid <= 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::optional<std::filesystem::path>& stdoutFile)
{
    ProcessResult result;
    const pid_t pid = spawnProcess(argv, stdoutFile);
    if (pid < 0) {
        return result;
    }
    result.started = true;
    const auto begin = std::chrono::steady_clock::now();
    result.exitCode = reapProcess(pid, timeout);
    result.timedOut = result.exitCode == -1 && std::chrono::steady_clock::now() - begin >= timeout;
    return result;
}

MosquittoBroker::MosquittoBroker(MosquittoOptions options)
    : options_(std::move(options))
    , port_(freeLoopbackPort())
{
}

MosquittoBroker::~MosquittoBroker()
{
    kill();
}

bool MosquittoBroker::isInstalled()
{
    return ::access(kExecutable, X_OK) == 0 && ::access(kMosquittoPub, X_OK) == 0;
}

void MosquittoBroker::writeConfig() const
{
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
    if (options_.verboseLog) {
        config << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n";
        config << "connection_messages true\n";
    } else {
        config << "log_type error\n";
    }
    for (const auto& setting : options_.extraSettings) {
        config << setting << "\n";
    }
}

bool MosquittoBroker::start()
{
    if (isRunning()) {
        return true;
    }
    if (port_ == 0) {
        return false;
    }
    writeConfig();
    // Its stderr holds only the warning about running as root; the log has the rest.
    pid_ = spawnProcess({kExecutable, "-c", (dir_.path() / "mosquitto.conf").string()}, std::nullopt,
                        dir_.path() / "mosquitto.stderr");
    if (pid_ < 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
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
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool MosquittoBroker::restart()
{
    kill();
    return start();
}

bool MosquittoBroker::restart(MosquittoOptions options)
{
    kill();
    options_ = std::move(options);
    return start();
}

std::string MosquittoBroker::log() const
{
    std::ifstream file(dir_.path() / "mosquitto.log");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

ProcessResult MosquittoBroker::publish(const std::string& topic, const std::string& payload,
                                       MqttVersion version) const
{
    return runProcess({kMosquittoPub, "-h", host(), "-p", std::to_string(port_), "-V", protocolArgument(version),
                       "-q", "0", "-t", topic, "-m", payload});
}

ProcessResult MosquittoBroker::publishFile(const std::string& topic, const std::filesystem::path& file,
                                           MqttVersion version) const
{
    return runProcess({kMosquittoPub, "-h", host(), "-p", std::to_string(port_), "-V", protocolArgument(version),
                       "-q", "0", "-t", topic, "-f", file.string()});
}

ProcessResult MosquittoBroker::publishBytes(const std::string& topic, const std::vector<std::uint8_t>& payload,
                                            MqttVersion version) const
{
    const auto file = dir_.path() / "payload.bin";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
    }
    return publishFile(topic, file, version);
}

}  // namespace telvane::test
