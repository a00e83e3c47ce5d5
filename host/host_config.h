// How the stand-in host applies a device's configuration.
#pragma once

#ifdef TZV58_PLUGIN_BUILD
#error "the stand-in host's own header: a plug-in builds against host/zmx_device.h and host/pmbus_protocol.h only"
#endif

#pragma GCC visibility push(default)

#include <json/value.h>

#include "host/zmx_device.h"

// Fills threshold_levels[key] and threshold_values[key] from each member `key`
// of "thresholdSetting" that carries "level" (integer) and "value" (number).
void fill_threshold_maps(ZMXVDevice& device, const Json::Value& config);

#pragma GCC visibility pop
