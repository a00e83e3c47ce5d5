#include "tools/cli/client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>

#include "device/control_code.h"
#include "host/hex.h"
#include "tools/common/clock.h"
#include "tools/common/exit_status.h"
#include "tools/common/json_out.h"
#include "tools/live/live_socket.h"
#include "tools/report/record_dump.h"

namespace tzv58::tool {
namespace {

// A control command's reply may take the host's whole reply timeout, behind
// a poll round: wait well beyond both.
constexpr int REPLY_WAIT_MS = 30000;
// Any code other than the device's own reads whether the last command was answered.
constexpr int QUERY_CODE = 0;

class Connection {
public:
    ~Connection() {
        if (fd_ >= 0) ::close(fd_);
    }

    bool open(const std::string& path, std::string& err) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.empty() || path.size() >= sizeof addr.sun_path) {
            err = "socket path must be 1 to " + std::to_string(sizeof addr.sun_path - 1) + " bytes long";
            return false;
        }
        std::memcpy(addr.sun_path, path.data(), path.size());
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            err = "cannot reach a running poll at " + path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    // One request line out, one reply line back, within REPLY_WAIT_MS.
    bool ask(const std::string& request, Json::Value& reply, std::string& err) {
        const std::string line = request + "\n";
        for (size_t sent = 0; sent < line.size();) {
            const ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                err = std::string("the host closed the connection: ") + std::strerror(errno);
                return false;
            }
            sent += size_t(n);
        }
        const long long deadline = now_ms() + REPLY_WAIT_MS;
        size_t nl;
        while ((nl = buffered_.find('\n')) == std::string::npos) {
            const long long left = deadline - now_ms();
            pollfd p{fd_, POLLIN, 0};
            const int r = left > 0 ? ::poll(&p, 1, int(left)) : 0;
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                err = "no reply from the host within " + std::to_string(REPLY_WAIT_MS / 1000) + " s";
                return false;
            }
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                err = "the host closed the connection without a reply";
                return false;
            }
            buffered_.append(buf, size_t(n));
            if (buffered_.size() > (1u << 20)) {
                err = "the host's reply is far too long";
                return false;
            }
        }
        const std::string text = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        if (!reader->parse(text.data(), text.data() + text.size(), &reply, nullptr) || !reply.isObject()) {
            err = "the host's reply is not understood: " + text.substr(0, 200);
            return false;
        }
        if (reply["error"].isString()) {
            err = reply["error"].asString();
            return false;
        }
        return true;
    }

private:
    int fd_ = -1;
    std::string buffered_;
};

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

// "name: value" lines of a record, in the record's order, with the names
// that `tzv58-host record` prints (nested as channel[0].a, dc[1].out_v).
// Arrays of plain values stay on one line; texts are shown without quotes.
class Flattener {
public:
    explicit Flattener(const std::string& json) : t_(json) {}
    std::string lines() {
        value("");
        return out_;
    }

private:
    char peek() {
        while (i_ < t_.size() && std::isspace(static_cast<unsigned char>(t_[i_]))) ++i_;
        return i_ < t_.size() ? t_[i_] : '\0';
    }
    // A string token at i_; i_ moves past it.
    std::string string_token() {
        const size_t start = i_++;
        while (i_ < t_.size() && t_[i_] != '"') i_ += t_[i_] == '\\' ? 2 : 1;
        ++i_;
        return t_.substr(start, i_ - start);
    }
    static std::string unquoted(const std::string& token) {
        Json::Value v;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        if (reader->parse(token.data(), token.data() + token.size(), &v, nullptr) && v.isString()) return v.asString();
        return token;
    }
    void value(const std::string& path) {
        const char c = peek();
        if (c == '{') {
            ++i_;
            while (peek() == '"') {
                const std::string key = unquoted(string_token());
                if (peek() != ':') return;
                ++i_;
                value(path.empty() ? key : path + "." + key);
                if (peek() == ',') ++i_;
            }
            if (peek() == '}') ++i_;
        } else if (c == '[') {
            const size_t start = i_++;
            if (peek() == '{') {
                for (int k = 0; peek() == '{'; ++k) {
                    value(path + "[" + std::to_string(k) + "]");
                    if (peek() == ',') ++i_;
                }
                if (peek() == ']') ++i_;
                return;
            }
            const size_t end = t_.find(']', start);
            i_ = end == std::string::npos ? t_.size() : end + 1;
            out_ += path + ": " + t_.substr(start, i_ - start) + "\n";
        } else if (c == '"') {
            out_ += path + ": " + unquoted(string_token()) + "\n";
        } else if (c != '\0') {
            const size_t start = i_;
            while (i_ < t_.size() && !std::strchr(",}] \n\t\r", t_[i_])) ++i_;
            out_ += path + ": " + t_.substr(start, i_ - start) + "\n";
        }
    }

