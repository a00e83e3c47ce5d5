#include "tools/common/output_pump.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/common/clock.h"
#include "tools/common/exit_status.h"
#include "tools/common/outputs.h"
#include "tools/common/signals.h"

namespace tzv58::tool {
namespace {

// A descriptor that writes where fd writes and never blocks, leaving fd's own
// open file as it was (a terminal or a pipe it shares with the shell): a
// socket as it is, written with MSG_DONTWAIT; anything else (a pipe, a FIFO,
// a terminal, /dev/full) opened afresh and non-blocking through /proc, or,
// where that cannot be done, a copy made non-blocking.
int nonblocking_writer(int fd, bool& socket, std::string& err) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        err = std::strerror(errno);
        return -1;
    }
    socket = S_ISSOCK(st.st_mode);
    const bool may_block = !socket && !S_ISREG(st.st_mode);
    int w = -1;
    if (may_block)
        w = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (w < 0 && (w = ::fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) {
        err = std::strerror(errno);
        return -1;
    }
    if (may_block) ::fcntl(w, F_SETFL, ::fcntl(w, F_GETFL) | O_NONBLOCK);
    return w;
}

// What the pump reads of its input at once.
constexpr size_t INPUT_CHUNK = 16384;
// A stall is over once everything is written and nothing was dropped (or
// waited for) this long; a wait of a lossless pump is said once it lasts
// this long.
constexpr long long STALL_QUIET_MS = 1000;

long long count_lines(const std::string& s, size_t from) {
    return std::count(s.begin() + std::ptrdiff_t(std::min(from, s.size())), s.end(), '\n');
}

std::mutex counts_lock;
std::map<std::string, std::atomic<unsigned long long>>& drop_counters() {
    static std::map<std::string, std::atomic<unsigned long long>> counters;
    return counters;
}

}  // namespace

class Pump {
public:
    Pump(int target, bool socket, std::string name, PumpOptions options, int input)
        : target_(target),
          socket_(socket),
          name_(std::move(name)),
          o_(std::move(options)),
          input_(input),
          count_(drop_count(o_.label)) {}
    ~Pump() {
        finish(now_ms());
        for (int fd : {target_, input_, wake_[0], wake_[1]})
            if (fd >= 0) ::close(fd);
    }
    Pump(const Pump&) = delete;
    Pump& operator=(const Pump&) = delete;

    bool start(std::string& err) {
        if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
            err = std::strerror(errno);
            return false;
        }
        thread_ = quiet_thread([this] { run(); });
        return true;
    }

    // Whole lines into the queue. A stream's writes come one at a time
    // (stdio locks the stream; the pump's own thread writes the input's).
    void put(const char* data, size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        if (gone_) return;
        partial_.append(data, n);
        size_t from = 0;
        for (size_t nl; (nl = partial_.find('\n', from)) != std::string::npos; from = nl + 1)
            queue_line(lock, from, nl + 1 - from);
        partial_.erase(0, from);
        if (partial_.size() > o_.queue_bytes) {  // a line longer than the queue could never go
            partial_.clear();
            drop(1);
        }
    }

    // Stops taking lines; writes what waits until until_ms; ends the thread
    // and lets go of the target (a reader then sees the end: the --debug
    // relay, a pipe).
    void finish(long long until_ms) {
        {
            std::lock_guard<std::mutex> lock(m_);
            if (!stopping_) stop_at_ = until_ms;
            stopping_ = true;
        }
        poke();
        if (thread_.joinable()) thread_.join();
        if (target_ >= 0) ::close(target_);
        target_ = -1;
    }

    bool take(Dropped& d) {
        std::lock_guard<std::mutex> lock(m_);
        if (!report_.lines) return false;
        d = report_;
        report_ = {};
        return true;
    }

    // A reader that went away wanted no more: what it missed before is no failure.
    bool ok() const {
        std::lock_guard<std::mutex> lock(m_);
        return !failed_ && (dropped_ == 0 || gone_);
    }

    FILE* stream = nullptr;
    int target() const { return target_; }

