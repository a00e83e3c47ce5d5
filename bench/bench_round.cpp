// Cost of whole poll rounds, against the line time the same round takes.
//
// A tzv58_419 runs complete rounds through the real codec and the real device
// code: RefreshStatus, then each request answered with its pre-built reply
// frame fed to process(), until the device ends the round (publish, alarm
// checks, history). No serial port; the host's services go to a counting sink;
// the device's diagnostic lines go to /dev/null.
//
//   bench_round                         Google Benchmark: BM_Round/<plant>/<first|steady>
//                                       (and BM_RoundTableB: alarm mode 0, table B)
//   bench_round --count=full/first --rounds=N
//                                       N rounds with callgrind collection switched
//                                       on around the device's entry points only
//                                       (see count_instructions.sh)
//   bench_round --footprint             sizeof(tzv58_419) and the heap a device holds
//
// Counters per round: allocs_per_round (every operator new), decode_allocs_per_round
// (the same without the alarm checks), wire_bytes (request and reply frame
// characters, CR included), line_ratio (CPU time over the line time of those
// characters at 9600 baud 8N1), requests and alarms (reports made).
//
// Plants: minimal (1 AC channel, 1 module, 1 DC unit), typical (2 channels,
// 24 modules, 1 DC unit), full (2 channels, 40 modules, 2 DC units with every
// branch list the record holds). A first round sends all nine commands (the
// device is made to forget that a round completed); a steady round answers
// with DATAFLAG 0 and takes four.
#include <malloc.h>
#include <unistd.h>
#include <valgrind/callgrind.h>
#include "bench/bench_main.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "device/tzv58_419.h"
#include "host/frame.h"
#include "host/host_events.h"
#include "tools/sim/plant.h"

// ---- heap accounting: every operator new of the process is counted ----

