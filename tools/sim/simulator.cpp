#include "tools/sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/serial_port.h"
#include "tools/common/clock.h"
#include "tools/common/exit_status.h"
#include "tools/common/output_pump.h"
#include "tools/common/outputs.h"
#include "tools/common/pace.h"
#include "tools/common/signals.h"
#include "tools/common/text_guard.h"

namespace tzv58::tool {
namespace {

constexpr uint8_t DATAFLAG_STATES = 0x10;
// RTN codes of the protocol: checksum error, LCHKSUM error, CID2 invalid,
// command format error, invalid data.
constexpr uint8_t RTN_CODES[] = {0x02, 0x03, 0x04, 0x05, 0x06};
constexpr uint8_t RTN_CID2_INVALID = 0x04;

int block_of(uint8_t cid1) { return cid1 == 0x40 ? 0 : cid1 == 0x41 ? 1 : cid1 == 0x42 ? 2 : -1; }

bool is_control(uint8_t cid1, uint8_t cid2) {
    return (cid1 == 0x41 && (cid2 == 0x4E || cid2 == 0x45)) || (cid1 == 0x42 && cid2 == 0x48);
}

// The plant with one group more than a record holds: the last AC channel and
// the last module repeated.
Plant with_excess(Plant p, int channels, int modules) {
    p.channels.resize(size_t(channels) + 1, p.channels.empty() ? PlantAcChannel{} : p.channels.back());
    p.modules.resize(size_t(modules) + 1, p.modules.empty() ? PlantModule{} : p.modules.back());
    return p;
}

}  // namespace

Simulator::Unit::Unit(const SimUnit& u, int channels, int modules)
    : opt(u), excess_plant(with_excess(u.plant, channels, modules)), rng(u.seed) {}

Simulator::Simulator(const SimulatorOptions& options)
    : stall_ms_(options.stall_ms),
      late_ms_(options.late_ms),
      record_channels_(options.record_channels),
      record_modules_(options.record_modules) {
    for (const SimUnit& u : options.units) units_.emplace_back(u, record_channels_, record_modules_);
}

std::string Simulator::frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t rtn,
                             const std::vector<uint8_t>& info) const {
    std::string out(MAX_WIRE_FRAME, '\0');
    const size_t n = build_frame(&out[0], out.size(), ver, adr, cid1, rtn, info.data(), int(info.size()));
    out.resize(n);
    return out;
}

Simulator::Unit* Simulator::unit_at(uint8_t address) {
    for (Unit& u : units_)
        if (u.opt.address == address) return &u;
    return nullptr;
}

Simulator::Answer Simulator::answer(const uint8_t* image, size_t len) {
    Answer a;
    Unit* u = len < IMAGE_HEADER ? nullptr : unit_at(image[1]);
    if (!u || u->opt.silent) return a;  // not for us, or nobody hears
    const uint8_t ver = image[0], cid1 = image[2], cid2 = image[3], address = u->opt.address;
    const FaultRates& f = u->opt.faults;

    // Faults: each is drawn on its own. The adapter's echo comes whatever the
    // power system does; a dropped or error reply ends the draws.
    if (chance(*u, f.echo))
        a.echo = frame(ver, image[1], cid1, cid2, std::vector<uint8_t>(image + IMAGE_HEADER, image + len));
    if (chance(*u, f.drop)) return a;
    if (chance(*u, f.rtn)) {
        a.bytes = frame(ver, address, cid1, RTN_CODES[u->rng() % sizeof RTN_CODES], {});
        return a;
    }
    const Damage d = draw_damage(*u, cid1, cid2);
    uint8_t rtn = 0;
    a.bytes = reply(*u, ver, cid1, cid2, d.excess, rtn);
    if (!d.corrupt && !d.truncate && !d.soi && !d.late && rtn == 0) mark_read(*u, cid1, cid2);
    spoil(*u, a.bytes, d, ver, cid1);
    if (d.late) a.delay_ms = late_ms_;
    if (d.stall) a.delay_ms = stall_ms_;
    a.busy = d.stall;
    return a;
}

