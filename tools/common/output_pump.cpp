#include "tools/common/counted.h"
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
#include <string_view>
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

std::string lines_dropped(const std::string& label, long long n) {
    return label + ": " + std::to_string(n) + (n == 1 ? " line" : " lines") + " dropped";
}

std::mutex counts_lock;
std::map<std::string, std::atomic<unsigned long long>>& drop_counters() {
    static std::map<std::string, std::atomic<unsigned long long>> counters;
    return counters;
}

}  // namespace

// What a stream of the program's writes into (through fopencookie), or a
// descriptor's pipe feeds: a pump, or a file on disk.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void put(const char* data, size_t n) = 0;
    // Ends it: what waits is written until until_ms; a loss under way is said.
    virtual void finish(long long until_ms) = 0;
    virtual bool take(Dropped& d) = 0;
    // Why it makes the run's status 1 ("events: 212 lines dropped"); "" while
    // it does not.
    virtual std::string trouble() const = 0;
    bool ok() const { return trouble().empty(); }
    // Where its lines go (for reopening after log rotation); -1 once finished.
    virtual int descriptor() const = 0;

    FILE* stream = nullptr;
};

// A file on disk that the program appends to. Nothing reads it to wait for:
// its lines are written at once, on the writer's thread, so that what was
// printed is there when the program is killed; and only whole lines. A write
// that fails (a full disk, the file-size limit, an I/O error) is cut back to
// the last whole line it wrote (the file is ours, appended to by us alone),
// and its lines are dropped and counted; the next lines are tried as they
// come. The first loss is said ("cannot write NAME: REASON; lines are
// dropped until it can be written again"), and so is the first write that
// succeeds once nothing was lost for a second ("NAME is written again, 212
// lines dropped in 18 s (REASON)"), after which the stream tells its reader
// as a pump does: a line of its own, or its writer's (take_dropped).
class LineFile : public Sink {
public:
    LineFile(int fd, std::string name, PumpOptions options)
        : fd_(fd), name_(std::move(name)), o_(std::move(options)), count_(drop_count(o_.label)) {}
    ~LineFile() override {
        if (fd_ >= 0) ::close(fd_);
    }
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    void put(const char* data, size_t n) override {
        std::string said;
        {
            std::lock_guard<std::mutex> lock(m_);
            partial_.append(data, n);
            const size_t end = partial_.rfind('\n');
            if (end != std::string::npos) {
                said = write_lines(end + 1);
                partial_.erase(0, end + 1);
            } else if (partial_.size() > PUMP_QUEUE_BYTES) {  // no line is that long
                partial_.clear();
                said = lost(1, EMSGSIZE);
            }
        }
        // Outside the lock: standard error may be a file of this kind too.
        if (!said.empty() && !o_.quiet) say(EXIT_FAIL, said);
    }

    void finish(long long) override {
        std::string said;
        {
            std::lock_guard<std::mutex> lock(m_);
            if (!partial_.empty()) lost(1, why_ ? why_ : EIO);
            partial_.clear();
            if (since_ms_ >= 0)
                said = name_ + ": " + counted(lost_, "line", "lines") + " dropped in " + seconds_since(since_ms_) +
                       " s, to the end (" + std::strerror(why_) + ")";
            since_ms_ = -1;
        }
        if (!said.empty() && !o_.quiet) say(EXIT_FAIL, said);
    }

    bool take(Dropped& d) override {
        std::lock_guard<std::mutex> lock(m_);
        if (!report_.lines) return false;
        d = report_;
        report_ = {};
        return true;
    }

    std::string trouble() const override {
        std::lock_guard<std::mutex> lock(m_);
        return dropped_ ? lines_dropped(o_.label, dropped_) : "";
    }

    int descriptor() const override { return fd_; }

private:
    static std::string seconds_since(long long ms) { return std::to_string((now_ms() - ms + 999) / 1000); }

