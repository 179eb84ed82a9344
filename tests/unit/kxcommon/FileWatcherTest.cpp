#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "kxcommon/FileWatcher.h"
#include "kxcommon/FileWatcherPlatform.h"
#include "kxlog/KXLog.h"

namespace KXCommon {
// Readable event lists in assertion failures.
void PrintTo(FileWatcher::EventType event, std::ostream* os) {
    *os << EventTypeName(event);
}
}  // namespace KXCommon

namespace {

using KXCommon::FileWatcher;
using Event = FileWatcher::EventType;
using Events = std::vector<Event>;

// Collects what one subscription receives; the handler runs on the watcher thread.
class Recorder {
  public:
    FileWatcher::Handler Handler() {
        return [this](Event event) {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
        };
    }
    Events Seen() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool WaitForCount(size_t count) const {
        return kxtest::WaitFor([&] { return Seen().size() >= count; });
    }
    // Waits until `last` has arrived and returns everything seen up to then.
    Events UntilSentinel(Event last) const {
        kxtest::WaitFor([&] {
            const Events seen = Seen();
            return !seen.empty() && seen.back() == last;
        });
        return Seen();
    }

  private:
    mutable std::mutex mutex_;
    Events events_;
};

// Only IN_CREATE: opened for reading, closed without a write.
void CreateEmpty(const std::string& path) {
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_RDONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    close(fd);
}

void Touch(const std::string& path) {
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), nullptr, 0), 0)
        << path << ": " << std::strerror(errno);
}

void Remove(const std::string& path) {
    ASSERT_EQ(unlink(path.c_str()), 0) << path << ": " << std::strerror(errno);
}

void Rename(const std::string& from, const std::string& to) {
    ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from << ": " << std::strerror(errno);
}

class FileWatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
        ASSERT_TRUE(kxtest::WriteFile(file_, "initial\n"));
    }

    // Subscribes `recorder_` and starts the watcher.
    void StartWatching(FileWatcher& watcher) {
        std::string error;
        ASSERT_TRUE(watcher.Subscribe(recorder_.Handler(), subscription_, error)) << error;
        ASSERT_TRUE(watcher.Start(error)) << error;
        EXPECT_TRUE(error.empty());
        EXPECT_TRUE(watcher.IsRunning());
    }

    kxtest::ScopedTestHome home_;
    const std::string dir_ = home_.Root() + "/config";
    const std::string file_ = dir_ + "/kxfakeshm-params.yml";
    const std::string other_ = dir_ + "/other.yml";
    Recorder recorder_;  // outlives the watchers declared in the tests
    FileWatcher::Subscription subscription_;
};

TEST_F(FileWatcherTest, ChangesToOtherFilesRaiseNothing) {
    FileWatcher watcher(file_);
    StartWatching(watcher);
    ASSERT_TRUE(kxtest::WriteFile(other_, "x"));
    Touch(other_);
    Rename(other_, other_ + ".bak");
    Remove(other_ + ".bak");
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
    ASSERT_TRUE(kxtest::WriteFile(dir_ + "/sub/kxfakeshm-params.yml", "nested"));
    // A file whose name only contains the watched one.
    ASSERT_TRUE(kxtest::WriteFile(file_ + ".tmp", "x"));

    Touch(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Modified), Events{Event::Modified});
}

TEST_F(FileWatcherTest, NameDifferingOnlyInCaseRaisesNothing) {
    FileWatcher watcher(file_);
    StartWatching(watcher);
    const std::string upper = dir_ + "/KXFakeShm-Params.yml";
    CreateEmpty(upper);
    ASSERT_TRUE(kxtest::WriteFile(upper, "x"));
    Touch(upper);
    Remove(upper);

    Touch(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Modified), Events{Event::Modified});
}

TEST_F(FileWatcherTest, RenamingAnotherFileOntoTheNameRaisesRenamed) {
    ASSERT_TRUE(kxtest::WriteFile(other_, "replacement"));
    FileWatcher watcher(file_);
    StartWatching(watcher);
    Rename(other_, file_);
    Remove(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Deleted), (Events{Event::Renamed, Event::Deleted}));
}

