// The tuning file on real disk, in a private data directory per test.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <limits>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "kxfakeshm/TuningFile.h"
#include "kxlog/KXLog.h"

namespace {

using KXFakeShm::EPeer;
using KXFakeShm::kHeartbeatBlockSizeRange;
using KXFakeShm::kSmoothingWindowRange;
using KXFakeShm::kSocketReconnectTimeRange;
using KXFakeShm::kSocketTimeoutRange;
using KXFakeShm::kTenMsUnitRange;
using KXFakeShm::kWorkerRetryIntervalRange;
using KXFakeShm::LoadTuningFile;
using KXFakeShm::SaveTuningFile;
using KXFakeShm::Tuning;
using KXFakeShm::TuningFilePath;
using KXFakeShm::TuningStore;

const std::string kFileName = "kxfakeshm-params.yml";

std::string Golden() {
    return kxtest::ReadFile(std::string(KXFAKESHM_GOLDEN_DIR) + "/" + kFileName);
}

std::string LoadFailure(const std::string& reason) {
    return "Failed to load the FakeSharedMem tuning configuration file '" + TuningFilePath() +
           "' from disk: " + reason;
}

std::string SaveFailure(const std::string& reason) {
    return "Failed to save the FakeSharedMem tuning configuration file '" + TuningFilePath() +
           "' to disk: " + reason;
}

// Replaces the whole line that starts with `key` + ": " (or drops it when
// `replacement` is empty).
std::string WithLine(std::string text, const std::string& key, const std::string& replacement) {
    const std::string prefix = key + ": ";
    const auto at = text.find("\n" + prefix);
    EXPECT_NE(at, std::string::npos) << key;
    const auto start = at + 1;
    auto end = text.find('\n', start);
    if (end == std::string::npos) {
        end = text.size();
    } else if (replacement.empty()) {
        ++end;
    }
    text.replace(start, end - start, replacement);
    return text;
}

std::vector<std::string> DirectoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Backups(const std::string& dir) {
    std::vector<std::string> backups;
    for (const auto& name : DirectoryEntries(dir)) {
        if (name != kFileName && name.rfind(kFileName, 0) == 0) {
            backups.push_back(name);
        }
    }
    return backups;
}

std::string SuffixAt(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, ".%Y-%m-%d-%H-%M-%S", &local);
    return text;
}

// Every field away from its default, at an end of its range.
Tuning EditedTuning() {
    Tuning t;
    t.SocketReceiveNonBlocking = false;
    t.SocketReceiveTimeout = kSocketTimeoutRange.min;
    t.SocketSendNonBlocking = true;
    t.SocketSendTimeout = kSocketTimeoutRange.max;
    t.SocketReconnectTimeMin = kSocketReconnectTimeRange.min;
    t.SocketReconnectTimeMax = kSocketReconnectTimeRange.max;
    t.WorkerRetryInterval = kWorkerRetryIntervalRange.max;
    t.HeartbeatInterval = kTenMsUnitRange.max;
    t.LivenessTimeout = kTenMsUnitRange.min;
    t.LatencySmoothingWindow = 17;
    t.ThroughputSmoothingWindow = kSmoothingWindowRange.max;
    t.SharedMemHeartbeatBlockSize = kHeartbeatBlockSizeRange.max;
    t.SharedMemLivenessTimeout = 99;
    return t;
}

void ExpectSameTuning(const Tuning& a, const Tuning& b) {
    EXPECT_EQ(a.Version, b.Version);
    EXPECT_EQ(a.SocketReceiveNonBlocking, b.SocketReceiveNonBlocking);
    EXPECT_EQ(a.SocketReceiveTimeout, b.SocketReceiveTimeout);
    EXPECT_EQ(a.SocketSendNonBlocking, b.SocketSendNonBlocking);
    EXPECT_EQ(a.SocketSendTimeout, b.SocketSendTimeout);
    EXPECT_EQ(a.SocketReconnectTimeMin, b.SocketReconnectTimeMin);
    EXPECT_EQ(a.SocketReconnectTimeMax, b.SocketReconnectTimeMax);
    EXPECT_EQ(a.WorkerRetryInterval, b.WorkerRetryInterval);
    EXPECT_EQ(a.HeartbeatInterval, b.HeartbeatInterval);
    EXPECT_EQ(a.LivenessTimeout, b.LivenessTimeout);
    EXPECT_EQ(a.LatencySmoothingWindow, b.LatencySmoothingWindow);
    EXPECT_EQ(a.ThroughputSmoothingWindow, b.ThroughputSmoothingWindow);
    EXPECT_EQ(a.SharedMemHeartbeatBlockSize, b.SharedMemHeartbeatBlockSize);
    EXPECT_EQ(a.SharedMemLivenessTimeout, b.SharedMemLivenessTimeout);
}

