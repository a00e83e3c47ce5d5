// The model's alarm tables: table A in alarm mode 1, table B in every mode but
// 1, 2 and 3 (modes 2 and 3 report none of them).
#pragma once

#include "alarms/alarm_sink.h"
#include "telemetry/record.h"

namespace tzv58 {

// Reports the rows of the mode's table for every AC channel (when has_ac),
// every rectifier module and DC unit 1 (when has_dc), numbering the reports
// from check_seq on.
void check_model_tables(const tzv58_419_Data_t& data, const check_settings& set, alarm_sink& sink,
                        unsigned short& check_seq);

}  // namespace tzv58