TEST_F(FileWatcherTest, RenamingTheFileAwayRaisesNothing) {
    FileWatcher watcher(file_);
    StartWatching(watcher);
    Rename(file_, other_);
    CreateEmpty(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Created), Events{Event::Created});
}

TEST_F(FileWatcherTest, DeleteThenRecreateRaisesDeletedThenCreated) {
    FileWatcher watcher(file_);
    StartWatching(watcher);
    Remove(file_);
    CreateEmpty(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Created), (Events{Event::Deleted, Event::Created}));
}

// A shell's "> file": truncate, two writes, close, then the time set as well. A
// reader must not see the file before the close, and sees it once.
TEST_F(FileWatcherTest, AnEditIsOneModifiedOnceTheWriterClosesTheFile) {
    FileWatcher watcher(file_);
    StartWatching(watcher);
    const int fd = open(file_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "Version: ", 9), 9);
    ASSERT_EQ(write(fd, "2\n", 2), 2);
    close(fd);
    Touch(file_);
    Remove(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Deleted), (Events{Event::Modified, Event::Deleted}));

    // A new file and its first write are one Created.
    ASSERT_TRUE(kxtest::WriteFile(file_, "Version: 3\n"));
    Remove(file_);
    ASSERT_TRUE(recorder_.WaitForCount(4));
    EXPECT_EQ(recorder_.UntilSentinel(Event::Deleted),
              (Events{Event::Modified, Event::Deleted, Event::Created, Event::Deleted}));
}

TEST_F(FileWatcherTest, TouchRaisesModified) {
    FileWatcher watcher(file_);
    StartWatching(watcher);
    Touch(file_);
    Remove(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Deleted), (Events{Event::Modified, Event::Deleted}));
}

TEST_F(FileWatcherTest, HandlersRunInSubscriptionOrderOnTheWatcherThread) {
    FileWatcher watcher(file_);
    std::mutex mutex;
    std::vector<std::string> calls;
    std::string threadName;
    char osName[32] = {};
    std::thread::id threadId;
    auto record = [&](const char* who) {
        return [&, who](Event) {
            std::lock_guard lock(mutex);
            calls.emplace_back(who);
            threadName = kxlog::GetThreadName();
            threadId = std::this_thread::get_id();
            pthread_getname_np(pthread_self(), osName, sizeof osName);
        };
    };
    std::string error;
    FileWatcher::Subscription first;
    FileWatcher::Subscription second;
    ASSERT_TRUE(watcher.Subscribe(record("first"), first, error)) << error;
    ASSERT_TRUE(watcher.Subscribe(record("second"), second, error)) << error;
    ASSERT_TRUE(first && second && first != second);
    StartWatching(watcher);  // the recorder comes third
    Touch(file_);
    ASSERT_TRUE(recorder_.WaitForCount(1));
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(threadName, "FileWatcher");
    EXPECT_STREQ(osName, "FileWatcher");
    EXPECT_NE(threadId, std::this_thread::get_id());
}

TEST_F(FileWatcherTest, DroppedSubscriptionIsNotCalled) {
    FileWatcher watcher(file_);
    std::atomic<int> droppedCalls{0};
    std::string error;
    FileWatcher::Subscription dropped;
    ASSERT_TRUE(watcher.Subscribe([&](Event) { ++droppedCalls; }, dropped, error)) << error;
    std::weak_ptr<FileWatcher::Handler> observer = dropped;
    StartWatching(watcher);
    dropped.reset();
    EXPECT_TRUE(observer.expired());  // the watcher holds no strong reference
    Touch(file_);
    ASSERT_TRUE(recorder_.WaitForCount(1));
    EXPECT_EQ(droppedCalls, 0);
}

TEST_F(FileWatcherTest, HandlerMayUnsubscribeItselfAndSubscribeAnother) {
    FileWatcher watcher(file_);
    std::mutex mutex;
    FileWatcher::Subscription self;
    FileWatcher::Subscription added;
    std::atomic<int> selfCalls{0};
    std::atomic<int> addedCalls{0};
    std::atomic<bool> handlerOk{true};
    std::string error;
    ASSERT_TRUE(watcher.Subscribe(
        [&](Event) {
            ++selfCalls;
            std::lock_guard lock(mutex);
            std::string inner;
            handlerOk = handlerOk && watcher.Unsubscribe(self, inner);
            handlerOk = handlerOk && watcher.Subscribe([&](Event) { ++addedCalls; }, added, inner);
        },
        self, error))
        << error;
    StartWatching(watcher);
    Touch(file_);
    ASSERT_TRUE(recorder_.WaitForCount(1));
    Touch(file_);
    ASSERT_TRUE(recorder_.WaitForCount(2));
    // The added handler comes after the recorder in the list.
    EXPECT_TRUE(kxtest::WaitFor([&] { return addedCalls.load() == 1; }));
    EXPECT_TRUE(handlerOk);
    EXPECT_EQ(selfCalls, 1);
}