// Collects this process's log lines in a file of the test home.
class LogCapture {
  public:
    explicit LogCapture(const kxtest::ScopedTestHome& home) : path_(home.Root() + "/test.log") {
        std::string error;
        EXPECT_TRUE(kxlog::AddFile(path_, kxlog::kInfo, error)) << error;
    }
    std::string Text() const {
        kxlog::Flush();
        return kxtest::ReadFile(path_);
    }
    bool Contains(const std::string& needle) const {
        return Text().find(needle) != std::string::npos;
    }

  private:
    std::string path_;
};

TEST(TuningFileFormat, DefaultsEqualTheGoldenFileByteForByte) {
    kxtest::ScopedTestHome home;
    const std::string golden = Golden();
    ASSERT_FALSE(golden.empty());
    ASSERT_EQ(std::count(golden.begin(), golden.end(), '\n'), 121);  // 122 lines, no final LF
    ASSERT_NE(golden.back(), '\n');
    EXPECT_EQ(KXFakeShm::FormatTuningFile(Tuning{}), golden);
}

TEST(TuningFileFormat, BooleansAndNumbersPrintPlain) {
    kxtest::ScopedTestHome home;
    // The text shows whatever it is given, in range or not.
    Tuning t = EditedTuning();
    t.SocketReceiveTimeout = std::numeric_limits<int32_t>::min();
    t.WorkerRetryInterval = std::numeric_limits<uint64_t>::max();
    t.SharedMemHeartbeatBlockSize = std::numeric_limits<uint32_t>::max();
    const std::string text = KXFakeShm::FormatTuningFile(t);
    EXPECT_NE(text.find("\nSocketReceiveNonBlocking: false\n"), std::string::npos);
    EXPECT_NE(text.find("\nSocketSendNonBlocking: true\n"), std::string::npos);
    EXPECT_NE(text.find("\nSocketReceiveTimeout: -2147483648\n"), std::string::npos);
    EXPECT_NE(text.find("\nWorkerRetryInterval: 18446744073709551615\n"), std::string::npos);
    EXPECT_NE(text.find("\nSharedMemHeartbeatBlockSize: 4294967295\n"), std::string::npos);
    const std::string last = "\nSharedMemLivenessTimeout: 99";
    ASSERT_GT(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST(TuningFilePath, IsTheDataDirectoryFileAndStable) {
    kxtest::ScopedTestHome home;
    std::vector<const std::string*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &TuningFilePath(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (const auto* p : seen) {
        EXPECT_EQ(p, &TuningFilePath());
    }
    EXPECT_EQ(TuningFilePath(), home.DataDir() + "/" + kFileName);
}

TEST(TuningFileBackupSuffix, IsTheLocalTimeNow) {
    kxtest::ScopedTestHome home;
    const std::time_t before = std::time(nullptr);
    const std::string suffix = KXFakeShm::MakeBackupSuffix();
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(std::regex_match(suffix, std::regex(R"(\.\d{4}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2})")))
        << suffix;
    EXPECT_TRUE(suffix == SuffixAt(before) || suffix == SuffixAt(after)) << suffix;
}

TEST(TuningFileSave, FreshFileFromDefaultsInAFreshDataDirectory) {
    kxtest::ScopedTestHome home;
    // A fresh machine: not even the documents folder exists yet.
    ASSERT_EQ(rmdir((home.Root() + "/Documents").c_str()), 0);
    TuningStore store;
    std::string error = "stale";
    ASSERT_TRUE(SaveTuningFile(EPeer::Connect, store, error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(kxtest::ReadFile(TuningFilePath()), Golden());
    for (const auto& dir : {home.Root() + "/Documents", home.DataDir()}) {
        struct stat st {};
        ASSERT_EQ(stat(dir.c_str(), &st), 0) << dir;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u) << dir;
    }
    EXPECT_TRUE(Backups(home.DataDir()).empty());
}

TEST(TuningFileSave, DataDirectoryThatCannotBeMadeFailsTheSave) {
    kxtest::ScopedTestHome home;
    LogCapture log(home);
    const std::string documents = home.Root() + "/Documents";
    ASSERT_EQ(rmdir(documents.c_str()), 0);
    ASSERT_TRUE(kxtest::WriteFile(documents, "not a directory"));
    TuningStore store;
    std::string error;
    EXPECT_FALSE(SaveTuningFile(EPeer::Connect, store, error));
    EXPECT_EQ(error, SaveFailure("Failed to open the file for writing!"));
    EXPECT_EQ(kxtest::ReadFile(documents), "not a directory");
    const std::string text = log.Text();
    EXPECT_NE(text.find(error), std::string::npos);
    // The system's reason stands on a line of its own.
    EXPECT_NE(text.find("Not a directory"), std::string::npos) << text;
}

TEST(TuningFileSave, OtherVersionIsBackedUpAndReplaced) {
    kxtest::ScopedTestHome home;
    LogCapture log(home);
    TuningStore store;
    std::string error;
    ASSERT_EQ(mkdir(home.DataDir().c_str(), 0700), 0);
    const std::string old = WithLine(Golden(), "Version", "Version: 2");
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), old));

    EXPECT_FALSE(LoadTuningFile(EPeer::Connect, store, error));
    EXPECT_EQ(error, LoadFailure("File version mismatched!"));
    ExpectSameTuning(store.Snapshot(), Tuning{});

    const std::string before = SuffixAt(std::time(nullptr));
    ASSERT_TRUE(SaveTuningFile(EPeer::Connect, store, error)) << error;
    const std::string after = SuffixAt(std::time(nullptr));
    EXPECT_EQ(kxtest::ReadFile(TuningFilePath()), Golden());

    const auto backups = Backups(home.DataDir());
    ASSERT_EQ(backups.size(), 1u);
    const std::string& name = backups.front();
    EXPECT_TRUE(std::regex_match(
        name, std::regex(R"(kxfakeshm-params\.yml\.\d{4}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2})")))
        << name;
    const std::string suffix = name.substr(kFileName.size());
    EXPECT_TRUE(suffix >= before && suffix <= after) << suffix;
    EXPECT_EQ(kxtest::ReadFile(home.DataDir() + "/" + name), old);

    const std::string backupPath = home.DataDir() + "/" + name;
    EXPECT_TRUE(log.Contains("Backing up the old tuning configuration file '" + TuningFilePath() +
                             "' -> '" + backupPath + "'!"));
    EXPECT_TRUE(log.Contains("Successfully backed up the old tuning configuration file '" +
                             TuningFilePath() + "' -> '" + backupPath + "'!"));
    EXPECT_TRUE(log.Contains("Successfully saved the FakeSharedMem tuning configuration file '" +
                             TuningFilePath() + "' to disk!"));

    // The fresh file is of the current version and loads.
    EXPECT_TRUE(LoadTuningFile(EPeer::Connect, store, error)) << error;
}

TEST(TuningFileSave, MissingKeyFailsTheLoadAndIsReplacedOnSave) {
    kxtest::ScopedTestHome home;
    TuningStore store;
    std::string error;
    ASSERT_EQ(mkdir(home.DataDir().c_str(), 0700), 0);
    const std::string old = WithLine(WithLine(Golden(), "LivenessTimeout", ""), "SocketSendTimeout",
                                     "SocketSendTimeout: 77");
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), old));

    EXPECT_FALSE(LoadTuningFile(EPeer::Connect, store, error));
    EXPECT_EQ(error,
              "FakeSharedMem tuning configuration parsing error: Invalid 'LivenessTimeout' "
              "parameter!");
    ExpectSameTuning(store.Snapshot(), Tuning{});

    ASSERT_TRUE(SaveTuningFile(EPeer::Connect, store, error)) << error;
    EXPECT_EQ(kxtest::ReadFile(TuningFilePath()), Golden());
    const auto backups = Backups(home.DataDir());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(kxtest::ReadFile(home.DataDir() + "/" + backups.front()), old);
}

