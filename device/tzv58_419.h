// The model: the power-system device plus its vendor reading and alarm table.
#pragma once

#include "device/model.h"
#include "device/pmbuspower_419.h"
#include "telemetry/record.h"

class tzv58_419 : public pmbuspower_419<tzv58_419_Data_t, 5535> {
public:
    tzv58_419();
    ~tzv58_419() override;

    int process_payload() override;
    void RunCheckThreshold() override;

    // Its name, record, round, alarm tables and values, as data.
    static const tzv58::model_descriptor& model();
};