// Drawn in this order, every time, so that a seed gives the same run.
Simulator::Damage Simulator::draw_damage(Unit& u, uint8_t cid1, uint8_t cid2) {
    const FaultRates& f = u.opt.faults;
    Damage d;
    d.stall = chance(u, f.stall);
    d.corrupt = chance(u, f.checksum);
    d.noise = chance(u, f.noise);
    d.truncate = chance(u, f.truncate);
    d.soi = chance(u, f.soi);
    d.late = chance(u, f.late);
    d.foreign = chance(u, f.foreign);
    d.excess = chance(u, f.excess) && (cid1 == 0x40 || cid1 == 0x41) && cid2 == 0x42;
    return d;
}

// The reply frame from the plant (the excess plant, when drawn); rtn: CID2
// invalid for a command the plant does not know.
std::string Simulator::reply(Unit& u, uint8_t ver, uint8_t cid1, uint8_t cid2, bool excess, uint8_t& rtn) {
    const int block = block_of(cid1);
    rtn = 0;
    if (is_control(cid1, cid2)) {
        info_.clear();
    } else if (!reply_info(excess ? u.excess_plant : u.opt.plant, cid1, cid2, block >= 0 ? u.unread[block] : 0,
                           info_)) {
        rtn = RTN_CID2_INVALID;
    }
    return frame(ver, u.opt.address, cid1, rtn, info_);
}

// A clean reply to a state or alarm query: the host has read them.
void Simulator::mark_read(Unit& u, uint8_t cid1, uint8_t cid2) {
    const int block = block_of(cid1);
    if (block < 0) return;
    if (cid2 == 0x43) u.unread[block] &= uint8_t(~DATAFLAG_STATES);
    // The alarm query is a block's last: after it nothing is unread (the DC
    // block has no state query of its own).
    if (cid2 == 0x44) u.unread[block] = 0;
}

void Simulator::spoil(Unit& u, std::string& bytes, const Damage& d, uint8_t ver, uint8_t cid1) {
    if (d.corrupt) {
        // One CHKSUM digit changed to another hex digit.
        char& c = bytes[bytes.size() - 2 - u.rng() % 4];
        c = c == '0' ? '1' : '0';
    }
    if (d.soi) {
        // Another SOI somewhere after the first, before CR.
        bytes.insert(bytes.begin() + 2 + long(u.rng() % (bytes.size() - 3)), char(SOI));
    }
    if (d.truncate) {
        // Cut anywhere after SOI: the end of the frame never comes.
        bytes.resize(2 + u.rng() % (bytes.size() - 2));
    }
    if (d.foreign) {
        // Another power system's reply to the same command, with other readings.
        std::vector<uint8_t> other(info_.size());
        for (uint8_t& b : other) b = uint8_t(u.rng());
        bytes = frame(ver, uint8_t(u.opt.address + 1), cid1, 0, other) + bytes;
    }
    if (d.noise) {
        std::string junk(1 + u.rng() % 16, '\0');
        for (char& c : junk) c = char(u.rng() & 0xFF);
        bytes = junk + bytes;
    }
}

void Simulator::schedule(long long due_ms, std::string bytes) {
    if (bytes.empty()) return;
    auto at = out_.end();
    while (at != out_.begin() && (at - 1)->due_ms > due_ms) --at;
    out_.insert(at, Outgoing{due_ms, std::move(bytes)});
}

void Simulator::on_frame(const uint8_t* image, size_t len) {
    const long long now = clock_ms();
    Unit* u = unit_at(image[1]);
    if (u && now < u->busy_until) return;  // busy: a request to it is lost
    Answer a = answer(image, len);
    schedule(now, std::move(a.echo));
    if (a.busy && u) u->busy_until = now + a.delay_ms;
    schedule(now + a.delay_ms, std::move(a.bytes));
}

void Simulator::forget_line() {
    out_.clear();
    for (Unit& u : units_) u.busy_until = 0;
    parser_.flush(*this);
}

void Simulator::set_units(const std::vector<SimUnit>& units) {
    std::vector<Unit> next;
    for (const SimUnit& given : units) {
        const Unit* before = unit_at(given.address);
        next.emplace_back(given, record_channels_, record_modules_);
        if (before) {
            next.back().rng = before->rng;
            next.back().busy_until = before->busy_until;
        }
    }
    units_ = std::move(next);
}

