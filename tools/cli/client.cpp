#include "tools/cli/client.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "device/control_code.h"
#include "host/hex.h"
#include "tools/cli/live_connection.h"
#include "tools/cli/status_text.h"
#include "tools/common/exit_status.h"
#include "tools/common/json_out.h"
#include "tools/common/text_guard.h"
#include "tools/live/live_api.h"

namespace tzv58::tool {
namespace {

// An English gloss for the device's refusal texts.
std::string gloss(const std::string& refusal) {
    static const std::pair<const char*, const char*> glosses[] = {
        {"数据未就绪", "data not ready: no poll round has completed yet"},
        {"数据已超时", "data too old: the last complete round is more than 60 s old"},
        {"不支持变量", "unsupported variable: this device serves out_v and ac"},
    };
    for (const auto& g : glosses)
        if (refusal == g.first) return refusal + " (" + g.second + ")";
    return refusal;
}

// "?device=NAME" for --device NAME, "" without it.
std::string device_query(const CommandLine& cl) {
    return cl.has("--device") ? "?device=" + encode_id(cl.get("--device")) : "";
}

// A refusal that names the power systems: the caller named none, or one the
// poll does not watch. A usage error, said with the option's name.
bool device_refused(const CommandLine& cl, const Json::Value& answer, int& status) {
    if (!answer.isObject() || !answer["devices"].isArray()) return false;
    std::string names;
    for (const Json::Value& d : answer["devices"]) names += (names.empty() ? "" : ", ") + shown(d.asString());
    status = usage_error(cl.has("--device") ? "option --device: the poll watches no power system named '" +
                                                  shown(cl.get("--device")) + "' (it watches " + names + ")"
                                            : "the poll watches " + std::to_string(answer["devices"].size()) +
                                                  " power systems: name one with --device NAME (" + names + ")");
    return true;
}

bool need_socket(const CommandLine& cl, std::string& err) {
    if (!cl.has("--socket")) {
        err = cl.command + " needs --socket PATH (see " + cl.command + " --help)";
        return false;
    }
    return true;
}

// "YYYY-MM-DDTHH:MM:SS" as the power system's 7-byte time: year (low byte
// first), month, day, hour, minute, second.
bool time_bytes(const std::string& text, std::vector<uint8_t>& out) {
    static const char shape[] = "dddd-dd-ddTdd:dd:dd";
    if (text.size() != sizeof shape - 1) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
    const auto at = [&](size_t pos, size_t len) { return std::atoi(text.substr(pos, len).c_str()); };
    const int y = at(0, 4), mo = at(5, 2), d = at(8, 2), h = at(11, 2), mi = at(14, 2), s = at(17, 2);
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > days[mo - 1] + (mo == 2 && leap) || h > 23 || mi > 59 || s > 59)
        return false;
    out = {uint8_t(y & 0xFF), uint8_t(y >> 8), uint8_t(mo), uint8_t(d), uint8_t(h), uint8_t(mi), uint8_t(s)};
    return true;
}

std::string now_text() {
    const time_t t = ::time(nullptr);
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}

// The control form and its input bytes from the command line: 0, or the
// status of a usage error already reported.
int control_form(const CommandLine& cl, int& code, std::vector<uint8_t>& in) {
    const std::string form = cl.args[0];
    const size_t n = cl.args.size();
    if (form == "set-time") {
        if (n > 2) return usage_error("set-time takes one time at most: YYYY-MM-DDTHH:MM:SS");
        const std::string when = n == 2 ? cl.args[1] : now_text();
        if (!time_bytes(when, in))
            return usage_error("set-time needs a time as YYYY-MM-DDTHH:MM:SS, not '" + when + "'");
        code = SET_TIME;
    } else if (form == "set-param") {
        if (n != 3) return usage_error("set-param needs SIGNAL_ID VALUE");
        // The device narrows the value to a float.
        double v = 0;
        if (!parse_real(cl.args[2], v) || std::fabs(v) > FLT_MAX)
            return usage_error("set-param needs a decimal number within a float's range as VALUE, not '" + cl.args[2] +
                               "'");
        const std::string text = JsonLine().str("signal_id", cl.args[1]).str("SetValue", cl.args[2]).text();
        in.assign(text.begin(), text.end());
        code = SET_PARAM;
    } else if (form == "remote") {
        if (n != 2) return usage_error("remote needs one ID");
        in.assign(cl.args[1].begin(), cl.args[1].end());
        code = REMOTE_CONTROL;
    } else {
        long long v = 0;
        if (!parse_whole(form, v) || v < INT32_MIN || v > INT32_MAX)
            return usage_error("control needs a CODE (a decimal 32-bit integer), set-time, set-param or remote, not '" +
                               form + "'");
        if (n != 1) return usage_error("unexpected argument '" + cl.args[1] + "'");
        if (cl.has("--text") && cl.has("--hex")) return usage_error("give --text or --hex, not both");
        if (cl.has("--hex") && !parse_hex(cl.get("--hex"), in)) return usage_error("--hex needs pairs of hex digits");
        const std::string t = cl.get("--text");
        if (cl.has("--text")) in.assign(t.begin(), t.end());
        code = int(v);
    }
    if (in.size() > LIVE_MAX_CONTROL_IN)
        return usage_error("the request is at most " + std::to_string(LIVE_MAX_CONTROL_IN) + " bytes long");
    return 0;
}

// Reads an answer of the host: one whose members are not of the types the
// API gives is a failure with one line, not the end of the program.
template <class F>
int understood(F read) {
    try {
        return read();
    } catch (const std::exception& e) {
        return failure(std::string("the host's answer is not understood: ") + e.what());
    }
}

bool is_command(int code) { return code == SET_TIME || code == SET_PARAM || code == REMOTE_CONTROL; }

template <class Row, size_t N>
std::string known_ids(const Row (&table)[N]) {
    std::string ids;
    for (const Row& row : table) ids += (ids.empty() ? "" : ", ") + std::string(row.signal_id);
    return ids;
}

// Why the device took a command (result 0) and sent nothing.
std::string nothing_sent(int code, const std::vector<uint8_t>& in) {
    const std::string text(in.begin(), in.end());
    if (code == REMOTE_CONTROL)
        return "nothing sent: the device knows no remote-control id '" + text + "' (it knows " +
               known_ids(REMOTE_TABLE) + ")";
    if (code == SET_PARAM)
        return "nothing sent: the device found no parameter it knows in " + text + " (it knows signal_id " +
               known_ids(PARAM_TABLE) + ", with a SetValue)";
    return "nothing sent";
}

// Why the device refused a command.
std::string refusal(int code, int result) {
    const std::string head = "the device refused the request (result " + std::to_string(result) + ")";
    if (code == SET_TIME) return head + ": set-time takes exactly 7 bytes";
    if (code == SET_PARAM) return head + ": the request is not a JSON object with a signal_id and a number as SetValue";
    return head;
}

std::string seconds_text(const Json::Value& s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", s.asDouble());
    return buf;
}

// A command that went out: status 0 when the line answered, and, with
// --wait, when the device recorded the reply as this command's answer.
int command_verdict(int code, bool wait, const Json::Value& r) {
    const std::string reply = r["reply"].asString();
    if (reply == "none") return failure("sent; no reply from the power system within " + seconds_text(r["waited_s"]));
    if (reply == "line lost") return failure("sent; the serial line was lost while the reply was awaited");
    if (reply != "answered") return failure("sent; the power system's reply was " + reply);
    if (!wait) return 0;
    const std::string after = seconds_text(r["reply_s"]);
    // Between this model's rounds the device takes a remote-control reply
    // for a poll reply, or for the answer to an earlier command: its result
    // tells nothing of this one.
    if (code == REMOTE_CONTROL) {
        std::printf("answered: sent; the device does not track this answer; the power system replied after %s\n",
                    after.c_str());
        return 0;
    }
    const int recorded = r["recorded"].asInt();
    if (recorded == 1) {
        std::printf("answered: yes (the device recorded the reply, %s after sending, as this command's answer)\n",
                    after.c_str());
        return 0;
    }
    std::printf("answered: no (result %d)\n", recorded);
    return failure("the power system replied, but the device did not record the reply as this command's answer");
}

// A code that is no command reads whether the last command's answer was
// recorded: status 0 when it was.
int query_verdict(int code, const Json::Value& r) {
    std::vector<uint8_t> out;
    int32_t recorded = -1;
    if (parse_hex(r["out"].asString(), out) && out.size() >= 4) std::memcpy(&recorded, out.data(), 4);
    std::printf("answer of the last command: %s\n", recorded == 1 ? "recorded (1)" : "none recorded (-1)");
    if (recorded == 1) return 0;
    return failure(std::to_string(code) + " is no command of this device (300 set-time, 310 set-param, 320 remote): " +
                   "it read the last command's answer, and none is recorded");
}

// What the device did with the request, then the verdict.
int print_control(int code, const std::vector<uint8_t>& in, bool wait, const Json::Value& r) {
    const std::string sent = r["sent"].asString(), out = r["out"].asString();
    std::printf("control %d: result %d\n", code, r["result"].asInt());
    std::printf("out: %s\n", out.empty() ? "(nothing written)" : shown(out).c_str());
    std::printf("sent: %s\n", sent.empty() ? "nothing" : shown(sent).c_str());
    if (!sent.empty()) std::printf("reply: %s\n", shown(r["reply"].asString()).c_str());
    if (!is_command(code)) return query_verdict(code, r);
    const int result = r["result"].asInt();
    if (result != 0) return failure(refusal(code, result));
    if (r["sent"].asString().empty()) return failure(nothing_sent(code, in));
    return command_verdict(code, wait, r);
}

// get without ids: the status object, for people or (--json) as it came,
// but for the characters a terminal acts on.
int print_status(LiveConnection& c, const CommandLine& cl, bool json) {
    Json::Value st, model;
    std::string err, body;
    int status = 0;
    const std::string device = device_query(cl);
    if (!c.ask("GET", "/values" + device, "", st, err, &body))
        return device_refused(cl, st, status) ? status : failure(err);
    // Read without the values first: an answer of another shape is told
    // before anything more is asked.
    std::string why;
    std::string text = status_text(st, model, why);
    if (!json) {
        if (!c.ask("GET", "/model" + device, "", model, err)) return failure(err);
        text = status_text(st, model, why);
    }
    // For people: whatever the socket sent, no control character reaches the terminal.
    std::fputs(json ? json_shown(body).c_str() : shown(text, true).c_str(), stdout);
    return why.empty() ? 0 : failure(why);
}

// get with ids: the device's answer for each. An answer from data that is
// not current comes with the link and the data's age, and says so.
int print_ids(LiveConnection& c, const CommandLine& cl, const std::vector<std::string>& ids) {
    bool all = true;
    std::string err, why;
    int status = 0;
    const std::string device = device_query(cl);
    // ac is shown beside what the mains-failure alarm says.
    Json::Value st;
    if (std::find(ids.begin(), ids.end(), "ac") != ids.end() && !c.ask("GET", "/values" + device, "", st, err))
        return device_refused(cl, st, status) ? status : failure(err);
    for (const std::string& id : ids) {
        Json::Value v;
        if (!c.ask("GET", "/values/" + encode_id(id) + device, "", v, err))
            return device_refused(cl, v, status) ? status : failure(err);
        if (v.isMember("link") && why.empty())
            std::printf("link: %s\n%s", shown(link_words(v["link"])).c_str(),
                        shown(age_line(v["link"], v["data"], v["address"].asInt(), why), true).c_str());
        const char* mark = v.isMember("link") ? " (last value)" : "";
        if (v.isMember("value")) {
            std::printf("%s: %s%s\n", shown(id).c_str(), shown(id_value_text(id, v["value"], st)).c_str(), mark);
        } else {
            std::printf("%s: %s\n", shown(id).c_str(), shown(gloss(v["error"].asString())).c_str());
            all = false;
        }
    }
    if (!why.empty()) return failure(why);
    return all ? 0 : EXIT_FAIL;
}

}  // namespace

