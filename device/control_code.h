// The codes DeviceIoControl acts on (device/control.h tells what each does)
// and the signal ids each command knows; any other code reads whether the
// last command was answered. The host program names them from here too.
#pragma once

#include <cstdint>
#include <string_view>

namespace tzv58 {

enum control_code { SET_TIME = 300, SET_PARAM = 310, REMOTE_CONTROL = 320 };

struct param_row {
    std::string_view signal_id;
    uint8_t type;
};
constexpr param_row PARAM_TABLE[] = {
    {"006201", 0xDC},
    {"006202", 0xDB},
};

struct remote_row {
    std::string_view signal_id;
    uint8_t info[2];
};
constexpr remote_row REMOTE_TABLE[] = {
    {"419500201001", {0xE5, 0x01}}, {"419500201002", {0xE5, 0x02}}, {"419500201003", {0xE5, 0x03}},
    {"419500200001", {0xE6, 0x01}}, {"419500200002", {0xE6, 0x02}}, {"419500200003", {0xE6, 0x03}},
    {"419500600001", {0x1F, 0x02}}, {"419500601001", {0x10, 0x02}}, {"419500602001", {0x11, 0x02}},
};

}  // namespace tzv58
