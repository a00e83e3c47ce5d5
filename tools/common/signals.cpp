#include "tools/common/signals.h"

#include <poll.h>
#include <pthread.h>

#include <cerrno>

#include "tools/common/turns.h"

namespace tzv58::tool {

std::atomic<int> g_stop{0};
std::atomic<int> g_reopen{0};
static_assert(std::atomic<int>::is_always_lock_free, "set in a signal handler");

namespace {
void on_stop(int) {
    const int saved = errno;
    g_stop = 1;
    errno = saved;
}
void on_hangup(int) {
    const int saved = errno;
    g_reopen = 1;
    errno = saved;
}
}  // namespace

void install_stop_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a waiting poll() returns at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_hangup;
    sigaction(SIGHUP, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
    sigaction(SIGXFSZ, &sa, nullptr);
    // A parent may have started the program with them blocked: they would
    // never arrive (and one already pending arrives now).
    sigset_t stops;
    sigemptyset(&stops);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}

void nap(int ms) {
    const Waiting waiting;
    while (ms > 0 && !g_stop) {
        const int step = ms < 100 ? ms : 100;
        ::poll(nullptr, 0, step);
        ms -= step;
    }
}

SignalsBlocked::SignalsBlocked() {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

}  // namespace tzv58::tool
