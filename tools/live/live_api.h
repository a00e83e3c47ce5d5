// The live API that `--listen PATH` serves and `get` and `control` use:
// HTTP/1.1 over the Unix socket, JSON bodies.
//
// A site's power systems (--site) are named in the query of each request,
// "?device=north", which a run of one power system does without.
//   GET  /values       the status object (tools/live/status.h): link, rounds,
//                      the age of the data, the values the power system reported
//                      and the alarms; the TCP door serves it at GET /api/status
//   GET  /values/ID    the device's own answer for ID (percent-encoded):
//                      {"id":"out_v","value":53.5} or {"id":"Out_V","error":"..."}
//   POST /control      {"code":300,"in":"HEX","out_len":4,"wait_ms":5000} ->
//                      {"code":300,"result":0,"out_written":4,"out":"01000000","sent":"~...",
//                       "reply":"answered","waited_s":2,"reply_s":0.1,"recorded":1}
//                      "sent" is "" when the device sent nothing; "reply" says what
//                      came back ("answered", "none", "dropped (rtn)", "line lost"),
//                      within the host's reply timeout or "wait_ms" if shorter
//                      ("waited_s"); "reply_s" how long after sending; with "wait_ms", "recorded"
//                      is the device's own result query read right after this
//                      exchange (1: it took the reply as this command's answer)
// A request the program refuses is answered with a status of 400 or more and
// {"error":"..."}: 400 malformed, 404 no such path, 405 wrong method, 413 or
// 431 too large, 503 too many connections or the serial line down, 504 the
// device could not take the request in time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

namespace tzv58::tool {

constexpr size_t LIVE_MAX_ID = 256;           // bytes of one id
constexpr size_t LIVE_MAX_IDS = 64;           // ids of one get command
constexpr size_t LIVE_MAX_CONTROL_IN = 1024;  // input bytes of a control request
constexpr int LIVE_MAX_CONTROL_OUT = 4096;    // its output buffer
constexpr int LIVE_MAX_JSON_DEPTH = 8;        // nesting of a request body

// What an id may be: UTF-8 without a control character (C0, DEL, C1), at
// most LIVE_MAX_ID bytes. No id of the device is anything but printable
// ASCII, and an answer names the id it answers, so nothing else is sent to
// the device or named back. "" for such an id, else what is wrong with it
// ("not UTF-8", "a control character (0x00)", ...); ID_RULE says the rule.
std::string id_fault(const std::string& id);
extern const char* const ID_RULE;
// An id as one path segment: every byte but letters, digits and -._~ as %XX.
std::string encode_id(const std::string& id);
// The reverse, checked by id_fault: "" for an id, else what is wrong (a
// malformed escape, or the id's fault).
std::string decode_id(const std::string& segment, std::string& id);

// The query of a request target ("/values?device=north"): name=value pairs
// joined by '&', each name one of `allowed` and given once, each value
// percent-decoded as an id is. "" when it is one, else the reason.
std::string parse_query(const std::string& target, const std::vector<std::string>& allowed,
                        std::map<std::string, std::string>& out);

// A request body as a JSON object nested at most LIVE_MAX_JSON_DEPTH deep,
// in UTF-8 without a NUL or another raw control character (but the tab and
// the line ends JSON allows between tokens), no member given twice: "" when
// it is one, else the reason.
std::string parse_request_body(const std::string& body, Json::Value& out);

constexpr int LIVE_MAX_WAIT_MS = 3600 * 1000;  // a control request's "wait_ms"

struct ControlRequest {
    int code = 0;
    std::vector<uint8_t> in;
    int out_len = 4;
    int wait_ms = -1;  // -1: not asked
};
// A POST /control body checked: "" when it may go to the device, else the
// reason. A member other than code, in, out_len and wait_ms is refused by
// name: a misspelt "wait_msec" would otherwise send the command without
// the wait it asked for; so is one given twice. Numbers are whole, in
// decimal digits as on the command line: 1e2 and 100.0 are refused.
std::string parse_control_request(const std::string& body, ControlRequest& out);
// The body the client sends (wait_ms -1: none).
std::string control_request_body(int code, const std::vector<uint8_t>& in, long long out_len, long long wait_ms = -1);

}  // namespace tzv58::tool
