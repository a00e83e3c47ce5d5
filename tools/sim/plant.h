// The simulated power system's readings, and the INFO of each reply built
// from them in fixed-point form (CID2 42H analog replies).
//
// A plant file is JSON; every member is optional and falls back to the
// healthy default plant below. docs/configuration.md lists the members, the
// defaults of list entries and the values each reply can carry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

namespace tzv58::tool {

struct PlantAcChannel {
    float a = 0, b = 0, c = 0, f = 0;
    std::vector<uint8_t> alarms{0, 0, 0, 0};  // a, b, c, f alarm bytes
    std::vector<uint8_t> user_alarms;
};

struct PlantModule {
    float out_i = 0;
    std::vector<uint8_t> state{0, 0, 0};
    std::vector<uint8_t> user_state{0};
    uint8_t fault = 0;
    std::vector<uint8_t> alarms{0, 0, 0, 0, 0, 0, 0};  // user-defined alarm bytes
};

struct PlantDcUnit {
    float out_v = 0, load_i = 0;
    std::vector<float> battery_i, branch_i, user;
    uint8_t v_alarm = 0;
    std::vector<uint8_t> fuses, alarms{0, 0, 0, 0, 0};
};

struct Plant {
    std::vector<PlantAcChannel> channels;
    float ac_tail[3] = {0, 0, 0};
    std::vector<uint8_t> switches, tail_alarms{0, 0, 0};
    float rc_out_v = 0;
    std::vector<PlantModule> modules;
    std::vector<PlantDcUnit> dc;
    std::vector<float> vendor{0, 0};  // the vendor reply's values, each behind a count byte
};

// Two AC channels, four rectifier modules, one DC unit, nothing in alarm.
Plant default_plant();

// The default plant with the members of a plant description applied. false
// with a one-line reason naming the member: unknown, of the wrong type or
// size, or a value the replies cannot carry.
bool plant_from_json(const Json::Value& json, Plant& out, std::string& err);

// INFO of the reply to a reading command CID1/CID2 (analog, states, alarms,
// vendor), DATAFLAG first. false for a command that reads nothing.
bool reply_info(const Plant& plant, uint8_t cid1, uint8_t cid2, uint8_t dataflag, std::vector<uint8_t>& info);

}  // namespace tzv58::tool