TEST(TuningFileLoad, KeysAreLookedUpInFileOrder) {
    kxtest::ScopedTestHome home;
    TuningStore store;
    std::string error;
    ASSERT_EQ(mkdir(home.DataDir().c_str(), 0700), 0);
    const std::string path = TuningFilePath();

    ASSERT_TRUE(kxtest::WriteFile(path, WithLine(Golden(), "Version", "")));
    EXPECT_FALSE(LoadTuningFile(EPeer::Connect, store, error));
    EXPECT_EQ(error, "FakeSharedMem tuning configuration parsing error: Invalid 'Version'!");

    // The first missing key in file order is the one reported.
    ASSERT_TRUE(
        kxtest::WriteFile(path, WithLine(WithLine(Golden(), "SharedMemLivenessTimeout", "x: 1"),
                                         "SocketReceiveTimeout", "")));
    EXPECT_FALSE(LoadTuningFile(EPeer::Connect, store, error));
    EXPECT_EQ(error,
              "FakeSharedMem tuning configuration parsing error: Invalid 'SocketReceiveTimeout' "
              "parameter!");

    // Neither an empty file nor a document that is no mapping has keys.
    for (const std::string text : {"", "just a scalar", "- Version\n- 1\n"}) {
        ASSERT_TRUE(kxtest::WriteFile(path, text));
        EXPECT_FALSE(LoadTuningFile(EPeer::Connect, store, error));
        EXPECT_EQ(error, "FakeSharedMem tuning configuration parsing error: Invalid 'Version'!")
            << text;
    }

    // Extra keys are ignored.
    ASSERT_TRUE(kxtest::WriteFile(path, Golden() + "\nSomethingElse: [1, 2]\n"));
    EXPECT_TRUE(LoadTuningFile(EPeer::Connect, store, error)) << error;
    ExpectSameTuning(store.Snapshot(), Tuning{});
}

