#include "tools/common/json_out.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/common/text_guard.h"

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

bool is_utf8(const std::string& s) {
    uint32_t code = 0;
    size_t bad = 0;
    for (size_t i = 0, n = 0; i < s.size(); i += n)
        if ((n = utf8_char(s, i, code, bad)) == 0) return false;
    return true;
}

std::string json_quote(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = 0;
        size_t bad = 0;
        const size_t n = utf8_char(s, i, c, bad);
        if (n != 1) {
            // A terminal control as an escape, so that the line is safe on a
            // terminal too; other UTF-8 as it is.
            if (n == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD
            } else if (terminal_control(c)) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(c));
                out += buf;
            } else {
                out.append(s, i, n);
            }
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
            if (terminal_control(c)) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(c));
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

std::string json_shown(const std::string& json) {
    std::string out;
    for (size_t i = 0; i < json.size();) {
        uint32_t c = 0;
        size_t bad = 0;
        const size_t n = utf8_char(json, i, c, bad);
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
        } else if (terminal_control(c) && c != '\n' && c != '\t' && c != '\r') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(c));
            out += buf;
        } else {
            out.append(json, i, n);
        }
        i += n ? n : bad;
    }
    return out;
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
