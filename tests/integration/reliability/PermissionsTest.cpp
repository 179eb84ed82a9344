// Nothing the peers create is open to other users: the shared-memory segments and
// the IPC socket are 0600, the transport file 0600, the data directory 0700 when
// the library makes it. As root, a throw-away user shows that it can neither open
// the segments nor connect to the IPC socket.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ReliabilitySupport.h"
#include "kxconnectshm/SharedMem.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxfakeshm/TransportFile.h"

namespace {

using namespace KXFakeShm;

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

class PermissionsTest : public ::testing::Test {
  protected:
    void SetUp() override { kxrel::RemoveFixedSegments(); }
    void TearDown() override {
        std::string error;
        if (lib.IsInitialized()) {
            EXPECT_TRUE(lib.Terminate(error)) << error;
        }
        kxrel::RemoveFixedSegments();
    }
    void InitializeAll() {
        std::string error;
        ASSERT_TRUE(
            lib.Initialize(EPeer::Connect, Tcp | Ipc | SharedMem, kxrel::FaultTuning(), error))
            << error;
        // The store segment the client writes, made as the fan-out write makes it.
        ASSERT_TRUE(
            KXConnectShm::SharedMem::WriteTo("TestBlock", "TestAddress", "x", error, 20971520))
            << error;
    }
    std::string SocketPath() const { return home.RuntimeDir() + "/Kelvanorix"; }

    kxtest::ScopedTestHome home;
    FakeSharedMem& lib = FakeSharedMem::Instance();
};

TEST_F(PermissionsTest, SegmentsSocketTransportFileAndDataDirectoryAreOwnerOnly) {
    ASSERT_FALSE(kxtest::FileExists(home.DataDir()));
    // Whatever the umask would allow, the modes are the library's own.
    const mode_t previous = umask(0);
    InitializeAll();
    umask(previous);

    for (const char* segment : {"KXFakeShmHeartbeat", "TestBlock"}) {
        const mode_t mode = ModeOf(std::string("/dev/shm/") + segment);
        EXPECT_TRUE(S_ISREG(mode)) << segment;
        EXPECT_EQ(mode & 07777, 0600u) << segment;
    }
    const mode_t socketMode = ModeOf(SocketPath());
    EXPECT_TRUE(S_ISSOCK(socketMode));
    EXPECT_EQ(socketMode & 07777, 0600u);
    EXPECT_EQ(ModeOf(TransportFilePath()) & 07777, 0600u);
    const mode_t dirMode = ModeOf(home.DataDir());
    EXPECT_TRUE(S_ISDIR(dirMode));
    EXPECT_EQ(dirMode & 07777, 0700u);
}

// A user made for one test and removed afterwards.
class ThrowAwayUser {
  public:
    ThrowAwayUser() : name_("kxrel" + std::to_string(getpid())) {
        const std::string add =
            "useradd --no-create-home --no-user-group --shell /usr/sbin/nologin " + name_ +
            " >/dev/null 2>&1";
        if (std::system(add.c_str()) != 0) {
            return;
        }
        made_ = true;
        if (const passwd* entry = getpwnam(name_.c_str())) {
            uid_ = entry->pw_uid;
            gid_ = entry->pw_gid;
        }
    }
    ~ThrowAwayUser() {
        if (made_) {
            std::system(("userdel " + name_ + " >/dev/null 2>&1").c_str());
        }
    }
    bool Ready() const { return made_ && uid_ != 0; }
    uid_t Uid() const { return uid_; }
    gid_t Gid() const { return gid_; }

  private:
    std::string name_;
    bool made_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

// Exit codes of the check that runs as the other user.
enum CheckResult {
    kDenied = 0,
    kCannotSwitchUser = 10,
    kSegmentOpened = 11,
    kSegmentOtherError = 12,
    kSocketConnected = 13,
    kSocketOtherError = 14,
};

int TryAsOtherUser(uid_t uid, gid_t gid, const std::string& socketPath) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0 || getuid() == 0) {
        return kCannotSwitchUser;
    }
    for (const char* segment : {"/KXFakeShmHeartbeat", "/TestBlock"}) {
        for (int flags : {O_RDWR, O_RDONLY}) {
            const int fd = shm_open(segment, flags, 0);
            if (fd >= 0) {
                close(fd);
                return kSegmentOpened;
            }
            if (errno != EACCES) {
                return kSegmentOtherError;
            }
        }
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int reason = errno;
    close(fd);
    if (rc == 0) {
        return kSocketConnected;
    }
    return reason == EACCES ? kDenied : kSocketOtherError;
}

TEST_F(PermissionsTest, AnotherUserCanNeitherOpenTheSegmentsNorConnectToTheIpcSocket) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a throw-away user";
    }
    ThrowAwayUser user;
    if (!user.Ready()) {
        GTEST_SKIP() << "useradd is not available";
    }
    InitializeAll();
    // The folders on the way may be passed by anyone, so that only the modes of the
    // segments and of the socket itself decide.
    ASSERT_EQ(chmod(home.Root().c_str(), 0711), 0);
    ASSERT_EQ(chmod(home.RuntimeDir().c_str(), 0711), 0);

    const std::string socketPath = SocketPath();
    const pid_t child = fork();
    if (child == 0) {
        _exit(TryAsOtherUser(user.Uid(), user.Gid(), socketPath));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kDenied)
        << "10: cannot switch user, 11: a segment opened, 12: segment error other than EACCES, "
           "13: socket connected, 14: socket error other than EACCES";
    chmod(home.Root().c_str(), 0700);
}

}  // namespace
