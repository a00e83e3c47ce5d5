// What keeping one round in the history file costs the host: one transaction
// with the record, its value columns and the round's alarm transitions, in a
// WAL journal with synchronous NORMAL, as tzv58-host --history writes it at
// the end of a round. The file lies in TZV58_BENCH_DIR (default /tmp).
//
//   bench_history                      BM_WriteRound/<alarm transitions>
// Each run writes 10,000 rounds into a fresh file, WAL checkpoints included;
// max_us is the slowest single round.
#include "bench/bench_main.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/history/history_db.h"

namespace {

using tzv58::tool::AlarmChange;
using tzv58::tool::HistoryDb;

tzv58_419_Data_t typical_record() {
    tzv58_419_Data_t r{};
    r.data_id.set(1);
    r.channel_count = 2;
    for (auto& ch : r.channel) ch.a.set(230), ch.b.set(231), ch.c.set(229), ch.f.set(50);
    r.rc_out_v.set(53);
    r.module_count = 4;
    r.dc0.out_v.set(53.5f);
    r.dc0.load_i.set(45);
    r.dc0.m = 1;
    r.dc0.battery_i[0].set(3);
    const uint8_t when[7] = {0xEA, 0x07, 12, 7, 19, 37, 0};
    std::copy(when, when + 7, r.round_time);
    return r;
}

void BM_WriteRound(benchmark::State& state) {
    const char* base = std::getenv("TZV58_BENCH_DIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/tzv58-bench-XXXXXX";
    if (!mkdtemp(&dir[0])) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string path = dir + "/history.db";
    std::string err;
    HistoryDb::OpenError why;
    auto db = HistoryDb::open_writer(path, err, why);
    if (!db) {
        state.SkipWithError(err.c_str());
        return;
    }
    tzv58_419_Data_t r = typical_record();
    std::vector<AlarmChange> alarms;
    for (int i = 0; i < state.range(0); ++i)
        alarms.push_back({"2026-12-07T19:37:00", i % 2 == 0, 1, "PowerOff", "419415001",
                          "\xE8\xBE\x93\xE5\x85\xA5\xE7\x94\xB5\xE6\xBA\x90\xE4\xB8\xAD\xE6\x96\xAD\xE5\x91\x8A\xE8\xAD\xA6",
                          "\xE8\xBE\x93\xE5\x85\xA5\xE7\x94\xB5\xE6\xBA\x90\xE4\xB8\xAD\xE6\x96\xAD\xE5\x91\x8A\xE8\xAD\xA6",
                          100});
    double max_us = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        r.round_time[6] = uint8_t((r.round_time[6] + 2) % 60);
        if (db->write_round(r, 1, alarms, err) != HistoryDb::Write::done) {
            state.SkipWithError(err.c_str());
            break;
        }
        const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
        max_us = std::max(max_us, took.count());
    }
    db.reset();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && state.iterations() > 0)
        state.counters["bytes_per_round"] = double(st.st_size) / double(state.iterations());
    state.counters["max_us"] = max_us;
    for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
    ::rmdir(dir.c_str());
}
BENCHMARK(BM_WriteRound)->Arg(0)->Arg(2)->Iterations(10000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return run_benchmarks(argc, argv); }