    const std::string& t_;
    size_t i_ = 0;
    std::string out_;
};

bool need_socket(const CommandLine& cl, std::string& err) {
    if (!cl.has("--socket")) {
        err = cl.command + " needs --socket PATH (see " + cl.command + " --help)";
        return false;
    }
    return true;
}

std::string control_request(int code, const std::vector<uint8_t>& in, long long out_len) {
    return JsonLine()
        .str("op", "control")
        .num("code", code)
        .str("in", hex_upper(in))
        .num("out_len", out_len)
        .text();
}

// "YYYY-MM-DDTHH:MM:SS" as the power system's 7-byte time: year (low byte
// first), month, day, hour, minute, second.
bool time_bytes(const std::string& text, std::vector<uint8_t>& out) {
    int y, mo, d, h, mi, s;
    char tail;
    if (text.size() != 19 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
        return false;
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > days[mo - 1] + (mo == 2 && leap) || h > 23 || mi > 59 ||
        s > 59 || h < 0 || mi < 0 || s < 0)
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

bool whole_number(const std::string& s, long long lo, long long hi, long long& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 10);
    return !*end && errno == 0 && v >= lo && v <= hi;
}

}  // namespace

int run_get(const CommandLine& cl) {
    std::string err;
    if (!need_socket(cl, err)) return usage_error(err);
    if (cl.args.size() > LiveSocket::MAX_IDS)
        return usage_error("get takes at most " + std::to_string(LiveSocket::MAX_IDS) + " ids at once");
    for (const std::string& id : cl.args)
        if (id.size() > LiveSocket::MAX_ID)
            return usage_error("an id is at most " + std::to_string(LiveSocket::MAX_ID) + " bytes long");
    Connection c;
    if (!c.open(cl.get("--socket"), err)) return failure(err);
    Json::Value reply;
    if (cl.args.empty()) {
        if (!c.ask(JsonLine().str("op", "values").text(), reply, err)) return failure(err);
        std::printf("link: %s (last round: %s)\n", reply["link"].asString().c_str(),
                    reply["last_round"].asString().c_str());
        std::vector<uint8_t> image;
        tzv58_419_Data_t record;
        if (!reply["record"].isString()) {
            std::printf("age: no complete round yet\n");
            return EXIT_FAIL;
        }
        if (!parse_hex(reply["record"].asString(), image) || image.size() != sizeof record)
            return failure("the host sent a record of the wrong size");
        std::memcpy(&record, image.data(), sizeof record);
        std::printf("age: %.1f s\n", reply["age_ms"].asDouble() / 1000.0);
        std::fputs(Flattener(record_json(record)).lines().c_str(), stdout);
        return 0;
    }
    std::string ids = "[";
    for (const std::string& id : cl.args) ids += (ids.size() > 1 ? "," : "") + json_quote(id);
    if (!c.ask(JsonLine().str("op", "get").raw("ids", ids + "]").text(), reply, err)) return failure(err);
    bool all = true;
    for (const Json::Value& v : reply["values"]) {
        const std::string id = v["id"].asString();
        if (v.isMember("value")) {
            const Json::Value& x = v["value"];
            std::printf("%s: %s\n", id.c_str(), x.isNull() ? "nan" : float_text(x.asFloat()).c_str());
        } else {
            std::printf("%s: %s\n", id.c_str(), gloss(v["error"].asString()).c_str());
            all = false;
        }
    }
    return all && reply["values"].size() == cl.args.size() ? 0 : EXIT_FAIL;
}

