// The client's read(): every read of the process comes here, FTXUI's included.
//
// FTXUI 5.0.0's input listener keeps read()'s result in a size_t, so a failed
// read of the terminal (-1) becomes a length of SIZE_MAX and the listener walks
// off its 100-byte buffer until the process crashes. A terminal fails reads with
// EIO while it is being closed (before its hang-up is complete) and for a
// background process group that may not read it, and any read can end with
// EINTR. A failure on standard input is therefore handed on as no input: FTXUI
// looks again, and the dashboard's own hang-up check ends the client when the
// terminal has gone. Every other read, and every success, is passed through.

#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

using ReadFunction = ssize_t (*)(int, void*, size_t);

ReadFunction NextRead() {
    static const auto next = reinterpret_cast<ReadFunction>(dlsym(RTLD_NEXT, "read"));
    return next;
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    const ssize_t got = NextRead()(fd, buffer, count);
    if (got >= 0 || fd != STDIN_FILENO) {
        return got;
    }
    // FTXUI tries again at once, and a terminal that a background group may not
    // read fails every try: a short pause keeps that from spinning a core.
    const int saved = errno;
    poll(nullptr, 0, 10);
    errno = saved;
    return 0;
}