TEST(TuningFileLoad, BrokenYamlFailsWithTheParserText) {
    kxtest::ScopedTestHome home;
    TuningStore store;
    std::string error;
    ASSERT_EQ(mkdir(home.DataDir().c_str(), 0700), 0);
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), Golden() + "\nBroken: [1, 2\n"));
    EXPECT_FALSE(LoadTuningFile(EPeer::Connect, store, error));
    EXPECT_EQ(error.rfind(LoadFailure("yaml-cpp: error at line "), 0), 0u) << error;
    ExpectSameTuning(store.Snapshot(), Tuning{});
}

TEST(TuningFileLoad, MissingOrUnreadableFile) {
    kxtest::ScopedTestHome home;
    TuningStore store;
    std::string error;
    EXPECT_FALSE(LoadTuningFile(EPeer::Connect, store, error));
    EXPECT_EQ(error, LoadFailure("It does not exist!"));

    ASSERT_EQ(mkdir(home.DataDir().c_str(), 0700), 0);
    ASSERT_EQ(mkdir(TuningFilePath().c_str(), 0700), 0);
    EXPECT_FALSE(LoadTuningFile(EPeer::Connect, store, error));
    EXPECT_EQ(error, LoadFailure("Failed to open the file for reading!"));
}

TEST(TuningFileLoad, EditedCurrentFileIsAppliedAndNeverOverwritten) {
    kxtest::ScopedTestHome home;
    LogCapture log(home);
    TuningStore store;
    std::string error;
    ASSERT_EQ(mkdir(home.DataDir().c_str(), 0700), 0);
    // Hand edits: values changed, a comment added, keys reordered.
    std::string edited = "# my own settings\n" + KXFakeShm::FormatTuningFile(EditedTuning());
    edited = WithLine(edited, "SharedMemLivenessTimeout", "");
    edited += "\nSharedMemLivenessTimeout: 99\n";
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), edited));

    ASSERT_TRUE(LoadTuningFile(EPeer::Connect, store, error)) << error;
    EXPECT_TRUE(error.empty());
    ExpectSameTuning(store.Snapshot(), EditedTuning());

    ASSERT_TRUE(SaveTuningFile(EPeer::Connect, store, error)) << error;
    EXPECT_EQ(kxtest::ReadFile(TuningFilePath()), edited);
    EXPECT_TRUE(Backups(home.DataDir()).empty());
    EXPECT_TRUE(log.Contains("Skipped saving the FakeSharedMem tuning configuration file '" +
                             TuningFilePath() + "' to disk!"));
}

