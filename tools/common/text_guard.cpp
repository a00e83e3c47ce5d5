#include "tools/common/text_guard.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tzv58::tool {
namespace {

void escape(std::string& out, const char* p, size_t n) {
    char buf[8];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "\\x%02X", unsigned(static_cast<unsigned char>(p[i])));
        out += buf;
    }
}

}  // namespace

size_t utf8_char(const std::string& s, size_t i, uint32_t& code, size_t& bad) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    code = c;
    if (c < 0x80) return 1;
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        code = c & 0x0F;
        lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong form
        hi = c == 0xED ? 0x9F : 0xBF;  // no surrogate
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        code = c & 0x07;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        bad = 1;
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        const unsigned char b = i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
            bad = k;
            return 0;
        }
        code = code << 6 | (b & 0x3F);
    }
    return len;
}

bool terminal_control(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string shown(const std::string& s, bool keep_lines) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t code = 0;
        size_t bad = 0;
        const size_t len = utf8_char(s, i, code, bad);
        const bool kept = keep_lines && (code == '\n' || code == '\t');
        if (len == 0) {
            escape(out, s.data() + i, 1);
            ++i;
            continue;
        }
        if (terminal_control(code) && !kept)
            escape(out, s.data() + i, len);
        else
            out.append(s, i, len);
        i += len;
    }
    return out;
}

std::string valid_utf8(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t code = 0;
        size_t bad = 0;
        const size_t len = utf8_char(s, i, code, bad);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
    return out;
}

std::string spreadsheet_text(const std::string& s) {
    if (s.empty() || std::string("=+-@\t\r").find(s[0]) == std::string::npos) return s;
    // A negative number is a value, not a formula.
    if (s[0] != '-' && s[0] != '+') return "'" + s;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() + s.size() && std::isfinite(v) && s.find_first_of("xXnN") == std::string::npos) return s;
    return "'" + s;
}

}  // namespace tzv58::tool
