// A device driven through whole poll rounds: the fuzzer picks the
// configuration and the reply to every step. Checks after every reply:
// poll_step holds a value the cycle can hold, and the record changes only in
// the block of the command that was answered (and the stamp at round end).
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "fuzz_common.h"
#include "host/frame.h"
#include "host/host_events.h"

using namespace fuzz;

namespace {

// Alarm reports must be whole: a key, an id, a sequence number.
struct Checker : HostEvents {
    void on_alarm(int, const std::string& key, const std::string& id, const std::string&, const std::string&, bool,
                  unsigned short seq) override {
        check(!key.empty() && !id.empty() && seq > 0, "alarm report complete");
        ++alarms;
    }
    int alarms = 0;
};

bool cycle_value(int step) {
    switch (step) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 10:
    case 50:
        return true;
    default:
        return false;
    }
}

}  // namespace

// Input: three configuration bytes, then operations. An operation byte with
// the high bit set is a refresh (the clock moves by its low two bits); any
// other is a reply: CID1 by its low two bits, then a 2-byte length and INFO.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    ManualClock clock(boost::posix_time::time_from_string("2026-01-01 00:00:00"));
    Checker events;
    tzv58_419 dev;
    dev.clock = &clock;
    dev.events = &events;
    const uint8_t flags = data[0];
    dev.has_ac = flags & 1;
    dev.has_dc = flags & 2;
    dev.has_a = flags & 4;
    dev.has_b = flags & 8;
    dev.has_c = flags & 16;
    dev.protocol_ver = (flags & 32) ? 0x21 : 0x20;
    const int layouts[] = {-1, 0, 1, 2};
    dev.no_dc_number = layouts[data[1] % 4];
    dev.b_mode_ = data[2] % 8;
    static const char* const ids[] = {"220600120010", "220600130010", "220600140010", "220600160010",
                                      "220600170010", "210600320010", "210600330010", "210600340010"};
    static const float values[] = {0, 0, 0, 50.5f, 49.5f, 47.0f, 45.0f, 57.5f};
    for (int i = 0; i < 8; ++i) {
        dev.threshold_levels[ids[i]] = (flags & 64) ? 1 : 0;
        dev.threshold_values[ids[i]] = values[i];
    }

    std::vector<char> wire(tzv58::MAX_WIRE_FRAME);
    size_t at = 3;
    for (int op = 0; op < 64 && at < size; ++op) {
        const uint8_t code = data[at++];
        if (code & 0x80) {
            clock.advance(code & 3);
            dev.Reset();
            dev.RefreshStatus();
            check(cycle_value(dev.poll_step), "poll_step after refresh");
            continue;
        }
        if (size - at < 2) break;
        size_t len = (size_t(data[at]) << 8 | data[at + 1]) % 512;
        at += 2;
        if (len > size - at) len = size - at;
        const std::vector<uint8_t> info(data + at, data + at + len);
        at += len;
        static const uint8_t cid1_of[] = {0x40, 0x41, 0x42, 0x80};
        const int step = dev.poll_step;
        const size_t n = tzv58::build_frame(wire.data(), wire.size(), dev.protocol_ver, dev.address, cid1_of[code & 3],
                                            0, info.data(), int(info.size()));
        const Snapshot before(dev);
        dev.process(reinterpret_cast<unsigned char*>(wire.data()), unsigned(n));
        check(cycle_value(dev.poll_step), "poll_step after a reply");

        const bool ended = dev.data_ready && (dev.poll_step == 0 || dev.poll_step == 10) && step != 0 && step != 10;
        const Range stamp = ended ? ROUND_TIME : Range{-1, -1};
        if (step <= 2)
            only_changed(before, dev, {AC_ANALOG_A, AC_STATUS, AC_ALARM_TAIL, AC_ANALOG_B, stamp});
        else if (step <= 6)
            only_changed(before, dev, {RC_BLOCK, stamp});
        else if (step <= 8)
            only_changed(before, dev, {DC_UNIT1, DC_UNIT2, stamp});
        else if (step == 50)
            only_changed(before, dev, {VENDOR, stamp});
        else
            only_changed(before, dev, {});
        if (step == 0 && info.size() >= 2 && dev.poll_step != 0)
            check(dev.data.channel_count == info[1], "channel_count as received");
        if (step == 4 && info.size() >= 4) check(dev.data.module_count == info[3], "module_count as received");
    }
    return 0;
}
