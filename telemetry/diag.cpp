// Every diagnostic line of the plug-in, byte for byte.
//
// Numbers follow the formats the lines have always had: printf's %c, %d, %u,
// %x and %f, and the stream's default float output (six significant digits,
// as %g) where a line was written with stream insertion.
#include "telemetry/diag.h"

#include <cstdarg>
#include <cstdio>

namespace tzv58 {

namespace {

class stdout_sink : public diag_sink {
public:
    void line(const char* text, size_t len) override {
        std::fwrite(text, 1, len, stdout);
        std::fflush(stdout);
    }
};

class discard_sink : public diag_sink {
public:
    void line(const char*, size_t) override {}
    bool wants_lines() const override { return false; }
};

diag_sink* current = nullptr;

// Lines with numbers only: formed on the stack.
__attribute__((format(printf, 2, 3))) void put(diag_sink& s, const char* format, ...) {
    if (!s.wants_lines()) return;
    char buf[160];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n > 0) s.line(buf, size_t(n) < sizeof buf ? size_t(n) : sizeof buf - 1);
}

// Lines with texts from the configuration, whose length has no bound.
void put(diag_sink& s, const std::string& text) {
    if (s.wants_lines()) s.line(text.data(), text.size());
}

std::string number(const char* format, double v) {
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, format, v);
    return std::string(buf, n > 0 ? size_t(n) : 0);
}

}  // namespace

diag_sink& stdout_diag() {
    static stdout_sink sink;
    return sink;
}

diag_sink& null_diag() {
    static discard_sink sink;
    return sink;
}

diag_sink& diag() { return current ? *current : stdout_diag(); }

diag_sink* set_diag(diag_sink* sink) {
    diag_sink* previous = current;
    current = sink;
    return previous;
}

namespace diag_line {

void ac_channel_count(diag_sink& s, uint8_t count) { put(s, "parse40_41 channel_count is %c\n", count); }

void ac_phase_a(diag_sink& s, const uint8_t raw[4], float a) {
    put(s, "a %x %x %x %x\n", raw[0], raw[1], raw[2], raw[3]);
    put(s, "parse40_41 acChannel.a is %g\n", double(a));
}

void ac_user_count(diag_sink& s, uint8_t count) { put(s, "acChannel.p40_41_count %c\n", count); }

void ac_alarm_channels(diag_sink& s, uint8_t count) { put(s, "channel is %u\n", unsigned(count)); }

void rc_module_count(diag_sink& s, uint8_t count) { put(s, "parse 41_41 channel is %d\n", count); }

void rc_result(diag_sink& s, int n, int r) { put(s, "41_43 %d vs %d\n", n, r); }

void dc_analog_count(diag_sink& s, uint8_t count) {
    put(s, "pmbuspower_419 PMBUSPOWER_42_41 dc_number:%u\n", unsigned(count));
}

void dc_alarm_count(diag_sink& s, uint8_t count) {
    put(s, "pmbuspower_419 PMBUSPOWER_42_44 dc_number:%u\n", unsigned(count));
}

void dc_unit_values(diag_sink& s, float out_v, float load_i) {
    put(s, "parse42_41 %f %f\n", double(out_v), double(load_i));
}

void vendor_count(diag_sink& s, uint8_t count) { put(s, "80_42 m is %d\n", count); }

void rule_values(diag_sink& s, size_t count) { put(s, "rvSize is %zu\n", count); }

void get_value(diag_sink& s) { put(s, "in pmbuspower_419 Get_Value\n"); }

void alarm_mode(diag_sink& s, uint32_t data_id, int32_t b_mode) {
    put(s, "InitSetting %u b_mode_:%d\n", unsigned(data_id), int(b_mode));
}

void threshold_step(diag_sink& s, int step) { put(s, "here %d\n", step); }

void threshold_key(diag_sink& s, const std::string& key) {
    if (s.wants_lines()) put(s, "here " + key + "\n");
}

void threshold_part_missing(diag_sink& s, uint32_t data_id, const char* part) {
    if (s.wants_lines()) put(s, std::to_string(data_id) + " " + part + " is missing\n");
}

void threshold_codes(diag_sink& s, const std::string& key, const std::string& codes, int level, float value) {
    if (s.wants_lines())
        put(s, "mobile:" + key + ":" + codes + " level:" + std::to_string(level) +
                   " value:" + number("%g", double(value)) + "\n");
}

}  // namespace diag_line

}  // namespace tzv58
