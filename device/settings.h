// pmbuspower_419::InitSetting: the plant layout from "appSetting".
//
//   {"appSetting": {"has_ac": "1", "has_dc": 1, "no_dc_number": "2",
//                   "has_a": "1", "has_b": "1", "has_c": "0", "dc_i_adjust": "1"}}
//
// Keys that are absent (or null) keep what the members hold.
#pragma once

#include "device/setting_value.h"

template <class Data, int Type>
bool pmbuspower_419<Data, Type>::InitSetting(const Json::Value& config) {
    const Json::Value& app = config["appSetting"];
    if (app.isObject()) {
        tzv58::setting_flag(app, "has_ac", has_ac);
        tzv58::setting_flag(app, "has_dc", has_dc);
        tzv58::setting_int(app, "no_dc_number", no_dc_number);
        tzv58::setting_flag(app, "has_a", has_a);
        tzv58::setting_flag(app, "has_b", has_b);
        tzv58::setting_flag(app, "has_c", has_c);
        tzv58::setting_int(app, "dc_i_adjust", dc_i_adjust);
    }
    this->data.data_id.set(this->DataId());
    Base::InitSetting(config);
    return true;
}
