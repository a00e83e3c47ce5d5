#include "tools/live/live.h"

#include <cstring>
#include <exception>
#include <vector>

#include "host/hex.h"
#include "host/serial_port.h"
#include "tools/common/clock.h"
#include "tools/common/json_out.h"
#include "tools/common/notify_status.h"
#include "tools/common/output_pump.h"
#include "tools/common/signals.h"
#include "tools/live/metrics.h"
#include "tools/live/site_page.h"

namespace tzv58::tool {
namespace {

using Clock = std::chrono::steady_clock;

// Requests run per idle call: enough for every client at once, few enough
// that a crowd of clients cannot hold the next round back for long.
constexpr int JOBS_PER_IDLE = 8;
// A code the device takes as the query of the last command's answer.
constexpr int ANSWER_QUERY = 0;
// How often the server's thread answers the requests that waited too long.
constexpr std::chrono::milliseconds EXPIRE_EVERY{250};

HttpResponse json_ok(const std::string& body) {
    HttpResponse r;
    r.body = body + "\n";
    return r;
}

}  // namespace

DoorLimits live_door_limits(size_t connections) {
    DoorLimits l;
    l.connections = connections;
    l.header_bytes = 16 * 1024;
    l.body_bytes = 16 * 1024;
    l.idle = l.request = l.respond = std::chrono::milliseconds(10000);
    return l;
}

LiveService::LiveService(LoadedDevice& device, EventPrinter& events, EventFanout& observers, int reply_timeout_ms,
                         const DcUnitWatch* dc)
    : dev_(device),
      events_(events),
      reply_timeout_ms_(reply_timeout_ms),
      tap_(observers.add(std::make_unique<LiveTap>(device.model(), dc))),
      model_json_(model_json(*device.model())) {
    tap_.set_clock(device.device().clock);
}

LiveService::~LiveService() {
    server_.stop();
    if (trend_) trend_->stop();
    jobs_.clear();
}

void LiveService::serve_trend(TrendSource source) { trend_ = std::make_unique<TrendReader>(std::move(source)); }

bool LiveService::open(const std::string& socket_path, const std::string& http_address, std::string& err) {
    size_t connections = 0;
    if (!socket_path.empty()) {
        if (!socket_.open(socket_path, err)) return false;
        server_.add_door(socket_.release(),
                         {"socket", live_door_limits(SOCKET_CONNECTIONS), socket_routes(), true, {}});
        connections += SOCKET_CONNECTIONS;
    }
    if (!http_address.empty()) {
        std::string host;
        int port = 0, bound = 0;
        if (!parse_http_address("--http", http_address, host, port, err)) return false;
        const int fd = listen_tcp(host, port, bound, err);
        if (fd < 0) return false;
        server_.add_door(fd, {"http", live_door_limits(HTTP_CONNECTIONS), http_routes(), false, http_door_headers()});
        connections += HTTP_CONNECTIONS;
        const bool v6 = host.find(':') != std::string::npos;
        http_url_ = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound);
    }
    return reserve_descriptors(connections, err);
}

std::vector<Route> LiveService::socket_routes() {
    return {
        {"GET", "/values", false,
         [this](const HttpRequest&, Responder reply) { reply(json_ok(status_json(box_.get(), Clock::now()))); }},
        {"GET", "/values/", true, [this](const HttpRequest& r, Responder reply) { get_value(r, std::move(reply)); }},
        {"GET", "/model", false, [this](const HttpRequest&, Responder reply) { reply(json_ok(model_json_)); }},
        {"POST", "/control", false,
         [this](const HttpRequest& r, Responder reply) { post_control(r, std::move(reply)); }},
    };
}

