#include "tools/common/counted.h"
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
#include "tools/common/history_status.h"
#include "tools/common/notify_status.h"
#include "tools/common/output_pump.h"
#include "tools/common/paths.h"
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

const OutputKind EVENTS_OUTPUT = {"--events", "an events file", "{\"event\":\"", false};
const OutputKind DIAG_OUTPUT = {"--diag", "a diagnostics file", "# tzv58-host: the plug-in's diagnostic lines\n", true};

namespace {

// The first n bytes of the file open at fd, read through a descriptor of
// its own (fd only writes); empty when the name no longer leads to it.
std::string head_of(int fd, const std::string& path, int nofollow, size_t n) {
    const int in = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | nofollow);
    struct stat a {
    }, b{};
    std::string head(n, '\0');
    ssize_t got = -1;
    if (in >= 0 && ::fstat(fd, &a) == 0 && ::fstat(in, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        got = ::pread(in, &head[0], n, 0);
    if (in >= 0) ::close(in);
    head.resize(got > 0 ? size_t(got) : 0);
    return head;
}

bool write_all(int fd, const char* text) {
    for (size_t done = 0, size = std::strlen(text); done < size;) {
        const ssize_t n = ::write(fd, text + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace

int open_output(const std::string& path, const OutputKind& kind, bool force, std::string& err) {
    const std::string option = std::string("option ") + kind.option + ": ";
    int nofollow = 0;
    if (!check_shared_folder(path, nofollow, err)) {
        err = option + err;
        return -1;
    }
    // Without O_NONBLOCK, opening a FIFO would wait for a reader.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | nofollow, 0644);
    if (fd < 0) {
        const int e = errno;
        err = option + (e == ENXIO               ? "nothing reads the FIFO " + path
                        : e == ELOOP && nofollow ? path +
                                                       " is a symbolic link in a folder others may write to; it is "
                                                       "not followed"
                                                 : "cannot write " + path + ": " + std::strerror(e));
        return -1;
    }
    struct stat st {};
    const size_t head_size = std::strlen(kind.head);
    std::string why;
    if (nofollow && !opened_own_file(fd, path, why)) {
        err = option + why;
    } else if (::fstat(fd, &st) != 0) {
        err = option + "cannot write " + path + ": " + std::strerror(errno);
    } else if (S_ISREG(st.st_mode) && st.st_size > 0 && !force &&
               head_of(fd, path, nofollow, head_size) != std::string(kind.head, head_size)) {
        err = option + path + " is there and is not " + kind.what +
              " of this program: nothing was written to it (--force appends to it)";
    } else if (S_ISREG(st.st_mode) && st.st_size == 0 && kind.head_line && !write_all(fd, kind.head)) {
        err = option + "cannot write " + path + ": " + std::strerror(errno);
    } else {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    ::close(fd);
    return -1;
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

std::vector<std::string> run_troubles() {
    std::vector<std::string> all;
    {
        const std::lock_guard<std::mutex> hold(watched_lock);
        for (const Watched& w : watched())
            if (w.failed) all.push_back(w.name + ": a write failed");
    }
    for (std::string& t : pump_troubles()) all.push_back(std::move(t));
    if (const uint64_t lost = history_rounds_lost()) all.push_back("history: " + counted(lost, "round", "rounds") + " lost");
    const auto dropped = drop_counts();
    const auto queue = dropped.find("notify");
    const unsigned long long unnotified =
        (queue == dropped.end() ? 0 : queue->second) + notify_failures().cannot_run + notify_failures().at_end;
    if (unnotified) all.push_back("on-event: " + std::to_string(unnotified) + " not notified");
    return all;
}

}  // namespace tzv58::tool