TEST_F(FileWatcherTest, ThrowingHandlerDoesNotStopDelivery) {
    FileWatcher watcher(file_);
    std::string error;
    FileWatcher::Subscription thrower;
    FileWatcher::Subscription empty;
    ASSERT_TRUE(watcher.Subscribe([](Event) { throw std::runtime_error("handler failure"); },
                                  thrower, error))
        << error;
    ASSERT_TRUE(watcher.Subscribe(FileWatcher::Handler{}, empty, error)) << error;
    StartWatching(watcher);
    Touch(file_);
    Remove(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Deleted), (Events{Event::Modified, Event::Deleted}));
    EXPECT_TRUE(watcher.IsRunning());
}

TEST_F(FileWatcherTest, UnsubscribeOfAnUnknownSubscriptionFails) {
    FileWatcher watcher(file_);
    const std::string notFound =
        "Failed to find the OnFileChanged event handler on '" + file_ + "'!";
    std::string error = "stale";
    auto stranger = std::make_shared<FileWatcher::Handler>([](Event) {});
    EXPECT_FALSE(watcher.Unsubscribe(stranger, error));
    EXPECT_EQ(error, notFound);
    EXPECT_FALSE(watcher.Unsubscribe(nullptr, error));
    EXPECT_EQ(error, notFound);

    FileWatcher::Subscription mine;
    ASSERT_TRUE(watcher.Subscribe([](Event) {}, mine, error)) << error;
    EXPECT_TRUE(watcher.Unsubscribe(mine, error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_FALSE(watcher.Unsubscribe(mine, error));
    EXPECT_EQ(error, notFound);

    // A subscription of another watcher on the same path is unknown here too.
    FileWatcher twin(file_);
    FileWatcher::Subscription theirs;
    ASSERT_TRUE(twin.Subscribe([](Event) {}, theirs, error)) << error;
    EXPECT_FALSE(watcher.Unsubscribe(theirs, error));
    EXPECT_EQ(error, notFound);
}

TEST_F(FileWatcherTest, UnsubscribedHandlerIsNotCalled) {
    FileWatcher watcher(file_);
    std::atomic<int> calls{0};
    std::string error;
    FileWatcher::Subscription gone;
    ASSERT_TRUE(watcher.Subscribe([&](Event) { ++calls; }, gone, error)) << error;
    StartWatching(watcher);
    ASSERT_TRUE(watcher.Unsubscribe(gone, error)) << error;
    Touch(file_);
    ASSERT_TRUE(recorder_.WaitForCount(1));
    EXPECT_EQ(calls, 0);
}

// Nothing happens in the directory: Stop must not wait for a change.
TEST_F(FileWatcherTest, StopReturnsWhileNoEventComes) {
    FileWatcher watcher(file_);
    StartWatching(watcher);
    std::string error = "stale";
    EXPECT_TRUE(watcher.Stop(error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_FALSE(watcher.IsRunning());
}

// A handler that blocks until released, so that a test can act while it runs.
class BlockingHandler {
  public:
    FileWatcher::Handler Handler() {
        return [this](Event) {
            std::unique_lock lock(mutex_);
            ++calls_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return released_; });
        };
    }
    bool WaitUntilCalled() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return calls_ > 0; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    int Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int calls_ = 0;
    bool released_ = false;
};

TEST_F(FileWatcherTest, StopReturnsAfterTheRunningHandlerNotAfterTheRestOfTheBatch) {
    FileWatcher watcher(file_);
    BlockingHandler blocking;
    FileWatcher::Subscription subscription;
    std::string error;
    ASSERT_TRUE(watcher.Subscribe(blocking.Handler(), subscription, error)) << error;
    ASSERT_TRUE(watcher.Start(error)) << error;
    Touch(file_);
    Remove(file_);
    ASSERT_TRUE(blocking.WaitUntilCalled());
    bool stopped = false;
    std::thread stopper([&] { stopped = watcher.Stop(error); });
    EXPECT_TRUE(kxtest::WaitFor([&] { return !watcher.IsRunning(); }));
    blocking.Release();
    stopper.join();
    EXPECT_TRUE(stopped) << error;
    EXPECT_EQ(blocking.Calls(), 1);
}

// Records dropped by the kernel may have been this file's: reported as Modified.
TEST_F(FileWatcherTest, QueueOverflowIsReportedAsModified) {
    const std::string limitText = kxtest::ReadFile("/proc/sys/fs/inotify/max_queued_events");
    const long limit = std::strtol(limitText.c_str(), nullptr, 10);
    if (limit <= 0 || limit > 200000) {
        GTEST_SKIP() << "fs.inotify.max_queued_events is '" << limitText
                     << "'; cannot overflow the queue in reasonable time";
    }
    FileWatcher watcher(file_);
    BlockingHandler blocking;
    FileWatcher::Subscription subscription;
    std::string error;
    ASSERT_TRUE(watcher.Subscribe(blocking.Handler(), subscription, error)) << error;
    StartWatching(watcher);
    Touch(file_);
    ASSERT_TRUE(blocking.WaitUntilCalled());
    // Alternating names, so that the kernel cannot merge the records.
    const std::string a = dir_ + "/a";
    const std::string b = dir_ + "/b";
    ASSERT_TRUE(kxtest::WriteFile(a, "a"));
    ASSERT_TRUE(kxtest::WriteFile(b, "b"));
    for (long i = 0; i <= limit; ++i) {
        Touch(i % 2 == 0 ? a : b);
    }
    Touch(file_);  // lost in the full queue
    blocking.Release();
    EXPECT_TRUE(recorder_.WaitForCount(2));
    EXPECT_EQ(recorder_.Seen(), (Events{Event::Modified, Event::Modified}));
}

TEST_F(FileWatcherTest, ARemovedOrMovedDirectoryIsLoggedAndWatchedAgainWhenBack) {
    const std::string logPath = home_.Root() + "/watcher.log";
    std::string error;
    ASSERT_TRUE(kxlog::AddFile(logPath, kxlog::kInfo, error)) << error;
    FileWatcher watcher(file_);
    StartWatching(watcher);
    const std::string lost = "The FileWatcher on '" + file_ + "' has lost the directory '" + dir_ +
                             "'; watching it again once it is back...";
    const std::string again =
        "The FileWatcher on '" + file_ + "' is watching the directory '" + dir_ + "' again!";
    const auto count = [&](const std::string& text) {
        const std::string log = kxtest::ReadFile(logPath);
        size_t found = 0;
        for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) {
            ++found;
        }
        return found;
    };

    Remove(file_);
    ASSERT_EQ(rmdir(dir_.c_str()), 0);
    ASSERT_TRUE(kxtest::WaitFor([&] { return count(lost) == 1; })) << kxtest::ReadFile(logPath);
    EXPECT_NE(kxtest::ReadFile(logPath).find(" ERR| " + lost), std::string::npos);
    EXPECT_TRUE(watcher.IsRunning());
    // Whether the watch is back before the file or after it, the file comes as Created
    // (its write may follow as Modified when the watch came between the two).
    const auto seenWithoutModified = [&] {
        Events seen = recorder_.Seen();
        std::erase(seen, Event::Modified);
        return seen;
    };
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    ASSERT_TRUE(kxtest::WriteFile(file_, "back\n"));
    ASSERT_TRUE(kxtest::WaitFor([&] { return seenWithoutModified().size() >= 2; }));
    EXPECT_EQ(seenWithoutModified(), (Events{Event::Deleted, Event::Created}));

    // Moved away: the file leaves its path with the directory, and the watch must not
    // follow the directory to its new name.
    const std::string moved = dir_ + ".old";
    Rename(dir_, moved);
    ASSERT_TRUE(kxtest::WaitFor([&] { return seenWithoutModified().size() >= 3; }));
    ASSERT_TRUE(kxtest::WriteFile(moved + "/kxfakeshm-params.yml", "elsewhere\n"));
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    ASSERT_TRUE(kxtest::WriteFile(file_, "back again\n"));
    ASSERT_TRUE(kxtest::WaitFor([&] { return seenWithoutModified().size() >= 4; }));
    Remove(file_);
    ASSERT_TRUE(kxtest::WaitFor([&] { return seenWithoutModified().size() >= 5; }));
    EXPECT_EQ(seenWithoutModified(), (Events{Event::Deleted, Event::Created, Event::Deleted,
                                             Event::Created, Event::Deleted}));
    EXPECT_TRUE(kxtest::WaitFor([&] { return count(again) == 2; })) << kxtest::ReadFile(logPath);
    std::filesystem::remove_all(moved);
}

TEST_F(FileWatcherTest, StartTwiceAndStopWhenStoppedFail) {
    FileWatcher watcher(file_);
    std::string error;
    EXPECT_FALSE(watcher.Stop(error));
    EXPECT_EQ(error, "A FileWatcher on '" + file_ + "' has not been started yet; stop aborted!");

    ASSERT_TRUE(watcher.Start(error)) << error;
    EXPECT_FALSE(watcher.Start(error));
    EXPECT_EQ(error, "A FileWatcher on '" + file_ + "' has already been started; start aborted!");
    EXPECT_TRUE(watcher.IsRunning());

    ASSERT_TRUE(watcher.Stop(error)) << error;
    EXPECT_FALSE(watcher.Stop(error));
    EXPECT_EQ(error, "A FileWatcher on '" + file_ + "' has not been started yet; stop aborted!");
}

TEST_F(FileWatcherTest, StartOnAMissingDirectoryFails) {
    const std::string missing = dir_ + "/missing/kxfakeshm-params.yml";
    FileWatcher watcher(missing);
    EXPECT_EQ(watcher.Path(), missing);
    std::string error;
    EXPECT_FALSE(watcher.Start(error));
    EXPECT_EQ(error, "Encountered an error while starting a FileWatcher on '" + missing +
                         "': inotify_add_watch failed: " + std::strerror(ENOENT));
    EXPECT_FALSE(watcher.IsRunning());
    EXPECT_FALSE(watcher.Stop(error));

    // A "directory" that is a regular file fails the same way.
    const std::string underFile = file_ + "/name";
    FileWatcher onFile(underFile);
    EXPECT_FALSE(onFile.Start(error));
    EXPECT_EQ(error, "Encountered an error while starting a FileWatcher on '" + underFile +
                         "': inotify_add_watch failed: " + std::strerror(ENOTDIR));

    // Once the directory exists the same watcher starts.
    ASSERT_EQ(mkdir((dir_ + "/missing").c_str(), 0700), 0);
    EXPECT_TRUE(watcher.Start(error)) << error;
}

TEST_F(FileWatcherTest, RestartAfterStopWatchesAgain) {
    FileWatcher watcher(file_);
    StartWatching(watcher);
    std::string error;
    Touch(file_);
    ASSERT_TRUE(recorder_.WaitForCount(1));
    ASSERT_TRUE(watcher.Stop(error)) << error;

    Touch(file_);  // while stopped: never reported
    ASSERT_TRUE(kxtest::WriteFile(file_, "rewritten by the owner\n"));

    ASSERT_TRUE(watcher.Start(error)) << error;
    EXPECT_TRUE(watcher.IsRunning());
    Remove(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Deleted), (Events{Event::Modified, Event::Deleted}));

    ASSERT_TRUE(watcher.Stop(error)) << error;
    ASSERT_TRUE(watcher.Start(error)) << error;
    CreateEmpty(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Created),
              (Events{Event::Modified, Event::Deleted, Event::Created}));
}

