#include "tools/live/live_api.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>

#include <json/reader.h>

#include "host/hex.h"
#include "tools/common/json_out.h"

namespace tzv58::tool {
namespace {

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// A member's name as an answer quotes it: control characters as \xNN, at
// most 64 bytes of it.
std::string shown_name(const std::string& name) {
    std::string out = "\"";
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        // Never cut inside a character.
        if (out.size() > 64 && (c & 0xC0) != 0x80) return out + "...\"";
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// A number written as a whole number in decimal digits: the reader takes
// 1e2 and 100.0 for reals, whatever their value.
bool whole(const Json::Value& v) { return v.type() == Json::intValue || v.type() == Json::uintValue; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string encode_id(const std::string& id) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : id) {
        if (unreserved(c)) {
            out += char(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

const char* const ID_RULE = "an id is UTF-8 without control characters, at most 256 bytes";

std::string id_fault(const std::string& id) {
    static_assert(LIVE_MAX_ID == 256, "ID_RULE names the bound");
    if (id.size() > LIVE_MAX_ID) return "longer than " + std::to_string(LIVE_MAX_ID) + " bytes";
    if (!is_utf8(id)) return "not UTF-8";
    for (size_t i = 0; i < id.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(id[i]);
        // C1 in UTF-8 is C2 80 to C2 9F.
        const unsigned c1 = c == 0xC2 ? static_cast<unsigned char>(id[i + 1]) : 0xFF;
        if (c < 0x20 || c == 0x7F || c1 < 0xA0) {
            char what[40];
            if (c1 < 0xA0)
                std::snprintf(what, sizeof what, "a control character (U+%04X)", c1);
            else
                std::snprintf(what, sizeof what, "a control character (0x%02X)", unsigned(c));
            return what;
        }
    }
    return "";
}

std::string decode_id(const std::string& segment, std::string& id) {
    id.clear();
    for (size_t i = 0; i < segment.size(); ++i) {
        if (segment[i] != '%') {
            id += segment[i];
        } else {
            const int hi = i + 2 < segment.size() ? hex_digit(segment[i + 1]) : -1;
            const int lo = hi >= 0 ? hex_digit(segment[i + 2]) : -1;
            if (lo < 0) return "a malformed %-escape";
            id += char(hi * 16 + lo);
            i += 2;
        }
        if (id.size() > LIVE_MAX_ID) break;
    }
    return id_fault(id);
}

std::string parse_query(const std::string& target, const std::vector<std::string>& allowed,
                        std::map<std::string, std::string>& out) {
    out.clear();
    const size_t q = target.find('?');
    if (q == std::string::npos || q + 1 == target.size()) return "";
    std::string names;
    for (const std::string& a : allowed) names += (names.empty() ? "" : " and ") + a;
    const std::string query = target.substr(q + 1);
    for (size_t start = 0; start <= query.size();) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(start, end - start);
        const size_t eq = pair.find('=');
        const std::string name = pair.substr(0, eq);
        std::string value;
        if (eq == std::string::npos || std::find(allowed.begin(), allowed.end(), name) == allowed.end() ||
            out.count(name) || !decode_id(pair.substr(eq + 1), value).empty())
            return "the query takes " + (names.empty() ? std::string("nothing") : names + ", each once") + ", not '" +
                   query.substr(0, 64) + "'";
        out[name] = value;
        start = end + 1;
    }
    return "";
}

std::string parse_request_body(const std::string& body, Json::Value& out) {
    // The reader takes a NUL for the end of the text and passes raw control
    // characters inside strings: either would let through what it never read.
    for (size_t i = 0; i < body.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(body[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", c);
            const std::string what = c ? "a control character (" + std::string(hex) + ")" : "a NUL byte";
            return "malformed request: " + what + " at byte " + std::to_string(i + 1) + " of the body";
        }
    }
    if (!is_utf8(body)) return "malformed request: the body is not UTF-8";
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    // The reader throws past this depth: a request of a thousand '[' is
    // refused, not allowed to end the program.
    builder.settings_["stackLimit"] = LIVE_MAX_JSON_DEPTH;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        std::string errs;
        if (!reader->parse(body.data(), body.data() + body.size(), &out, &errs)) {
            // The strict reader refuses a member given twice, and says which.
            static const std::string dup = "Duplicate key: '";
            const size_t at = errs.find(dup), end = errs.find("'\n", at + dup.size());
            if (at == std::string::npos || end == std::string::npos) return "malformed request: not JSON";
            return "malformed request: member " + shown_name(errs.substr(at + dup.size(), end - at - dup.size())) +
                   " given twice";
        }
    } catch (const std::exception&) {
        return "malformed request: nested deeper than " + std::to_string(LIVE_MAX_JSON_DEPTH) + " levels";
    }
    if (!out.isObject()) return "malformed request: not a JSON object";
    return "";
}

std::string parse_control_request(const std::string& body, ControlRequest& out) {
    Json::Value r;
    const std::string why = parse_request_body(body, r);
    if (!why.empty()) return why;
    for (const std::string& name : r.getMemberNames())
        if (name != "code" && name != "in" && name != "out_len" && name != "wait_ms")
            return "malformed request: unknown member " + shown_name(name) +
                   " (a control request takes code, in, out_len and wait_ms)";
    if (!whole(r["code"]) || !r["code"].isInt())
        return "malformed request: \"code\" must be a 32-bit integer in decimal digits";
    out.code = r["code"].asInt();
    const Json::Value& in = r["in"];
    out.in.clear();
    if (!in.isNull() &&
        (!in.isString() || in.asString().size() > 2 * LIVE_MAX_CONTROL_IN || !parse_hex(in.asString(), out.in)))
        return "malformed request: \"in\" must be hex of at most " + std::to_string(LIVE_MAX_CONTROL_IN) + " bytes";
    const Json::Value& len = r["out_len"];
    if (!len.isNull() && (!whole(len) || !len.isInt() || len.asInt() < 0 || len.asInt() > LIVE_MAX_CONTROL_OUT))
        return "malformed request: \"out_len\" must be 0 to " + std::to_string(LIVE_MAX_CONTROL_OUT) +
               " in decimal digits";
    out.out_len = len.isNull() ? 4 : len.asInt();
    const Json::Value& wait = r["wait_ms"];
    if (!wait.isNull() && (!whole(wait) || !wait.isInt() || wait.asInt() < 0 || wait.asInt() > LIVE_MAX_WAIT_MS))
        return "malformed request: \"wait_ms\" must be 0 to " + std::to_string(LIVE_MAX_WAIT_MS) + " in decimal digits";
    out.wait_ms = wait.isNull() ? -1 : wait.asInt();
    return "";
}

std::string control_request_body(int code, const std::vector<uint8_t>& in, long long out_len, long long wait_ms) {
    JsonLine j;
    j.num("code", code).str("in", hex_upper(in)).num("out_len", out_len);
    if (wait_ms >= 0) j.num("wait_ms", wait_ms);
    return j.text();
}

}  // namespace tzv58::tool
