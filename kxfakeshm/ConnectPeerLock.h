#pragma once

// One Connect peer per user: the Connect peer owns the two configuration files
// and the IPC socket, and two of them would rewrite each other's transport file
// without end. The lock is an flock on "Kelvanorix-connect-<uid>.lock" beside the
// IPC socket in the runtime directory, taken by Initialize and released by
// Terminate; the kernel releases it when the process dies, so a killed peer never
// locks out the next one. The file holds the holder's process id, for the
// refusal's text. Not in the data directory: a file held open there keeps a
// removed data directory alive, and its watchers would never learn it was gone.
// Used under apiMutex only.

#include <string>

namespace KXFakeShm {

class ConnectPeerLock {
  public:
    ConnectPeerLock() = default;
    ~ConnectPeerLock();
    ConnectPeerLock(const ConnectPeerLock&) = delete;
    ConnectPeerLock& operator=(const ConnectPeerLock&) = delete;

    // False with `holder` describing the process that holds the lock ("process
    // <pid> (<name>)"). A lock file that cannot be made at all is no refusal: it
    // is logged, and the save of the transport file reports the directory's fault.
    bool Acquire(std::string& holder);
    void Release();
    bool Held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

std::string ConnectPeerLockPath();

}  // namespace KXFakeShm
