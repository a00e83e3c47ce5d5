// Where the alarm checks report, and what they read besides the record.
//
// Every check that runs reports its condition, active or not, in every round;
// raising, holding and clearing belong to the host. The device hands the
// checks its CheckThresholdBool as the sink.
#pragma once

#include <map>
#include <string>

namespace tzv58 {

class alarm_sink {
public:
    virtual void report(int level, const std::string& key, const std::string& id, const std::string& text1,
                        const std::string& text2, bool active, unsigned short seq) = 0;

protected:
    ~alarm_sink() = default;
};

// The device's settings that the checks read.
struct check_settings {
    int b_mode;  // alarm mode
    bool has_ac, has_dc;
    bool has_a, has_b, has_c;  // wired input phases
    // Host-filled per-alarm level (0: off) and threshold, by alarm id. An id
    // the host did not fill reads as 0.
    const std::map<std::string, int>& threshold_levels;
    const std::map<std::string, float>& threshold_values;

    int level(const std::string& id) const {
        const auto it = threshold_levels.find(id);
        return it == threshold_levels.end() ? 0 : it->second;
    }
    float threshold(const std::string& id) const {
        const auto it = threshold_values.find(id);
        return it == threshold_values.end() ? 0.0f : it->second;
    }
};

}  // namespace tzv58
