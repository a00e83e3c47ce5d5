// What keeping one round in the history file costs the host: one transaction
// with the record, its value columns and the round's alarm transitions, in a
// WAL journal with synchronous NORMAL, as tzv58-host --history writes it at
// the end of a round; what the poll waits for it; what checking a file at
// open costs; and what reading a trend back costs. The files lie in
// TZV58_BENCH_DIR (default /tmp).
//
//   bench_history                      BM_WriteRound/<alarm transitions>
//                                      BM_SubmitRound/<alarm transitions>
//                                      BM_OpenChecked/<rows>
//                                      BM_ReadTrend/<rows>
// The write benchmarks write 10,000 rounds into a fresh file, WAL
// checkpoints included; max_us is the slowest single round. SubmitRound is
// the time the poll's thread spends on a round through the history writer
// (written at once when no round waits before it).
#include "bench/bench_main.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "device/tzv58_419.h"
#include "tools/history/history_db.h"
#include "tools/history/history_query.h"
#include "tools/history/history_writer.h"

namespace {

using tzv58::tool::AlarmChange;
using tzv58::tool::HistoryDb;
using tzv58::tool::HistoryPace;
using tzv58::tool::HistoryWriter;
using tzv58::tool::PendingRound;
using tzv58::tool::RecordView;
using tzv58::tool::round_utc;

RecordView view(const tzv58_419_Data_t& r) {
    return RecordView(tzv58_419::model(), reinterpret_cast<const uint8_t*>(&r));
}

// A "now" past every row the benchmarks write.
const long long NEVER = ::time(nullptr) + 100LL * 366 * 86400;

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

// A fresh folder for a benchmark's file, gone with it.
struct BenchFile {
    BenchFile() {
        const char* base = std::getenv("TZV58_BENCH_DIR");
        dir = std::string(base && *base ? base : "/tmp") + "/tzv58-bench-XXXXXX";
        if (!mkdtemp(&dir[0])) dir.clear();
        path = dir + "/history.db";
    }
    ~BenchFile() {
        for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
        ::rmdir(dir.c_str());
    }
    std::unique_ptr<HistoryDb> open(benchmark::State& state) {
        std::string err;
        HistoryDb::OpenError why;
        auto db = dir.empty() ? nullptr : HistoryDb::open_writer(path, tzv58_419::model().values, err, why);
        if (!db) state.SkipWithError(dir.empty() ? "mkdtemp failed" : err.c_str());
        return db;
    }
    long long size() const {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? (long long)st.st_size : 0;
    }
    std::string dir, path;
};

std::vector<AlarmChange> alarm_changes(int n) {
    std::vector<AlarmChange> alarms;
    for (int i = 0; i < n; ++i)
        alarms.push_back(
            {"2026-12-07T11:37:00Z", i % 2 == 0, 1, "PowerOff", "419415001",
             "\xE8\xBE\x93\xE5\x85\xA5\xE7\x94\xB5\xE6\xBA\x90\xE4\xB8\xAD\xE6\x96\xAD\xE5\x91\x8A\xE8\xAD\xA6",
             "\xE8\xBE\x93\xE5\x85\xA5\xE7\x94\xB5\xE6\xBA\x90\xE4\xB8\xAD\xE6\x96\xAD\xE5\x91\x8A\xE8\xAD\xA6", 100});
    return alarms;
}

// The next round, two seconds on.
void next_round(tzv58_419_Data_t& r) {
    if ((r.round_time[6] += 2) < 60) return;
    r.round_time[6] = 0;
    if (++r.round_time[5] < 60) return;
    r.round_time[5] = 0;
    if (++r.round_time[4] < 24) return;
    r.round_time[4] = 0;
    ++r.round_time[3];  // December has room for the longest run here
}

// A file of so many rounds, written once for the reading benchmarks.
void fill(HistoryDb& db, long rows) {
    tzv58_419_Data_t r = typical_record();
    std::string err;
    for (long i = 0; i < rows; ++i, next_round(r)) db.write_round(view(r), round_utc(view(r)), 1, {}, err);
}

void BM_WriteRound(benchmark::State& state) {
    BenchFile file;
    auto db = file.open(state);
    if (!db) return;
    tzv58_419_Data_t r = typical_record();
    const std::vector<AlarmChange> alarms = alarm_changes(int(state.range(0)));
    std::string err;
    double max_us = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        next_round(r);
        if (db->write_round(view(r), round_utc(view(r)), 1, alarms, err) != HistoryDb::Write::done) {
            state.SkipWithError(err.c_str());
            break;
        }
        const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
        max_us = std::max(max_us, took.count());
    }
    db.reset();
    if (state.iterations() > 0) state.counters["bytes_per_round"] = double(file.size()) / double(state.iterations());
    state.counters["max_us"] = max_us;
}
BENCHMARK(BM_WriteRound)->Arg(0)->Arg(2)->Iterations(10000)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_SubmitRound(benchmark::State& state) {
    BenchFile file;
    auto db = file.open(state);
    if (!db) return;
    FILE* errors = std::tmpfile();
    double max_us = 0;
    {
        HistoryPace pace;
        pace.backlog = 20000;  // the writer's thread catches up at the end
        HistoryWriter writer(std::move(db), tzv58::tool::ModelRef(std::shared_ptr<void>(), &tzv58_419::model()), 1,
                             errors, pace);
        tzv58_419_Data_t r = typical_record();
        PendingRound round{{}, -1, 0, alarm_changes(int(state.range(0)))};
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            next_round(r);
            const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
            round.record.assign(bytes, bytes + sizeof r);
            round.utc = round_utc(view(r));
            writer.submit(round);
            const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
            max_us = std::max(max_us, took.count());
        }
    }
    std::fclose(errors);
    state.counters["max_us"] = max_us;
}
BENCHMARK(BM_SubmitRound)->Arg(0)->Arg(2)->Iterations(10000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Opening a file for writing reads every page once (PRAGMA quick_check).
void BM_OpenChecked(benchmark::State& state) {
    BenchFile file;
    if (auto db = file.open(state)) fill(*db, long(state.range(0)));
    for (auto _ : state)
        if (!file.open(state)) break;
    state.counters["file_bytes"] = double(file.size());
}
BENCHMARK(BM_OpenChecked)->Arg(10000)->Arg(50000)->UseRealTime()->Unit(benchmark::kMillisecond);

// The chart's data: the trend of two columns reduced to 2,000 points each.
void BM_ReadTrend(benchmark::State& state) {
    BenchFile file;
    if (auto db = file.open(state)) fill(*db, long(state.range(0)));
    std::string err;
    auto reader = HistoryDb::open_reader(file.path, tzv58_419::model().values, err);
    if (!reader) {
        state.SkipWithError(err.c_str());
        return;
    }
    for (auto _ : state) {
        tzv58::tool::Trend trend;
        if (!tzv58::tool::read_trend(*reader, {}, NEVER, {"dc_v", "load_i"}, tzv58::tool::TREND_POINTS, trend, err)) {
            state.SkipWithError(err.c_str());
            break;
        }
        benchmark::DoNotOptimize(trend);
    }
}
BENCHMARK(BM_ReadTrend)->Arg(10000)->Arg(50000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return run_benchmarks(argc, argv); }