private:
    enum class Wrote { all, blocked, failed };

    bool fits(size_t len) const { return queue_.size() + in_flight_ + len <= o_.queue_bytes; }

    // Under m_: partial_[from, from + len) into the queue; when it is full,
    // dropped, or (lossless) waited for, unless the program is stopping.
    void queue_line(std::unique_lock<std::mutex>& lock, size_t from, size_t len) {
        const bool may_wait = o_.lossless && std::this_thread::get_id() != thread_.get_id();
        while (may_wait && !fits(len) && !done_ && !gone_ && !g_stop) {
            stalled();
            room_.wait_for(lock, std::chrono::milliseconds(100));
        }
        if (gone_) return;
        if (done_ || !fits(len)) {
            drop(1);
            return;
        }
        if (queue_.empty()) poke();
        queue_.append(partial_, from, len);
    }

    // Under m_: a line dropped, or waited for. A stall begins, and the pump
    // looks at once.
    void stalled() {
        stall_last_ms_ = now_ms();
        if (stall_since_ms_ >= 0) return;
        stall_since_ms_ = stall_last_ms_;
        poke();
    }

    void drop(long long lines) {
        dropped_ += lines;
        stall_lines_ += lines;
        count_ += (unsigned long long)lines;
        stalled();
    }

    // The input is read while its lines can go into the queue; a lossless
    // pump leaves it waiting while the queue is full, and its writer with it.
    bool input_may_be_read() {
        if (input_ < 0) return false;
        if (!o_.lossless) return true;
        std::lock_guard<std::mutex> lock(m_);
        if (done_ || fits(INPUT_CHUNK + partial_.size())) return true;
        stalled();
        return false;
    }

    void poke() {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
    }

    void run();
    bool next_batch(bool& stopping, bool& stalling, long long& until);
    std::string stall_over();
    Wrote write_out();
    void failed(int why);
    void wait(bool for_target, long long until);
    void read_input();
    void end();

    int target_;  // -1 once finished
    const bool socket_;
    const std::string name_;
    const PumpOptions o_;
    const int input_;  // the pipe the pump empties, or -1
    int wake_[2] = {-1, -1};
    std::atomic<unsigned long long>& count_;

    mutable std::mutex m_;
    std::condition_variable room_;  // lossless: the queue has room again
    std::string partial_, queue_;   // a line begun; whole lines waiting
    size_t in_flight_ = 0;          // bytes the pump's thread took and has not written yet
    long long dropped_ = 0;
    long long stall_since_ms_ = -1, stall_last_ms_ = 0, stall_lines_ = 0;  // the stall under way
    bool stall_said_ = false;
    Dropped report_;  // for the writer, when it says what was dropped
    bool stopping_ = false, done_ = false, gone_ = false, failed_ = false;
    long long stop_at_ = 0;

    // The pump's thread alone:
    std::string out_;
    size_t out_at_ = 0;
    std::thread thread_;
};

// Under m_, once everything has gone and nothing was dropped or waited for
// lately: the stall is over, and the stream is told what it missed.
std::string Pump::stall_over() {
    const long long lines = stall_lines_, s = (now_ms() - stall_since_ms_ + 999) / 1000;
    const bool said = stall_said_;
    stall_since_ms_ = -1;
    stall_lines_ = 0;
    stall_said_ = false;
    if (!lines)
        return said ? o_.label + ": reader stalled for " + std::to_string(s) + " s; the --fast run waited for it" : "";
    if (o_.writer_says)
        report_ = {report_.lines + lines, report_.seconds + s};
    else
        out_ = "tzv58-host: " + std::to_string(lines) + " lines dropped here in " + std::to_string(s) +
               " s: the reader stalled\n";
    in_flight_ = out_.size();
    return o_.label + ": reader stalled, " + std::to_string(lines) + " lines dropped in " + std::to_string(s) + " s";
}

// Takes the queue once the last batch is out, and says a stall that begins
// or ends.
bool Pump::next_batch(bool& stopping, bool& stalling, long long& until) {
    std::string begun, ended;
    {
        std::lock_guard<std::mutex> lock(m_);
        if (out_at_ == out_.size()) {
            out_.clear();
            out_at_ = 0;
            out_.swap(queue_);
        }
        in_flight_ = out_.size() - out_at_;
        const long long now = now_ms();
        // A drop is said at once; a wait once it lasts.
        if (stall_since_ms_ >= 0 && !stall_said_ && (stall_lines_ || now - stall_since_ms_ >= STALL_QUIET_MS)) {
            begun = o_.label + (stall_lines_ ? ": reader stalled; lines are dropped until it reads again"
                                             : ": reader stalled; the --fast run waits for it");
            stall_said_ = true;
        }
        if (stall_since_ms_ >= 0 && in_flight_ == 0 && now - stall_last_ms_ >= STALL_QUIET_MS) ended = stall_over();
        stalling = stall_since_ms_ >= 0;
        stopping = stopping_;
        until = stop_at_;
    }
    if (!begun.empty()) say(EXIT_DONE, begun);
    if (!ended.empty()) say(EXIT_DONE, ended);
    return out_at_ < out_.size();
}