TEST_F(FileWatcherTest, DestructorStopsAndJoinsTheThread) {
    int withWatcher = 0;
    {
        FileWatcher watcher(file_);
        StartWatching(watcher);
        Touch(file_);
        ASSERT_TRUE(recorder_.WaitForCount(1));
        withWatcher = kxtest::ThreadCount();
    }
    // The thread is joined; the kernel drops it from the task list right after.
    EXPECT_TRUE(kxtest::WaitFor([&] { return kxtest::ThreadCount() == withWatcher - 1; }));
}

// The inotify instances this process holds open.
int InotifyInstances() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == "anon_inode:inotify") {
            ++count;
        }
    }
    return count;
}

// Closing an inotify instance waits for the kernel's mark reaper, seconds on a
// loaded machine: Stop keeps the instance for the next watch instead, and the
// instances kept stay few however many watchers come and go.
TEST_F(FileWatcherTest, StopKeepsItsInotifyInstanceForTheNextWatch) {
    std::string error;
    {
        FileWatcher first(file_);
        StartWatching(first);
        const int running = InotifyInstances();
        ASSERT_TRUE(first.Stop(error)) << error;
        EXPECT_EQ(InotifyInstances(), running);

        FileWatcher second(other_);
        FileWatcher::Subscription subscription;
        Recorder recorder;
        ASSERT_TRUE(second.Subscribe(recorder.Handler(), subscription, error)) << error;
        ASSERT_TRUE(second.Start(error)) << error;
        EXPECT_EQ(InotifyInstances(), running);
        Touch(file_);  // the first watcher's file: nothing for either
        ASSERT_TRUE(kxtest::WriteFile(other_, "second\n"));
        EXPECT_EQ(recorder.UntilSentinel(Event::Created), Events{Event::Created});
        ASSERT_TRUE(second.Stop(error)) << error;
        EXPECT_TRUE(recorder_.Seen().empty());
    }
    std::vector<std::unique_ptr<FileWatcher>> many;
    for (int i = 0; i < 20; ++i) {
        many.push_back(std::make_unique<FileWatcher>(file_));
        ASSERT_TRUE(many.back()->Start(error)) << error;
    }
    many.clear();
    EXPECT_LE(InotifyInstances(), 8);
}

