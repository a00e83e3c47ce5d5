// A device that holds exactly one typed telemetry record and completes rounds:
// round completion, the cache, and the alarm-mode settings. The bodies are
// here, for any record type a model instantiates them with.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include <json/value.h>

#include "device/local_time.h"
#include "device/setting_value.h"
#include "host/zmx_device.h"
#include "telemetry/diag.h"

template <class Data, class Base, int Type>
class UniDataDevice : public Base {
public:
    UniDataDevice() : b_mode_(1) {
        std::memset(static_cast<void*>(&data), 0, sizeof data);
        b_mode_ = 1;
    }
    ~UniDataDevice() override = default;

    bool LoadFromCache(const unsigned char* bytes, int length) override;
    using Base::LoadFromCache;
    void RoundDone() override;
    bool InitSetting(const Json::Value& config) override;
    virtual void RunCheckThreshold() {}

    const unsigned char* record_bytes() const { return reinterpret_cast<const unsigned char*>(&data); }

    Data data;
    int32_t b_mode_;
    std::map<std::string, std::string> alarm_codes;
    std::map<std::string, std::string> signal_names;

protected:
    boost::posix_time::ptime local_time() const {
        return tzv58::local_time(static_cast<const VDeviceInterface*>(this));
    }
};

// The end of a round: stamp, publish, check, store.
template <class Data, class Base, int Type>
void UniDataDevice<Data, Base, Type>::RoundDone() {
    this->data_ready = true;
    this->last_update = local_time();
    // The host's 7-byte time value goes into the record as it stands; its type
    // is the host's, with no name a device may rely on.
    const auto t = get_ttime(this->last_update);
    static_assert(sizeof t >= sizeof data.round_time, "the host's time value has 7 bytes");
    std::memcpy(data.round_time, &t, sizeof data.round_time);
    this->SendSP(Type, record_bytes(), sizeof(Data), false);
    this->Reset();
    this->check_seq = 1;
    this->alarm_changed = false;
    this->RunCheckThreshold();
    for (const std::string& name : this->ao_names) {
        const auto it = this->ao_values.find(name);
        if (it == this->ao_values.end()) continue;
        const bool changed = this->CheckAOReport(name, it->second);
        this->alarm_changed = changed || this->alarm_changed;
        this->CheckThreshold(name, std::string(), it->second, 1);
    }
    tzv58::diag_line::rule_values(tzv58::diag(), this->rule_values.size());
    const bool changed = this->DoBatchCheckThreshold(this->rule_values);
    this->alarm_changed = changed || this->alarm_changed;
    this->SaveDeviceHistory(record_bytes(), sizeof(Data));
    this->rule_values.clear();
}

template <class Data, class Base, int Type>
bool UniDataDevice<Data, Base, Type>::LoadFromCache(const unsigned char* bytes, int length) {
    if (!bytes || length != int(sizeof(Data))) return false;
    std::memcpy(static_cast<void*>(&data), bytes, sizeof(Data));
    this->data_ready = true;
    this->RoundDone();
    return true;
}

// The alarm mode and, in mode 3, the threshold codes:
//
//   {"appSetting": {"b_mode": "3"},
//    "thresholdSetting": {"ac_a_v_low": {"SignalName": "A相电压低",
//        "NMAlarmID": "0401001", "ID": "12", "SignalNumber": "1",
//        "level": 2, "value": 180}}}
//
// gives signal_names["ac_a_v_low"] = "A相电压低" and
// alarm_codes["ac_a_v_low"] = "0401001;12;1;". A missing part leaves its
// place empty ("0401001;;1;") and is reported on its own line.
template <class Data, class Base, int Type>
bool UniDataDevice<Data, Base, Type>::InitSetting(const Json::Value& config) {
    tzv58::diag_sink& diag = tzv58::diag();
    data.data_id.set(this->DataId());
    const Json::Value& app = config["appSetting"];
    if (app.isObject() && tzv58::setting_int(app, "b_mode", b_mode_))
        tzv58::diag_line::alarm_mode(diag, data.data_id.get(), b_mode_);

    if (b_mode_ == 3) {
        tzv58::diag_line::threshold_step(diag, 1);
        const Json::Value& thresholds = config["thresholdSetting"];
        if (!thresholds.isNull()) {
            tzv58::diag_line::threshold_step(diag, 2);
            // Members in ascending byte order of their names; a string or a
            // number has none.
            for (auto it = thresholds.begin(); it != thresholds.end(); ++it) {
                const std::string key = it.key().asString();
                tzv58::diag_line::threshold_key(diag, key);
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
                        tzv58::diag_line::threshold_part_missing(diag, this->DataId(), part);
                    codes += ';';
                }
                // The host's maps are read, never added to.
                const auto level = this->threshold_levels.find(key);
                const auto value = this->threshold_values.find(key);
                tzv58::diag_line::threshold_codes(diag, key, codes,
                                                  level == this->threshold_levels.end() ? 0 : level->second,
                                                  value == this->threshold_values.end() ? 0.0f : value->second);
                alarm_codes[key] = codes;
            }
        }
    }
    return Base::InitSetting(config);
}
