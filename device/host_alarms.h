// The alarm checks report through the host's CheckThresholdBool.
#pragma once

#include <string>

#include "alarms/alarm_sink.h"
#include "host/zmx_device.h"

namespace tzv58 {

class host_alarms : public alarm_sink {
public:
    explicit host_alarms(ZMXVDevice& device) : device_(device) {}
    void report(int level, const std::string& key, const std::string& id, const std::string& text1,
                const std::string& text2, bool active, unsigned short seq) override {
        device_.CheckThresholdBool(level, key, id, text1, text2, active, seq);
    }

private:
    ZMXVDevice& device_;
};

}  // namespace tzv58