    // Under m_: appends text whole, or cuts the file back to the last whole
    // line written (only when nothing but this write has grown it). The
    // lines lost; why says why.
    long long append(const char* text, size_t size, int& why) {
        struct stat st {};
        const off_t start = ::fstat(fd_, &st) == 0 ? st.st_size : -1;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd_, text + done, size - done);
            if (n > 0) {
                done += size_t(n);
            } else if (n == 0 || errno != EINTR) {
                why = n < 0 ? errno : EIO;
                break;
            }
        }
        if (done == size) return 0;
        const std::string_view written(text, done);
        const size_t last = done ? written.rfind('\n') : std::string_view::npos;
        const size_t keep = last == std::string_view::npos ? 0 : last + 1;
        if (done > keep && start >= 0 && ::fstat(fd_, &st) == 0 && st.st_size == start + off_t(done))
            [[maybe_unused]] const int cut = ::ftruncate(fd_, start + off_t(keep));
        return std::count(text + keep, text + size, '\n');
    }

    // Under m_: the first `size` bytes of partial_, whole lines. What to say.
    std::string write_lines(size_t size) {
        int why = 0;
        const long long lines = append(partial_.data(), size, why);
        if (lines) return lost(lines, why);
        // Over once nothing was lost for a while (a disk just short of
        // full takes some lines and not others).
        if (since_ms_ < 0 || now_ms() - last_loss_ms_ < STALL_QUIET_MS) return "";
        const std::string s = seconds_since(since_ms_), reason = std::strerror(why_);
        if (o_.writer_says) {
            report_ = {report_.lines + lost_, report_.seconds + std::stoll(s)};
        } else {
            const std::string note =
                "tzv58-host: " + counted(lost_, "line", "lines") + " dropped here in " + s + " s: " + reason + "\n";
            int ignored = 0;
            append(note.data(), note.size(), ignored);
        }
        const std::string said =
            name_ + " is written again, " + counted(lost_, "line", "lines") + " dropped in " + s + " s (" + reason + ")";
        since_ms_ = -1;
        lost_ = 0;
        return said;
    }

    // Under m_: lines dropped. What to say when a loss begins.
    std::string lost(long long lines, int why) {
        lost_ += lines;
        dropped_ += lines;
        count_ += (unsigned long long)lines;
        last_loss_ms_ = now_ms();
        if (since_ms_ >= 0) return "";
        since_ms_ = last_loss_ms_;
        why_ = why;
        return "cannot write " + name_ + ": " + std::strerror(why) + "; lines are dropped until it can be written again";
    }

    const int fd_;
    const std::string name_;
    const PumpOptions o_;
    std::atomic<unsigned long long>& count_;

    mutable std::mutex m_;
    std::string partial_;  // a line begun
    long long lost_ = 0, since_ms_ = -1, last_loss_ms_ = 0;  // the loss under way: lines, since when, last
    long long dropped_ = 0;                                  // all lines lost
    int why_ = 0;
    Dropped report_;
};