void Pump::run() {
    for (;;) {
        read_input();
        bool stopping = false, stalling = false;
        long long until = 0;
        // While a stall lasts, the pump looks again now and then.
        const auto look_again = [&] { return stopping ? until : stalling ? now_ms() + STALL_QUIET_MS / 4 : -1; };
        if (!next_batch(stopping, stalling, until)) {
            if (stopping) break;
            wait(false, look_again());
            continue;
        }
        if (write_out() != Wrote::blocked) continue;
        if (stopping && now_ms() >= until) break;
        wait(true, look_again());
    }
    end();
}

// At the end: what could not be written is dropped, and the stall said.
void Pump::end() {
    read_input();
    std::string ended;
    {
        std::lock_guard<std::mutex> lock(m_);
        done_ = true;
        if (!gone_) {
            const long long left = count_lines(out_, out_at_) + count_lines(queue_, 0) + !partial_.empty();
            if (left) drop(left);
        }
        queue_.clear();
        partial_.clear();
        // Lines that only the end left unwritten were not dropped over time.
        const long long ms = now_ms() - stall_since_ms_;
        if (stall_since_ms_ >= 0 && stall_lines_ && !gone_)
            ended = o_.label + ": reader stalled, " + std::to_string(stall_lines_) + " lines dropped " +
                    (ms < 1000 ? std::string("at the end") : "in " + std::to_string((ms + 999) / 1000) + " s");
        stall_since_ms_ = -1;
    }
    room_.notify_all();
    if (!ended.empty()) say(EXIT_DONE, ended);
}

