// Control commands and the answer query (pmbuspower_419::DeviceIoControl).
//
//   300 SET_TIME        41H/4EH, INFO the caller's 7 bytes
//   310 SET_PARAM       42H/48H, INFO type byte + IEEE single, low byte first
//                       from {"signal_id": "006201", "SetValue": "53.5"}
//                       -> DC 00 00 56 42
//   320 REMOTE_CONTROL  41H/45H, INFO two bytes by a 12-character signal id
//   any other code      reads ctrl_result: -1 sent, 1 answered
//
// The answer to a command is not decoded: the poll cycle takes any reply
// that arrives while no poll step is awaited (poll_step 300, 310, or 10
// between base rounds) as the answer and sets ctrl_result to 1. Code 320
// leaves poll_step alone, so its answer counts only between base rounds.
#pragma once

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <json/reader.h>

#include "device/control_code.h"
#include "device/pmbuspower_419.h"
#include "telemetry/bytes.h"

namespace tzv58 {

constexpr int SET_TIME_INFO_LEN = 7;

// The 32-bit result handed back in the caller's buffer, in host byte order.
inline void store_result(void* out, int32_t v) { std::memcpy(out, &v, sizeof v); }

// Code 310: the parameter's type byte and value from the request text.
// 1: a command to send; 0: nothing to send; -1: the request is malformed
// (not JSON, not an object, a member with no text form, or a value that is
// not a finite number).
inline int parse_set_param(const char* text, int len, uint8_t& type, float& value) {
    try {
        Json::Value req;
        Json::Reader reader;
        if (!reader.parse(text, text + len, req, true)) return -1;
        if (!req.isObject()) return -1;
        const Json::Value& id = req["signal_id"];
        const Json::Value& set = req["SetValue"];
        if (id.isArray() || id.isObject() || set.isArray() || set.isObject()) return -1;
        if (id.isNull()) return 0;
        const std::string name = id.asString();
        const param_row* row = nullptr;
        for (const param_row& r : PARAM_TABLE)
            if (r.signal_id == name) row = &r;
        if (!row || set.isNull()) return 0;
        // The leading number of the text, as atof takes it. A text with no
        // number, or a value no single can hold, is refused rather than sent
        // to the power system as 0 or as NaN or infinity.
        const std::string number = set.asString();
        char* end = nullptr;
        value = float(std::strtod(number.c_str(), &end));
        if (end == number.c_str() || !std::isfinite(value)) return -1;
        type = row->type;
        return 1;
    } catch (const Json::Exception&) {
        // Nesting deeper than the reader allows, for one.
        return -1;
    }
}

}  // namespace tzv58

// pmbuspower_419::DeviceIoControl, for any record a model instantiates it with.
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
