#include "tools/live/live.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <vector>

#include "host/hex.h"
#include "host/serial_port.h"
#include "tools/common/clock.h"
#include "tools/common/json_out.h"
#include "tools/common/signals.h"

namespace tzv58::tool {
namespace {

using Clock = std::chrono::steady_clock;

// Requests run per idle call: enough for every client at once, few enough
// that a crowd of clients cannot hold the next round back for long.
constexpr int JOBS_PER_IDLE = 8;

}  // namespace

LiveService::LiveService(LoadedDevice& device, EventPrinter& events, EventFanout& observers, int reply_timeout_ms)
    : dev_(device), events_(events), reply_timeout_ms_(reply_timeout_ms),
      tap_(observers.add(std::make_unique<LiveTap>())) {}

LiveService::~LiveService() {
    if (socket_) socket_->stop();
    if (metrics_) metrics_->stop();
}

bool LiveService::open(const std::string& socket_path, const std::string& metrics_address, std::string& err) {
    if (!metrics_address.empty()) {
        int port = 0;
        if (!parse_metrics_address(metrics_address, metrics_host_, port, err)) return false;
        metrics_ = std::make_unique<MetricsServer>();
        if (!metrics_->open(metrics_host_, port, err)) return false;
    }
    if (!socket_path.empty()) {
        socket_ = std::make_unique<LiveSocket>();
        if (!socket_->open(socket_path, err)) return false;
    }
    return true;
}

std::string LiveService::start(Line& line) {
    line_ = &line;
    state_.link_open = line.fd() >= 0;
    box_.put(state_);
    std::string ready = "tzv58-host: ready:";
    if (socket_) {
        socket_->start([this] { return values_reply(); });
        ready += " socket " + socket_->path();
    }
    if (metrics_) {
        metrics_->start([this] { return render_metrics(box_.get(), Clock::now()); });
        const bool v6 = metrics_host_.find(':') != std::string::npos;
        ready += std::string(socket_ ? "," : "") + " metrics http://" + (v6 ? "[" : "") + metrics_host_ +
                 (v6 ? "]" : "") + ":" + std::to_string(metrics_->port()) + "/metrics";
    }
    return ready;
}

void LiveService::publish() {
    tap_.fill(state_);
    state_.link_open = line_ && line_->fd() >= 0;
    box_.put(state_);
}

void LiveService::round_ended(bool complete) {
    state_.last_round_complete = complete;
    ++(complete ? state_.rounds_completed : state_.rounds_failed);
    publish();
}

void LiveService::idle() {
    if (state_.link_open != (line_ && line_->fd() >= 0)) publish();
    if (socket_) socket_->run_queued([this](const Json::Value& r) { return run_request(r); }, JOBS_PER_IDLE);
}

std::string LiveService::run_request(const Json::Value& request) {
    const std::string op = request["op"].asString();
    if (op == "get") return run_get(request["ids"]);
    return run_control(request);
}

std::string LiveService::run_get(const Json::Value& ids) {
    ZMXSPDevice& d = dev_.device();
    std::string list = "[";
    for (const Json::Value& id_value : ids) {
        const std::string id = id_value.asString();
        JsonLine item;
        item.str("id", id);
        try {
            const float v = d.Get_Value(0, id);
            events_.value(id, v);
            item.real("value", v);
        } catch (const std::exception& e) {
            events_.value_error(id, e.what());
            item.str("error", e.what());
        }
        list += (list.size() > 1 ? "," : "") + item.text();
    }
    return JsonLine().raw("values", list + "]").text();
}

std::string LiveService::run_control(const Json::Value& request) {
    const int code = request["code"].asInt();
    std::vector<uint8_t> in;
    if (request["in"].isString()) parse_hex(request["in"].asString(), in);
    const int out_len = request["out_len"].isInt() ? request["out_len"].asInt() : 4;
    if (!line_ || line_->fd() < 0) return JsonLine().str("error", "the serial line is down; try again later").text();

    ZMXSPDevice& d = dev_.device();
    // Nothing left over from before may pass for the command's reply.
    dev_.codec().flush_input();
    discard_input(line_->fd());
    const uint64_t sends = tap_.sends(), payloads = tap_.payloads(), errors = tap_.frame_errors();
    std::vector<uint8_t> out(size_t(out_len) + 1, 0);  // never empty
    int written = 0, result = 0;
    try {
        result = d.DeviceIoControl(code, in.data(), int(in.size()), out.data(), out_len, written);
    } catch (const std::exception& e) {
        events_.control_error(code, e.what());
        return JsonLine().str("error", std::string("the device failed the request: ") + e.what()).text();
    }
    const int shown = written < 0 ? 0 : written > out_len ? out_len : written;
    events_.control(code, result, written, out.data(), size_t(shown));
    std::string sent, reply = "none";
    if (tap_.sends() != sends) {
        sent = tap_.last_frame();
        reply = await_reply(payloads, errors);
    }
    return JsonLine()
        .num("code", code)
        .num("result", result)
        .num("out_written", written)
        .str("out", hex_upper(out.data(), size_t(shown)))
        .str("sent", sent)
        .str("reply", reply)
        .text();
}

std::string LiveService::await_reply(uint64_t payloads_before, uint64_t errors_before) {
    ZMXSPDevice& d = dev_.device();
    const long long deadline = now_ms() + reply_timeout_ms_;
    uint8_t buf[512];
    while (d.IsProcessing()) {
        const long long left = deadline - now_ms();
        LineWait w = left > 0 ? wait_input(line_->fd(), int(left)) : LineWait::timeout;
        if (w == LineWait::interrupted) {
            if (!g_stop) continue;
            w = LineWait::timeout;
        }
        if (w == LineWait::input) {
            const ssize_t n = ::read(line_->fd(), buf, sizeof buf);
            if (n > 0) d.process(buf, unsigned(n));
            if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN))) continue;
            w = LineWait::hangup;
        }
        dev_.codec().flush_input();
        d.Reset();
        if (w == LineWait::hangup) {
            d.AttachFd(-1, false);
            line_->lost();
            return "line lost";
        }
        // No reply: the command is not asked for again (it may act twice).
        events_.error("timeout", nullptr, 0);
        break;
    }
    discard_input(line_->fd());
    if (tap_.payloads() != payloads_before) return "answered";
    if (tap_.frame_errors() != errors_before) return "dropped (" + tap_.last_error() + ")";
    return "none";
}

std::string LiveService::values_reply() const {
    const LiveSnapshot s = box_.get();
    JsonLine j;
    j.str("link", s.link_open ? "open" : "down");
    j.str("last_round", s.rounds_completed + s.rounds_failed == 0 ? "none"
                        : s.last_round_complete                   ? "complete"
                                                                  : "failed");
    if (s.have_record) {
        j.num("age_ms", std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.record_at).count());
        j.str("record", hex_upper(reinterpret_cast<const uint8_t*>(&s.record), sizeof s.record));
    }
    return j.text();
}

}  // namespace tzv58::tool