// A child shares its parent's descriptors: a kept instance that the child took
// would carry the child's watches into the parent's next watcher.
TEST_F(FileWatcherTest, AForkedChildDoesNotTakeTheInstancesItsParentKept) {
    {
        FileWatcher watcher(file_);
        StartWatching(watcher);
        std::string error;
        ASSERT_TRUE(watcher.Stop(error)) << error;
    }
    ASSERT_GE(InotifyInstances(), 1);
    const std::string childDir = home_.Root() + "/child";
    ASSERT_EQ(mkdir(childDir.c_str(), 0700), 0);
    struct stat info {};
    ASSERT_EQ(stat(childDir.c_str(), &info), 0);
    int ready[2];
    int done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // No threads and no log in the child: only the watch itself.
        close(done[1]);
        KXCommon::detail::DirectoryWatch watch;
        std::string error;
        char opened = watch.Open(childDir, error) ? '1' : '0';
        (void)!write(ready[1], &opened, 1);
        (void)!read(done[0], &opened, 1);
        _exit(0);
    }
    char opened = 0;
    ASSERT_EQ(read(ready[0], &opened, 1), 1);
    EXPECT_EQ(opened, '1');
    // fdinfo lists an instance's watches by inode, in hexadecimal.
    const std::string childWatch = fmt::format("ino:{:x} ", info.st_ino);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == "anon_inode:inotify") {
            const std::string fdinfo =
                kxtest::ReadFile("/proc/self/fdinfo/" + entry.path().filename().string());
            EXPECT_EQ(fdinfo.find(childWatch), std::string::npos) << fdinfo;
        }
    }
    close(done[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    for (const int fd : {ready[0], ready[1], done[0]}) {
        close(fd);
    }
}

TEST_F(FileWatcherTest, StartAndStopFromAHandlerFailWithoutDeadlock) {
    FileWatcher watcher(file_);
    std::mutex mutex;
    bool started = true;
    bool stopped = true;
    std::string startError;
    std::string stopError;
    std::string error;
    FileWatcher::Subscription inner;
    ASSERT_TRUE(watcher.Subscribe(
        [&](Event) {
            std::lock_guard lock(mutex);
            started = watcher.Start(startError);
            stopped = watcher.Stop(stopError);
        },
        inner, error))
        << error;
    StartWatching(watcher);
    Touch(file_);
    ASSERT_TRUE(recorder_.WaitForCount(1));
    {
        std::lock_guard lock(mutex);
        EXPECT_FALSE(started);
        EXPECT_EQ(startError,
                  "A FileWatcher on '" + file_ + "' has already been started; start aborted!");
        EXPECT_FALSE(stopped);
        EXPECT_EQ(
            stopError.rfind(
                "Encountered an error while stopping the FileWatcher on '" + file_ + "': ", 0),
            0u)
            << stopError;
    }
    EXPECT_TRUE(watcher.IsRunning());
    EXPECT_TRUE(watcher.Stop(error)) << error;
}

// Start and Stop race from two threads; the lock keeps every thread joined.
TEST_F(FileWatcherTest, ConcurrentStartAndStopStayConsistent) {
    FileWatcher watcher(file_);
    std::string error;
    ASSERT_TRUE(watcher.Subscribe(recorder_.Handler(), subscription_, error)) << error;
    const int threadsBefore = kxtest::ThreadCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            std::string own;
            for (int i = 0; i < 40; ++i) {
                watcher.Start(own);
                watcher.Stop(own);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    if (watcher.IsRunning()) {
        ASSERT_TRUE(watcher.Stop(error)) << error;
    }
    EXPECT_TRUE(kxtest::WaitFor([&] { return kxtest::ThreadCount() == threadsBefore; }));
    ASSERT_TRUE(watcher.Start(error)) << error;
    Remove(file_);
    const Events seen = recorder_.UntilSentinel(Event::Deleted);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), Event::Deleted);
}