Pump::Wrote Pump::write_out() {
    while (out_at_ < out_.size()) {
        const char* p = out_.data() + out_at_;
        const size_t len = out_.size() - out_at_;
        const ssize_t n = socket_ ? ::send(target_, p, len, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(target_, p, len);
        if (n > 0) {
            out_at_ += size_t(n);
            {
                std::lock_guard<std::mutex> lock(m_);
                in_flight_ = out_.size() - out_at_;
            }
            room_.notify_all();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Wrote::blocked;
        failed(n < 0 ? errno : 0);
        return Wrote::failed;
    }
    return Wrote::all;
}

// The reader went away (the program is asked to stop), or a write failed
// (said once; later lines are tried again). What failed is not counted as
// dropped: the failure is said instead.
void Pump::failed(int why) {
    out_at_ = out_.size();
    const bool gone = why == EPIPE || why == ECONNRESET;
    bool first;
    {
        std::lock_guard<std::mutex> lock(m_);
        in_flight_ = 0;
        first = gone ? !gone_ : !failed_;
        gone_ = gone_ || gone;
        failed_ = failed_ || !gone;
        if (gone) queue_.clear();
    }
    room_.notify_all();
    if (gone) {
        if (!g_stop) say(EXIT_DONE, "the reader of " + name_ + " went away (broken pipe); stopping");
        g_stop = 1;
    } else if (first) {
        say(EXIT_FAIL, "cannot write " + name_ + ": " + (why ? std::strerror(why) : "a write failed"));
    }
}

// Until a line comes, the input brings more, or (for_target) the target
// takes more. A lossless pump with a full queue leaves its input waiting.
void Pump::wait(bool for_target, long long until) {
    pollfd fds[3] = {{wake_[0], POLLIN, 0}, {input_may_be_read() ? input_ : -1, POLLIN, 0}, {target_, POLLOUT, 0}};
    if (!for_target) fds[2].fd = -1;
    const int timeout = until < 0 ? -1 : int(std::max(0LL, until - now_ms()));
    ::poll(fds, 3, timeout);
    char buf[64];
    while (::read(wake_[0], buf, sizeof buf) > 0) {}
}

void Pump::read_input() {
    char buf[INPUT_CHUNK];
    ssize_t n;
    while (input_may_be_read() && ((n = ::read(input_, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0) put(buf, size_t(n));
}

namespace {

std::mutex pumps_lock;
std::vector<std::unique_ptr<Pump>>& pumps() {
    static std::vector<std::unique_ptr<Pump>> all;
    return all;
}

Pump* pump_of(FILE* out) {
    for (const auto& p : pumps())
        if (p->stream == out) return p.get();
    return nullptr;
}

ssize_t into_pump(void* pump, const char* data, size_t n) {
    static_cast<Pump*>(pump)->put(data, n);
    return ssize_t(n);
}

bool start_pump(std::unique_ptr<Pump> pump, const std::string& name, std::string& err) {
    if (!pump->start(err)) {
        err = "cannot write " + name + ": " + err;
        return false;
    }
    std::lock_guard<std::mutex> lock(pumps_lock);
    pumps().push_back(std::move(pump));
    return true;
}

}  // namespace

namespace {

// A file on disk has no reader to wait for: it is written at once, as
// before, and what the program printed is there when it is killed.
bool on_disk(int fd, const PumpOptions& options) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    drop_count(options.label);  // in the metrics, at 0
    return true;
}

}  // namespace

bool pump_stream(FILE*& out, const std::string& name, const PumpOptions& options, std::string& err) {
    std::fflush(out);
    if (on_disk(::fileno(out), options)) return true;
    bool socket = false;
    const int target = nonblocking_writer(::fileno(out), socket, err);
    if (target < 0) {
        err = "cannot write " + name + ": " + err;
        return false;
    }
    auto pump = std::make_unique<Pump>(target, socket, name, options, -1);
    const cookie_io_functions_t into = {nullptr, into_pump, nullptr, nullptr};
    FILE* pumped = ::fopencookie(pump.get(), "w", into);
    if (!pumped) {
        err = "cannot write " + name + ": " + std::strerror(errno);
        return false;
    }
    pump->stream = pumped;
    if (!start_pump(std::move(pump), name, err)) {
        std::fclose(pumped);
        return false;
    }
    unwatch_output(out);
    std::fclose(out);
    out = pumped;
    watch_output(out, name);
    return true;
}

bool pump_descriptor(int fd, FILE* stream, const std::string& name, const PumpOptions& options, std::string& err) {
    std::fflush(stream);
    if (on_disk(fd, options)) return true;
    bool socket = false;
    const int target = nonblocking_writer(fd, socket, err);
    int pipe_fds[2] = {-1, -1};
    if (target < 0 || ::pipe2(pipe_fds, O_CLOEXEC) != 0 || ::dup2(pipe_fds[1], fd) < 0) {
        if (target >= 0) err = std::strerror(errno);
        err = "cannot write " + name + ": " + err;
        for (int d : {target, pipe_fds[0], pipe_fds[1]})
            if (d >= 0) ::close(d);
        return false;
    }
    ::close(pipe_fds[1]);
    // The writer's end blocks only while the pump's thread is kept from
    // running, or (lossless) while the queue is full: otherwise the pump
    // empties the pipe as it fills, dropping lines itself.
    ::fcntl(pipe_fds[0], F_SETFL, ::fcntl(pipe_fds[0], F_GETFL) | O_NONBLOCK);
    auto pump = std::make_unique<Pump>(target, socket, name, options, pipe_fds[0]);
    pump->stream = stream;
    return start_pump(std::move(pump), name, err);
}

bool take_dropped(FILE* out, Dropped& dropped) {
    std::lock_guard<std::mutex> lock(pumps_lock);
    Pump* p = pump_of(out);
    return p && p->take(dropped);
}

int pumped_descriptor(FILE* out) {
    std::lock_guard<std::mutex> lock(pumps_lock);
    Pump* p = pump_of(out);
    return p ? p->target() : -1;
}

void finish_pumps(int wait_ms) {
    const long long until = now_ms() + wait_ms;
    std::lock_guard<std::mutex> lock(pumps_lock);
    for (const auto& p : pumps()) p->finish(until);
}

bool pumps_ok() {
    std::lock_guard<std::mutex> lock(pumps_lock);
    bool ok = true;
    for (const auto& p : pumps()) ok = p->ok() && ok;
    return ok;
}

std::atomic<unsigned long long>& drop_count(const std::string& consumer) {
    std::lock_guard<std::mutex> lock(counts_lock);
    return drop_counters().try_emplace(consumer, 0ULL).first->second;
}

std::map<std::string, unsigned long long> drop_counts() {
    std::lock_guard<std::mutex> lock(counts_lock);
    std::map<std::string, unsigned long long> now;
    for (const auto& c : drop_counters()) now[c.first] = c.second;
    return now;
}

}  // namespace tzv58::tool
