// UniDataDevice::InitSetting: alarm mode and the mode-3 threshold codes.
//
//   {"appSetting": {"b_mode": "3"},
//    "thresholdSetting": {"ac_a_v_low": {"SignalName": "A相电压低",
//        "NMAlarmID": "0401001", "ID": "12", "SignalNumber": "1",
//        "level": 2, "value": 180}}}
//
// gives signal_names["ac_a_v_low"] = "A相电压低" and
// alarm_codes["ac_a_v_low"] = "0401001;12;1;". A missing part leaves its
// place empty ("0401001;;1;") and is reported on its own line.
#pragma once

#include "device/setting_value.h"

template <class Data, class Base, int Type>
bool UniDataDevice<Data, Base, Type>::InitSetting(const Json::Value& config) {
    data.data_id.set(this->DataId());
    const Json::Value& app = config["appSetting"];
    if (app.isObject() && tzv58::setting_int(app, "b_mode", b_mode_))
        std::cout << "InitSetting " << data.data_id.get() << " b_mode_:" << b_mode_ << std::endl;

    if (b_mode_ == 3) {
        std::cout << "here 1" << std::endl;
        const Json::Value& thresholds = config["thresholdSetting"];
        if (!thresholds.isNull()) {
            std::cout << "here 2" << std::endl;
            // Members in ascending byte order of their names; a string or a
            // number has none.
            for (auto it = thresholds.begin(); it != thresholds.end(); ++it) {
                const std::string key = it.key().asString();
                std::cout << "here " << key << std::endl;
                const Json::Value& entry = *it;
                if (!entry.isObject()) continue;

                const Json::Value& name = entry["SignalName"];
                if (!name.isNull()) signal_names[key] = name.asString();

                std::string codes;
                for (const char* part : {"NMAlarmID", "ID", "SignalNumber"}) {
                    const Json::Value& v = entry[part];
                    if (!v.isNull())
                        codes += v.asString();
                    else
                        std::cout << this->DataId() << " " << part << " is missing" << std::endl;
                    codes += ';';
                }
                std::cout << "mobile:" << key << ":" << codes << " level:" << this->threshold_levels[key]
                          << " value:" << this->threshold_values[key] << std::endl;
                alarm_codes[key] = codes;
            }
        }
    }
    return Base::InitSetting(config);
}
