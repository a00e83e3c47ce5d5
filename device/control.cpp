// pmbuspower_419::DeviceIoControl: see control.h for the commands.
#include "device/control.h"

#include <string_view>

#include "device/pmbuspower_419.h"
#include "telemetry/bytes.h"
#include "telemetry/record.h"

template <class Data, int Type>
int pmbuspower_419<Data, Type>::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                                int& out_written) {
    // A buffer that is described but not given is refused before any access.
    // Only the time command and the query write to out; 310 and 320 never do.
    const bool bad_in = in_len < 0 || (!in && in_len > 0);
    const bool bad_out = !out && out_len >= 4;
    const char* text = in_len > 0 ? static_cast<const char*>(in) : "";
    const int len = in_len > 0 ? in_len : 0;

    switch (code) {
    case tzv58::SET_TIME:
        this->poll_step = tzv58::STEP_SET_TIME_ANSWER;
        ctrl_result = -1;
        this->OpenPort();
        if (bad_in || bad_out || len != tzv58::SET_TIME_INFO_LEN) return -1;
        this->write_pmbus_cmd(0x41, 0x4E, static_cast<const unsigned char*>(in), len);
        if (out_len >= 4) {
            tzv58::store_result(out, 1);
            out_written = 4;
        }
        return 0;
    case tzv58::SET_PARAM: {
        ctrl_result = -1;
        this->poll_step = tzv58::STEP_SET_PARAM_ANSWER;
        this->OpenPort();
        if (bad_in) return -1;
        uint8_t type = 0;
        float value = 0.0f;
        const int r = tzv58::parse_set_param(text, len, type, value);
        if (r <= 0) return r;
        ctrl_result = -1;
        unsigned char info[5] = {type};
        tzv58::store_f32le(info + 1, value);
        this->write_pmbus_cmd(0x42, 0x48, info, sizeof info);
        return 0;
    }
    case tzv58::REMOTE_CONTROL:
        this->sp_step = tzv58::REMOTE_CONTROL;
        ctrl_result = -1;
        this->OpenPort();
        if (bad_in) return -1;
        for (const tzv58::remote_row& row : tzv58::REMOTE_TABLE) {
            if (row.signal_id == std::string_view(text, size_t(len))) {
                this->write_pmbus_cmd(0x41, 0x45, row.info, sizeof row.info);
                break;
            }
        }
        return 0;
    default:
        if (out_len < 4 || !out) {
            out_written = 0;
        } else {
            tzv58::store_result(out, ctrl_result);
            out_written = 4;
        }
        return 0;
    }
}

template int pmbuspower_419<tzv58_419_Data_t, 5535>::DeviceIoControl(int, const void*, int, void*, int, int&);
