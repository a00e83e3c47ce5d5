// A model as data: what a provider tells about the devices it creates,
// beyond creating them. The host framework of a controller knows nothing of
// it: it calls get_providers and create, and the device's own operations,
// exactly as before. The stand-in host program reads it to pick a model by
// name and to show and store what the model's record holds, without naming
// the record's type.
//
// A provider publishes its descriptor by also being a model_provider; the
// host program finds it with a dynamic_cast from the Provider it was handed.
// Both sides compile this header (it is the plug-in's own): a host without
// it never asks, and the plug-in never needs it to be asked.
#pragma once

#include <cstdint>

#include "alarms/model_tables.h"
#include "device/poll_steps.h"
#include "telemetry/values.h"

namespace tzv58 {

struct model_descriptor {
    const char* name;       // the device type ("tzv58_419"), what --model names
    int32_t record_type;    // the type its records are published with (SendSP)
    uint32_t record_size;   // the bytes of one record
    list<step_spec> steps;  // its round, in the order the commands go out
    list<model_table_spec> alarm_tables;
    value_table values;  // every value its record holds that a surface shows
};

// The face a provider turns to the stand-in host program.
class model_provider {
public:
    virtual const model_descriptor& model() const = 0;

protected:
    ~model_provider() = default;
};

}  // namespace tzv58
