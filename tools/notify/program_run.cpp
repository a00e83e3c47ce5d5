#include "tools/notify/program_run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/common/exit_status.h"

namespace tzv58::tool {
namespace {

// A line of a program's standard error longer than this is shown in pieces.
constexpr size_t LINE_BYTES = 400;

bool kept_name(const std::string& name) {
    static const char* const KEPT[] = {"PATH",        "HOME",     "USER",       "LOGNAME",     "SHELL",
                                       "LANG",        "LANGUAGE", "TZ",         "TMPDIR",      "http_proxy",
                                       "https_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY"};
    for (const char* k : KEPT)
        if (name == k) return true;
    return name.compare(0, 3, "LC_") == 0;
}

bool executable_file(const std::string& path, std::string& why) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        why = "a folder, not a program";
        return false;
    }
    if (!S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) != 0) {
        why = "not an executable file";
        return false;
    }
    return true;
}

const char* signal_name(int sig) {
    switch (sig) {
    case SIGTERM:
        return "SIGTERM";
    case SIGKILL:
        return "SIGKILL";
    case SIGINT:
        return "SIGINT";
    case SIGSEGV:
        return "SIGSEGV";
    case SIGABRT:
        return "SIGABRT";
    case SIGPIPE:
        return "SIGPIPE";
    default:
        return "a signal";
    }
}

// Standard input and output on /dev/null, standard error into the pipe,
// nothing else of the host program's descriptors.
void plan_descriptors(posix_spawn_file_actions_t& fa, int err_w) {
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, err_w, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
#endif
}

// A process group of its own (stopped as a whole, untouched by a Ctrl-C
// meant for the host program), no signal blocked, the host's handled ones
// back to their defaults.
void plan_attributes(posix_spawnattr_t& attr) {
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGCHLD, SIGXFSZ})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
}

}  // namespace

std::vector<std::string> kept_environment(char** env) {
    std::vector<std::string> kept;
    bool path = false;
    for (char** e = env; e && *e; ++e) {
        const std::string var = *e;
        const size_t eq = var.find('=');
        if (eq == std::string::npos || !kept_name(var.substr(0, eq))) continue;
        path = path || var.compare(0, 5, "PATH=") == 0;
        kept.push_back(var);
    }
    if (!path) kept.push_back("PATH=/usr/local/bin:/usr/bin:/bin");
    return kept;
}

bool find_program(const std::string& name, const char* path_variable, std::string& found, std::string& err) {
    std::string why;
    if (name.empty()) {
        err = "option --on-event needs a PROGRAM";
        return false;
    }
    if (name.find('/') != std::string::npos) {
        if (executable_file(name, why)) {
            found = name;
            return true;
        }
        err = "option --on-event: " + name + ": " + why;
        return false;
    }
    const std::string dirs = path_variable ? path_variable : "";
    for (size_t at = 0; at <= dirs.size();) {
        size_t colon = dirs.find(':', at);
        if (colon == std::string::npos) colon = dirs.size();
        const std::string dir = dirs.substr(at, colon - at);
        at = colon + 1;
        if (!dir.empty() && executable_file(dir + "/" + name, why)) {
            found = dir + "/" + name;
            return true;
        }
    }
    err = "option --on-event: " + name + ": no such program in PATH";
    return false;
}

std::unique_ptr<ProgramRun> ProgramRun::start(const std::string& program, const std::vector<std::string>& kept_env,
                                              Notice notice, long long now_ms, std::string& err) {
    // Checked first: where vfork is a plain fork (user-mode emulation),
    // posix_spawn cannot tell that the exec failed, and the run would end
    // with status 127 instead of saying why.
    int fds[2];
    if (::access(program.c_str(), X_OK) != 0 || ::pipe2(fds, O_CLOEXEC) != 0) {
        err = "cannot run " + program + ": " + std::strerror(errno);
        return nullptr;
    }
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    plan_descriptors(fa, fds[1]);
    plan_attributes(attr);
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(notice.line.c_str()), nullptr};
    std::vector<char*> envp;
    for (const std::string& v : kept_env) envp.push_back(const_cast<char*>(v.c_str()));
    for (const std::string& v : notice.env) envp.push_back(const_cast<char*>(v.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        err = "cannot run " + program + ": " + std::strerror(rc);
        return nullptr;
    }
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<ProgramRun>(new ProgramRun(std::move(notice), pid, fds[0], now_ms));
}

