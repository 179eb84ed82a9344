// The main of every test program. A program runs all its cases in one process
// when started by hand (and in any order with --gtest_shuffle), so each case
// starts from the state a fresh process has: what the log, the library and the
// client keep per process is reset before it.

#include <gtest/gtest.h>

#include <string>

#include "kxlog/KXLog.h"
#include "kxlog/KXLogImpl.h"

// Weak: a program that does not link the library or the client has none of
// their state to reset, and these stay null.
namespace KXFakeShm {
[[gnu::weak]] void ForgetDataFilePaths();
}
namespace KXClient {
[[gnu::weak]] void ResetClientState();
}

namespace {

class FreshProcessState : public testing::EmptyTestEventListener {
  public:
    void OnTestStart(const testing::TestInfo&) override {
        if (KXLogImpl::Log::Instance().IsInitialized()) {
            std::string error;
            KXLogImpl::Log::Instance().Terminate(error);
        }
        kxlog::ResetForTests();
        if (KXFakeShm::ForgetDataFilePaths != nullptr) {
            KXFakeShm::ForgetDataFilePaths();
        }
        if (KXClient::ResetClientState != nullptr) {
            KXClient::ResetClientState();
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FreshProcessState);
    return RUN_ALL_TESTS();
}
