#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>

namespace KXCommon {

// Spin-then-block locks for the library's short critical sections (copying a
// shared pointer, reading a tuning field, pushing a statistics sample). A
// contended acquisition makes 1024 try-locks, with a pause hint after each
// failure and a yield every 64, before it blocks in the kernel.
class HybridMutex {
  public:
    HybridMutex();
    virtual ~HybridMutex();
    HybridMutex(const HybridMutex&) = delete;
    HybridMutex& operator=(const HybridMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

  private:
    std::unique_ptr<std::mutex> mutex_;
};

class HybridSharedMutex {
  public:
    HybridSharedMutex();
    virtual ~HybridSharedMutex();
    HybridSharedMutex(const HybridSharedMutex&) = delete;
    HybridSharedMutex& operator=(const HybridSharedMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();
    void lock_shared();
    bool try_lock_shared();
    void unlock_shared();

  private:
    std::unique_ptr<std::shared_mutex> mutex_;
};

}  // namespace KXCommon