ProgramRun::~ProgramRun() {
    if (err_fd_ >= 0) ::close(err_fd_);
}

void ProgramRun::emit(FILE* to, const std::string& text) {
    shown_ = true;
    tell(to, "on-event " + notice_.label + ": " + text);
}

void ProgramRun::relay(FILE* to, size_t limit, bool at_end) {
    const auto line_done = [&] {
        emit(to, partial_);
        partial_.clear();
    };
    char buf[1024];
    ssize_t n = 0;
    // One byte past the limit tells that there is more.
    while (err_fd_ >= 0 && read_ <= limit) {
        n = ::read(err_fd_, buf, std::min(sizeof buf, limit + 1 - read_));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const size_t shown = std::min(size_t(n), limit - std::min(read_, limit));
        read_ += size_t(n);
        for (size_t i = 0; i < shown; ++i) {
            const unsigned char c = static_cast<unsigned char>(buf[i]);
            if (c == '\n') {
                line_done();
                continue;
            }
            // A long line is cut between two characters.
            if (partial_.size() >= LINE_BYTES && ((c & 0xC0) != 0x80 || partial_.size() >= LINE_BYTES + 3)) line_done();
            // Kept as it came: the line is shown by the terminal guard.
            partial_ += char(c);
        }
    }
    cut_ = cut_ || read_ > limit;
    const bool closed = err_fd_ >= 0 && (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK));
    if (closed || cut_ || at_end) {
        if (err_fd_ >= 0) ::close(err_fd_);
        err_fd_ = -1;
        if (!partial_.empty()) line_done();
    }
    if (at_end && cut_) {
        emit(to, "(standard error past " + std::to_string(limit) + " bytes not read)");
        cut_ = false;
    }
}

bool ProgramRun::reap() {
    if (reaped_) return true;
    // Whether it ended, asked without reaping it: until it is reaped its
    // process group cannot be another's, and what it left there is killed.
    siginfo_t info{};
    int r;
    while ((r = ::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT)) < 0 && errno == EINTR) {}
    if (r == 0 && info.si_pid == 0) return false;
    if (r == 0) ::kill(-pid_, SIGKILL);
    int status = 0;
    pid_t w;
    while ((w = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {}
    if (w == pid_ || (w < 0 && errno == ECHILD)) {
        status_ = status;
        status_known_ = w == pid_;
        reaped_ = true;
    }
    return reaped_;
}

void ProgramRun::stop(int sig, const std::string& why, long long now_ms) {
    if (reaped_) return;
    ::kill(-pid_, sig);
    if (!stop_signal_) {
        stopped_ms_ = now_ms;
        stop_why_ = why;
    }
    stop_signal_ = sig;
}

bool ProgramRun::quiet_success() const {
    return status_known_ && !stop_signal_ && WIFEXITED(status_) && WEXITSTATUS(status_) == 0 && !shown_;
}

std::string ProgramRun::outcome(long long now_ms) const {
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s", double(now_ms - started_ms_) / 1000.0);
    if (!status_known_) return std::string("ended after ") + took + "; its exit status was taken elsewhere";
    if (WIFSIGNALED(status_)) {
        const int sig = WTERMSIG(status_);
        if (stop_signal_ == sig)
            return std::string("stopped with ") + signal_name(sig) + " after " + took + " (" + stop_why_ + ")";
        return std::string("ended by ") + signal_name(sig) + " (" + std::to_string(sig) + ") after " + took;
    }
    std::string s = "exit status " + std::to_string(WEXITSTATUS(status_)) + " after " + took;
    if (stop_signal_) s += std::string(", once sent ") + signal_name(stop_signal_) + " (" + stop_why_ + ")";
    return s;
}

}  // namespace tzv58::tool
