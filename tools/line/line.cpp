#include "tools/line/line.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "host/serial_port.h"
#include "tools/common/clock.h"
#include "tools/common/exit_status.h"
#include "tools/common/signals.h"
#include "tools/common/turns.h"

namespace tzv58::tool {

namespace {

// The cause of a failed open in the words of the link's messages, or nullptr
// for one that has no such words (the system's text is shown).
const char* open_cause(int why) {
    switch (why) {
    case EBUSY:
        return "port busy";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "no such port";
    case EACCES:
    case EPERM:
        return "no permission";
    default:
        return nullptr;
    }
}

}  // namespace

Line::~Line() {
    if (fd_ >= 0) ::close(fd_);
}

Line::Opened Line::open(bool wait_port, std::string& err) {
    fd_ = open_serial_port(path_, baud_, err);
    if (fd_ >= 0) {
        if (link_) link_->link_state("open");
        return Opened::yes;
    }
    const int why = errno;
    const bool busy = why == EBUSY, absent = why == ENOENT || why == ENODEV || why == ENXIO;
    if (!busy && !absent) return Opened::failed;
    if (wait_port) {
        lost_at_ms_ = now_ms();
        waiting_for_ = open_cause(why);
        down_cause_ = path_ + ": " + waiting_for_;
        return Opened::waiting;
    }
    err = path_ + (busy ? ": port is busy (locked by another process)" : ": no such port") + "; --wait-port waits for it";
    return busy ? Opened::busy : Opened::absent;
}

LineWait Line::wait_input(int timeout_ms) {
    const Waiting waiting;
    return pace_ ? pace_->wait(fd_, timeout_ms) : tzv58::wait_input(fd_, timeout_ms);
}

void Line::discard() {
    const Waiting waiting;
    if (pace_)
        pace_->discard(fd_);
    else
        discard_input(fd_);
}

Line::Received Line::receive(uint8_t* buf, size_t cap, int timeout_ms, size_t& n) {
    n = 0;
    switch (wait_input(timeout_ms)) {
    case LineWait::interrupted:
        return Received::interrupted;
    case LineWait::timeout:
        return Received::timeout;
    case LineWait::hangup:
        return Received::hangup;
    case LineWait::input:
        break;
    }
    const ssize_t r = ::read(fd_, buf, cap);
    if (r > 0) {
        n = size_t(r);
        if (pace_) pace_->read(n);
        return Received::bytes;
    }
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) return Received::interrupted;
    return Received::hangup;
}

void Line::lost() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    went("hang-up");
}

bool Line::try_reopen() {
    if (link_ && (failures_.count() < 10 || (failures_.count() + 1) % 100 == 0)) link_->link_state("reopening");
    wait_(delay_ms_);
    if (g_stop) return false;
    std::string err;
    fd_ = open_serial_port(path_, baud_, err);
    if (fd_ >= 0) {
        failures_.ok();
        delay_ms_ = 500;
        came_back();
        return true;
    }
    const char* cause = open_cause(errno);
    down_cause_ = cause ? path_ + ": " + cause : err;
    if (failures_.fail()) {
        const long n = failures_.count();
        tell(stderr,
             "reopening failed " + std::to_string(n) + (n == 1 ? " time" : " times") + " in a row: " + down_cause_);
    }
    delay_ms_ = delay_ms_ >= 15000 ? 30000 : delay_ms_ * 2;
    return false;
}

void Line::report_waiting() {
    const char* cause = waiting_for_;
    waiting_for_ = nullptr;
    if (cause && link_) link_->link_lost(cause);
}

void Line::went(const char* cause) {
    lost_at_ms_ = now_ms();
    down_cause_ = path_ + ": " + cause;
    if (link_) link_->link_lost(cause);
}

void Line::came_back() {
    if (lost_at_ms_ < 0) return;
    report_waiting();  // a restored link was lost first
    const long long down_s = (now_ms() - lost_at_ms_ + 500) / 1000;
    lost_at_ms_ = -1;
    down_cause_.clear();
    if (link_) link_->link_restored(down_s);
}

}  // namespace tzv58::tool
