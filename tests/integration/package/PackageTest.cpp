// The installed package, used the way a program outside this tree uses it: this
// build installed into a temporary prefix, examples/ built against that prefix
// (CMake's find_package, and pkg-config), and the two example peers run together.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kSource = KX_SOURCE_DIR;
const std::string kLibDir = KX_LIBDIR;

struct Result {
    int status = -1;  // the exit code; -1 when it did not start, end or exit
    std::string output;
};

// Runs a program to its end, its standard output collected on the way.
Result RunProgram(const std::string& program, const std::vector<std::string>& args) {
    Result result;
    kxtest::ChildProcess child;
    if (!child.Start(program, args)) {
        result.output = "cannot start " + program;
        return result;
    }
    const auto status = child.Wait(std::chrono::minutes(5));
    for (const std::string& line : child.AllLines()) {
        result.output += line + "\n";
    }
    if (status && WIFEXITED(*status)) {
        result.status = WEXITSTATUS(*status);
    }
    return result;
}

// The example peers use the fixed shared-memory names: they get a /dev/shm of
// their own, in a mount namespace that this process and its children enter.
// Empty when done, otherwise why it cannot be.
std::string EnterPrivateShm() {
    if (unshare(CLONE_NEWNS) != 0) {
        // Without the privilege, a user namespace (where we are root) may allow it.
        const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
            !kxtest::WriteFile("/proc/self/setgroups", "deny") ||
            !kxtest::WriteFile("/proc/self/uid_map", "0 " + uid + " 1") ||
            !kxtest::WriteFile("/proc/self/gid_map", "0 " + gid + " 1")) {
            return std::string("no mount namespace can be made here: ") + std::strerror(errno);
        }
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        return std::string("no private /dev/shm can be mounted here: ") + std::strerror(errno);
    }
    return "";
}

class PackageTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/kxpackage-XXXXXX";
        root_ = mkdtemp(pattern) != nullptr ? pattern : "";
        shmUnavailable_ = EnterPrivateShm();
        install_ = RunProgram(KX_CMAKE, {"--install", KX_BUILD_DIR, "--prefix", Prefix()});
        // A shared library in a prefix the loader does not search.
        setenv("LD_LIBRARY_PATH", (Prefix() + "/" + kLibDir).c_str(), 1);
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    void SetUp() override {
        ASSERT_FALSE(root_.empty());
        ASSERT_EQ(install_.status, 0) << install_.output;
    }
    static std::string Prefix() { return root_ + "/prefix"; }

    static std::string root_;
    static std::string shmUnavailable_;
    static Result install_;
};

std::string PackageTest::root_;
std::string PackageTest::shmUnavailable_;
Result PackageTest::install_;

TEST_F(PackageTest, InstallsTheTwoHeadersOneLibraryThePackageFilesAndTheThreePrograms) {
    std::set<std::string> installed;
    for (const auto& entry : fs::recursive_directory_iterator(Prefix())) {
        if (!entry.is_directory()) {
            installed.insert(entry.path().lexically_relative(Prefix()).string());
        }
    }
    const std::string cmake = kLibDir + "/cmake/FakeSharedMem/";
    std::set<std::string> expected = {
        "include/kxfakeshm/FakeSharedMem.h",
        "include/kxfakeshm/Tuning.h",
        cmake + "FakeSharedMemConfig.cmake",
        cmake + "FakeSharedMemConfigVersion.cmake",
        cmake + "FakeSharedMemTargets.cmake",
        kLibDir + "/pkgconfig/kxfakeshm.pc",
        "bin/kxfakeshm-connect-client",
        "bin/kxfakeshm-core-peer",
        "bin/kxfakeshm-bench",
    };
    if (KX_SHARED_LIBRARY) {
        for (const char* name : {"libkxfakeshm.so", "libkxfakeshm.so.1", "libkxfakeshm.so.1.0.0"}) {
            expected.insert(kLibDir + "/" + name);
        }
    } else {
        expected.insert(kLibDir + "/libkxfakeshm.a");
    }
    // The per-configuration half of the exported targets.
    std::erase_if(installed, [&](const std::string& path) {
        return path.rfind(cmake + "FakeSharedMemTargets-", 0) == 0;
    });
    EXPECT_EQ(installed, expected);

    // Each program says what it is and what it was built with, and starts nothing.
    for (const char* program :
         {"kxfakeshm-connect-client", "kxfakeshm-core-peer", "kxfakeshm-bench"}) {
        const Result version = RunProgram(Prefix() + "/bin/" + program, {"--version"});
        EXPECT_EQ(version.status, 0) << program << ": " << version.output;
        EXPECT_EQ(version.output.rfind(std::string(program) + " ", 0), 0u) << version.output;
        for (const char* library : {"NNG 1.", "FlatBuffers 2.", "Boost 1.", "FTXUI 5."}) {
            EXPECT_NE(version.output.find(library), std::string::npos) << version.output;
        }
    }

    // The headers include the standard library and each other, nothing else (the
    // generated wire headers above all).
    for (const char* header : {"FakeSharedMem.h", "Tuning.h"}) {
        std::istringstream text(kxtest::ReadFile(Prefix() + "/include/kxfakeshm/" + header));
        for (std::string line; std::getline(text, line);) {
            if (line.rfind("#include", 0) == 0) {
                EXPECT_TRUE(line.find('<') != std::string::npos ||
                            line == "#include \"kxfakeshm/Tuning.h\"")
                    << header << ": " << line;
            }
        }
    }
}

