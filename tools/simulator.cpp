#include "tools/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/serial_port.h"

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

}  // namespace

Simulator::Simulator(const SimulatorOptions& options) : opt_(options), rng_(options.seed) {}

std::string Simulator::frame(uint8_t ver, uint8_t cid1, uint8_t rtn, const std::vector<uint8_t>& info) const {
    std::string out(MAX_WIRE_FRAME, '\0');
    const size_t n = build_frame(&out[0], out.size(), ver, opt_.address, cid1, rtn, info.data(), int(info.size()));
    out.resize(n);
    return out;
}

Simulator::Answer Simulator::answer(const uint8_t* image, size_t len) {
    Answer a;
    if (len < IMAGE_HEADER || image[1] != opt_.address) return a;  // not for us
    const uint8_t ver = image[0], cid1 = image[2], cid2 = image[3];

    // Faults first: each is drawn on its own, the first that strikes wins.
    if (chance(opt_.faults.drop)) return a;
    if (chance(opt_.faults.rtn)) {
        a.bytes = frame(ver, cid1, RTN_CODES[rng_() % sizeof RTN_CODES], {});
        return a;
    }
    const bool stall = chance(opt_.faults.stall);
    const bool corrupt = chance(opt_.faults.checksum);
    const bool noise = chance(opt_.faults.noise);

    const int block = block_of(cid1);
    uint8_t rtn = 0;
    if (is_control(cid1, cid2)) {
        info_.clear();
    } else if (!reply_info(opt_.plant, cid1, cid2, block >= 0 ? unread_[block] : 0, info_)) {
        rtn = RTN_CID2_INVALID;
    }
    a.bytes = frame(ver, cid1, rtn, info_);
    if (corrupt) {
        // One CHKSUM digit changed to another hex digit.
        char& c = a.bytes[a.bytes.size() - 2 - rng_() % 4];
        c = c == '0' ? '1' : '0';
    } else if (rtn == 0 && block >= 0) {
        // A clean reply to a state or alarm query: the host has read them.
        if (cid2 == 0x43) unread_[block] &= uint8_t(~DATAFLAG_STATES);
        // The alarm query is a block's last: after it nothing is unread (the DC
        // block has no state query of its own).
        if (cid2 == 0x44) unread_[block] = 0;
    }
    if (noise) {
        std::string junk(1 + rng_() % 16, '\0');
        for (char& c : junk) c = char(rng_() & 0xFF);
        a.bytes = junk + a.bytes;
    }
    if (stall) a.delay_ms = opt_.stall_ms;
    return a;
}

void Simulator::on_frame(const uint8_t* image, size_t len) { pending_.push_back(answer(image, len)); }

void Simulator::serve(int fd) {
    uint8_t buf[512];
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return;  // the host side closed: EIO
        pending_.clear();
        parser_.feed(buf, size_t(n), *this);
        for (const Answer& a : pending_) {
            if (a.delay_ms > 0) {
                // Busy: what the host sent meanwhile is lost.
                ::poll(nullptr, 0, a.delay_ms);
                while (::read(fd, buf, sizeof buf) > 0) {
                }
                parser_.flush(*this);
            }
            if (!a.bytes.empty() && write_all(fd, a.bytes.data(), a.bytes.size(), 2000) < 0) return;
        }
    }
}

pid_t start_simulator(const SimulatorOptions& options, std::string& port_path, int& hold_fd, std::string& err) {
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        err = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return -1;
    }
    // Raw from the start, so that nothing the simulator writes is echoed.
    if (!make_raw(slave, 9600, err) || !make_raw(master, 9600, err)) {
        ::close(master);
        ::close(slave);
        return -1;
    }
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        err = std::string("fork: ") + std::strerror(errno);
        ::close(master);
        ::close(slave);
        return -1;
    }
    if (pid == 0) {
        // The simulator: gone with its host; Ctrl-C is for the host, which stops it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(0);
        signal(SIGINT, SIG_IGN);
        signal(SIGTERM, SIG_DFL);
        ::close(slave);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        Simulator(options).serve(master);
        _exit(0);
    }
    ::close(master);
    port_path = name;
    hold_fd = slave;
    return pid;
}

void stop_simulator(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace tzv58::tool