Simulator::Served Simulator::serve(int fd, bool wait_for_host, const volatile std::sig_atomic_t* stop) {
    uint8_t buf[512];
    const auto hung_up = [&] {
        // Nobody has the line open: what was to be written is lost.
        forget_line();
        ::poll(nullptr, 0, 20);
    };
    for (;;) {
        if (stop && *stop) return Served::stopped;
        long long now = now_ms();
        while (!out_.empty() && out_.front().due_ms <= now) {
            const std::string bytes = std::move(out_.front().bytes);
            out_.erase(out_.begin());
            if (write_all(fd, bytes.data(), bytes.size(), 2000) < 0) {
                if (!wait_for_host) return Served::failed;
                hung_up();
            }
        }
        // Short waits, so that a stop request is seen without a signal too.
        long long wait = out_.empty() ? 100 : out_.front().due_ms - now;
        if (wait > 100) wait = 100;
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, int(wait < 0 ? 0 : wait));
        if (r < 0) {
            if (errno == EINTR) continue;
            return Served::failed;
        }
        if (r == 0) continue;
        const ssize_t n = (pfd.revents & POLLIN) ? ::read(fd, buf, sizeof buf) : 0;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            // The other side closed (EIO), or has not opened the line yet.
            if (!wait_for_host) return Served::hangup;
            hung_up();
            continue;
        }
        take(buf, size_t(n));
    }
}

void Simulator::take(const uint8_t* buf, size_t n) {
    const long long now = clock_ms();
    bool all_busy = !units_.empty();
    for (const Unit& u : units_) all_busy = all_busy && now < u.busy_until;
    if (all_busy)
        parser_.flush(*this);  // busy: what the host sent meanwhile is lost
    else
        parser_.feed(buf, n, *this);
}

Simulator::Served Simulator::serve_paced(int fd, int pace_fd) {
    uint8_t buf[512];
    long long read = 0, written = 0;
    for (PaceAsk ask; pace_receive(pace_fd, ask, -1);) {
        paced_ms_ = ask.now_ms;
        // The host's bytes may still be on their way through the pseudo-terminal.
        while (read < ask.host_bytes) {
            pollfd pfd{fd, POLLIN, 0};
            const int r = ::poll(&pfd, 1, 2000);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;  // they do not come: answer what did
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return Served::hangup;
            read += n;
            take(buf, size_t(n));
        }
        while (!out_.empty() && out_.front().due_ms <= paced_ms_) {
            const std::string bytes = std::move(out_.front().bytes);
            out_.erase(out_.begin());
            if (write_all(fd, bytes.data(), bytes.size(), 2000) < 0) return Served::failed;
            written += static_cast<long long>(bytes.size());
        }
        PaceTell tell;
        tell.sim_bytes = written;
        tell.next_ms = out_.empty() ? -1 : out_.front().due_ms;
        if (!pace_send(pace_fd, tell)) break;
    }
    return Served::stopped;
}

pid_t start_simulator(const SimulatorOptions& options, std::string& port_path, int& hold_fd, std::string& err,
                      int* pace_fd) {
    int pace[2] = {-1, -1};
    if (pace_fd && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pace) != 0) {
        err = std::string("cannot open the simulator's pacing pair: ") + std::strerror(errno);
        return -1;
    }
    const auto close_pace = [&] {
        for (int& fd : pace)
            if (fd >= 0) ::close(fd);
    };
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        err = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        close_pace();
        return -1;
    }
    // Raw from the start, so that nothing the simulator writes is echoed.
    if (!make_raw(slave, 9600, err) || !make_raw(master, 9600, err)) {
        ::close(master);
        ::close(slave);
        close_pace();
        return -1;
    }
    std::fflush(nullptr);
    const pid_t parent = getpid();
    // The host's own SIGTERM handler never runs in the child: a stop sent to
    // it before it has its own (stop_simulator) would be taken for the host's.
    SignalsBlocked blocked;
    const pid_t pid = fork();
    if (pid < 0) {
        err = std::string("fork: ") + std::strerror(errno);
        ::close(master);
        ::close(slave);
        close_pace();
        return -1;
    }
    if (pid == 0) {
        // The simulator: gone with its host; Ctrl-C is for the host, which stops it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(0);
        unpump_stderr_in_child();
        signal(SIGINT, SIG_IGN);
        signal(SIGTERM, SIG_DFL);
        // Only now: a SIGTERM that came since the fork ends it.
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_UNBLOCK, &term, nullptr);
        ::close(slave);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        if (pace_fd) {
            ::close(pace[0]);
            Simulator(options).serve_paced(master, pace[1]);
        } else {
            Simulator(options).serve(master, false, nullptr);
        }
        _exit(0);
    }
    ::close(master);
    if (pace_fd) {
        ::close(pace[1]);
        *pace_fd = pace[0];
    }
    port_path = name;
    hold_fd = slave;
    return pid;
}

