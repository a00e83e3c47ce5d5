// One run of the on-event program for one notice: started with posix_spawn
// (no shell) in a process group of its own, with a clean environment,
// standard input from /dev/null, standard output discarded and standard
// error relayed line by line to the program's, each line naming the event,
// up to a limit: past it the host stops reading (the program then gets
// SIGPIPE), so a program that writes without end costs it nothing. When the
// program ends, what it left running in its process group is killed.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tzv58::tool {

// An event for the on-event program.
struct Notice {
    std::string label;             // names the event on stderr: "raised PowerOff 419415001 (输入电源中断告警)"
    std::string line;              // the program's one argument: the summary's line
    std::vector<std::string> env;  // NAME=value, besides the kept environment
};

// The variables a program run keeps from the host program's environment
// (PATH, HOME, LANG, LC_*, TZ, proxies, ...), as NAME=value; PATH is
// always there.
std::vector<std::string> kept_environment(char** environ_);

// The program to run for --on-event: a path (with a slash) or a name looked
// up in PATH, which must be an executable file. false with a reason.
bool find_program(const std::string& name, const char* path_variable, std::string& found, std::string& err);

class ProgramRun {
public:
    // Starts program with the notice; nullptr with a reason in err.
    static std::unique_ptr<ProgramRun> start(const std::string& program, const std::vector<std::string>& kept_env,
                                             Notice notice, long long now_ms, std::string& err);
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // Its standard error, while open; -1 once read to the end.
    int stderr_fd() const { return err_fd_; }
    // Relays whole lines of what its standard error holds to `to`, each as
    // "tzv58-host: on-event LABEL: TEXT", at most `limit` bytes in all; past
    // them its standard error is closed. at_end: what is left of a last line
    // goes too, and a closing said.
    void relay(FILE* to, size_t limit, bool at_end);
    // True once it has ended, what it left in its process group has been
    // killed, and it has been reaped.
    bool reap();
    // Sends sig to its process group unless it was reaped; why: the reason
    // its outcome gives ("the 30 s limit").
    void stop(int sig, const std::string& why, long long now_ms);
    // After reap: how it ended, in words ("exit status 7 after 0.2 s").
    std::string outcome(long long now_ms) const;
    // After reap: it ended with status 0 by itself and showed nothing of its
    // standard error, which is no news.
    bool quiet_success() const;

    const std::string& label() const { return notice_.label; }
    long long started_ms() const { return started_ms_; }
    int stop_signal() const { return stop_signal_; }
    long long stopped_ms() const { return stopped_ms_; }
    bool stopped() const { return stop_signal_ != 0; }

private:
    ProgramRun(Notice notice, pid_t pid, int err_fd, long long now_ms)
        : notice_(std::move(notice)), pid_(pid), err_fd_(err_fd), started_ms_(now_ms) {}
    void emit(FILE* to, const std::string& text);

    Notice notice_;
    pid_t pid_;
    int err_fd_;
    long long started_ms_;
    int status_ = 0;
    bool status_known_ = false;
    bool reaped_ = false;
    int stop_signal_ = 0;
    long long stopped_ms_ = 0;  // the first stop
    std::string stop_why_;
    std::string partial_;  // a line begun
    size_t read_ = 0;      // bytes of standard error read
    bool shown_ = false;   // a line of its standard error was shown
    bool cut_ = false;     // closed past the limit
};

}  // namespace tzv58::tool
