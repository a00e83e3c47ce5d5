#include "tools/common/json_out.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tzv58::tool {

std::string float_text(float v) {
    // JSON has no NaN or infinity.
    if (!std::isfinite(v)) return "null";
    char buf[32];
    // Exponent form only where plain digits would not do (230, not 2.3e+02).
    const double mag = std::fabs(double(v));
    const bool plain = mag == 0.0 || (mag >= 1e-4 && mag < 1e9);
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, double(v));
        if (std::strtof(buf, nullptr) == v && (!plain || !std::strchr(buf, 'e'))) break;
    }
    return buf;
}

namespace {

// The length of the well-formed UTF-8 sequence at s[i], or 0 when there is
// none; `bad` then holds how many bytes one U+FFFD stands for (the longest
// start of a sequence that could still have been well-formed, at least one).
size_t utf8_at(const std::string& s, size_t i, size_t& bad) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong form
        hi = c == 0xED ? 0x9F : 0xBF;  // no surrogate
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
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
    }
    return len;
}

}  // namespace

bool is_utf8(const std::string& s) {
    size_t bad = 0;
    for (size_t i = 0, n = 0; i < s.size(); i += n)
        if ((n = utf8_at(s, i, bad)) == 0) return false;
    return true;
}

std::string json_quote(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            size_t bad = 0;
            const size_t n = utf8_at(s, i, bad);
            out += n ? s.substr(i, n) : "\xEF\xBF\xBD";  // U+FFFD
            i += (n ? n : bad) - 1;
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

void JsonLine::key(const char* k) {
    if (body_.size() > 1) body_ += ',';
    body_ += json_quote(k);
    body_ += ':';
}

JsonLine& JsonLine::str(const char* k, const std::string& v) {
    key(k);
    body_ += json_quote(v);
    return *this;
}

JsonLine& JsonLine::num(const char* k, long long v) {
    key(k);
    body_ += std::to_string(v);
    return *this;
}

JsonLine& JsonLine::real(const char* k, float v) {
    key(k);
    body_ += float_text(v);
    return *this;
}

JsonLine& JsonLine::boolean(const char* k, bool v) {
    key(k);
    body_ += v ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::raw(const char* k, const std::string& json) {
    key(k);
    body_ += json;
    return *this;
}

}  // namespace tzv58::tool
