// The host device framework written from the design's description alone: the
// classes, members and operations it lists, and nothing else. Where the design
// gives no name or no result type, this file picks one that a plug-in cannot
// guess (the time value's type, the fields of rule_value, the flag behind
// UseControllerDb) or none at all (void), so that a plug-in file relying on a
// name or result of the stand-in host fails to compile here.
//
// Not built into anything: the fence test compiles the plug-in's sources with
// this folder ahead of the project's own host/.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

class ZMXController;
class ZMXVDevice;

// A 32-bit field, two texts, 8 bytes of plain fields, two texts, a 32-bit field.
struct rule_value {
    int32_t design_field_1;
    std::string design_text_1, design_text_2;
    unsigned char design_plain[8];
    std::string design_text_3, design_text_4;
    int32_t design_field_2;
};

// A 7-byte time value, its inside the host's.
struct design_unnamed_time_value {
    unsigned char design_bytes[7];
};
design_unnamed_time_value get_ttime(boost::posix_time::ptime t);

enum EnumParity {};

class VDeviceInterface {
public:
    virtual float Get_Value(unsigned int, const std::string&) const;
    virtual bool LoadFromCache(const std::string&);
    virtual bool LoadFromCache(const unsigned char*, int);
    virtual unsigned int DataId() const { return data_id; }
    virtual const std::string& DeviceType() const { return device_type; }
    virtual int DeviceIoControl(int, const void*, int, void*, int, int&);
    virtual void RoundDone();
    virtual bool UseControllerDb() { return design_db_flag; }
    virtual ~VDeviceInterface();
    virtual void Reset();

    uint32_t data_id;
    std::string device_type;
    bool data_ready;
    boost::posix_time::ptime last_update;

private:
    bool design_db_flag;
};

class ZMXVDevice : public VDeviceInterface {
public:
    virtual void InitV(ZMXVDevice*, unsigned int, const Json::Value&);
    virtual void Init(std::weak_ptr<ZMXController>, unsigned int, const Json::Value&);
    virtual bool InitSetting(const Json::Value&);
    virtual void IsSupportDevice(const std::string&) const;
    virtual std::shared_ptr<ZMXVDevice> GetChildVDevice(unsigned int) { return std::shared_ptr<ZMXVDevice>(); }
    virtual std::vector<std::shared_ptr<ZMXVDevice>> GetAllChildVDevices() {
        return std::vector<std::shared_ptr<ZMXVDevice>>();
    }
    virtual void SendSP(int, const unsigned char*, unsigned int, bool);
    virtual void SendDelayData(int);
    virtual void SendDoData(int, char);
    virtual void ReadDi(int);
    virtual void ReadAi(int);
    virtual void Get_SP_Value(unsigned int, const std::string&);

    bool CheckAOReport(const std::string&, float);
    void CheckThreshold(const std::string&, const std::string&, float&, int);
    bool DoBatchCheckThreshold(const std::vector<rule_value>&);
    void CheckThresholdBool(int, const std::string&, const std::string&, const std::string&, const std::string&, bool,
                            unsigned short);
    void SaveDeviceHistory(const unsigned char*, unsigned int);

    uint16_t check_seq;
    std::vector<rule_value> rule_values;
    bool alarm_changed;
    std::vector<std::string> ao_names;
    std::map<std::string, float> ao_values;
    std::map<std::string, int> threshold_levels;
    std::map<std::string, float> threshold_values;
};

class ZMXSPDevice : public ZMXVDevice {
public:
    void Reset() override;
    void Init(std::weak_ptr<ZMXController>, unsigned int, const Json::Value&) override;
    virtual int RefreshStatus();
    virtual void process(unsigned char*, unsigned int);
    virtual void IsProcessing();
    virtual void IsStalled();
    virtual void SendData(const unsigned char*, unsigned int);
    virtual void SendParityData(const unsigned char*, unsigned int, EnumParity);
    virtual int OpenPort();
    virtual void ClosePort();

    int baud_rate;
    uint8_t sp_flag;
    int sp_step;
};

class Provider {
public:
    virtual ~Provider();
};

// The host's choice of base class for the result; a device's own type is a
// covariant override of it.
class ZMXSPDeviceProvider : public Provider {
public:
    ~ZMXSPDeviceProvider() override;
    virtual VDeviceInterface* create() const = 0;
};
