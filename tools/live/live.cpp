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
#include "tools/common/text_guard.h"
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

LiveDevice::LiveDevice(std::string name, LoadedDevice& device, EventPrinter& events, EventFanout& observers,
                       int reply_timeout_ms, const DcUnitWatch* dc)
    : name_(std::move(name)),
      known_as_(name_.empty() ? ONE_DEVICE_NAME : name_),
      dev_(device),
      events_(events),
      reply_timeout_ms_(reply_timeout_ms),
      tap_(observers.add(std::make_unique<LiveTap>(device.model(), dc))),
      model_json_(model_json(*device.model())) {
    tap_.set_clock(device.device().clock);
}

LiveDevice::~LiveDevice() { jobs_.clear(); }

LiveService::~LiveService() {
    server_.stop();
    if (trend_) trend_->stop();
    for (auto& d : devices_) d->clear();
}

LiveDevice& LiveService::add(std::unique_ptr<LiveDevice> device) {
    devices_.push_back(std::move(device));
    return *devices_.back();
}

void LiveService::serve_trend(TrendSource source) { trend_ = std::make_unique<TrendReader>(std::move(source)); }

bool LiveService::open(const std::string& socket_path, const std::string& http_address, std::string& err) {
    if (!socket_path.empty()) {
        if (!socket_.open(socket_path, err)) return false;
        server_.add_door(socket_.release(),
                         {"socket", live_door_limits(SOCKET_CONNECTIONS), socket_routes(), true, {}});
    }
    if (!http_address.empty()) {
        std::string host;
        int port = 0, bound = 0;
        if (!parse_http_address("--http", http_address, host, port, err)) return false;
        const int fd = listen_tcp(host, port, bound, err);
        if (fd < 0) return false;
        server_.add_door(fd, {"http", live_door_limits(HTTP_CONNECTIONS), http_routes(), false, http_door_headers()});
        const bool v6 = host.find(':') != std::string::npos;
        http_url_ = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound);
    }
    return true;
}

bool live_descriptors(bool socket, bool http, std::string& err) {
    // About 24 are open once a run with every option has started, the
    // standard three among them: room to spare.
    constexpr size_t START_DESCRIPTORS = 32;
    const size_t connections = (socket ? SOCKET_CONNECTIONS : 0) + (http ? HTTP_CONNECTIONS : 0);
    return reserve_descriptors(START_DESCRIPTORS + connections, err);
}

LiveDevice* LiveService::device_for(const HttpRequest& r, const std::vector<std::string>& also,
                                    std::map<std::string, std::string>& query, const Responder& reply) {
    std::vector<std::string> allowed = also;
    allowed.push_back("device");
    const std::string bad = parse_query(r.target, allowed, query);
    if (!bad.empty()) {
        // A run of one power system takes no query but its name: said as
        // the server says it of every path that takes none.
        const std::string given = r.target.substr(r.target.find('?') + 1);
        reply(error_response(
            400, site() ? bad : r.path + " takes no query, not '" + shown(given.substr(0, 64)) + "'", true));
        return nullptr;
    }
    std::string names, list = "[";
    for (const auto& d : devices_) {
        names += (names.empty() ? "" : ", ") + d->known_as();
        list += (list.size() > 1 ? "," : "") + json_quote(d->known_as());
    }
    // The refusal lists the names, for a client to say them its own way.
    const auto refuse = [&](int status, const std::string& why) {
        HttpResponse r = error_response(status, why, true);
        r.body = JsonLine().str("error", why).raw("devices", list + "]").text() + "\n";
        reply(std::move(r));
        return nullptr;
    };
    const auto named = query.find("device");
    if (named == query.end()) {
        if (devices_.size() == 1) return devices_.front().get();
        return refuse(400, "this poll watches " + std::to_string(devices_.size()) +
                               " power systems: name one with ?device=NAME (" + names + ")");
    }
    for (const auto& d : devices_)
        if (d->known_as() == named->second) return d.get();
    return refuse(404, "no power system here is named '" + named->second + "' (" + names + ")");
}

std::vector<Route> LiveService::socket_routes() {
    return {
        {"GET", "/values", false,
         [this](const HttpRequest& r, Responder reply) {
             std::map<std::string, std::string> q;
             if (LiveDevice* d = device_for(r, {}, q, reply)) reply(json_ok(status_json(d->snapshot(), Clock::now())));
         },
         true},
        {"GET", "/values/", true,
         [this](const HttpRequest& r, Responder reply) {
             std::map<std::string, std::string> q;
             LiveDevice* d = device_for(r, {}, q, reply);
             if (!d) return;
             std::string id;
             const std::string fault = decode_id(r.path.substr(sizeof "/values/" - 1), id);
             if (!fault.empty())
                 return reply(
                     error_response(400, "malformed id: " + fault + " (" + ID_RULE + ", percent-encoded)", true));
             d->get_value(id, std::move(reply));
         },
         true},
        {"GET", "/model", false, [this](const HttpRequest& r, Responder reply) { model_route(r, std::move(reply)); },
         true},
        {"POST", "/control", false,
         [this](const HttpRequest& r, Responder reply) {
             std::map<std::string, std::string> q;
             LiveDevice* d = device_for(r, {}, q, reply);
             if (!d) return;
             ControlRequest request;
             const std::string why = parse_control_request(r.body, request);
             if (!why.empty()) return reply(error_response(400, why, true));
             d->post_control(request, std::move(reply));
         },
         true},
    };
}

