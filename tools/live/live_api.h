// The live API that `--listen PATH` serves and `get` and `control` use:
// HTTP/1.1 over the Unix socket, JSON bodies.
//
//   GET  /values       the status object (tools/live/status.h): link, rounds,
//                      the age of the data, the values the power system reported
//                      and the alarms; the TCP door serves it at GET /api/status
//   GET  /values/ID    the device's own answer for ID (percent-encoded):
//                      {"id":"out_v","value":53.5} or {"id":"Out_V","error":"..."}
//   POST /control      {"code":320,"in":"HEX","out_len":4} ->
//                      {"code":320,"result":0,"out_written":0,"out":"","sent":"~...","reply":"answered"}
// A request the program refuses is answered with a status of 400 or more and
// {"error":"..."}: 400 malformed, 404 no such path, 405 wrong method, 413 or
// 431 too large, 503 too many connections or the serial line down, 504 the
// device could not take the request in time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

namespace tzv58::tool {

constexpr size_t LIVE_MAX_ID = 256;         // bytes of one id
constexpr size_t LIVE_MAX_IDS = 64;         // ids of one get command
constexpr size_t LIVE_MAX_CONTROL_IN = 1024;  // input bytes of a control request
constexpr int LIVE_MAX_CONTROL_OUT = 4096;  // its output buffer
constexpr int LIVE_MAX_JSON_DEPTH = 8;      // nesting of a request body

// An id as one path segment: every byte but letters, digits and -._~ as %XX.
std::string encode_id(const std::string& id);
// The reverse; false for a malformed escape or an id longer than LIVE_MAX_ID.
bool decode_id(const std::string& segment, std::string& id);

// A request body as a JSON object nested at most LIVE_MAX_JSON_DEPTH deep:
// "" when it is one, else the reason.
std::string parse_request_body(const std::string& body, Json::Value& out);

struct ControlRequest {
    int code = 0;
    std::vector<uint8_t> in;
    int out_len = 4;
};
// A POST /control body checked: "" when it may go to the device, else the reason.
std::string parse_control_request(const std::string& body, ControlRequest& out);
// The body the client sends.
std::string control_request_body(int code, const std::vector<uint8_t>& in, long long out_len);

}  // namespace tzv58::tool
