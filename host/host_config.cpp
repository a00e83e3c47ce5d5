#include "host/host_config.h"

void fill_threshold_maps(ZMXVDevice& device, const Json::Value& config) {
    if (!config.isObject()) return;
    const Json::Value& settings = config["thresholdSetting"];
    if (!settings.isObject()) return;
    for (auto it = settings.begin(); it != settings.end(); ++it) {
        const Json::Value& entry = *it;
        if (!entry.isObject()) continue;
        const Json::Value& level = entry["level"];
        const Json::Value& value = entry["value"];
        if (!level.isIntegral() || !value.isNumeric()) continue;
        device.threshold_levels[it.name()] = level.asInt();
        device.threshold_values[it.name()] = value.asFloat();
    }
}