TEST_F(FileWatcherTest, PathIsSplitAtTheLastSeparatorOfEitherKind) {
    const std::string backslashed = dir_ + "\\kxfakeshm-params.yml";
    const std::string doubled = dir_ + "//kxfakeshm-params.yml";
    FileWatcher first(backslashed);
    FileWatcher second(doubled);
    EXPECT_EQ(first.Path(), backslashed);
    Recorder firstEvents;
    Recorder secondEvents;
    FileWatcher::Subscription a;
    FileWatcher::Subscription b;
    std::string error;
    ASSERT_TRUE(first.Subscribe(firstEvents.Handler(), a, error)) << error;
    ASSERT_TRUE(second.Subscribe(secondEvents.Handler(), b, error)) << error;
    ASSERT_TRUE(first.Start(error)) << error;
    ASSERT_TRUE(second.Start(error)) << error;
    Touch(file_);
    EXPECT_EQ(firstEvents.UntilSentinel(Event::Modified), Events{Event::Modified});
    EXPECT_EQ(secondEvents.UntilSentinel(Event::Modified), Events{Event::Modified});
    ASSERT_TRUE(first.Stop(error)) << error;
    ASSERT_TRUE(second.Stop(error)) << error;
}

TEST_F(FileWatcherTest, BareFileNameIsWatchedInTheWorkingDirectory) {
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    FileWatcher watcher("kxfakeshm-params.yml");
    StartWatching(watcher);
    Touch(file_);
    EXPECT_EQ(recorder_.UntilSentinel(Event::Modified), Events{Event::Modified});
    std::string error;
    EXPECT_TRUE(watcher.Stop(error)) << error;
    ASSERT_EQ(chdir("/"), 0);
}

TEST(FileWatcherEventTypeName, NamesEveryKindAndUnknown) {
    EXPECT_STREQ(KXCommon::EventTypeName(Event::Modified), "Modified");
    EXPECT_STREQ(KXCommon::EventTypeName(Event::Created), "Created");
    EXPECT_STREQ(KXCommon::EventTypeName(Event::Deleted), "Deleted");
    EXPECT_STREQ(KXCommon::EventTypeName(Event::Renamed), "Renamed");
    EXPECT_STREQ(KXCommon::EventTypeName(static_cast<Event>(4)), "Unknown");
    EXPECT_STREQ(KXCommon::EventTypeName(static_cast<Event>(255)), "Unknown");
    EXPECT_EQ(static_cast<int>(Event::Modified), 0);
    EXPECT_EQ(static_cast<int>(Event::Created), 1);
    EXPECT_EQ(static_cast<int>(Event::Deleted), 2);
    EXPECT_EQ(static_cast<int>(Event::Renamed), 3);
}

}  // namespace
