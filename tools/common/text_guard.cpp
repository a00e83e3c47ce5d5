#include "tools/common/text_guard.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tzv58::tool {
namespace {

// The length of the valid UTF-8 sequence at p (at most n bytes), 0 for none.
size_t utf8_length(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;  // no overlong form
        if (c == 0xED) hi = 0x9F;  // no surrogate
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < len; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return len;
}

void escape(std::string& out, const unsigned char* p, size_t n) {
    char buf[8];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "\\x%02X", unsigned(p[i]));
        out += buf;
    }
}

}  // namespace

std::string shown(const std::string& s, bool keep_lines) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t len = utf8_length(p + i, s.size() - i);
        const bool c1 = len == 2 && p[i] == 0xC2 && p[i + 1] < 0xA0;
        const bool control = len == 1 && (p[i] < 0x20 || p[i] == 0x7F);
        const bool kept = keep_lines && (p[i] == '\n' || p[i] == '\t');
        if (len == 0) {
            escape(out, p + i, 1);
            ++i;
        } else if (c1 || (control && !kept)) {
            escape(out, p + i, len);
            i += len;
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
    return out;
}

std::string valid_utf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t len = utf8_length(p + i, s.size() - i);
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
