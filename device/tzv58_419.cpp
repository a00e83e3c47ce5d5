#include "device/tzv58_419.h"

#include <cstdio>

tzv58_419::tzv58_419() {
    device_type = "tzv58_419";
    float_mode = false;
    has_dc = true;
}

tzv58_419::~tzv58_419() = default;

// The model appends the vendor reading 80H/42H to every round:
//   step 7  42H/A     DC analog   then 42H/44H, or 80H/42H when nothing changed
//   step 8  42H/44H   DC alarms   then 80H/42H
//   step 50 80H/42H   vendor      end of round, poll_step 0
//
// Vendor INFO (7 bytes): DATAFLAG, count 1, value 1 (u16 BE, tenths),
// count 2, value 2. Sample: 00 01 01 F4 01 00 64 gives 50.0 and 10.0.
int tzv58_419::process_payload() {
    const int n = info_len();
    const unsigned char* info = reply_frame + tzv58::IMAGE_HEADER;
    switch (poll_step) {
    case 7: {
        const uint8_t dataflag = n >= 1 ? info[0] : 0;
        decode_dc_analog(n);
        if (data_ready && !(dataflag & (tzv58::DATAFLAG_STATES | tzv58::DATAFLAG_ALARMS))) {
            poll_step = 50;
            return write_pmbus_cmd(0x80, 0x42);
        }
        poll_step = 8;
        return send_dc_alarm_query();
    }
    case 8:
        decode_dc_alarm(n);
        poll_step = 50;
        write_pmbus_cmd(0x80, 0x42);
        return 1;
    case 50:
        // Fields the reply does not carry are not decoded.
        for (int k = 0; k < 2; ++k) {
            const int at = 1 + 3 * k;  // count byte; the value follows it
            if (n <= at) break;
            std::printf("80_42 m is %d\n", info[at]);
            std::fflush(stdout);
            if (info[at] == 1 && n >= at + 3) data.ext_value[k].set(float(tzv58::load_be16(info + at + 1)) / 10.0);
        }
        RoundDone();
        poll_step = 0;
        Reset();
        return 0;
    default:
        return pmbuspower_419::process_payload();
    }
}
