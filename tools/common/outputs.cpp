#include "tools/common/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "tools/common/exit_status.h"
#include "tools/common/output_pump.h"
#include "tools/common/signals.h"

namespace tzv58::tool {
namespace {

struct Watched {
    FILE* out;
    std::string name;
    bool failed;
};

std::mutex watched_lock;
std::vector<Watched>& watched() {
    static std::vector<Watched> all;
    return all;
}

// Called with the lock held.
bool check(Watched& w, int flushed) {
    if (flushed == 0 && !std::ferror(w.out)) return !w.failed;
    const int why = errno;
    std::clearerr(w.out);  // a later write may succeed; the loss stays counted
    if (why == EPIPE) {
        if (!g_stop) say(EXIT_DONE, "the reader of " + w.name + " went away (broken pipe); stopping");
        g_stop = 1;
        return false;
    }
    if (!w.failed) say(EXIT_FAIL, "cannot write " + w.name + ": " + (why ? std::strerror(why) : "a write failed"));
    w.failed = true;
    return false;
}

// The outcome of a flush (EOF: failed, errno saying why) for out.
bool settle(FILE* out, int flushed) {
    const std::lock_guard<std::mutex> hold(watched_lock);
    for (Watched& w : watched())
        if (w.out == out) return check(w, flushed);
    return flushed == 0;
}

}  // namespace

int open_output(const std::string& path, const char* option, std::string& err) {
    // Without O_NONBLOCK, opening a FIFO would wait for a reader.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        err =
            std::string("option ") + option + ": " +
            (errno == ENXIO ? "nothing reads the FIFO " + path : "cannot write " + path + ": " + std::strerror(errno));
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void watch_output(FILE* out, const std::string& name) {
    const std::lock_guard<std::mutex> hold(watched_lock);
    for (Watched& w : watched())
        if (w.out == out) return;
    watched().push_back({out, name, false});
}

void unwatch_output(FILE* out) {
    const std::lock_guard<std::mutex> hold(watched_lock);
    auto& all = watched();
    all.erase(std::remove_if(all.begin(), all.end(), [out](const Watched& w) { return w.out == out; }), all.end());
}

bool flush_output(FILE* out) {
    errno = 0;
    return settle(out, std::fflush(out));
}

bool write_output(FILE* out, const std::string& text) {
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    return settle(out, written ? std::fflush(out) : EOF);
}

int outputs_status() {
    const std::lock_guard<std::mutex> hold(watched_lock);
    bool ok = true;
    for (Watched& w : watched()) {
        errno = 0;
        ok = check(w, std::fflush(w.out)) && ok;
    }
    return ok && pumps_ok() ? EXIT_DONE : EXIT_FAIL;
}

}  // namespace tzv58::tool