// The model's values of the power system a request names; in a site whose
// power systems are all of one model, without a name too.
void LiveService::model_route(const HttpRequest& r, Responder reply) {
    if (r.target.find('?') == std::string::npos) {
        bool one = true;
        for (const auto& d : devices_) one = one && d->model() == devices_.front()->model();
        if (one) return reply(json_ok(devices_.front()->model()));
    }
    std::map<std::string, std::string> q;
    if (LiveDevice* d = device_for(r, {}, q, reply)) reply(json_ok(d->model()));
}

// A site's status, or with ?device=NAME one power system's; a run of one
// power system gives its own.
std::string LiveService::status_body(const HttpRequest& r, const Responder& reply) {
    std::map<std::string, std::string> q;
    if (!site() || r.target.find('?') != std::string::npos) {
        LiveDevice* d = device_for(r, {}, q, reply);
        return d ? status_json(d->snapshot(), Clock::now()) : "";
    }
    std::vector<LiveSnapshot> all;
    for (const auto& d : devices_) all.push_back(d->snapshot());
    return site_status_json(all, Clock::now());
}

std::vector<Route> LiveService::http_routes() {
    std::vector<Route> routes = {
        {"GET", "/metrics", false,
         [this](const HttpRequest&, Responder reply) {
             HttpResponse r;
             r.content_type = "text/plain; version=0.0.4; charset=utf-8";
             std::vector<LiveSnapshot> all;
             for (const auto& d : devices_) all.push_back(d->snapshot());
             all.front().dropped = drop_counts();
             all.front().notify_cannot_run = notify_failures().cannot_run;
             all.front().notify_at_end = notify_failures().at_end;
             r.body = site() ? render_site_metrics(all, Clock::now()) : render_metrics(all.front(), Clock::now());
             reply(std::move(r));
         }},
        {"GET", "/api/status", false,
         [this](const HttpRequest& r, Responder reply) {
             const std::string body = status_body(r, reply);
             if (!body.empty()) reply(json_ok(body));
         },
         true},
        {"GET", "/api/model", false,
         [this](const HttpRequest& r, Responder reply) { model_route(r, std::move(reply)); }, true},
        {"GET", "/", false, [](const HttpRequest&, Responder reply) { reply(site_page_response()); }},
    };
    if (trend_)
        routes.push_back({"GET", "/api/trend", false,
                          [this](const HttpRequest& r, Responder reply) {
                              if (!site()) return trend_->handle(r, std::move(reply));
                              std::map<std::string, std::string> q;
                              LiveDevice* d = device_for(r, {"hours"}, q, reply);
                              if (!d) return;
                              int hours = TREND_HOURS_DEFAULT;
                              std::string err;
                              if (q.count("hours") && !trend_hours("?hours=" + q["hours"], hours, err))
                                  return reply(error_response(400, err, true));
                              trend_->handle(hours, d->name(), std::move(reply));
                          },
                          true});
    return routes;
}

void LiveDevice::start(Line& line) {
    line_ = &line;
    state_.name = name_;
    state_.port = line.path();
    state_.address = dev_.codec().address;
    publish();
}

void LiveDevice::expire() {
    jobs_.expire([this] { return not_taken(); });
}

std::string LiveService::start() {
    server_.every(EXPIRE_EVERY, [this] {
        for (auto& d : devices_) d->expire();
    });
    server_.start();
    std::string ready = "ready:";
    if (!socket_.path().empty()) ready += " socket " + socket_.path();
    if (!http_url_.empty())
        ready += std::string(socket_.path().empty() ? "" : ",") + " metrics " + http_url_ + "/metrics, page " +
                 http_url_ + "/";
    return ready;
}

void LiveDevice::stamp() {
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

void LiveDevice::publish() {
    tap_.fill(state_);
    stamp();
    box_.put(state_);
}

void LiveDevice::round_ended(bool complete) {
    state_.last_round_complete = complete;
    ++(complete ? state_.rounds_completed : state_.rounds_failed);
    publish();
}

void LiveDevice::idle() {
    if (state_.link_open != (line_ && line_->fd() >= 0) || state_.link_silent != tap_.silent()) publish();
    jobs_.run(JOBS_PER_IDLE);
}

void LiveDevice::link_changed() { publish(); }

std::string LiveDevice::line_down() const {
    const LiveSnapshot s = box_.get();
    std::string why = "the serial line is down since " + s.link_since;
    if (!s.link_cause.empty()) why += " (" + s.link_cause + ")";
    return why;
}

HttpResponse LiveDevice::not_taken() const {
    const std::string why = link_open_ ? "the poll was busy" : line_down();
    return error_response(
        504,
        "the device could not take the request within " + std::to_string(jobs_.wait().count() / 1000) + " s: " + why,
        true);
}

void LiveDevice::get_value(const std::string& id, Responder reply) {
    jobs_.push([this, id] { return run_get(id); }, std::move(reply));
}

void LiveDevice::post_control(const ControlRequest& request, Responder reply) {
    if (!link_open_) return reply(error_response(503, line_down() + ": nothing sent", true));
    jobs_.push([this, request] { return run_control(request); }, std::move(reply));
}

HttpResponse LiveDevice::run_get(const std::string& id) {
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

HttpResponse LiveDevice::run_control(const ControlRequest& request) {
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

int32_t LiveDevice::recorded_answer() {
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

std::string LiveDevice::await_reply(uint64_t payloads_before, uint64_t errors_before, int wait_ms) {
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
