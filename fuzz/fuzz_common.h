// Shared pieces of the fuzz targets: dropped diagnostics and record snapshots.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "device/tzv58_419.h"
#include "telemetry/diag.h"

// Every target that includes this header drops the driver's diagnostic lines,
// which would swamp the fuzzer's output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tzv58::set_diag(&tzv58::null_diag());
    return 0;
}

namespace fuzz {

struct Snapshot {
    explicit Snapshot(const tzv58_419& d) { std::memcpy(bytes, d.record_bytes(), sizeof bytes); }
    uint8_t bytes[sizeof(tzv58_419_Data_t)];
};

using Range = std::pair<int, int>;  // [first, last] record offsets

// Aborts when a byte outside the given ranges differs from the snapshot.
inline void only_changed(const Snapshot& before, const tzv58_419& d, std::initializer_list<Range> allowed) {
    const uint8_t* now = d.record_bytes();
    for (int i = 0; i < int(sizeof before.bytes); ++i) {
        if (now[i] == before.bytes[i]) continue;
        bool ok = false;
        for (const Range& r : allowed) ok = ok || (i >= r.first && i <= r.second);
        if (!ok) {
            std::fprintf(stderr, "record byte %d changed outside the reply's block\n", i);
            std::abort();
        }
    }
}

// Blocks of the record, by the command that owns them.
constexpr Range AC_ANALOG_A{8, 20}, AC_ANALOG_B{41, 84};
constexpr Range AC_STATUS{21, 30};
constexpr Range AC_ALARM_TAIL{31, 33}, AC_ALARM_CH0{58, 62}, AC_ALARM_CH1{80, 84};
constexpr Range RC_BLOCK{85, 849}, RC_MODULES{90, 849};
constexpr Range DC_UNIT1{850, 1045}, DC_UNIT2{1053, 1248};
constexpr Range ROUND_TIME{1046, 1052}, VENDOR{1249, 1256};

inline void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace fuzz
