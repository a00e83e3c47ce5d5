// The plug-in's diagnostic lines: plain single lines, no levels, no time
// stamps. Every line the device writes is formed in diag.cpp and handed, whole
// and with its line end, to one sink: standard output (written and flushed
// line by line) unless a test, fuzz target or benchmark installs another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tzv58 {

class diag_sink {
public:
    virtual ~diag_sink() = default;
    // One complete line, '\n' included. `text` may hold NUL bytes.
    virtual void line(const char* text, size_t len) = 0;
    // False for a sink that drops everything: lines are then not even formed.
    virtual bool wants_lines() const { return true; }
};

diag_sink& stdout_diag();
diag_sink& null_diag();

// The sink the device writes to; standard output until set_diag changes it.
diag_sink& diag();
// Installs a sink (nullptr: standard output again). Returns the previous one.
diag_sink* set_diag(diag_sink* sink);

// The lines, one function each, in the order the poll round writes them.
namespace diag_line {
void ac_channel_count(diag_sink& s, uint8_t count);            // 40H/41H, floats only
void ac_phase_a(diag_sink& s, const uint8_t raw[4], float a);  // 40H/41H, floats only: two lines
void ac_user_count(diag_sink& s, uint8_t count);               // 40H/41H and 40H/42H
void ac_alarm_channels(diag_sink& s, uint8_t count);           // 40H/44H
void rc_module_count(diag_sink& s, uint8_t count);             // 41H/41H, floats only
void rc_result(diag_sink& s, int n, int r);                    // after 41H/A
void dc_analog_count(diag_sink& s, uint8_t count);             // 42H/A
void dc_alarm_count(diag_sink& s, uint8_t count);              // 42H/44H
void dc_unit_values(diag_sink& s, float out_v, float load_i);
void vendor_count(diag_sink& s, uint8_t count);  // 80H/42H
void rule_values(diag_sink& s, size_t count);    // round end
void get_value(diag_sink& s);                    // value query
// Configuration (InitSetting).
void alarm_mode(diag_sink& s, uint32_t data_id, int32_t b_mode);
void threshold_step(diag_sink& s, int step);  // "here 1", "here 2"
void threshold_key(diag_sink& s, const std::string& key);
void threshold_part_missing(diag_sink& s, uint32_t data_id, const char* part);
void threshold_codes(diag_sink& s, const std::string& key, const std::string& codes, int level, float value);
}  // namespace diag_line

}  // namespace tzv58