int run_control(const CommandLine& cl) {
    std::string err;
    if (!need_socket(cl, err)) return usage_error(err);
    long long wait_s = 0, out_len = 4;
    if (!option_number(cl, "--wait", 1, 3600, wait_s, err) ||
        !option_number(cl, "--out", 0, LiveSocket::MAX_CONTROL_OUT, out_len, err))
        return usage_error(err);
    if (cl.args.empty()) return usage_error("control needs CODE, set-time, set-param or remote (see control --help)");
    const std::string form = cl.args[0];
    const size_t n = cl.args.size();
    const bool friendly = form == "set-time" || form == "set-param" || form == "remote";
    if (friendly && (cl.has("--text") || cl.has("--hex") || cl.has("--out")))
        return usage_error("--text, --hex and --out go with a CODE, not with " + form);
    int code = 0;
    std::vector<uint8_t> in;
    if (form == "set-time") {
        if (n > 2) return usage_error("set-time takes one time at most: YYYY-MM-DDTHH:MM:SS");
        const std::string when = n == 2 ? cl.args[1] : now_text();
        if (!time_bytes(when, in)) return usage_error("set-time needs a time as YYYY-MM-DDTHH:MM:SS, not '" + when + "'");
        code = SET_TIME;
    } else if (form == "set-param") {
        if (n != 3) return usage_error("set-param needs SIGNAL_ID VALUE");
        char* end = nullptr;
        const double v = std::strtod(cl.args[2].c_str(), &end);
        if (cl.args[2].empty() || *end || !std::isfinite(v))
            return usage_error("set-param needs a number as VALUE, not '" + cl.args[2] + "'");
        const std::string text =
            JsonLine().str("signal_id", cl.args[1]).str("SetValue", cl.args[2]).text();
        in.assign(text.begin(), text.end());
        code = SET_PARAM;
    } else if (form == "remote") {
        if (n != 2) return usage_error("remote needs one ID");
        in.assign(cl.args[1].begin(), cl.args[1].end());
        code = REMOTE_CONTROL;
    } else {
        long long v = 0;
        if (!whole_number(form, INT32_MIN, INT32_MAX, v))
            return usage_error("control needs a CODE (a 32-bit integer), set-time, set-param or remote, not '" + form + "'");
        if (n != 1) return usage_error("unexpected argument '" + cl.args[1] + "'");
        if (cl.has("--text") && cl.has("--hex")) return usage_error("give --text or --hex, not both");
        if (cl.has("--hex") && !parse_hex(cl.get("--hex"), in)) return usage_error("--hex needs pairs of hex digits");
        if (cl.has("--text")) {
            const std::string t = cl.get("--text");
            in.assign(t.begin(), t.end());
        }
        code = int(v);
    }
    if (in.size() > LiveSocket::MAX_CONTROL_IN)
        return usage_error("the request is at most " + std::to_string(LiveSocket::MAX_CONTROL_IN) + " bytes long");

    Connection c;
    if (!c.open(cl.get("--socket"), err)) return failure(err);
    Json::Value reply;
    if (!c.ask(control_request(code, in, out_len), reply, err)) return failure(err);
    const int result = reply["result"].asInt();
    const std::string sent = reply["sent"].asString(), answer = reply["reply"].asString();
    std::printf("control %d: result %d\n", code, result);
    const std::string out = reply["out"].asString();
    std::printf("out: %s\n", out.empty() ? "(nothing written)" : out.c_str());
    std::printf("sent: %s\n", sent.empty() ? "nothing" : sent.c_str());
    if (!sent.empty()) std::printf("reply: %s\n", answer.c_str());
    if (!cl.has("--wait")) return result == 0 ? 0 : EXIT_FAIL;

    // Ask the device whether it recorded the answer, until it has or the time is up.
    const long long start = now_ms(), deadline = start + wait_s * 1000;
    int32_t recorded = -1;
    for (;;) {
        Json::Value q;
        if (!c.ask(control_request(QUERY_CODE, {}, 4), q, err)) return failure(err);
        std::vector<uint8_t> out;
        if (parse_hex(q["out"].asString(), out) && out.size() == 4) std::memcpy(&recorded, out.data(), 4);
        if (recorded == 1 || now_ms() >= deadline) break;
        struct timespec pause = {0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    const double took = double(now_ms() - start) / 1000.0;
    if (recorded == 1) {
        std::printf("answered: yes (result 1 after %.1f s)\n", took);
        return 0;
    }
    std::printf("answered: no (result %d after %.1f s)\n", int(recorded), took);
    if (answer == "answered")
        std::printf("note: the power system replied, but the device did not record the reply as the answer%s\n",
                    code == REMOTE_CONTROL ? " (between rounds this model takes a remote-control reply for a poll reply)"
                                           : "");
    return EXIT_FAIL;
}

}  // namespace tzv58::tool
