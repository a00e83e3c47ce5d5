// A device that holds exactly one typed telemetry record and completes rounds.
#pragma once

#include <cstdint>
#include <cstring>
#include <iostream>
#include <map>
#include <string>

#include <json/value.h>

#include "host/zmx_device.h"
#include "telemetry/bytes.h"

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
};

template <class Data, class Base, int Type>
void UniDataDevice<Data, Base, Type>::RoundDone() {
    this->data_ready = true;
    this->last_update = this->LocalTime();
    const ttime_t t = get_ttime(this->last_update);
    tzv58::store_le32(data.round_time, t.word);
    data.round_time[4] = t.hour;
    data.round_time[5] = t.minute;
    data.round_time[6] = t.second;
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
    std::cout << "rvSize is " << this->rule_values.size() << std::endl;
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

#include "device/uni_data_settings.h"
