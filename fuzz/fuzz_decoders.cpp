// Every reply decoder fed arbitrary INFO with an arbitrary length. Checks:
// the result is -1 or within len, only the decoder's block of the record
// changes, and the count fields hold what was received.
#include <vector>

#include "fuzz_common.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int which = data[0] % 14;
    const uint8_t len_mode = data[1];
    static tzv58_419 dev;
    dev.data.module_count = data[2];  // the status and alarm decoders loop over it
    dev.dc_i_adjust = int8_t(data[3]);
    data += 4;
    size -= 4;

    int len = int(size);
    if (len_mode == 0xFF)
        len = -int(size) - 1;
    else if (len_mode == 0xFE)
        len = 0;
    else if (len_mode < 0x80 && len_mode < len)
        len = len_mode;
    // Exactly len bytes: a read past len is a read past the buffer.
    std::vector<uint8_t> info(data, data + (len > 0 ? len : 0));
    const unsigned char* p = info.empty() ? nullptr : info.data();

    const Snapshot before(dev);
    int r = -1;
    using P = int (pmbuspower_419<tzv58_419_Data_t, 5535>::*)(const unsigned char*, int);
    static const P decoders[14] = {
        &tzv58_419::parse40_41, &tzv58_419::parse40_42,   &tzv58_419::parse40_43, &tzv58_419::parse40_44,
        &tzv58_419::parse41_41, &tzv58_419::parse41_42,   &tzv58_419::parse41_43, &tzv58_419::parse41_44,
        &tzv58_419::parse42_41, &tzv58_419::parse42_41_2, &tzv58_419::parse42_42, &tzv58_419::parse42_42_2,
        &tzv58_419::parse42_44, &tzv58_419::parse42_44_2,
    };
    r = (dev.*decoders[which])(p, len);
    check(r == -1 || (r >= 0 && r <= len), "result within len");
    if (len <= 0) check(r == -1, "no length, no result");

    const auto& d = dev.data;
    switch (which) {
    case 0:
    case 1:
        only_changed(before, dev, {AC_ANALOG_A, AC_ANALOG_B});
        if (len >= 1) check(d.channel_count == info[0], "channel_count as received");
        break;
    case 2:
        only_changed(before, dev, {AC_STATUS});
        if (len >= 1) check(d.airlock_count == info[0], "airlock_count as received");
        break;
    case 3:
        only_changed(before, dev, {AC_ALARM_TAIL, AC_ALARM_CH0, AC_ALARM_CH1});
        break;
    case 4:
    case 5: {
        only_changed(before, dev, {RC_BLOCK});
        const int w = which == 4 ? 4 : 2;
        if (len >= 2 + w) check(d.module_count == info[1 + w], "module_count as received");
        break;
    }
    case 6:
    case 7:
        only_changed(before, dev, {RC_MODULES});
        break;
    case 8:
    case 10:
    case 12:
        only_changed(before, dev, {DC_UNIT1});
        if (which == 12 && len >= 2) check(d.dc(0).alert_m_count == info[1], "alert_m_count as received");
        if (which != 12) {
            const int w = which == 8 ? 4 : 2;
            if (len >= 2 * w + 1) check(d.dc(0).m == info[2 * w], "m as received");
        }
        break;
    default:
        only_changed(before, dev, {DC_UNIT2});
        break;
    }
    return 0;
}