int run_get(const CommandLine& cl) {
    std::string err;
    if (!need_socket(cl, err)) return usage_error(err);
    if (cl.has("--device") && cl.get("--device").empty()) return usage_error("option --device needs a NAME");
    if (cl.args.size() > LIVE_MAX_IDS)
        return usage_error("get takes at most " + std::to_string(LIVE_MAX_IDS) + " ids at once");
    for (const std::string& id : cl.args) {
        const std::string fault = id_fault(id);
        if (!fault.empty())
            return usage_error("id '" + (id.size() > 64 ? id.substr(0, 64) + "..." : id) + "': " + fault + " (" +
                               ID_RULE + ")");
    }
    if (cl.has("--json") && !cl.args.empty())
        return usage_error("get --json takes no ids: the status object holds every value");
    LiveConnection c;
    if (const int status = c.open(cl.get("--socket"))) return status;
    return understood(
        [&] { return cl.args.empty() ? print_status(c, cl, cl.has("--json")) : print_ids(c, cl, cl.args); });
}

int run_control(const CommandLine& cl) {
    std::string err;
    if (!need_socket(cl, err)) return usage_error(err);
    if (cl.has("--device") && cl.get("--device").empty()) return usage_error("option --device needs a NAME");
    long long wait_s = 0, out_len = 4;
    if (!option_number(cl, "--wait", 1, 3600, wait_s, err) ||
        !option_number(cl, "--out", 0, LIVE_MAX_CONTROL_OUT, out_len, err))
        return usage_error(err);
    if (cl.args.empty()) return usage_error("control needs CODE, set-time, set-param or remote (see control --help)");
    const std::string form = cl.args[0];
    if ((form == "set-time" || form == "set-param" || form == "remote") &&
        (cl.has("--text") || cl.has("--hex") || cl.has("--out")))
        return usage_error("--text, --hex and --out go with a CODE, not with " + form);
    int code = 0;
    std::vector<uint8_t> in;
    if (const int status = control_form(cl, code, in)) return status;

    if (!is_command(code) && cl.has("--wait"))
        return usage_error("--wait goes with a command (set-time, set-param, remote; 300, 310, 320), not with " +
                           std::to_string(code) + ", which reads the last command's answer");
    if (!is_command(code) && out_len < 4)
        return usage_error(std::to_string(code) + " reads the last command's answer, 4 bytes: --out 4 or more");

    LiveConnection c;
    if (const int status = c.open(cl.get("--socket"))) return status;
    Json::Value reply;
    const long long wait_ms = cl.has("--wait") ? wait_s * 1000 : -1;
    int status = 0;
    if (!c.ask("POST", "/control" + device_query(cl), control_request_body(code, in, out_len, wait_ms), reply, err))
        return device_refused(cl, reply, status) ? status : failure(err);
    return understood([&] { return print_control(code, in, cl.has("--wait"), reply); });
}

}  // namespace tzv58::tool
