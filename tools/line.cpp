#include "tools/line.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "host/serial_port.h"

namespace tzv58::tool {

volatile std::sig_atomic_t g_stop = 0;

namespace {
void on_stop(int) { g_stop = 1; }
}  // namespace

void install_stop_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a waiting poll() returns at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void nap(int ms) {
    while (ms > 0 && !g_stop) {
        const int step = ms < 100 ? ms : 100;
        ::poll(nullptr, 0, step);
        ms -= step;
    }
}

Line::~Line() {
    if (fd_ >= 0) ::close(fd_);
}

bool Line::open(std::string& err) {
    fd_ = open_serial_port(path_, baud_, err);
    if (fd_ < 0) return false;
    events_.link("open");
    return true;
}

void Line::lost() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    events_.link("lost");
    std::fprintf(stderr, "tzv58-host: %s: line lost (hang-up)\n", path_.c_str());
}

bool Line::reopen() {
    int delay_ms = 500;
    while (!g_stop) {
        if (failures_.count() < 10 || (failures_.count() + 1) % 100 == 0) events_.link("reopening");
        nap(delay_ms);
        if (g_stop) break;
        std::string err;
        fd_ = open_serial_port(path_, baud_, err);
        if (fd_ >= 0) {
            failures_.ok();
            events_.link("open");
            return true;
        }
        if (failures_.fail())
            std::fprintf(stderr, "tzv58-host: reopening failed %ld times in a row: %s\n", failures_.count(),
                         err.c_str());
        delay_ms = delay_ms >= 15000 ? 30000 : delay_ms * 2;
    }
    return false;
}

}  // namespace tzv58::tool
