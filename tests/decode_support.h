// Helpers for the reply-decoder tests: a device with a marked record, checks
// that a decoder wrote only its own block, and a truncation sweep.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "support.h"

using Power = pmbuspower_419<tzv58_419_Data_t, 5535>;
using Decoder = int (Power::*)(const unsigned char*, int);

// Half-open byte range of the record image.
struct Span {
    int begin, end;
};

// Record offsets of the blocks the decoders write.
namespace off {
constexpr int channel(int i) { return 41 + 22 * i; }
constexpr int module(int i) { return 90 + 19 * i; }
constexpr int dc(int unit) { return unit == 0 ? 850 : 1053; }
}  // namespace off

constexpr uint8_t CANARY = 0xC5;

// A device whose record is filled with CANARY, so that a stray write of any
// value shows, and whose analog values read back as NaN until decoded.
struct Marked {
    Marked() { std::memset(static_cast<void*>(&dev.data), CANARY, sizeof dev.data); }
    std::vector<uint8_t> image() const {
        return std::vector<uint8_t>(dev.record_bytes(), dev.record_bytes() + sizeof dev.data);
    }
    // Runs the decoder on exactly the bytes given; diagnostics are kept in `out`.
    int run(Decoder d, const std::vector<uint8_t>& info) { return run(d, info, int(info.size())); }
    int run(Decoder d, const std::vector<uint8_t>& info, int len) {
        capture_diag();
        const int r = (dev.*d)(info.data(), len);
        out = captured_diag();
        return r;
    }
    tzv58_419 dev;
    std::string out;
};

inline bool inside(int i, const std::vector<Span>& spans) {
    for (const Span& s : spans)
        if (i >= s.begin && i < s.end) return true;
    return false;
}

// Every byte outside `spans` is as it was.
inline testing::AssertionResult only_changed(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                                             const std::vector<Span>& spans) {
    for (size_t i = 0; i < before.size(); ++i)
        if (before[i] != after[i] && !inside(int(i), spans))
            return testing::AssertionFailure() << "record byte " << i << " changed outside the decoder's block";
    return testing::AssertionSuccess();
}

// Cuts a good reply at every length, each time into an exactly sized buffer so
// that the sanitizers catch a read past it. Every cut gives -1 or a result
// within the cut, and nothing outside the block is written. A length of zero
// or below gives -1 without a write. `prepare` sets up state a decoder needs.
template <class Prepare>
void expect_truncation_safe(Decoder d, const std::vector<uint8_t>& good, const std::vector<Span>& block,
                            Prepare prepare) {
    for (size_t cut = 0; cut <= good.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        Marked m;
        prepare(m.dev);
        const auto before = m.image();
        const std::vector<uint8_t> info(good.begin(), good.begin() + long(cut));
        const int r = m.run(d, info);
        EXPECT_TRUE(r == -1 || (r >= 0 && r <= int(cut))) << "result " << r;
        EXPECT_TRUE(only_changed(before, m.image(), block));
    }
    for (int len : {0, -1, -1000}) {
        Marked m;
        prepare(m.dev);
        const auto before = m.image();
        EXPECT_EQ(m.run(d, good, len), -1) << "len " << len;
        EXPECT_EQ(before, m.image());
    }
}

inline void expect_truncation_safe(Decoder d, const std::vector<uint8_t>& good, const std::vector<Span>& block) {
    expect_truncation_safe(d, good, block, [](tzv58_419&) {});
}

// A record with room for the user-defined values that this device's record
// has no room for (capacity 0), to exercise the decoders' storing rules.
using wide_Data_t = pmbuspower_data<tele_c_pmbuspower_ac<8, 2>, tele_c_pmbuspower_ac_channel<1, 2>,
                                    tele_c_pmbuspower_rc_channel<1, 1, 7>, tele_c_pmbuspower_dc<2, 20, 9, 42, 5>>;

// That record, filled by the decoders themselves.
struct Wide {
    Wide() { std::memset(static_cast<void*>(&data), 0, sizeof data); }
    int parse40_42(const uint8_t* p, int len) { return tzv58::ac_analog(data, {p, len}, 2, tzv58::diag()); }
    int parse40_43(const uint8_t* p, int len) { return tzv58::ac_states(data, {p, len}); }
    int parse40_44(const uint8_t* p, int len) { return tzv58::ac_alarms(data, {p, len}, tzv58::diag()); }
    int parse41_41(const uint8_t* p, int len) { return tzv58::rc_analog(data, {p, len}, 4, tzv58::diag()); }
    int parse41_42(const uint8_t* p, int len) { return tzv58::rc_analog(data, {p, len}, 2, tzv58::diag()); }
    wide_Data_t data;
};

inline uint32_t bits(const tzv58::f32le& v) { return tzv58::load_le32(v.b); }
inline const uint32_t NOT_PROVIDED_BITS = 0xBDCCCCCDu;
