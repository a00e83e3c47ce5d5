#include "tools/events.h"

#include <cstring>

#include "tools/json_out.h"

namespace tzv58::tool {

namespace {
std::string byte_hex(uint8_t b) { return hex_upper(&b, 1); }
}  // namespace

void EventPrinter::emit(const std::string& line) {
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void EventPrinter::on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                           size_t frame_len) {
    ++round_.sends;
    last_cid1_ = cid1;
    last_cid2_ = cid2;
    last_info_hex_ = info && info_len > 0 ? hex_upper(info, size_t(info_len)) : "";
    last_frame_.assign(frame, frame_len);
    resend();
}

void EventPrinter::resend() {
    emit(JsonLine()
             .str("event", "send")
             .str("cid1", byte_hex(last_cid1_))
             .str("cid2", byte_hex(last_cid2_))
             .str("info", last_info_hex_)
             .str("frame", last_frame_)
             .text());
}

void EventPrinter::on_publish(int type, const unsigned char* data, unsigned int len) {
    ++round_.publishes;
    if (len == sizeof round_.record) std::memcpy(&round_.record, data, len);
    emit(JsonLine()
             .str("event", "publish")
             .num("type", type)
             .num("size", len)
             .str("record", hex_upper(data, len))
             .text());
}

void EventPrinter::on_history(const unsigned char* data, unsigned int len) {
    emit(JsonLine().str("event", "history").num("size", len).str("record", hex_upper(data, len)).text());
}

void EventPrinter::on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                            const std::string& text2, bool active, unsigned short seq) {
    if (active) round_.alarms.push_back({level, key, id, text1, text2});
    emit(JsonLine()
             .str("event", "alarm")
             .num("level", level)
             .str("key", key)
             .str("id", id)
             .str("text1", text1)
             .str("text2", text2)
             .boolean("active", active)
             .num("seq", seq)
             .text());
}

void EventPrinter::on_frame_error(const char* reason, const uint8_t* data, size_t len) {
    ++round_.frame_errors;
    error(reason, data, len);
}

void EventPrinter::on_payload(int result, int poll_step) {
    ++round_.payloads;
    emit(JsonLine().str("event", "payload").num("result", result).num("poll_step", poll_step).text());
}

void EventPrinter::refresh(int result) { emit(JsonLine().str("event", "refresh").num("result", result).text()); }

void EventPrinter::value(const std::string& id, float v) {
    emit(JsonLine().str("event", "value").str("id", id).real("value", v).text());
}

void EventPrinter::value_error(const std::string& id, const std::string& what) {
    emit(JsonLine().str("event", "value").str("id", id).str("error", what).text());
}

void EventPrinter::control(int code, int result, int out_written, const uint8_t* out, size_t out_len) {
    emit(JsonLine()
             .str("event", "control")
             .num("code", code)
             .num("result", result)
             .num("out_written", out_written)
             .str("out", hex_upper(out, out_len))
             .text());
}

void EventPrinter::control_error(int code, const std::string& what) {
    emit(JsonLine().str("event", "control").num("code", code).str("error", what).text());
}

void EventPrinter::cache(bool result) { emit(JsonLine().str("event", "cache").boolean("result", result).text()); }

void EventPrinter::link(const char* state) { emit(JsonLine().str("event", "link").str("state", state).text()); }

void EventPrinter::error(const char* reason, const uint8_t* data, size_t len) {
    emit(JsonLine().str("event", "error").str("reason", reason).str("data", hex_upper(data, len)).text());
}

}  // namespace tzv58::tool
