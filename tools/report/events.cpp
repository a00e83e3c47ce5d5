#include "tools/report/events.h"

#include <cstring>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tools/common/clock.h"
#include "tools/common/json_out.h"
#include "tools/common/output_pump.h"
#include "tools/common/outputs.h"
#include "tools/report/observers.h"
#include "tools/report/record_dump.h"

namespace tzv58::tool {

namespace {
std::string byte_hex(uint8_t b) { return hex_upper(&b, 1); }
}  // namespace

std::string iso_time(const boost::posix_time::ptime& t) {
    if (t.is_special()) return "";
    const auto d = t.date();
    const auto tod = t.time_of_day();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", int(d.year()), int(d.month()), int(d.day()),
                  int(tod.hours()), int(tod.minutes()), int(tod.seconds()));
    return buf;
}

JsonLine EventPrinter::line(const char* event) const {
    JsonLine j;
    j.str("event", event).str("time", iso_time(clock_->local_time()));
    if (!device_.empty()) j.str("device", device_);
    return j;
}

void EventPrinter::write(const JsonLine& j) { write_output(out_, j.text() + '\n'); }

void EventPrinter::emit(const JsonLine& j) {
    if (!out_) return;
    if (left_out_) say_left_out(false);
    tell_dropped();
    write(j);
    // A file on disk that could not be written learns that it can by this
    // event: what it dropped follows at once.
    tell_dropped();
}

void EventPrinter::tell_dropped() {
    Dropped d;
    if (take_dropped(out_, d)) write(line("dropped").num("lines", d.lines).num("seconds", d.seconds));
}

void EventPrinter::finish() {
    if (out_ && left_out_) say_left_out(true);
}

long long EventPrinter::error_ms() const { return fast_ ? fast_->now_ms() : now_ms(); }

// Counts an error of this reason: false when it is left out.
bool EventPrinter::error_shown(const std::string& reason) {
    const long long now = error_ms();
    ErrorKind& k = errors_[reason];
    if (now - k.second_ms >= 1000) {
        k.second_ms = now;
        k.shown = 0;
    }
    if (k.shown < ERRORS_SHOWN) {
        ++k.shown;
        return true;
    }
    ++k.left_out;
    ++left_out_;
    return false;
}

// The errors left out in a second that is over (all: every one).
void EventPrinter::say_left_out(bool all) {
    const long long now = error_ms();
    for (auto& [reason, k] : errors_) {
        if (!k.left_out || (!all && now - k.second_ms < 1000)) continue;
        write(line("left_out").str("reason", reason).num("count", k.left_out));
        left_out_ -= k.left_out;
        k.left_out = 0;
    }
}

void EventPrinter::on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                           size_t frame_len) {
    if (!out_) return;
    emit(line("send")
             .str("cid1", byte_hex(cid1))
             .str("cid2", byte_hex(cid2))
             .str("info", info && info_len > 0 ? hex_upper(info, size_t(info_len)) : "")
             .str("frame", std::string(frame, frame_len)));
}

void EventPrinter::on_publish(int type, const unsigned char* data, unsigned int len) {
    if (!out_) return;
    JsonLine j = line("publish");
    j.num("type", type).num("size", len).str("record", hex_upper(data, len));
    if (model_ && len == model_->record_size)
        j.raw("values", record_values_json(RecordView(*model_, data, dc_ ? dc_->reported() : -1)));
    emit(j);
}

void EventPrinter::on_history(const unsigned char* data, unsigned int len) {
    if (!out_) return;
    emit(line("history").num("size", len).str("record", hex_upper(data, len)));
}

void EventPrinter::on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                            const std::string& text2, bool active, unsigned short seq) {
    if (!out_) return;
    emit(line("alarm")
             .num("level", level)
             .str("key", key)
             .str("id", id)
             .str("text1", text1)
             .str("text2", text2)
             .boolean("active", active)
             .num("seq", seq));
}

void EventPrinter::on_frame_error(const char* reason, const uint8_t* data, size_t len) { error(reason, data, len); }

