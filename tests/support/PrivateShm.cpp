// kxtest-private-shm [--serialise] COMMAND [ARGS...]
//
// Runs COMMAND with a /dev/shm of its own: a fresh tmpfs in a mount namespace of
// its own, which COMMAND's children (Core peers, a tmux server) share. Every test
// runs under it, so that two suite runs, or a suite run and a live client, never
// see each other's segments.
//
// Without the privilege to make the namespace, it says so once per build tree and
// runs COMMAND on the real /dev/shm; with --serialise (the tests that use the
// fixed shared-memory names) as its child, while holding an exclusive lock that
// every such test of the machine takes: one at a time.

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kLockPath = "/tmp/kxtest-fixed-shm.lock";

bool MakePrivateShm(std::string& why) {
    if (unshare(CLONE_NEWNS) != 0) {
        why = std::string("unshare: ") + std::strerror(errno);
        return false;
    }
    // Mounts made here must not reach the parent namespace, nor the other way.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = std::string("making / private: ") + std::strerror(errno);
        return false;
    }
    if (mount("kxtest-shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        why = std::string("mounting a tmpfs on /dev/shm: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// The note beside this program: it exists once the fallback has been reported.
std::string NotePath() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + ".no-private-shm-reported";
}

void ReportFallbackOnce(const std::string& why) {
    const std::string note = NotePath();
    const int fd = note.empty() ? -1 : open(note.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
    if (note.empty() || fd >= 0) {
        std::fprintf(stderr,
                     "kxtest-private-shm: no private /dev/shm (%s); the tests that use the fixed "
                     "shared-memory names run one at a time on the real one\n",
                     why.c_str());
    }
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool serialise = argc > 1 && std::strcmp(argv[1], "--serialise") == 0;
    if (serialise) {
        --argc;
        ++argv;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: kxtest-private-shm [--serialise] COMMAND [ARGS...]\n");
        return 2;
    }
    std::string why;
    const bool isolated = MakePrivateShm(why);
    if (!isolated) {
        ReportFallbackOnce(why);
    }
    if (isolated || !serialise) {
        execvp(argv[1], argv + 1);
        std::fprintf(stderr, "kxtest-private-shm: cannot run %s: %s\n", argv[1],
                     std::strerror(errno));
        return 127;
    }
    // The lock stays with this process (close-on-exec): a child of COMMAND that
    // lingers cannot hold it.
    const int lock = open(kLockPath, O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        std::fprintf(stderr, "kxtest-private-shm: cannot lock %s: %s\n", kLockPath,
                     std::strerror(errno));
        return 125;
    }
    const pid_t child = fork();
    if (child < 0) {
        std::perror("kxtest-private-shm: fork");
        return 125;
    }
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test runner that kills us ends COMMAND too
        execvp(argv[1], argv + 1);
        std::fprintf(stderr, "kxtest-private-shm: cannot run %s: %s\n", argv[1],
                     std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
