// Test helpers: exact-size hex fixtures, reply frames, a device wired to a
// recording host and a manual clock.
#pragma once

#include <cctype>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "device/tzv58_419.h"
#include "host/frame.h"
#include "host/recorder.h"

// "00 01 14 B5" -> exactly those bytes; blanks are ignored.
inline std::vector<uint8_t> hex(const std::string& s) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : s) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
        if (v < 0 || v > 15) throw std::invalid_argument("bad hex fixture: " + s);
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(uint8_t(hi << 4 | v));
            hi = -1;
        }
    }
    if (hi >= 0) throw std::invalid_argument("odd hex fixture: " + s);
    return out;
}

inline std::string to_hex(const std::vector<uint8_t>& v) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : v) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// A reply frame on the wire (with CR), RTN 00H unless told otherwise.
inline std::string reply_frame(uint8_t cid1, const std::vector<uint8_t>& info, uint8_t rtn = 0, uint8_t adr = 1,
                               uint8_t ver = 0x20) {
    std::vector<char> buf(tzv58::MAX_WIRE_FRAME);
    const size_t n = tzv58::build_frame(buf.data(), buf.size(), ver, adr, cid1, rtn, info.data(), int(info.size()));
    return std::string(buf.data(), n);
}

inline boost::posix_time::ptime at(const char* when) { return boost::posix_time::time_from_string(when); }

// A device on a recording host with a manual clock.
template <class Device = tzv58_419>
struct Rig {
    Rig() : clock(at("2026-01-01 00:00:00")), dev(new Device()) {
        dev->events = &rec;
        dev->clock = &clock;
    }
    // Delivers a reply to the codec, as bytes received.
    void reply(uint8_t cid1, const std::vector<uint8_t>& info, uint8_t rtn = 0) {
        std::string f = reply_frame(cid1, info, rtn);
        dev->process(reinterpret_cast<unsigned char*>(&f[0]), unsigned(f.size()));
    }
    Recorder rec;
    ManualClock clock;
    std::unique_ptr<Device> dev;
};
