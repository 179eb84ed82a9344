#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TestSupport.h"
#include "kxcommon/DataDirectory.h"

namespace {

using KXCommon::DataDirectory;
using KXCommon::EnsureParentDirectory;

// The home directory the password database gives `uid`, or "" when it has none.
std::string PasswordHome(uid_t uid) {
    struct passwd pwd {};
    struct passwd* result = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &pwd, buffer, sizeof buffer, &result) != 0 || result == nullptr ||
        result->pw_dir == nullptr) {
        return {};
    }
    return result->pw_dir;
}

void WriteUserDirs(const std::string& configDir, const std::string& documentsEntry) {
    mkdir(configDir.c_str(), 0700);
    ASSERT_TRUE(kxtest::WriteFile(configDir + "/user-dirs.dirs",
                                  "# This file is written by xdg-user-dirs-update\n"
                                  "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                  "XDG_DOCUMENTS_DIR=\"" +
                                      documentsEntry +
                                      "\"\n"
                                      "XDG_MUSIC_DIR=\"$HOME/Music\"\n"));
}

class DataDirectoryTest : public ::testing::Test {
  protected:
    kxtest::ScopedTestHome home_;
    const std::string root_ = home_.Root();
};

TEST_F(DataDirectoryTest, DocumentsVariableWins) {
    WriteUserDirs(root_ + "/.config", "$HOME/Papers");
    setenv("XDG_DOCUMENTS_DIR", (root_ + "/Docs").c_str(), 1);
    EXPECT_EQ(DataDirectory(), root_ + "/Docs/Kelvanorix");

    setenv("XDG_DOCUMENTS_DIR", (root_ + "/Docs/").c_str(), 1);
    EXPECT_EQ(DataDirectory(), root_ + "/Docs/Kelvanorix");

    setenv("XDG_DOCUMENTS_DIR", "/", 1);
    EXPECT_EQ(DataDirectory(), "/Kelvanorix");
}

TEST_F(DataDirectoryTest, UserDirsEntryExpandsHome) {
    unsetenv("XDG_DOCUMENTS_DIR");
    WriteUserDirs(root_ + "/cfg", "$HOME/Papers");
    setenv("XDG_CONFIG_HOME", (root_ + "/cfg").c_str(), 1);
    EXPECT_EQ(DataDirectory(), root_ + "/Papers/Kelvanorix");

    // Without XDG_CONFIG_HOME the file is looked for in $HOME/.config.
    unsetenv("XDG_CONFIG_HOME");
    WriteUserDirs(root_ + "/.config", "$HOME/Other Papers");
    EXPECT_EQ(DataDirectory(), root_ + "/Other Papers/Kelvanorix");

    // An empty variable counts as unset.
    setenv("XDG_DOCUMENTS_DIR", "", 1);
    EXPECT_EQ(DataDirectory(), root_ + "/Other Papers/Kelvanorix");
}

TEST_F(DataDirectoryTest, UserDirsAbsoluteEntryIsTakenAsIs) {
    unsetenv("XDG_DOCUMENTS_DIR");
    WriteUserDirs(root_ + "/.config", root_ + "/elsewhere");
    EXPECT_EQ(DataDirectory(), root_ + "/elsewhere/Kelvanorix");
}

TEST_F(DataDirectoryTest, FallsBackToDocumentsInHome) {
    unsetenv("XDG_DOCUMENTS_DIR");
    EXPECT_EQ(DataDirectory(), root_ + "/Documents/Kelvanorix");

    // A user-dirs file without a documents entry changes nothing.
    mkdir((root_ + "/.config").c_str(), 0700);
    ASSERT_TRUE(kxtest::WriteFile(root_ + "/.config/user-dirs.dirs", "XDG_MUSIC_DIR=\"/m\"\n"));
    EXPECT_EQ(DataDirectory(), root_ + "/Documents/Kelvanorix");
}

