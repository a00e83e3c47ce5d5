// AC distribution (40H) reply decoders.
//
// Each reads its INFO through one byte_reader, fills the record's AC block and
// returns the bytes consumed, or -1 at the first read that the INFO cannot
// satisfy; what it stored before stays stored. The reader starts after
// DATAFLAG and holds the rest of the INFO.
#pragma once

#include <cstdint>
#include <cstring>

#include "telemetry/bytes.h"
#include "telemetry/diag.h"
#include "telemetry/record.h"
#include "telemetry/wire_value.h"

namespace tzv58 {

// 40H/41H (width 4, floats) and 40H/42H (width 2): M, then M groups of
// a b c f, P and P user-defined values, then ac_tail[3]. Groups past the
// record's channels are read into a scratch channel, so the reply is still
// followed to ac_tail and logs the same lines.
//
// 40H/41H sample (30 bytes):
//   01                                      M = 1 channel
//   00 00 5C 43  00 00 5C 43  FF FF FF FF   a 220.0, b 220.0, c not supplied (0.0)
//   00 00 48 42  00                         f 50.0, P = 0
//   00 00 5C 43  20 20 20 20  00 00 00 00   ac_tail 220.0, NOT_PROVIDED, 0.0
// 40H/42H sample (20 bytes):
//   01                        M = 1 channel
//   56 22  56 57  20 20  13 87   a 220.0, b 221.0, c not supplied (0.0), f 49.0
//   02  00 01  00 02          P = 2 user-defined values, skipped
//   56 22  20 20  00 00       ac_tail 220.0, NOT_PROVIDED, 0.0
template <class Data>
int ac_analog(Data& data, byte_reader r, int width, diag_sink& diag) {
    constexpr int user_cap = Data::ac_channel_caps::P40_41_SIZE();
    const bool floats = width == 4;
    // A value marked as not supplied stores 0.0 for a, b, c and f, and
    // NOT_PROVIDED for user-defined and ac_tail values.
    constexpr value_rule phase{fixed_point::whole_hundredths, supplied_test::equal_nonzero_bytes, 0.0f};
    constexpr value_rule other{fixed_point::whole_hundredths, supplied_test::equal_nonzero_bytes, NOT_PROVIDED};
    auto value = [&](f32le& out, const value_rule& rule, const uint8_t** raw = nullptr) {
        return read_value(r, width, rule, out, raw);
    };

    uint8_t count;
    if (!r.u8(count)) return -1;
    data.channel_count = count;
    if (floats) diag_line::ac_channel_count(diag, count);
    typename Data::ac_channel_t scratch;
    for (int i = 0; i < count; ++i) {
        auto& ch = i < Data::AC_CHANNELS ? data.channel[i] : scratch;
        const uint8_t* a;
        if (!value(ch.a, phase, &a)) return -1;
        if (floats) diag_line::ac_phase_a(diag, a, ch.a.get());
        if (!value(ch.b, phase) || !value(ch.c, phase) || !value(ch.f, phase)) return -1;
        uint8_t users;
        if (!r.u8(users)) return -1;
        ch.p40_41_count = users;
        if (users == user_cap) {
            for (int k = 0; k < user_cap; ++k)
                if (!value(ch.p40_41[k], other)) return -1;
        } else {
            diag_line::ac_user_count(diag, users);
            if (!r.skip(long(users) * width)) return -1;
        }
    }
    for (f32le& tail : data.ac_tail)
        if (!value(tail, other)) return -1;
    return r.pos();
}

// 40H/43H. Sample (5 bytes):
//   03  01 00 01  00          K = 3 switch states, P = 0 user-defined states
// A P other than the capacity is skipped, still within the INFO.
template <class Data>
int ac_states(Data& data, byte_reader r) {
    constexpr int user_cap = Data::ac_caps::P40_43_SIZE();
    uint8_t switches, users;
    const uint8_t* v;
    if (!r.u8(switches)) return -1;
    data.airlock_count = switches;
    if (switches > Data::ac_caps::AIRLOCK_MAX()) return -1;
    if (!r.bytes(v, switches)) return -1;
    std::memcpy(data.airlock, v, switches);
    if (!r.u8(users)) return -1;
    data.p40_43_count = users;
    if (!r.bytes(v, users)) return -1;
    if (users == user_cap)
        for (int k = 0; k < user_cap; ++k) data.p40_43[k] = v[k];
    return r.pos();
}

// 40H/44H. Always two channel groups, whatever the count byte says.
// Sample (17 bytes):
//   02                        channel count (logged only)
//   00 00 01 00  00  00       a..f_alarm of channel 0, k = 0, P = 0
//   01 02 00 00  01 EE  00    channel 1, k = 1 (EE skipped), P = 0
//   00 01 00                  ac_tail_alarm
template <class Data>
int ac_alarms(Data& data, byte_reader r, diag_sink& diag) {
    constexpr int user_cap = Data::ac_channel_caps::p40_44_SIZE();
    uint8_t count, extra, users;
    const uint8_t* v;
    if (!r.u8(count)) return -1;
    diag_line::ac_alarm_channels(diag, count);
    for (auto& ch : data.channel) {
        if (!r.bytes(v, 4)) return -1;
        ch.a_alarm = v[0];
        ch.b_alarm = v[1];
        ch.c_alarm = v[2];
        ch.f_alarm = v[3];
        if (!r.u8(extra) || !r.skip(extra)) return -1;
        if (!r.u8(users)) return -1;
        ch.p40_44_count = users;
        if (!r.bytes(v, users)) return -1;
        if (users == user_cap)
            for (int k = 0; k < user_cap; ++k) ch.p40_44[k] = v[k];
    }
    if (!r.bytes(v, 3)) return -1;
    std::memcpy(data.ac_tail_alarm, v, 3);
    return r.pos();
}

}  // namespace tzv58