std::vector<Route> LiveService::http_routes() {
    std::vector<Route> routes = {
        {"GET", "/metrics", false,
         [this](const HttpRequest&, Responder reply) {
             HttpResponse r;
             r.content_type = "text/plain; version=0.0.4; charset=utf-8";
             LiveSnapshot s = box_.get();
             s.dropped = drop_counts();
             s.notify_cannot_run = notify_failures().cannot_run;
             s.notify_at_end = notify_failures().at_end;
             r.body = render_metrics(s, Clock::now());
             reply(std::move(r));
         }},
        {"GET", "/api/status", false,
         [this](const HttpRequest&, Responder reply) { reply(json_ok(status_json(box_.get(), Clock::now()))); }},
        {"GET", "/api/model", false, [this](const HttpRequest&, Responder reply) { reply(json_ok(model_json_)); }},
        {"GET", "/", false, [](const HttpRequest&, Responder reply) { reply(site_page_response()); }},
    };
    if (trend_)
        routes.push_back({"GET", "/api/trend", false,
                          [this](const HttpRequest& r, Responder reply) { trend_->handle(r, std::move(reply)); },
                          true});
    return routes;
}

std::string LiveService::start(Line& line) {
    line_ = &line;
    state_.port = line.path();
    state_.address = dev_.codec().address;
    publish();
    server_.every(EXPIRE_EVERY, [this] { jobs_.expire([this] { return not_taken(); }); });
    server_.start();
    std::string ready = "ready:";
    if (!socket_.path().empty()) ready += " socket " + socket_.path();
    if (!http_url_.empty())
        ready += std::string(socket_.path().empty() ? "" : ",") + " metrics " + http_url_ + "/metrics, page " +
                 http_url_ + "/";
    return ready;
}

void LiveService::stamp() {
    const HostClock* clock = dev_.device().clock;
    state_.taken = (clock ? *clock : wall_clock()).local_time();
    state_.taken_at = Clock::now();
    const bool open = line_ && line_->fd() >= 0;
    // Until the line tells of a change: since the start.
    if (state_.link_since.empty()) state_.link_since = iso_time(state_.taken);
    state_.link_open = open;
    link_open_ = open;
    if (history_) state_.history = history_();
}

void LiveService::publish() {
    tap_.fill(state_);
    stamp();
    box_.put(state_);
}

void LiveService::round_ended(bool complete) {
    state_.last_round_complete = complete;
    ++(complete ? state_.rounds_completed : state_.rounds_failed);
    publish();
}

void LiveService::idle() {
    if (state_.link_open != (line_ && line_->fd() >= 0) || state_.link_silent != tap_.silent()) publish();
    jobs_.run(JOBS_PER_IDLE);
}

void LiveService::link_changed() { publish(); }

std::string LiveService::line_down() const {
    const LiveSnapshot s = box_.get();
    std::string why = "the serial line is down since " + s.link_since;
    if (!s.link_cause.empty()) why += " (" + s.link_cause + ")";
    return why;
}

HttpResponse LiveService::not_taken() const {
    const std::string why = link_open_ ? "the poll was busy" : line_down();
    return error_response(
        504,
        "the device could not take the request within " + std::to_string(jobs_.wait().count() / 1000) + " s: " + why,
        true);
}

void LiveService::get_value(const HttpRequest& r, Responder reply) {
    std::string id;
    const std::string fault = decode_id(r.path.substr(sizeof "/values/" - 1), id);
    if (!fault.empty())
        return reply(error_response(400, "malformed id: " + fault + " (" + ID_RULE + ", percent-encoded)", true));
    jobs_.push([this, id] { return run_get(id); }, std::move(reply));
}

void LiveService::post_control(const HttpRequest& r, Responder reply) {
    ControlRequest request;
    const std::string why = parse_control_request(r.body, request);
    if (!why.empty()) return reply(error_response(400, why, true));
    if (!link_open_) return reply(error_response(503, line_down() + ": nothing sent", true));
    jobs_.push([this, request] { return run_control(request); }, std::move(reply));
}

HttpResponse LiveService::run_get(const std::string& id) {
    JsonLine item;
    item.str("id", id);
    try {
        const float v = dev_.device().Get_Value(0, id);
        events_.value(id, v);
        item.real("value", v);
    } catch (const std::exception& e) {
        events_.value_error(id, e.what());
        item.str("error", e.what());
    }
    // An answer from data that is not current says so.
    const Clock::time_point now = Clock::now();
    if (!state_.current(now))
        item.num("address", state_.address).raw("link", link_json(state_)).raw("data", data_json(state_, now));
    return json_ok(item.text());
}