// Without HOME only the variables that do not need a home directory decide.
TEST_F(DataDirectoryTest, WithoutHomeVariableTheXdgSettingsStillApply) {
    unsetenv("HOME");
    setenv("XDG_DOCUMENTS_DIR", (root_ + "/Docs").c_str(), 1);
    EXPECT_EQ(DataDirectory(), root_ + "/Docs/Kelvanorix");

    unsetenv("XDG_DOCUMENTS_DIR");
    WriteUserDirs(root_ + "/cfg", root_ + "/absolute");
    setenv("XDG_CONFIG_HOME", (root_ + "/cfg").c_str(), 1);
    EXPECT_EQ(DataDirectory(), root_ + "/absolute/Kelvanorix");
}

// With no home from the environment nor from the password database the result
// is "/Kelvanorix". As root, a child process takes a user id that has no entry.
TEST_F(DataDirectoryTest, NoHomeAtAllGivesRootKelvanorix) {
    unsetenv("HOME");
    unsetenv("XDG_DOCUMENTS_DIR");
    unsetenv("XDG_CONFIG_HOME");
    if (PasswordHome(getuid()).empty()) {
        EXPECT_EQ(DataDirectory(), "/Kelvanorix");
        return;
    }
    if (geteuid() != 0) {
        GTEST_SKIP() << "the password database gives this user a home";
    }
    uid_t orphan = 54321;
    while (!PasswordHome(orphan).empty()) {
        ++orphan;
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        if (setuid(orphan) != 0) {
            _exit(2);
        }
        const std::string result = DataDirectory();
        const bool written =
            write(fds[1], result.data(), result.size()) == static_cast<ssize_t>(result.size());
        _exit(written ? 0 : 3);
    }
    close(fds[1]);
    std::string result;
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        result.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(result, "/Kelvanorix");
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return 0;
    }
    return st.st_mode;
}

TEST_F(DataDirectoryTest, EnsureParentDirectoryCreatesMissingParentsPrivately) {
    std::string error = "stale";
    ASSERT_TRUE(EnsureParentDirectory(root_ + "/a/b/c/file.bin", error)) << error;
    EXPECT_TRUE(error.empty());
    for (const char* dir : {"/a", "/a/b", "/a/b/c"}) {
        const mode_t mode = ModeOf(root_ + dir);
        EXPECT_TRUE(S_ISDIR(mode)) << dir;
        EXPECT_EQ(mode & 07777, 0700u) << dir;
    }
    EXPECT_FALSE(kxtest::FileExists(root_ + "/a/b/c/file.bin"));

    // Existing parents are fine, and their mode is left alone.
    ASSERT_EQ(chmod((root_ + "/a").c_str(), 0750), 0);
    EXPECT_TRUE(EnsureParentDirectory(root_ + "/a/b/c/file.bin", error)) << error;
    EXPECT_TRUE(EnsureParentDirectory(root_ + "/a/b/d/file.bin", error)) << error;
    EXPECT_EQ(ModeOf(root_ + "/a") & 07777, 0750u);
    EXPECT_TRUE(S_ISDIR(ModeOf(root_ + "/a/b/d")));

    // A bare file name needs no directory.
    EXPECT_TRUE(EnsureParentDirectory("file.bin", error)) << error;
}

TEST_F(DataDirectoryTest, EnsureParentDirectoryReportsAParentThatIsAFile) {
    const std::string plain = root_ + "/plain";
    ASSERT_TRUE(kxtest::WriteFile(plain, "not a folder"));
    std::string error;
    EXPECT_FALSE(EnsureParentDirectory(plain + "/sub/file.bin", error));
    EXPECT_NE(error.find(std::strerror(ENOTDIR)), std::string::npos) << error;
    EXPECT_NE(error.find(plain), std::string::npos) << error;

    error.clear();
    EXPECT_FALSE(EnsureParentDirectory(plain + "/file.bin", error));
    EXPECT_NE(error.find(plain), std::string::npos) << error;
}

}  // namespace
