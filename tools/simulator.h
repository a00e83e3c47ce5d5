// The simulated power system: answers request frames on the master side of a
// pseudo-terminal pair from a plant description, misbehaving on purpose at
// the configured fault rates.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "host/frame.h"
#include "tools/faults.h"
#include "tools/plant.h"

namespace tzv58::tool {

struct SimulatorOptions {
    Plant plant = default_plant();
    FaultRates faults;
    unsigned seed = 1;
    uint8_t address = 1;
    int stall_ms = 3000;  // how late a stalled reply comes
};

class Simulator : private FrameSink {
public:
    explicit Simulator(const SimulatorOptions& options);

    // What the power system writes back for one request image (VER ADR CID1
    // CID2 LENID INFO), faults included; delay_ms > 0 means: wait, forget
    // what arrived meanwhile, then write.
    struct Answer {
        std::string bytes;
        int delay_ms = 0;
    };
    Answer answer(const uint8_t* image, size_t len);

    // Serves the line until it hangs up or fails.
    void serve(int master_fd);

private:
    void on_frame(const uint8_t* image, size_t len) override;
    void on_drop(const char*, const uint8_t*, size_t) override {}
    bool chance(double rate) { return rate > 0 && uniform_(rng_) < rate; }
    std::string frame(uint8_t ver, uint8_t cid1, uint8_t rtn, const std::vector<uint8_t>& info) const;

    SimulatorOptions opt_;
    std::mt19937 rng_;
    std::uniform_real_distribution<double> uniform_{0.0, 1.0};
    // Per block (AC, rectifiers, DC): DATAFLAG bits of changes the host has not read yet.
    uint8_t unread_[3] = {0x11, 0x11, 0x11};
    FrameParser parser_;
    std::vector<Answer> pending_;
    std::vector<uint8_t> info_;
};

// Opens a pseudo-terminal pair and runs the simulator in a child process on
// its master side. Returns the child's pid (or -1 with a reason), the path of
// the side the host opens, and hold_fd: a descriptor of that side that keeps
// the line up until the host has opened it by name (then close it).
pid_t start_simulator(const SimulatorOptions& options, std::string& port_path, int& hold_fd, std::string& err);
// Stops the child by its pid and reaps it.
void stop_simulator(pid_t pid);

}  // namespace tzv58::tool
