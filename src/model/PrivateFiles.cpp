#include "model/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace telvane {

namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;

}  // namespace

// mkdir() applies the umask; the chmod() after it does not.
bool ensurePrivateDirectory(const std::filesystem::path& dir)
{
    std::filesystem::path prefix;
    for (const auto& component : dir) {
        prefix /= component;
        if (::mkdir(prefix.c_str(), kDirectoryMode) == 0) {
            if (::chmod(prefix.c_str(), kDirectoryMode) != 0) {
                return false;
            }
        } else if (errno != EEXIST) {
            return false;
        }
    }
    struct stat info {};
    return ::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// SQLite gives the -wal and -shm files the mode of the database file, whatever
// the umask, so new ones follow the file.
bool ensurePrivateDatabaseFile(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, kFileMode);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok && (info.st_mode & 07777) != kFileMode) {
        ok = ::fchmod(fd, kFileMode) == 0;
    }
    ::close(fd);
    if (!ok) {
        return false;
    }
    // Companions left behind with looser modes (an older build, a crash).
    for (const char* suffix : {"-wal", "-shm"}) {
        const std::string companion = path.string() + suffix;
        if (::lstat(companion.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 07777) != kFileMode) {
            ::chmod(companion.c_str(), kFileMode);
        }
    }
    return true;
}

}  // namespace telvane
