// Decoding cost of one full poll round: every reply of a plant with 2 AC
// channels, 40 rectifier modules and 2 DC units with full branch lists.
// The decoders' diagnostic lines are dropped.
#include "bench/bench_main.h"

#include <cstdio>
#include <iostream>
#include <vector>

#include "device/tzv58_419.h"

namespace {

using Power = pmbuspower_419<tzv58_419_Data_t, 5535>;
using Bytes = std::vector<uint8_t>;

void put(Bytes& b, int width, unsigned v) {
    if (width == 2) {
        b.push_back(uint8_t(v >> 8));
        b.push_back(uint8_t(v));
    } else {
        const float f = float(v) / 100.0f;
        const uint32_t bits = tzv58::float_to_bits(f);
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(bits >> (8 * i)));
    }
}

struct Round {
    explicit Round(int width) {
        // 40H analog (after DATAFLAG): 2 channels, no user-defined values, tail.
        ac.push_back(2);
        for (int ch = 0; ch < 2; ++ch) {
            for (unsigned v : {22050u, 22100u, 21980u, 5000u}) put(ac, width, v);
            ac.push_back(0);
        }
        for (unsigned v : {1200u, 1150u, 1300u}) put(ac, width, v);
        switches = {8, 1, 1, 0, 0, 1, 0, 0, 0, 0};
        ac_alarms = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        // 41H analog (from DATAFLAG): 40 modules.
        rc = {0x11};
        put(rc, width, 5350);
        rc.push_back(40);
        for (int i = 0; i < 40; ++i) {
            put(rc, width, 1000 + 10 * unsigned(i));
            rc.push_back(0);
        }
        rc_states = {0x00, 40};
        rc_faults = {0x00, 40};
        for (int i = 0; i < 40; ++i) {
            rc_states.insert(rc_states.end(), {0, 0, 0, 1, 0});
            rc_faults.insert(rc_faults.end(), {0, 7, 0, 0, 0, 0, 0, 0, 0});
        }
        // 42H analog, two units (after DATAFLAG and the count byte).
        for (int unit = 0; unit < 2; ++unit) {
            put(dc, width, 5350);
            put(dc, width, 12000);
            dc.push_back(2);
            for (unsigned v : {500u, 480u}) put(dc, width, v);
            dc.push_back(20);
            for (unsigned i = 0; i < 20; ++i) put(dc, width, 300 + i);
            dc.push_back(9);
            for (unsigned i = 0; i < 9; ++i) put(dc, width, 100 + i);
        }
        for (int unit = 0; unit < 2; ++unit) {
            dc_alarms.push_back(0);
            dc_alarms.push_back(42);
            dc_alarms.insert(dc_alarms.end(), 42, 0);
            dc_alarms.push_back(5);
            dc_alarms.insert(dc_alarms.end(), 5, 0);
        }
        floats = width == 4;
    }
    long info_bytes() const {
        // Each reply's INFO: the decoders' bytes plus DATAFLAG and, for 42H, the count.
        return long(ac.size() + switches.size() + ac_alarms.size() + 3) +
               long(rc.size() + rc_states.size() + rc_faults.size()) + long(dc.size() + dc_alarms.size() + 4);
    }
    Bytes ac, switches, ac_alarms, rc, rc_states, rc_faults, dc, dc_alarms;
    bool floats;
};

int run(Power& d, int (Power::*f)(const unsigned char*, int), const Bytes& b, int from = 0) {
    return (d.*f)(b.data() + from, int(b.size()) - from);
}

void BM_DecodeRound(benchmark::State& state) {
    const int width = int(state.range(0));
    const Round r(width);
    tzv58_419 dev;
    dev.float_mode = r.floats;
    const auto ac = r.floats ? &Power::parse40_41 : &Power::parse40_42;
    const auto rc = r.floats ? &Power::parse41_41 : &Power::parse41_42;
    const auto dc1 = r.floats ? &Power::parse42_41 : &Power::parse42_42;
    const auto dc2 = r.floats ? &Power::parse42_41_2 : &Power::parse42_42_2;
    for (auto _ : state) {
        int sum =
            run(dev, ac, r.ac) + run(dev, &Power::parse40_43, r.switches) + run(dev, &Power::parse40_44, r.ac_alarms);
        sum +=
            run(dev, rc, r.rc) + run(dev, &Power::parse41_43, r.rc_states) + run(dev, &Power::parse41_44, r.rc_faults);
        const int u1 = run(dev, dc1, r.dc);
        sum += u1 + run(dev, dc2, r.dc, u1);
        const int a1 = run(dev, &Power::parse42_44, r.dc_alarms);
        sum += a1 + run(dev, &Power::parse42_44_2, r.dc_alarms, a1);
        benchmark::DoNotOptimize(sum);
        benchmark::ClobberMemory();
    }
    constexpr double replies = 8;  // 40H x3, 41H x3, 42H x2 (each with two units)
    using C = benchmark::Counter;
    // Inverted rates: CPU time per reply and per INFO byte.
    state.counters["per_reply"] = C(replies, C::kIsIterationInvariantRate | C::kInvert);
    state.counters["per_info_byte"] = C(double(r.info_bytes()), C::kIsIterationInvariantRate | C::kInvert);
    state.counters["info_bytes"] = double(r.info_bytes());
    state.SetLabel(r.floats ? "floats" : "fixed point");
}
BENCHMARK(BM_DecodeRound)->Arg(2)->Arg(4);

}  // namespace

int main(int argc, char** argv) { return run_benchmarks(argc, argv); }