void EventPrinter::on_payload(int result, int poll_step) {
    emit(line("payload").num("result", result).num("poll_step", poll_step));
}

void EventPrinter::refresh(int result) { emit(line("refresh").num("result", result)); }

void EventPrinter::value(const std::string& id, float v) { emit(line("value").str("id", id).real("value", v)); }

void EventPrinter::value_error(const std::string& id, const std::string& what) {
    emit(line("value").str("id", id).str("error", what));
}

void EventPrinter::control(int code, int result, int out_written, const uint8_t* out, size_t out_len) {
    emit(line("control")
             .num("code", code)
             .num("result", result)
             .num("out_written", out_written)
             .str("out", hex_upper(out, out_len)));
}

void EventPrinter::control_error(int code, const std::string& what) {
    emit(line("control").num("code", code).str("error", what));
}

void EventPrinter::cache(bool result) { emit(line("cache").boolean("result", result)); }

void EventPrinter::link(const char* state) { emit(line("link").str("state", state)); }

void EventPrinter::link_lost(const char* cause) { emit(line("link").str("state", "lost").str("cause", cause)); }

void EventPrinter::link_restored(long long down_s) { emit(line("link").str("state", "open").num("down_s", down_s)); }

void EventPrinter::link_silent(const std::string& since) {
    emit(line("link").str("state", "silent").str("since", since));
}

void EventPrinter::link_answers(long long silent_s) {
    emit(line("link").str("state", "open").num("silent_s", silent_s));
}

void EventPrinter::error(const char* reason, const uint8_t* data, size_t len) {
    if (!out_) return;
    if (left_out_) say_left_out(false);
    if (throttled_ && !error_shown(reason ? reason : "")) return;
    emit(line("error").str("reason", reason).str("data", hex_upper(data, len)));
}

// ---- fan-out ----

void EventFanout::on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                          size_t frame_len) {
    for (const auto& e : sinks_) e->on_send(cid1, cid2, info, info_len, frame, frame_len);
}
void EventFanout::on_publish(int type, const unsigned char* data, unsigned int len) {
    for (const auto& e : sinks_) e->on_publish(type, data, len);
}
void EventFanout::on_history(const unsigned char* data, unsigned int len) {
    for (const auto& e : sinks_) e->on_history(data, len);
}
void EventFanout::on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                           const std::string& text2, bool active, unsigned short seq) {
    for (const auto& e : sinks_) e->on_alarm(level, key, id, text1, text2, active, seq);
}
void EventFanout::on_frame_error(const char* reason, const uint8_t* data, size_t len) {
    for (const auto& e : sinks_) e->on_frame_error(reason, data, len);
}
void EventFanout::on_frame_error_unprinted(const HostEvents& printer, const char* reason, const uint8_t* data,
                                           size_t len) {
    for (const auto& e : sinks_)
        if (e.get() != &printer) e->on_frame_error(reason, data, len);
}
void EventFanout::on_payload(int result, int poll_step) {
    for (const auto& e : sinks_) e->on_payload(result, poll_step);
}
void EventFanout::link_state(const char* state) {
    for (LinkObserver* o : link_sinks_) o->link_state(state);
}
void EventFanout::link_lost(const char* cause) {
    for (LinkObserver* o : link_sinks_) o->link_lost(cause);
}
void EventFanout::link_restored(long long down_s) {
    for (LinkObserver* o : link_sinks_) o->link_restored(down_s);
}
void EventFanout::link_silent(int address, const std::string& since) {
    for (LinkObserver* o : link_sinks_) o->link_silent(address, since);
}
void EventFanout::link_answers(long long silent_s) {
    for (LinkObserver* o : link_sinks_) o->link_answers(silent_s);
}

void LinkFanout::link_state(const char* state) {
    for (LinkObserver* o : observers_) o->link_state(state);
}
void LinkFanout::link_lost(const char* cause) {
    for (LinkObserver* o : observers_) o->link_lost(cause);
}
void LinkFanout::link_restored(long long down_s) {
    for (LinkObserver* o : observers_) o->link_restored(down_s);
}

}  // namespace tzv58::tool
