#include "kxfakeshm/ConnectPeerLock.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "kxcommon/DataDirectory.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::string DescribeHolder(int fd) {
    char buffer[32] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    const std::string pid = Trimmed(n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "");
    if (pid.empty()) {
        return "another process";
    }
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? fmt::format("process {}", pid)
                        : fmt::format("process {} ({})", pid, Trimmed(name));
}

}  // namespace

// Made anew on each use: the runtime directory comes from the environment, and no
// static is left for the destruction at exit to find gone.
std::string ConnectPeerLockPath() {
    return fmt::format("{}{}Kelvanorix-connect-{}.lock", KXCommon::RuntimeDirectory(),
                       KXCommon::kPathSeparator, ::getuid());
}

ConnectPeerLock::~ConnectPeerLock() {
    Release();
}

bool ConnectPeerLock::Acquire(std::string& holder) {
    holder.clear();
    if (fd_ >= 0) {
        return true;
    }
    const std::string path = ConnectPeerLockPath();
    std::string reason;
    const int fd = KXCommon::EnsureParentDirectory(path, reason)
                       ? ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)
                       : -1;
    if (fd < 0) {
        KXLOG_WARNING("FakeSharedMem cannot open the Connect peer lock file '{}': {}", path,
                      reason.empty() ? std::strerror(errno) : reason);
        return true;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int saved = errno;
        holder = saved == EWOULDBLOCK ? DescribeHolder(fd)
                                      : fmt::format("an unknown holder ({})", std::strerror(saved));
        ::close(fd);
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        KXLOG_WARNING("FakeSharedMem cannot write its process id into '{}': {}", path,
                      std::strerror(errno));
    }
    fd_ = fd;
    return true;
}

void ConnectPeerLock::Release() {
    if (fd_ < 0) {
        return;
    }
    // Emptied first: a reader that finds the file between our close and the next
    // holder's write names nobody rather than us.
    if (::ftruncate(fd_, 0) != 0) {
        KXLOG_WARNING("FakeSharedMem cannot empty the Connect peer lock file '{}': {}",
                      ConnectPeerLockPath(), std::strerror(errno));
    }
    ::close(fd_);
    fd_ = -1;
}

}  // namespace KXFakeShm
