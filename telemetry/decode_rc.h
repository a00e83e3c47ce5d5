// Rectifier (41H) reply decoders. Unlike the AC and DC decoders they get the
// pointer at DATAFLAG and len is the whole INFO length.
#pragma once

#include <cstdio>
#include <cstring>

#include "telemetry/bytes.h"
#include "telemetry/record.h"
#include "telemetry/wire_value.h"

// Analog layout shared by 41H/41H (width 4, floats) and 41H/42H (width 2):
// DATAFLAG, rc_out_v, N, then N groups of out_i, P and P user-defined values.
// Groups past the record's modules are read into a scratch module; module_count
// keeps N as received.
template <class Data, int Type>
int pmbuspower_419<Data, Type>::decode_rc_analog(const unsigned char* p, int len, int width) {
    constexpr int user_cap = Data::rc_caps::P41_41_SIZE();
    const bool floats = width == 4;
    tzv58::byte_reader r(p, len);
    using tzv58::fixed_point;
    using tzv58::supplied_test;
    // rc_out_v and out_i: no mark for a value not supplied.
    constexpr tzv58::value_rule reading{fixed_point::whole_hundredths, supplied_test::none, 0.0f};
    // User-defined values: equal bytes (zeros included) store 0.0; fixed point
    // is taken unscaled.
    constexpr tzv58::value_rule user{fixed_point::unscaled, supplied_test::equal_bytes, 0.0f};
    auto value = [&](tzv58::f32le& out) { return tzv58::read_value(r, width, reading, out); };
    auto user_value = [&](tzv58::f32le& out) { return tzv58::read_value(r, width, user, out); };

    uint8_t count;
    if (!r.skip(1) || !value(this->data.rc_out_v) || !r.u8(count)) return -1;
    this->data.module_count = count;
    if (floats) {
        std::printf("parse 41_41 channel is %d\n", count);
        std::fflush(stdout);
    }
    rc_module_t scratch;
    for (int i = 0; i < count; ++i) {
        rc_module_t& mod = i < Data::RC_MODULES ? this->data.module[i] : scratch;
        uint8_t users;
        if (!value(mod.out_i) || !r.u8(users)) return -1;
        mod.p41_41_count = users;
        if (users == user_cap) {
            for (int k = 0; k < user_cap; ++k)
                if (!user_value(mod.p41_41[k])) return -1;
        } else if (!r.skip(long(users) * width)) {
            return -1;
        }
    }
    return r.pos();
}

// p: DATAFLAG; len: INFO length. Sample (16 bytes):
//   11                        DATAFLAG
//   00 00 60 42  02           rc_out_v 56.0, N = 2 modules
//   00 00 20 41  00           out_i 10.0, P = 0
//   00 00 A0 41  00           out_i 20.0, P = 0
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse41_41(const unsigned char* p, int len) {
    return decode_rc_analog(p, len, 4);
}

// p: DATAFLAG; len: INFO length. Sample (7 bytes):
//   00  15 38  01             DATAFLAG, rc_out_v 5432 -> 54.0, N = 1 module
//   03 E8  00                 out_i 1000 -> 10.0, P = 0
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse41_42(const unsigned char* p, int len) {
    return decode_rc_analog(p, len, 2);
}

// p: DATAFLAG; len: INFO length. Reads module_count groups (from the last
// analog reply, at most the record's 40), not the reply's own count byte.
// Sample, module_count 2 (12 bytes):
//   10  02                    DATAFLAG, count (not read)
//   00 01 00  01 05           state[0..2], P = 1, p41_43[0]
//   01 00 00  01 06
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse41_43(const unsigned char* p, int len) {
    constexpr int user_cap = Data::rc_caps::P41_43_SIZE();
    const int modules = this->data.module_count < Data::RC_MODULES ? this->data.module_count : Data::RC_MODULES;
    tzv58::byte_reader r(p, len);
    const uint8_t* v;
    uint8_t users;
    if (!r.skip(2)) return -1;
    for (int i = 0; i < modules; ++i) {
        rc_module_t& mod = this->data.module[i];
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

// p: DATAFLAG; len: INFO length. Same module rule as 41H/43H.
// Sample, module_count 2 (19 bytes):
//   01  02                    DATAFLAG, count (not read)
//   00  07  01 02 03 04 05 06 07   fault, P = 7, p41_44[0..6]
//   01  06  AA AA AA AA AA AA      fault, P = 6: skipped, p41_44 kept
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse41_44(const unsigned char* p, int len) {
    constexpr int user_cap = Data::rc_caps::P41_44_SIZE();
    const int modules = this->data.module_count < Data::RC_MODULES ? this->data.module_count : Data::RC_MODULES;
    tzv58::byte_reader r(p, len);
    const uint8_t* v;
    uint8_t fault, users;
    if (!r.skip(2)) return -1;
    for (int i = 0; i < modules; ++i) {
        rc_module_t& mod = this->data.module[i];
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