namespace {

struct heap_counter {
    bool on = false;        // counting the device's work
    bool alarms = false;    // inside the alarm checks
    long allocs = 0;        // while on
    long alarm_allocs = 0;  // while on, inside the alarm checks
    long live_bytes = 0;    // held right now (malloc's usable sizes)
    long live_blocks = 0;
};
heap_counter g_heap;

void* counted_alloc(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    g_heap.live_bytes += long(malloc_usable_size(p));
    ++g_heap.live_blocks;
    if (g_heap.on) {
        ++g_heap.allocs;
        if (g_heap.alarms) ++g_heap.alarm_allocs;
    }
    return p;
}

void counted_free(void* p) noexcept {
    if (!p) return;
    g_heap.live_bytes -= long(malloc_usable_size(p));
    --g_heap.live_blocks;
    std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return counted_alloc(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

namespace {

using tzv58::tool::Plant;

// The model with its alarm checks kept out of the decoding figure.
class measured_device : public tzv58_419 {
public:
    void RunCheckThreshold() override {
        g_heap.alarms = true;
        tzv58_419::RunCheckThreshold();
        g_heap.alarms = false;
    }
};

// The host's services, counted; nothing kept, nothing allocated.
class counting_host : public HostEvents {
public:
    void on_send(uint8_t cid1, uint8_t cid2, const uint8_t*, int, const char*, size_t frame_len) override {
        ++sends;
        request_chars += long(frame_len) + 1;  // CR
        cid = unsigned(cid1) << 8 | cid2;
        pending = true;
    }
    void on_publish(int, const unsigned char*, unsigned int) override { ++publishes; }
    void on_alarm(int, const std::string&, const std::string&, const std::string&, const std::string&, bool active,
                  unsigned short) override {
        ++alarms;
        if (active) ++active_alarms;
    }
    void on_frame_error(const char*, const uint8_t*, size_t) override { ++errors; }

    long sends = 0, publishes = 0, alarms = 0, active_alarms = 0, errors = 0, request_chars = 0;
    unsigned cid = 0;
    bool pending = false;
};

// The reply frame (with CR) to each reading command, built before timing.
struct reply {
    unsigned cid;
    std::vector<unsigned char> frame;
};

enum class round_kind { first, steady };

struct plant_case {
    const char* name;
    Plant plant;
    const char* config;
};

Plant minimal_plant() {
    Plant p = tzv58::tool::default_plant();
    p.channels.resize(1);
    p.modules.resize(1);
    return p;
}

Plant typical_plant() {
    Plant p = tzv58::tool::default_plant();
    p.modules.resize(24);
    for (size_t i = 0; i < p.modules.size(); ++i) p.modules[i].out_i = 10.0f + 0.25f * float(i % 8);
    return p;
}

Plant full_plant() {
    Plant p = typical_plant();
    p.modules.resize(40);
    for (size_t i = 0; i < p.modules.size(); ++i) p.modules[i].out_i = 10.0f + 0.25f * float(i % 8);
    tzv58::tool::PlantDcUnit u = p.dc[0];
    u.battery_i = {3.0f, 2.5f};
    u.branch_i.clear();
    for (int i = 0; i < 20; ++i) u.branch_i.push_back(1.0f + 0.5f * float(i));
    u.user.clear();
    for (int i = 0; i < 9; ++i) u.user.push_back(float(20 + i));
    u.fuses.assign(42, 0);
    u.alarms.assign(5, 0);
    p.dc = {u, u};
    p.dc[1].out_v = 53.4f;
    return p;
}

const plant_case& plant_named(const std::string& name) {
    static const plant_case cases[] = {
        {"minimal", minimal_plant(), R"({"appSetting": {"has_ac": "1", "has_dc": "1"}})"},
        {"typical", typical_plant(), R"({"appSetting": {"has_ac": "1", "has_dc": "1"}})"},
        {"full", full_plant(), R"({"appSetting": {"has_ac": "1", "has_dc": "1", "no_dc_number": "2"}})"},
    };
    for (const plant_case& c : cases)
        if (name == c.name) return c;
    std::fprintf(stderr, "unknown plant %s\n", name.c_str());
    std::exit(2);
}

Json::Value parse_config(const char* text) {
    Json::Value v;
    std::string err;
    Json::CharReaderBuilder b;
    const std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(text, text + std::strlen(text), &v, &err)) {
        std::fprintf(stderr, "bad config: %s\n", err.c_str());
        std::exit(2);
    }
    return v;
}

// One configured device on the counting host, with its replies ready.
struct rig {
    rig(const plant_case& c, int b_mode) : clock(boost::posix_time::time_from_string("2026-01-01 00:00:00")) {
        static const unsigned commands[] = {0x4042, 0x4043, 0x4044, 0x4142, 0x4143, 0x4144, 0x4242, 0x4244, 0x8042};
        for (unsigned cid : commands) {
            // DATAFLAG 0: nothing changed, so steady rounds skip the 43H/44H queries.
            std::vector<uint8_t> info;
            tzv58::tool::reply_info(c.plant, uint8_t(cid >> 8), uint8_t(cid), 0, info);
            reply r{cid, std::vector<unsigned char>(tzv58::MAX_WIRE_FRAME)};
            r.frame.resize(tzv58::build_frame(reinterpret_cast<char*>(r.frame.data()), r.frame.size(), 0x20, 1,
                                              uint8_t(cid >> 8), 0, info.data(), int(info.size())));
            replies.push_back(std::move(r));
        }
        config = parse_config(c.config);
        config["appSetting"]["b_mode"] = std::to_string(b_mode);

        heap_before_device = g_heap.live_bytes;
        dev = std::make_unique<measured_device>();
        heap_constructed = g_heap.live_bytes - heap_before_device;
        dev->events = &host;
        dev->clock = &clock;
        dev->data_id = 1;
        dev->InitSetting(config);
        heap_configured = g_heap.live_bytes - heap_before_device;
    }

    const reply* reply_to(unsigned cid) const {
        for (const reply& r : replies)
            if (r.cid == cid) return &r;
        return nullptr;
    }

    // What a round needs outside the device: time moves on, and a first round
    // finds no completed round before it.
    void prepare(round_kind kind) {
        clock.advance(2);
        if (kind == round_kind::first) dev->data_ready = false;
    }

    // One round, each device call made through `around`; false when the
    // device did not complete the round exactly once, or the codec dropped a frame.
    template <class Around>
    bool round(Around&& around) {
        host.pending = false;
        around([&] { dev->RefreshStatus(); });
        const long published = host.publishes;
        while (host.pending) {
            host.pending = false;
            const reply* r = reply_to(host.cid);
            if (!r) return false;
            reply_chars += long(r->frame.size());
            unsigned char* bytes = const_cast<unsigned char*>(r->frame.data());  // process() only reads them
            around([&] { dev->process(bytes, unsigned(r->frame.size())); });
        }
        return host.publishes == published + 1 && host.errors == 0;
    }
    bool round() {
        return round([](auto&& call) { call(); });
    }

    ManualClock clock;
    counting_host host;
    Json::Value config;
    std::vector<reply> replies;
    std::unique_ptr<measured_device> dev;
    long reply_chars = 0;
    // Heap held by the device (malloc's usable sizes), object included.
    long heap_before_device = 0, heap_constructed = 0, heap_configured = 0;
};

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// 9600 baud 8N1: ten bits a character.
constexpr double LINE_SECONDS_PER_CHAR = 10.0 / 9600.0;

void BM_Round(benchmark::State& state, const char* plant, round_kind kind, int b_mode) {
    rig r(plant_named(plant), b_mode);
    // A completed round first: the maps and the model tables are set up, and
    // steady rounds find data_ready set.
    r.prepare(round_kind::first);
    if (!r.round()) {
        state.SkipWithError("warm-up round did not complete");
        return;
    }
    const long sends0 = r.host.sends, req0 = r.host.request_chars, rep0 = r.reply_chars, alarms0 = r.host.alarms;
    g_heap.allocs = g_heap.alarm_allocs = 0;
    bool ok = true;
    const double cpu0 = thread_cpu_seconds();
    for (auto _ : state) {
        r.prepare(kind);
        g_heap.on = true;
        ok = r.round() && ok;
        g_heap.on = false;
    }
    const double cpu = thread_cpu_seconds() - cpu0;
    if (!ok) {
        state.SkipWithError("a round did not complete");
        return;
    }
    const double rounds = double(state.iterations());
    const double wire = double(r.host.request_chars - req0 + r.reply_chars - rep0) / rounds;
    state.counters["requests"] = double(r.host.sends - sends0) / rounds;
    state.counters["alarms"] = double(r.host.alarms - alarms0) / rounds;
    state.counters["allocs_per_round"] = double(g_heap.allocs) / rounds;
    state.counters["decode_allocs_per_round"] = double(g_heap.allocs - g_heap.alarm_allocs) / rounds;
    state.counters["wire_bytes"] = wire;
    // CPU time per round over line time per round (the loop's own CPU time,
    // as the benchmark's CPU column measures it).
    state.counters["line_ratio"] = cpu / rounds / (wire * LINE_SECONDS_PER_CHAR);
}

void register_all() {
    for (const char* plant : {"minimal", "typical", "full"})
        for (const auto& kind : {std::pair{"first", round_kind::first}, std::pair{"steady", round_kind::steady}}) {
            const std::string name = std::string("BM_Round/") + plant + "/" + kind.first;
            benchmark::RegisterBenchmark(name.c_str(), BM_Round, plant, kind.second, 1);
        }
    // Alarm mode 0 walks table B instead of table A.
    for (const char* plant : {"typical", "full"})
        benchmark::RegisterBenchmark((std::string("BM_RoundTableB/") + plant + "/first").c_str(), BM_Round, plant,
                                     round_kind::first, 0);
}

// ---- --count: rounds for callgrind ----

int count_rounds(const std::string& what, int rounds, std::ostream& out) {
    const size_t slash = what.find('/');
    const std::string plant = what.substr(0, slash);
    const std::string kind_name = slash == std::string::npos ? "first" : what.substr(slash + 1);
    if (kind_name != "first" && kind_name != "steady") {
        std::fprintf(stderr, "--count=PLANT/first or PLANT/steady\n");
        return 2;
    }
    const round_kind kind = kind_name == "first" ? round_kind::first : round_kind::steady;
    rig r(plant_named(plant), 1);
    // Warm-up rounds outside collection: lazy symbol binding, first-use set-up.
    for (int i = 0; i < 2; ++i) {
        r.prepare(kind);
        if (!r.round()) return 1;
    }
    const long req0 = r.host.request_chars, rep0 = r.reply_chars;
    for (int i = 0; i < rounds; ++i) {
        r.prepare(kind);
        // Collection on only inside the device's entry points.
        const bool ok = r.round([](auto&& call) {
            CALLGRIND_TOGGLE_COLLECT;
            call();
            CALLGRIND_TOGGLE_COLLECT;
        });
        if (!ok) return 1;
    }
    out << what << " rounds " << rounds << " wire_bytes "
        << (r.host.request_chars - req0 + r.reply_chars - rep0) / rounds << "\n";
    return 0;
}

// Footprint: the device object and the heap it holds, configured and after
// rounds. A second device shows what each further one costs: the model
// tables' strings are made once per process, at the first alarm check.
void report_footprint(std::ostream& out) {
    out << "sizeof(tzv58_419) " << sizeof(tzv58_419) << " bytes: record " << sizeof(tzv58_419_Data_t)
        << ", host device classes and the rest " << sizeof(tzv58_419) - sizeof(tzv58_419_Data_t)
        << "; the host's reply parser, on the heap: " << sizeof(tzv58::FrameParser) << "\n";
    std::vector<std::unique_ptr<rig>> rigs;
    rigs.reserve(3);
    for (const char* plant : {"full", "full", "typical"}) {
        rigs.push_back(std::make_unique<rig>(plant_named(plant), 1));
        rig& r = *rigs.back();
        for (int i = 0; i < 3; ++i) {
            r.prepare(round_kind::first);
            if (!r.round()) out << "round did not complete\n";
        }
        out << "device " << rigs.size() << " (" << plant << "): heap constructed " << r.heap_constructed
            << " bytes, configured " << r.heap_configured << " bytes, after 3 rounds "
            << g_heap.live_bytes - r.heap_before_device << " bytes\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    quiet_diagnostics();
    std::ostream& results = std::cout;

    std::string count;
    int rounds = 10;
    bool footprint = false;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--count=", 0) == 0)
            count = a.substr(8);
        else if (a.rfind("--rounds=", 0) == 0)
            rounds = std::atoi(a.c_str() + 9);
        else if (a == "--footprint")
            footprint = true;
        else
            rest.push_back(argv[i]);
    }
    if (!count.empty()) {
        const int rc = count_rounds(count, rounds > 0 ? rounds : 1, results);
        results.flush();
        return rc;
    }
    if (footprint) {
        report_footprint(results);
        results.flush();
        return 0;
    }

    register_all();
    return run_benchmarks(int(rest.size()), rest.data());
}