class Pump : public Sink {
public:
    Pump(int target, bool socket, std::string name, PumpOptions options, int input)
        : target_(target),
          socket_(socket),
          name_(std::move(name)),
          o_(std::move(options)),
          input_(input),
          count_(drop_count(o_.label)) {}
    ~Pump() override {
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

    // A descriptor's pump for a file on disk hands the lines to it instead
    // of queueing them.
    void write_to(std::unique_ptr<LineFile> file) { file_ = std::move(file); }

    // Whole lines into the queue. A stream's writes come one at a time
    // (stdio locks the stream; the pump's own thread writes the input's).
    void put(const char* data, size_t n) override {
        if (file_) return file_->put(data, n);
        std::unique_lock<std::mutex> lock(m_);
        if (gone_) return;
        partial_.append(data, n);
        size_t from = 0;
        for (size_t nl; (nl = partial_.find('\n', from)) != std::string::npos; from = nl + 1)
            queue_line(lock, from, nl + 1 - from);
        partial_.erase(0, from);
        if (partial_.size() > PUMP_QUEUE_BYTES) {  // no line is that long
            partial_.clear();
            drop(1);
        }
    }

    // Stops taking lines; writes what waits until until_ms; ends the thread
    // and lets go of the target (a reader then sees the end: the --debug
    // relay, a pipe).
    void finish(long long until_ms) override {
        {
            std::lock_guard<std::mutex> lock(m_);
            if (!stopping_) stop_at_ = until_ms;
            stopping_ = true;
        }
        poke();
        if (thread_.joinable()) thread_.join();
        if (target_ >= 0) ::close(target_);
        target_ = -1;
        if (file_) file_->finish(until_ms);
    }

    bool take(Dropped& d) override {
        std::lock_guard<std::mutex> lock(m_);
        if (!report_.lines) return false;
        d = report_;
        report_ = {};
        return true;
    }

    // A reader that went away wanted no more: what it missed before is no failure.
    std::string trouble() const override {
        if (file_) return file_->trouble();
        std::lock_guard<std::mutex> lock(m_);
        if (failed_) return o_.label + ": a write failed";
        return dropped_ && !gone_ ? lines_dropped(o_.label, dropped_) : "";
    }

    int descriptor() const override { return file_ ? file_->descriptor() : target_; }

private:
    enum class Wrote { all, blocked, failed };

    // A line longer than a small queue goes alone, once the queue is empty.
    bool fits(size_t len) const {
        const size_t held = queue_.size() + in_flight_;
        return held == 0 || held + len <= o_.queue_bytes;
    }

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
    std::string stall_text(long long lines, long long s) const;
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

    std::unique_ptr<LineFile> file_;  // a file on disk, written by the pump's thread

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
    if (!lines) return said ? stall_text(0, s) : "";
    if (o_.writer_says)
        report_ = {report_.lines + lines, report_.seconds + s};
    else
        out_ = "tzv58-host: " + counted(lines, "line", "lines") + " dropped here in " + std::to_string(s) +
               " s: the reader stalled\n";
    in_flight_ = out_.size();
    return stall_text(lines, s);
}

// What a stall came to. A lossless pump waited for its reader all along: it
// drops lines only as the program ends (stopped, or its last second).
std::string Pump::stall_text(long long lines, long long s) const {
    const std::string n = counted(lines, "line", "lines"), in = std::to_string(s) + " s";
    if (!o_.lossless) return o_.label + ": reader stalled, " + n + " dropped in " + in;
    return o_.label + ": reader stalled for " + in + "; the --fast run waited for it" +
           (lines ? ", then dropped " + n + " at the end" : "");
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
        if (stall_since_ms_ >= 0 && !stall_said_ && !o_.quiet &&
            (stall_lines_ || now - stall_since_ms_ >= STALL_QUIET_MS)) {
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
    if (!ended.empty() && !o_.quiet) say(EXIT_DONE, ended);
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
        if (stall_since_ms_ >= 0 && o_.lossless && (stall_lines_ || stall_said_) && !gone_)
            ended = stall_text(stall_lines_, (ms + 999) / 1000);
        else if (stall_since_ms_ >= 0 && stall_lines_ && !gone_)
            ended = o_.label + ": reader stalled, " + counted(stall_lines_, "line", "lines") + " dropped " +
                    (ms < 1000 ? std::string("at the end") : "in " + std::to_string((ms + 999) / 1000) + " s");
        stall_since_ms_ = -1;
    }
    room_.notify_all();
    if (ended.empty()) return;
    if (!o_.quiet) {
        say(EXIT_DONE, ended);
        return;
    }
    // Standard error: told there if it takes the line at once.
    const std::string line = "tzv58-host: " + ended + "\n";
    [[maybe_unused]] const ssize_t n = socket_ ? ::send(target_, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                                               : ::write(target_, line.data(), line.size());
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
    if (o_.quiet) return;
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

std::mutex sinks_lock;
std::vector<std::unique_ptr<Sink>>& sinks() {
    static std::vector<std::unique_ptr<Sink>> all;
    return all;
}

Sink* sink_of(FILE* out) {
    for (const auto& s : sinks())
        if (s->stream == out) return s.get();
    return nullptr;
}

ssize_t into_sink(void* sink, const char* data, size_t n) {
    static_cast<Sink*>(sink)->put(data, n);
    return ssize_t(n);
}

bool on_disk(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// A sink for what fd writes to: a LineFile on a copy of fd for a file on
// disk, else a started pump on a non-blocking descriptor of its own; and a
// stream into it. nullptr with a one-line reason.
std::unique_ptr<Sink> sink_for(int fd, const std::string& name, const PumpOptions& options, std::string& err) {
    drop_count(options.label);  // in the metrics, at 0
    if (on_disk(fd)) {
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (copy < 0) err = "cannot write " + name + ": " + std::strerror(errno);
        return copy < 0 ? nullptr : std::make_unique<LineFile>(copy, name, options);
    }
    bool socket = false;
    const int target = nonblocking_writer(fd, socket, err);
    std::unique_ptr<Pump> pump;
    if (target >= 0) pump = std::make_unique<Pump>(target, socket, name, options, -1);
    if (!pump || !pump->start(err)) {
        err = "cannot write " + name + ": " + err;
        return nullptr;
    }
    return pump;
}

FILE* stream_into(Sink& sink, std::string& err, const std::string& name) {
    const cookie_io_functions_t into = {nullptr, into_sink, nullptr, nullptr};
    FILE* stream = ::fopencookie(&sink, "w", into);
    if (!stream) err = "cannot write " + name + ": " + std::strerror(errno);
    return stream;
}

}  // namespace

bool pump_stream(FILE*& out, const std::string& name, const PumpOptions& options, std::string& err) {
    std::fflush(out);
    std::unique_ptr<Sink> sink = sink_for(::fileno(out), name, options, err);
    FILE* pumped = sink ? stream_into(*sink, err, name) : nullptr;
    if (!pumped) return false;
    sink->stream = pumped;
    {
        std::lock_guard<std::mutex> lock(sinks_lock);
        sinks().push_back(std::move(sink));
    }
    unwatch_output(out);
    std::fclose(out);
    out = pumped;
    watch_output(out, name);
    return true;
}

bool pump_descriptor(int fd, FILE* stream, const std::string& name, const PumpOptions& options, std::string& err) {
    std::fflush(stream);
    drop_count(options.label);  // in the metrics, at 0
    // A file on disk is written by the pump's thread as its lines come, whole.
    const bool file = on_disk(fd);
    bool socket = false;
    const int target = file ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : nonblocking_writer(fd, socket, err);
    int pipe_fds[2] = {-1, -1};
    if (target < 0 || ::pipe2(pipe_fds, O_CLOEXEC) != 0 || ::dup2(pipe_fds[1], fd) < 0) {
        if (target >= 0 || file) err = std::strerror(errno);
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
    auto pump = std::make_unique<Pump>(file ? -1 : target, socket, name, options, pipe_fds[0]);
    if (file) pump->write_to(std::make_unique<LineFile>(target, name, options));
    pump->stream = stream;
    if (!pump->start(err)) {
        err = "cannot write " + name + ": " + err;
        return false;
    }
    std::lock_guard<std::mutex> lock(sinks_lock);
    sinks().push_back(std::move(pump));
    return true;
}

namespace {

// Standard error's sink, and the process's own stream it stands in for.
// Never destroyed: a thread may still hold the pumped stream at exit.
Sink* stderr_sink = nullptr;
FILE* own_stderr = nullptr;

}  // namespace

bool pump_stderr(const PumpOptions& options, std::string& err) {
    if (stderr_sink) return true;
    std::fflush(stderr);
    PumpOptions o = options;
    o.label = "stderr";
    o.lossless = false;
    o.quiet = true;
    std::unique_ptr<Sink> sink = sink_for(2, "standard error", o, err);
    FILE* pumped = sink ? stream_into(*sink, err, "standard error") : nullptr;
    if (!pumped) return false;
    // A line at a time, as the program writes them.
    std::setvbuf(pumped, nullptr, _IOLBF, 0);
    sink->stream = pumped;
    stderr_sink = sink.release();
    own_stderr = stderr;
    stderr = pumped;  // the C library's stderr is a variable of its own
    return true;
}

void unpump_stderr_in_child() {
    if (own_stderr) stderr = own_stderr;
}

bool finish_stderr_pump(int wait_ms) {
    if (!stderr_sink) return true;
    std::fflush(stderr);
    stderr_sink->finish(now_ms() + wait_ms);
    stderr = own_stderr;
    return stderr_sink->ok();
}

bool take_dropped(FILE* out, Dropped& dropped) {
    std::lock_guard<std::mutex> lock(sinks_lock);
    Sink* s = sink_of(out);
    return s && s->take(dropped);
}

int pumped_descriptor(FILE* out) {
    std::lock_guard<std::mutex> lock(sinks_lock);
    Sink* s = sink_of(out);
    return s ? s->descriptor() : -1;
}

void finish_pumps(int wait_ms) {
    const long long until = now_ms() + wait_ms;
    std::lock_guard<std::mutex> lock(sinks_lock);
    for (const auto& s : sinks()) s->finish(until);
}

bool pumps_ok() {
    std::lock_guard<std::mutex> lock(sinks_lock);
    bool ok = true;
    for (const auto& s : sinks()) ok = s->ok() && ok;
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

std::vector<std::string> pump_troubles() {
    std::vector<std::string> all;
    std::lock_guard<std::mutex> lock(sinks_lock);
    for (const auto& s : sinks())
        if (!s->ok()) all.push_back(s->trouble());
    if (stderr_sink && !stderr_sink->ok()) all.push_back(stderr_sink->trouble());
    return all;
}

}  // namespace tzv58::tool