TEST(TuningFileLoad, ValuesRoundTripThroughTheFile) {
    kxtest::ScopedTestHome home;
    std::string error;
    TuningStore written;
    written.Store(EditedTuning());
    ASSERT_TRUE(SaveTuningFile(EPeer::Connect, written, error)) << error;
    const std::string text = kxtest::ReadFile(TuningFilePath());
    EXPECT_NE(text.find("\nSocketReceiveNonBlocking: false\n"), std::string::npos);
    EXPECT_NE(text.find("\nSocketSendNonBlocking: true\n"), std::string::npos);

    TuningStore read;
    ASSERT_TRUE(LoadTuningFile(EPeer::Connect, read, error)) << error;
    ExpectSameTuning(read.Snapshot(), EditedTuning());

    // And the defaults: "true" and "false" come back as they went out.
    ASSERT_EQ(unlink(TuningFilePath().c_str()), 0);
    TuningStore defaults;
    ASSERT_TRUE(SaveTuningFile(EPeer::Connect, defaults, error)) << error;
    ASSERT_TRUE(LoadTuningFile(EPeer::Connect, read, error)) << error;
    EXPECT_TRUE(read.Snapshot().SocketReceiveNonBlocking);
    EXPECT_FALSE(read.Snapshot().SocketSendNonBlocking);
    ExpectSameTuning(read.Snapshot(), Tuning{});
}

TEST(TuningFileLoad, ValuesOfTheWrongFormFailAndApplyNothing) {
    kxtest::ScopedTestHome home;
    TuningStore store;
    std::string error;
    ASSERT_EQ(mkdir(home.DataDir().c_str(), 0700), 0);
    // Every other value is edited, so a half-applied load would show.
    const std::string edited = KXFakeShm::FormatTuningFile(EditedTuning());
    struct Case {
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"SocketReceiveTimeout", "abc"},
        {"SocketSendNonBlocking", "maybe"},
        {"SocketSendTimeout", "2147483648"},
        {"SocketReconnectTimeMax", "-2147483649"},
        {"SocketReconnectTimeMin", "1.5"},
        {"WorkerRetryInterval", "-1"},
        {"HeartbeatInterval", "0x10"},
        {"LivenessTimeout", "+5"},
        {"LatencySmoothingWindow", "18446744073709551616"},
        {"ThroughputSmoothingWindow", ""},
        {"SharedMemHeartbeatBlockSize", "4294967296"},
        {"SharedMemLivenessTimeout", "[1, 2]"},
        {"SharedMemLivenessTimeout", "-0"},
        {"SocketReceiveNonBlocking", "1"},
        // Out of range: as if it did not convert.
        {"SocketReceiveTimeout", "-2"},
        {"SocketReconnectTimeMin", "-1"},
        {"WorkerRetryInterval", "86400001"},
        {"HeartbeatInterval", "0"},
        {"LivenessTimeout", "1844674407371"},
        {"SharedMemHeartbeatBlockSize", "255"},
        {"SharedMemLivenessTimeout", "8640001"},
    };
    for (const auto& c : cases) {
        const std::string line = std::string(c.key) + ": " + c.value;
        const std::string text = WithLine(edited, c.key, line);
        ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), text));
        EXPECT_FALSE(LoadTuningFile(EPeer::Connect, store, error)) << line;
        // yaml-cpp marks the value: 1-based line, column after "Key: ".
        const auto lineStart = text.find("\n" + line) + 1;
        const auto lineNumber = std::count(text.begin(), text.begin() + lineStart, '\n') + 1;
        const auto column = std::string(c.key).size() + 3;
        const std::string where = "yaml-cpp: error at line " + std::to_string(lineNumber) +
                                  ", column " + std::to_string(column) + ": bad conversion";
        if (std::string(c.value).empty()) {
            EXPECT_EQ(error.rfind(LoadFailure("yaml-cpp: error at line "), 0), 0u) << error;
            EXPECT_NE(error.find("bad conversion"), std::string::npos) << error;
        } else {
            EXPECT_EQ(error, LoadFailure(where)) << line;
        }
        ExpectSameTuning(store.Snapshot(), Tuning{});
    }

    // The boolean words YAML knows are taken.
    for (const char* word : {"yes", "off", "True", "FALSE"}) {
        ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(),
                                      WithLine(edited, "SocketSendNonBlocking",
                                               std::string("SocketSendNonBlocking: ") + word)));
        EXPECT_TRUE(LoadTuningFile(EPeer::Connect, store, error)) << word << ": " << error;
    }
}

