// Test helpers: exact-size hex fixtures, reply frames, a device wired to a
// recording host and a manual clock.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "device/tzv58_419.h"
#include "host/frame.h"
#include "host/hex.h"
#include "host/host_events.h"
#include "host/recorder.h"

// "00 01 14 B5" -> exactly those bytes; blanks are ignored.
inline std::vector<uint8_t> hex(const std::string& s) {
    std::vector<uint8_t> out;
    if (!tzv58::parse_hex(s, out)) throw std::invalid_argument("bad hex fixture: " + s);
    return out;
}

inline std::string to_hex(const std::vector<uint8_t>& v) { return tzv58::hex_upper(v); }

// A reply frame on the wire (with CR), RTN 00H unless told otherwise.
inline std::string reply_frame(uint8_t cid1, const std::vector<uint8_t>& info, uint8_t rtn = 0, uint8_t adr = 1,
                               uint8_t ver = 0x20) {
    std::vector<char> buf(tzv58::MAX_WIRE_FRAME);
    const size_t n = tzv58::build_frame(buf.data(), buf.size(), ver, adr, cid1, rtn, info.data(), int(info.size()));
    return std::string(buf.data(), n);
}

// The device's diagnostic lines, kept from capture_diag() until
// captured_diag() hands them over; standard output otherwise.
class DiagCapture : public tzv58::diag_sink {
public:
    void line(const char* text, size_t len) override { text_.append(text, len); }
    std::string take() {
        std::string out;
        out.swap(text_);
        return out;
    }

private:
    std::string text_;
};

inline DiagCapture& diag_capture() {
    static DiagCapture capture;
    return capture;
}

inline void capture_diag() {
    diag_capture().take();
    tzv58::set_diag(&diag_capture());
}

inline std::string captured_diag() {
    tzv58::set_diag(nullptr);
    return diag_capture().take();
}

inline boost::posix_time::ptime at(const char* when) { return boost::posix_time::time_from_string(when); }

// Where the rigs' manual clocks start: TZV58_TEST_CLOCK ("2040-02-29
// 12:00:00", for one: the target's time64 build runs the suite past 2038),
// else 2026-01-01 00:00:00.
inline boost::posix_time::ptime test_clock_start() {
    const char* start = std::getenv("TZV58_TEST_CLOCK");
    return at(start && *start ? start : "2026-01-01 00:00:00");
}

// A device on a recording host with a manual clock.
template <class Device = tzv58_419>
struct Rig {
    Rig() : clock(test_clock_start()), dev(new Device()) {
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