void stop_simulator(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
}

}  // namespace tzv58::tool

namespace tzv58::tool {
namespace {

volatile std::sig_atomic_t g_unplug = 0, g_replug = 0, g_reload = 0, g_quit = 0, g_wake = 0;

void on_plant_signal(int sig) {
    if (sig == SIGUSR1)
        g_unplug = 1;
    else if (sig == SIGUSR2)
        g_replug = 1;
    else if (sig == SIGHUP)
        g_reload = 1;
    else
        g_quit = 1;
    g_wake = 1;
}

// The pseudo-terminal the plant serves, and the link to its slave side.
class NamedLine {
public:
    NamedLine(std::string link, int baud) : link_(std::move(link)), baud_(baud) {}
    ~NamedLine() { unplug(); }
    int master() const { return master_; }

    bool plug(std::string& err) {
        int slave = -1;
        char name[256];
        if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
            err = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        // Raw from the start, so that nothing the plant writes is echoed. The
        // slave is not held open: a program that opens the link gets the line
        // as a serial port, exclusively.
        const bool raw = make_raw(slave, baud_, err) && make_raw(master_, baud_, err);
        ::close(slave);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK | O_CLOEXEC);
        // The link replaces a stale one at once (a new name, then rename).
        const std::string tmp = link_ + ".new";
        ::unlink(tmp.c_str());
        if (!raw || ::symlink(name, tmp.c_str()) != 0 || ::rename(tmp.c_str(), link_.c_str()) != 0) {
            if (raw) err = "option --link: cannot make " + link_ + " point to " + name + ": " + std::strerror(errno);
            ::unlink(tmp.c_str());
            ::close(master_);
            master_ = -1;
            return false;
        }
        write_output(stdout, "ready " + shown(link_) + "\n");
        return true;
    }

    void unplug() {
        if (master_ < 0) return;
        ::unlink(link_.c_str());
        ::close(master_);
        master_ = -1;
        write_output(stdout, "unplugged " + shown(link_) + "\n");
    }

private:
    std::string link_;
    int baud_;
    int master_ = -1;
};

// The link can be made: its folder is there, and the name holds nothing
// but a stale link.
bool link_place(const std::string& link, std::string& err) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        err = link + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    const size_t slash = link.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : link.substr(0, slash);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err = "option --link: cannot make " + link + ": there is no folder " + folder;
        return false;
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        err = "option --link: cannot make " + link + " in " + folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// SIGHUP: the plant read again, or as it was when it cannot be.
void reload_plant(Simulator& sim, const PlantReload& reload) {
    std::vector<SimUnit> units;
    std::string why = "there is no --plant or --site file to read again";
    if (reload && reload(units, why)) {
        sim.set_units(units);
        write_output(stdout, "reloaded\n");
    } else {
        say(EXIT_FAIL, "plant: " + why + "; the plant stays as it was");
    }
}

}  // namespace

int serve_plant(const SimulatorOptions& options, const std::string& link, int baud, const PlantReload& reload,
                std::string& err) {
    if (!link_place(link, err)) return EXIT_USAGE;
    watch_output(stdout, "standard output");
    struct sigaction sa {};
    sa.sa_handler = on_plant_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGINT}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    NamedLine line(link, baud);
    if (!line.plug(err)) return EXIT_USAGE;
    Simulator sim(options);
    while (!g_quit) {
        if (line.master() >= 0) {
            if (sim.serve(line.master(), true, &g_wake) == Simulator::Served::failed) {
                err = std::string("the pseudo-terminal failed: ") + std::strerror(errno);
                return EXIT_FAIL;
            }
        } else {
            ::poll(nullptr, 0, 100);
        }
        g_wake = 0;
        if (g_unplug) {
            g_unplug = 0;
            line.unplug();
            sim.forget_line();
        }
        if (g_replug) {
            g_replug = 0;
            if (line.master() < 0 && !line.plug(err)) return EXIT_FAIL;
        }
        if (g_reload) {
            g_reload = 0;
            reload_plant(sim, reload);
        }
    }
    line.unplug();
    return outputs_status();
}

}  // namespace tzv58::tool
