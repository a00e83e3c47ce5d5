// Rectifier (41H) reply decoders. Unlike the AC and DC decoders their reader
// starts at DATAFLAG and holds the whole INFO.
#pragma once

#include <cstdint>
#include <cstring>

#include "telemetry/bytes.h"
#include "telemetry/diag.h"
#include "telemetry/record.h"
#include "telemetry/wire_value.h"

namespace tzv58 {

// 41H/41H (width 4, floats) and 41H/42H (width 2): DATAFLAG, rc_out_v, N,
// then N groups of out_i, P and P user-defined values. Groups past the
// record's modules are read into a scratch module; module_count keeps N as
// received.
//
// 41H/41H sample (16 bytes):
//   11                        DATAFLAG
//   00 00 60 42  02           rc_out_v 56.0, N = 2 modules
//   00 00 20 41  00           out_i 10.0, P = 0
//   00 00 A0 41  00           out_i 20.0, P = 0
// 41H/42H sample (7 bytes):
//   00  15 38  01             DATAFLAG, rc_out_v 5432 -> 54.0, N = 1 module
//   03 E8  00                 out_i 1000 -> 10.0, P = 0
template <class Data>
int rc_analog(Data& data, byte_reader r, int width, diag_sink& diag) {
    constexpr int user_cap = Data::rc_caps::P41_41_SIZE();
    // rc_out_v and out_i: no mark for a value not supplied.
    constexpr value_rule reading{fixed_point::whole_hundredths, supplied_test::none, 0.0f};
    // User-defined values: equal bytes (zeros included) store 0.0; fixed point
    // is taken unscaled.
    constexpr value_rule user{fixed_point::unscaled, supplied_test::equal_bytes, 0.0f};

    uint8_t count;
    if (!r.skip(1) || !read_value(r, width, reading, data.rc_out_v) || !r.u8(count)) return -1;
    data.module_count = count;
    if (width == 4) diag_line::rc_module_count(diag, count);
    typename Data::rc_module_t scratch;
    for (int i = 0; i < count; ++i) {
        auto& mod = i < Data::RC_MODULES ? data.module[i] : scratch;
        uint8_t users;
        if (!read_value(r, width, reading, mod.out_i) || !r.u8(users)) return -1;
        mod.p41_41_count = users;
        if (users == user_cap) {
            for (int k = 0; k < user_cap; ++k)
                if (!read_value(r, width, user, mod.p41_41[k])) return -1;
        } else if (!r.skip(long(users) * width)) {
            return -1;
        }
    }
    return r.pos();
}

// The modules that the 43H and 44H replies describe: module_count from the
// last analog reply, at most the record's 40; not the reply's own count byte.
template <class Data>
int rc_modules_held(const Data& data) {
    return data.module_count < Data::RC_MODULES ? data.module_count : Data::RC_MODULES;
}

// 41H/43H. Sample, module_count 2 (12 bytes):
//   10  02                    DATAFLAG, count (not read)
//   00 01 00  01 05           state[0..2], P = 1, p41_43[0]
//   01 00 00  01 06
template <class Data>
int rc_states(Data& data, byte_reader r) {
    constexpr int user_cap = Data::rc_caps::P41_43_SIZE();
    const uint8_t* v;
    uint8_t users;
    if (!r.skip(2)) return -1;
    for (int i = 0; i < rc_modules_held(data); ++i) {
        auto& mod = data.module[i];
        if (!r.bytes(v, 3)) return -1;
        std::memcpy(mod.state, v, 3);
        if (!r.u8(users)) return -1;
        mod.p41_43_count = users;
        if (!r.bytes(v, users)) return -1;
        if (users == user_cap)
            for (int k = 0; k < user_cap; ++k) mod.p41_43[k] = v[k];
    }
    return r.pos();
}

// 41H/44H, the same module rule as 41H/43H. Sample, module_count 2 (19 bytes):
//   01  02                    DATAFLAG, count (not read)
//   00  07  01 02 03 04 05 06 07   fault, P = 7, p41_44[0..6]
//   01  06  AA AA AA AA AA AA      fault, P = 6: skipped, p41_44 kept
template <class Data>
int rc_alarms(Data& data, byte_reader r) {
    constexpr int user_cap = Data::rc_caps::P41_44_SIZE();
    const uint8_t* v;
    uint8_t fault, users;
    if (!r.skip(2)) return -1;
    for (int i = 0; i < rc_modules_held(data); ++i) {
        auto& mod = data.module[i];
        if (!r.u8(fault)) return -1;
        mod.fault = fault;
        if (!r.u8(users)) return -1;
        mod.p41_44_count = users;
        if (!r.bytes(v, users)) return -1;
        if (users == user_cap)
            for (int k = 0; k < user_cap; ++k) mod.p41_44[k] = v[k];
    }
    return r.pos();
}

}  // namespace tzv58
