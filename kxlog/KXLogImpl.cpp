#include "kxlog/KXLogImpl.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "kxcommon/HybridMutex.h"
#include "kxlog/KXLog.h"

#ifndef KX_VERSION_STRING
#define KX_VERSION_STRING "unknown"
#endif

namespace KXLogImpl {
namespace {

constexpr const char* kMainThreadName = "main thread";
constexpr const char* kCommandLinePath = "/proc/self/cmdline";

// The arguments the kernel recorded for this process, NUL-separated.
bool ReadCommandLine(std::vector<std::string>& arguments, std::string& error) {
    arguments.clear();
    std::ifstream in(kCommandLinePath, std::ios::binary);
    if (!in) {
        error = fmt::format("cannot open {}: {}", kCommandLinePath, std::strerror(errno));
        return false;
    }
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = fmt::format("cannot read {}", kCommandLinePath);
        return false;
    }
    size_t begin = 0;
    while (begin < content.size()) {
        size_t end = content.find('\0', begin);
        if (end == std::string::npos) {
            end = content.size();
        }
        arguments.emplace_back(content, begin, end - begin);
        begin = end + 1;
    }
    return true;
}

}  // namespace

struct Log::Impl {
    explicit Impl(Log& facade) : owner(facade) {}
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    bool GatherArguments(std::string& error);
    void ApplyArguments();

    KXCommon::HybridMutex mutex;  // serialises Initialize and Terminate
    bool initialized = false;
    KXCommon::HybridSharedMutex argumentsMutex;  // guards argc and argv
    int32_t argc = 0;
    std::vector<std::unique_ptr<char[]>> argv;
    Log& owner;
};

Log::Impl::~Impl() {
    bool bResult = false;
    std::string reason;
    try {
        std::unique_lock lock(argumentsMutex);
        argv.clear();
        argc = 0;
        bResult = true;
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "Unknown error!";
    }
    if (!bResult) {
        KXLOG_FATAL("CHECK FAILED:  bResult  Failed to release the command-line arguments: {}",
                    reason);
    }
}

bool Log::Impl::GatherArguments(std::string& error) {
    try {
        std::vector<std::string> arguments;
        std::string reason;
        if (!ReadCommandLine(arguments, reason)) {
            error = fmt::format("Failed to get the command-line arguments: {}", reason);
            KXLOG_ERROR("{}", error);
            return false;
        }
        std::vector<std::unique_ptr<char[]>> copies;
        copies.reserve(arguments.size());
        for (const auto& argument : arguments) {
            auto copy = std::make_unique<char[]>(argument.size() + 1);
            std::memcpy(copy.get(), argument.c_str(), argument.size() + 1);
            copies.push_back(std::move(copy));
        }
        // Exclusive: the copy is replaced, not just read.
        std::unique_lock lock(argumentsMutex);
        argv = std::move(copies);
        argc = static_cast<int32_t>(argv.size());
        return true;
    } catch (const std::exception& e) {
        error = fmt::format("Failed to get the command-line arguments: {}", e.what());
        KXLOG_ERROR("{}", error);
    } catch (...) {
        error = "Unknown error!";
        KXLOG_ERROR("Failed to get the command-line arguments: Unknown error!");
    }
    return false;
}

void Log::Impl::ApplyArguments() {
    std::shared_lock lock(argumentsMutex);
    std::vector<const char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (const auto& argument : argv) {
        pointers.push_back(argument.get());
    }
    pointers.push_back(nullptr);
    kxlog::ApplyVerbosityFlag(argc, pointers.data());
}

Log& Log::Instance() {
    static Log instance;
    return instance;
}

Log::Log() : impl_(std::make_unique<Impl>(*this)) {}

Log::~Log() = default;

const std::string& Log::DisplayName() {
    static const std::string name = fmt::format("KXLog {}", KX_VERSION_STRING);
    return name;
}

bool Log::Initialize(std::string& error) {
    error.clear();
    std::unique_lock lock(impl_->mutex, std::defer_lock);
    try {
        lock.lock();
        if (impl_->initialized) {
            error = fmt::format("The {} has already been initialized!", DisplayName());
            KXLOG_ERROR("{}", error);
            return false;
        }
        if (!impl_->GatherArguments(error)) {
            return false;
        }
        // The sinks are flushed every 100 ms by the log's own flusher thread.
        impl_->ApplyArguments();
        kxlog::SetThreadName(kMainThreadName);
        KXLOG_INFO("Initializing {}...", DisplayName());
        impl_->initialized = true;
        KXLOG_INFO("{} has been initialized successfully!", DisplayName());
        return true;
    } catch (const std::exception& e) {
        error = fmt::format("Failed to initialize {}: {}", DisplayName(), e.what());
        KXLOG_ERROR("{}", error);
    } catch (...) {
        error = "Unknown error!";
        KXLOG_ERROR("Failed to initialize {}: Unknown error!", DisplayName());
    }
    return false;
}

bool Log::Terminate(std::string& error) {
    error.clear();
    std::unique_lock lock(impl_->mutex, std::defer_lock);
    try {
        KXLOG_INFO("Terminating {}...", DisplayName());
        lock.lock();
        if (!impl_->initialized) {
            error = fmt::format("The {} has already been terminated!", DisplayName());
            KXLOG_ERROR("{}", error);
            return false;
        }
        impl_->initialized = false;
        KXLOG_INFO("{} has been terminated successfully!", DisplayName());
        return true;
    } catch (const std::exception& e) {
        error = fmt::format("Failed to terminate {}: {}", DisplayName(), e.what());
        KXLOG_ERROR("{}", error);
    } catch (...) {
        error = "Unknown error!";
        KXLOG_ERROR("Failed to terminate {}: Unknown error!", DisplayName());
    }
    return false;
}

bool Log::IsInitialized() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->initialized;
}

}  // namespace KXLogImpl
