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
