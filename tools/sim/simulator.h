// The simulated power systems of one line: each answers the request frames
// sent to its address on the master side of a pseudo-terminal pair from its
// plant description, misbehaving on purpose at its fault rates (an RS-485 bus
// carries several, one per address). `simulate` runs it in a child process
// beside the host; `plant` serves it on a named pseudo-terminal for any
// program.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "host/frame.h"
#include "tools/common/clock.h"
#include "tools/sim/faults.h"
#include "tools/sim/plant.h"

namespace tzv58::tool {

// One power system on the line.
struct SimUnit {
    uint8_t address = 1;
    Plant plant = default_plant();
    FaultRates faults;
    unsigned seed = 1;
    bool silent = false;  // answers nothing, as with its pair cut
};

struct SimulatorOptions {
    std::vector<SimUnit> units{SimUnit{}};  // at most one per address
    int stall_ms = 3000;                    // how late a stalled reply comes
    int late_ms = 2400;                     // how late a late reply comes
    // What a record holds, for the excess fault's plant of one AC channel
    // and one module more (simulate takes them from the model).
    int record_channels = 2, record_modules = 40;
};

class Simulator : private FrameSink {
public:
    explicit Simulator(const SimulatorOptions& options);

    // What the power system writes back for one request image (VER ADR CID1
    // CID2 LENID INFO), faults included: echo at once, then bytes after
    // delay_ms; busy: requests that come meanwhile are lost.
    struct Answer {
        std::string echo, bytes;
        int delay_ms = 0;
        bool busy = false;
    };
    Answer answer(const uint8_t* image, size_t len);

    enum class Served { hangup, failed, stopped };
    // Serves the line. A hang-up of the other side ends it, unless
    // wait_for_host: then the simulator waits for a program to open the line
    // (again). Ends when *stop becomes non-zero.
    Served serve(int master_fd, bool wait_for_host, const volatile std::sig_atomic_t* stop);
    // Serves the line on the host's simulated clock (tools/common/pace.h):
    // acts only when the host asks on pace_fd. Ends when the host is gone.
    Served serve_paced(int master_fd, int pace_fd);
    // The line is gone: forget what was still to be written or read.
    void forget_line();
    // The power systems change: replies from now on come from these plants,
    // faults and silences, and the DATAFLAG of every block says that its
    // states and alarms changed. A unit at an address served before keeps its
    // draws going; the others start from their seed.
    void set_units(const std::vector<SimUnit>& units);

private:
    // One power system's state: its plant, its draws, what it has to say.
    struct Unit {
        // channels, modules: what a record holds (the excess plant holds one more of each).
        Unit(const SimUnit& u, int channels, int modules);
        SimUnit opt;
        Plant excess_plant;  // one AC channel and one module more than a record holds
        std::mt19937 rng;
        // Per block (AC, rectifiers, DC): DATAFLAG bits of changes the host has not read yet.
        uint8_t unread[3] = {0x11, 0x11, 0x11};
        long long busy_until = 0;  // stalled: requests to it are lost until then
    };
    // The faults drawn for one reply, beyond drop and rtn.
    struct Damage {
        bool stall = false, corrupt = false, noise = false, truncate = false, soi = false, late = false,
             foreign = false, excess = false;
    };
    Unit* unit_at(uint8_t address);
    Damage draw_damage(Unit& u, uint8_t cid1, uint8_t cid2);
    std::string reply(Unit& u, uint8_t ver, uint8_t cid1, uint8_t cid2, bool excess, uint8_t& rtn);
    void mark_read(Unit& u, uint8_t cid1, uint8_t cid2);
    void spoil(Unit& u, std::string& bytes, const Damage& d, uint8_t ver, uint8_t cid1);
    void on_frame(const uint8_t* image, size_t len) override;
    void on_drop(const char*, const uint8_t*, size_t) override {}
    bool chance(Unit& u, double rate) { return rate > 0 && uniform_(u.rng) < rate; }
    std::string frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t rtn, const std::vector<uint8_t>& info) const;
    void schedule(long long due_ms, std::string bytes);
    // Bytes that came from the host: lost while every power system is busy.
    void take(const uint8_t* buf, size_t n);
    // Monotonic ms, or the host's simulated clock when paced.
    long long clock_ms() const { return paced_ms_ >= 0 ? paced_ms_ : now_ms(); }

    int stall_ms_, late_ms_;
    int record_channels_, record_modules_;
    std::vector<Unit> units_;
    std::uniform_real_distribution<double> uniform_{0.0, 1.0};
    FrameParser parser_;
    std::vector<uint8_t> info_;
    // What is still to be written, in order, with when (monotonic ms).
    struct Outgoing {
        long long due_ms;
        std::string bytes;
    };
    std::vector<Outgoing> out_;
    long long paced_ms_ = -1;
};

// Opens a pseudo-terminal pair and runs the simulator in a child process on
// its master side. Returns the child's pid (or -1 with a reason), the path of
// the side the host opens, and hold_fd: a descriptor of that side that keeps
// the line up until the host has opened it by name (then close it).
// With pace_fd: the simulator runs on the host's simulated clock, and
// *pace_fd is the host's side of their pair (tools/common/pace.h).
pid_t start_simulator(const SimulatorOptions& options, std::string& port_path, int& hold_fd, std::string& err,
                      int* pace_fd = nullptr);
// Stops the child by its pid and reaps it.
void stop_simulator(pid_t pid);

// Reads the power systems again (from their files): false with a one-line
// reason.
using PlantReload = std::function<bool(std::vector<SimUnit>& units, std::string& err)>;

// `plant --link PATH`: serves the simulator on a pseudo-terminal whose slave
// PATH links to; SIGUSR1 unplugs (closes it, removes PATH), SIGUSR2 plugs a
// new one in, SIGHUP reads the plant again with reload (when given),
// SIGTERM or SIGINT stops. Prints "ready PATH" whenever it serves,
// "unplugged PATH" when unplugged, "reloaded" when the plant changed; a
// plant that cannot be read again is one line on stderr, and the plant
// stays as it was. Returns the exit status; a link that cannot be made is
// a one-line reason in err and status 2.
int serve_plant(const SimulatorOptions& options, const std::string& link, int baud, const PlantReload& reload,
                std::string& err);

}  // namespace tzv58::tool