HttpResponse LiveService::run_control(const ControlRequest& request) {
    if (!line_ || line_->fd() < 0) {
        publish();  // the line may have gone during the request before
        return error_response(503, line_down() + ": nothing sent", true);
    }
    ZMXSPDevice& d = dev_.device();
    // Nothing left over from before may pass for the command's reply.
    dev_.codec().flush_input();
    line_->discard();
    const uint64_t sends = tap_.sends(), payloads = tap_.payloads(), errors = tap_.frame_errors();
    const int code = request.code, out_len = request.out_len;
    std::vector<uint8_t> in = request.in, out(size_t(out_len) + 1, 0);  // never empty
    int written = 0, result = 0;
    try {
        result = d.DeviceIoControl(code, in.data(), int(in.size()), out.data(), out_len, written);
    } catch (const std::exception& e) {
        events_.control_error(code, e.what());
        return error_response(500, std::string("the device failed the request: ") + e.what(), true);
    }
    const int shown = written < 0 ? 0 : written > out_len ? out_len : written;
    events_.control(code, result, written, out.data(), size_t(shown));
    JsonLine answer;
    answer.num("code", code)
        .num("result", result)
        .num("out_written", written)
        .str("out", hex_upper(out.data(), size_t(shown)))
        .str("sent", tap_.sends() != sends ? tap_.last_frame() : "");
    if (tap_.sends() == sends) return json_ok(answer.str("reply", "none").text());
    const long long sent_at = now_ms();
    const int wait_ms =
        request.wait_ms >= 0 && request.wait_ms < reply_timeout_ms_ ? request.wait_ms : reply_timeout_ms_;
    const std::string reply = await_reply(payloads, errors, wait_ms);
    answer.str("reply", reply).real("waited_s", float(wait_ms) / 1000.0f);
    if (reply == "answered") answer.real("reply_s", float(now_ms() - sent_at) / 1000.0f);
    // Read at once, with nothing run on the device in between: this
    // command's own answer (each command clears the result first).
    if (request.wait_ms >= 0) answer.num("recorded", recorded_answer());
    return json_ok(answer.text());
}

int32_t LiveService::recorded_answer() {
    int32_t recorded = -1;
    uint8_t out[4] = {0, 0, 0, 0};
    int written = 0;
    try {
        const int result = dev_.device().DeviceIoControl(ANSWER_QUERY, nullptr, 0, out, 4, written);
        events_.control(ANSWER_QUERY, result, written, out, written == 4 ? 4 : 0);
    } catch (const std::exception& e) {
        events_.control_error(ANSWER_QUERY, e.what());
    }
    if (written == 4) std::memcpy(&recorded, out, 4);
    return recorded;
}

std::string LiveService::await_reply(uint64_t payloads_before, uint64_t errors_before, int wait_ms) {
    ZMXSPDevice& d = dev_.device();
    const long long deadline = now_ms() + wait_ms;
    uint8_t buf[512];
    while (d.IsProcessing()) {
        const long long left = deadline - now_ms();
        size_t n = 0;
        const Line::Received got = left > 0 ? line_->receive(buf, sizeof buf, int(left), n) : Line::Received::timeout;
        if (got == Line::Received::bytes) {
            d.process(buf, unsigned(n));
            continue;
        }
        if (got == Line::Received::interrupted && !g_stop) continue;
        dev_.codec().flush_input();
        d.Reset();
        if (got == Line::Received::hangup) {
            d.AttachFd(-1, false);
            line_->lost();
            return "line lost";
        }
        // No reply (or the program is stopping): the command is not asked
        // for again (it may act twice).
        events_.error("timeout", nullptr, 0);
        break;
    }
    line_->discard();
    if (tap_.payloads() != payloads_before) return "answered";
    if (tap_.frame_errors() != errors_before) return "dropped (" + tap_.last_error() + ")";
    return "none";
}

}  // namespace tzv58::tool
