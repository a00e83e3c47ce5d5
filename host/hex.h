// Hex text of bytes, as the host's events, scripts and record files carry it.
#pragma once

#ifdef TZV58_PLUGIN_BUILD
#error "the stand-in host's own header: a plug-in builds against host/zmx_device.h and host/pmbus_protocol.h only"
#endif

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tzv58 {

// Upper case, no separators.
inline std::string hex_upper(const uint8_t* data, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

inline std::string hex_upper(const std::vector<uint8_t>& v) { return hex_upper(v.data(), v.size()); }

// Pairs of hex digits of either case; white space between them is skipped.
// False for any other character or an odd number of digits.
inline bool parse_hex(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    int hi = -1;
    for (unsigned char c : text) {
        if (std::isspace(c)) continue;
        if (!std::isxdigit(c)) return false;
        const int v = std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(uint8_t(hi << 4 | v));
            hi = -1;
        }
    }
    return hi < 0;
}

}  // namespace tzv58
