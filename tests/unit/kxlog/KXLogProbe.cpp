// Initialises the log facade from its own command line and reports what it set:
// the standard-error cut-off, the log's thread name and the OS thread name.

#include <pthread.h>

#include <cstdio>
#include <string>

#include "kxlog/KXLog.h"
#include "kxlog/KXLogImpl.h"

int main() {
    std::string error;
    if (!KXLogImpl::Log::Instance().Initialize(error)) {
        std::printf("error %s\n", error.c_str());
        return 1;
    }
    char osName[16] = {};
    pthread_getname_np(pthread_self(), osName, sizeof(osName));
    std::printf("verbosity %d\n", kxlog::GetStderrVerbosity());
    std::printf("thread %s\n", kxlog::GetThreadName().c_str());
    std::printf("os-thread %s\n", osName);
    std::fflush(stdout);
    return KXLogImpl::Log::Instance().Terminate(error) ? 0 : 1;
}
