// A device that holds exactly one typed telemetry record and completes rounds.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include <json/value.h>

#include "device/local_time.h"
#include "host/zmx_device.h"

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