TEST(TuningFileLoad, UnreadableVersion) {
    kxtest::ScopedTestHome home;
    TuningStore store;
    std::string error;
    ASSERT_EQ(mkdir(home.DataDir().c_str(), 0700), 0);
    const std::string old = WithLine(Golden(), "Version", "Version: one");
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), old));
    EXPECT_FALSE(LoadTuningFile(EPeer::Connect, store, error));
    const auto lineNumber =
        std::count(old.begin(), old.begin() + old.find("\nVersion: one"), '\n') + 2;
    EXPECT_EQ(error, LoadFailure("yaml-cpp: error at line " + std::to_string(lineNumber) +
                                 ", column 10: bad conversion"));

    // Saving sets it aside like any other invalid file instead of failing for good.
    ASSERT_TRUE(SaveTuningFile(EPeer::Connect, store, error)) << error;
    EXPECT_EQ(kxtest::ReadFile(TuningFilePath()), Golden());
    const auto backups = Backups(home.DataDir());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(kxtest::ReadFile(home.DataDir() + "/" + backups.front()), old);
}

TEST(TuningFileSave, FailedBackupLeavesTheFileInPlace) {
    kxtest::ScopedTestHome home;
    TuningStore store;
    std::string error;
    ASSERT_EQ(mkdir(home.DataDir().c_str(), 0700), 0);
    const std::string old = WithLine(Golden(), "Version", "Version: 2");
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), old));
    // Occupy every backup name of the next seconds with a non-empty directory.
    const std::time_t now = std::time(nullptr);
    std::vector<std::string> taken;
    for (int s = 0; s < 30; ++s) {
        taken.push_back(TuningFilePath() + SuffixAt(now + s));
        ASSERT_EQ(mkdir(taken.back().c_str(), 0700), 0);
        ASSERT_TRUE(kxtest::WriteFile(taken.back() + "/keep", "x"));
    }
    EXPECT_FALSE(SaveTuningFile(EPeer::Connect, store, error));
    const std::string prefix =
        SaveFailure("Failed to backup the old tuning configuration file to '");
    ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
    const std::string target = error.substr(prefix.size(), error.size() - prefix.size() - 2);
    EXPECT_EQ(error.substr(error.size() - 2), "'!");
    EXPECT_NE(std::find(taken.begin(), taken.end(), target), taken.end()) << target;
    EXPECT_EQ(kxtest::ReadFile(TuningFilePath()), old);
}

TEST(TuningFilePeer, OnlyTheConnectPeerLoadsAndSaves) {
    kxtest::ScopedTestHome home;
    TuningStore store;
    std::string error;
    EXPECT_FALSE(SaveTuningFile(EPeer::Core, store, error));
    EXPECT_EQ(error, SaveFailure("It can only be saved via the 'Connect peer and not 'Core'!"));
    EXPECT_FALSE(kxtest::FileExists(TuningFilePath()));
    EXPECT_FALSE(SaveTuningFile(EPeer::None, store, error));
    EXPECT_EQ(error, SaveFailure("It can only be saved via the 'Connect peer and not 'None'!"));

    ASSERT_TRUE(SaveTuningFile(EPeer::Connect, store, error)) << error;
    TuningStore other;
    other.Store(EditedTuning());
    EXPECT_FALSE(LoadTuningFile(EPeer::Core, other, error));
    EXPECT_EQ(error, LoadFailure("It can only be loaded via the 'Connect peer and not 'Core'!"));
    ExpectSameTuning(other.Snapshot(), EditedTuning());
}

// Readers of the store never see a mix of old and new values while loads run.
TEST(TuningFileLoad, ReadersSeeWholeTunings) {
    kxtest::ScopedTestHome home;
    TuningStore store;
    std::string error;
    TuningStore source;
    source.Store(EditedTuning());
    ASSERT_TRUE(SaveTuningFile(EPeer::Connect, source, error)) << error;

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&] {
            while (!done.load()) {
                const Tuning t = store.Snapshot();
                const bool isDefault = t.LivenessTimeout == Tuning{}.LivenessTimeout;
                const bool consistent = isDefault ? t.SharedMemHeartbeatBlockSize ==
                                                        Tuning{}.SharedMemHeartbeatBlockSize
                                                  : t.SharedMemHeartbeatBlockSize ==
                                                        EditedTuning().SharedMemHeartbeatBlockSize;
                if (!consistent) {
                    ++torn;
                }
                std::this_thread::yield();
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        store.Store(Tuning{});
        ASSERT_TRUE(LoadTuningFile(EPeer::Connect, store, error)) << error;
    }
    done = true;
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(torn.load(), 0);
    ExpectSameTuning(store.Snapshot(), EditedTuning());
}

}  // namespace
