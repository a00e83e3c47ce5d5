// Signals of the host program: SIGINT and SIGTERM ask every wait to end;
// SIGHUP asks for the output files to be reopened (log rotation); SIGPIPE
// and SIGXFSZ are ignored, so that a write to a closed pipe or past the file
// size limit fails with an error the program handles. Threads beside the
// main one take no signal at all.
#pragma once

#include <atomic>
#include <csignal>
#include <thread>
#include <utility>

namespace tzv58::tool {

// Set by SIGINT and SIGTERM: every wait of the host ends early. Atomic (and
// lock-free, so a signal handler may set it): the threads of a site's ports
// read it too.
extern std::atomic<int> g_stop;
// Set by SIGHUP; taken (exchanged for 0) by whoever reopens the files.
extern std::atomic<int> g_reopen;
// Installs the handlers, and lets the three through on the calling thread
// if they were blocked.
void install_stop_handlers();

// Sleeps up to ms milliseconds; a stop request ends it early.
void nap(int ms);

// Blocks SIGINT, SIGTERM, SIGHUP and SIGPIPE on the calling thread while it lives, so
// that a thread started meanwhile inherits the mask.
class SignalsBlocked {
public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t old_;
};

// A thread that takes none of these signals: they stay with the main
// thread, whose waits they end.
template <class F>
std::thread quiet_thread(F&& f) {
    SignalsBlocked blocked;
    return std::thread(std::forward<F>(f));
}

}  // namespace tzv58::tool
