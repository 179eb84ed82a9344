#include "kxcommon/HybridMutex.h"

#include <thread>

namespace KXCommon {
namespace {

constexpr int kSpinAttempts = 1024;
constexpr int kYieldEvery = 64;

inline void CpuPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Shared by every acquisition kind: try, pause, yield every 64th attempt, and
// after 1024 failures fall back to the blocking call.
template <typename TryLock, typename Lock>
inline void HybridAcquire(TryLock tryLock, Lock blockingLock) {
    for (int attempt = 0; attempt < kSpinAttempts; ++attempt) {
        if (tryLock()) {
            return;
        }
        CpuPause();
        if (attempt != 0 && attempt % kYieldEvery == 0) {
            std::this_thread::yield();
        }
    }
    blockingLock();
}

}  // namespace

HybridMutex::HybridMutex() : mutex_(std::make_unique<std::mutex>()) {}
HybridMutex::~HybridMutex() = default;

void HybridMutex::lock() {
    HybridAcquire([this] { return mutex_->try_lock(); }, [this] { mutex_->lock(); });
}
bool HybridMutex::try_lock() {
    return mutex_->try_lock();
}
void HybridMutex::unlock() {
    mutex_->unlock();
}

HybridSharedMutex::HybridSharedMutex() : mutex_(std::make_unique<std::shared_mutex>()) {}
HybridSharedMutex::~HybridSharedMutex() = default;

void HybridSharedMutex::lock() {
    HybridAcquire([this] { return mutex_->try_lock(); }, [this] { mutex_->lock(); });
}
bool HybridSharedMutex::try_lock() {
    return mutex_->try_lock();
}
void HybridSharedMutex::unlock() {
    mutex_->unlock();
}

void HybridSharedMutex::lock_shared() {
    HybridAcquire([this] { return mutex_->try_lock_shared(); }, [this] { mutex_->lock_shared(); });
}
bool HybridSharedMutex::try_lock_shared() {
    return mutex_->try_lock_shared();
}
void HybridSharedMutex::unlock_shared() {
    mutex_->unlock_shared();
}

}  // namespace KXCommon
