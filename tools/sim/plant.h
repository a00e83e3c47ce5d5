// The simulated power system's readings, and the INFO of each reply built
// from them in fixed-point form (CID2 42H analog replies).
//
// A plant file is JSON; every member is optional and falls back to the
// healthy default plant below. A list ("channels", "modules", "dc") replaces
// the default list; each of its entries starts from the default entry at the
// same place (the first default entry where the default list is shorter) and
// takes the members it names, so {"ac": {"channels": [{"a": 0}]}} is one
// channel with A at 0 V and B, C and f as in the default channel 1.
//   {"ac": {"channels": [{"a": 230, "b": 231, "c": 229, "f": 50,
//                         "alarms": [0,0,0,0], "user_alarms": []}],
//           "tail": [0,0,0], "switches": [0,0], "tail_alarms": [0,0,0]},
//    "rectifiers": {"out_v": 53, "modules": [{"out_i": 12, "state": [0,0,0],
//                   "user_state": [0], "fault": 0, "alarms": [0,0,0,0,0,0,0]}]},
//    "dc": [{"out_v": 53.5, "load_i": 45, "battery_i": [3], "branch_i": [20, 25],
//            "user": [], "v_alarm": 0, "fuses": [0,0], "alarms": [0,0,0,0,0]}],
//    "vendor": [50, 10]}
// A reading given as null is sent as "not supplied" (equal non-zero bytes).
// Replies use fixed point (42H), so a reading must fit its 16 bits: 0 to
// 655.35 for hundredths (AC, rectifiers, DC currents and voltages), 0 to
// 6553.5 for the vendor's tenths, 0 to 65535 for DC user values. An AC or DC
// user value whose two bytes would be equal and non-zero (51.40 goes out as
// 14 14) would read as "not supplied" and is refused too, as is a member the
// file does not know. Up to 255 DC units may be listed (the record holds two).
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
    float vendor[2] = {0, 0};
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