TEST_F(PackageTest, ExamplesBuiltWithFindPackageCarryRecordsOnEveryTransport) {
    if (!shmUnavailable_.empty()) {
        GTEST_SKIP() << "the example peers need a private /dev/shm; " << shmUnavailable_;
    }
    const std::string build = root_ + "/examples";
    const Result configure =
        RunProgram(KX_CMAKE, {"-S", kSource + "/examples", "-B", build, "-G", KX_GENERATOR,
                              "-DCMAKE_MAKE_PROGRAM=" KX_MAKE_PROGRAM,
                              "-DCMAKE_CXX_COMPILER=" KX_CXX, "-DCMAKE_PREFIX_PATH=" + Prefix()});
    ASSERT_EQ(configure.status, 0) << configure.output;
    const Result compile = RunProgram(KX_CMAKE, {"--build", build});
    ASSERT_EQ(compile.status, 0) << compile.output;

    kxtest::ScopedTestHome home;
    kxtest::ChildProcess core, connect;
    ASSERT_TRUE(core.Start(build + "/example-core-peer", {}));
    ASSERT_TRUE(connect.Start(build + "/example-connect-peer", {"tcp", "ipc", "sharedmem"}));
    // "<transport>: counter <n>" for each new record the Core peer reads.
    std::set<std::string> carried;
    EXPECT_TRUE(kxtest::WaitFor(
        [&] {
            for (const std::string& line : core.ReadLines()) {
                if (const auto end = line.find(": counter "); end != std::string::npos) {
                    carried.insert(line.substr(0, end));
                }
            }
            return carried.size() == 3;
        },
        2min, 50ms))
        << "records arrived only on: " << ::testing::PrintToString(carried);
    EXPECT_EQ(carried, (std::set<std::string>{"tcp", "ipc", "sharedmem"}));
    // The Connect peer's figures saw every peer alive.
    std::set<std::string> alive;
    EXPECT_TRUE(kxtest::WaitFor(
        [&] {
            for (const std::string& line : connect.ReadLines()) {
                if (line.find(" alive=1 ") != std::string::npos) {
                    alive.insert(line.substr(0, line.find(' ')));
                }
            }
            return alive.size() == 3;
        },
        2min, 50ms))
        << "alive only on: " << ::testing::PrintToString(alive);
    // The Connect peer first: the Core peer then falls back without any link to close.
    EXPECT_TRUE(connect.Stop());
    EXPECT_TRUE(core.Stop());
}

TEST_F(PackageTest, PkgConfigCompilesAndLinksTheConnectExample) {
    setenv("PKG_CONFIG_PATH", (Prefix() + "/" + kLibDir + "/pkgconfig").c_str(), 1);
    const Result flags = RunProgram(KX_PKG_CONFIG, {"--cflags", "--libs", "kxfakeshm"});
    ASSERT_EQ(flags.status, 0) << flags.output;
    const std::string program = root_ + "/connect-peer-pkg-config";
    std::vector<std::string> args = {kSource + "/examples/connect-peer.cpp", "-o", program};
    std::istringstream words(flags.output);
    for (std::string word; words >> word;) {
        args.push_back(word);
    }
    const Result compile = RunProgram(KX_CXX, args);
    ASSERT_EQ(compile.status, 0) << flags.output << compile.output;
    // It loads and runs: the usage goes to standard error.
    EXPECT_EQ(RunProgram(program, {"--help"}).status, 0);
}

}  // namespace
