// Host device framework: the classes a plug-in device derives from.
//
// The order in which the virtual operations are declared is the virtual-table
// order the host relies on; do not reorder them. Each class declares (and
// this stand-in defines) exactly the operations whose implementation it
// supplies, so that a device built against these headers binds every slot to
// the same class as it would in the controller's host.
//
// Members marked TZV58_HOST_ONLY are this stand-in host's own wiring; a
// controller's host has none of them. The plug-in is built with
// TZV58_PLUGIN_BUILD, which makes any use of them an error.
#pragma once

// Host symbols keep default visibility: a plug-in built with hidden
// visibility still reaches them in the host.
#pragma GCC visibility push(default)

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/host_only.h"

class HostClock;
class HostEvents;
class ZMXController;
class ZMXVDevice;

// A queued threshold rule; the device only holds, passes on and empties them.
struct rule_value {
    int32_t rule_id = 0;
    std::string signal_key;
    std::string alarm_id;
    float value = 0.0f;
    int32_t flags = 0;
    std::string text1;
    std::string text2;
    int32_t level = 0;
};

// The host's 7-byte time value. The plug-in copies its 7 bytes as they stand;
// in this host they are year (16 bits, low byte first), month, day in the
// 32-bit word, then hour, minute, second.
struct ttime_t {
    TZV58_HOST_ONLY uint32_t word;
    TZV58_HOST_ONLY uint8_t hour, minute, second;
};
ttime_t get_ttime(boost::posix_time::ptime t);

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2, PARITY_MARK = 3, PARITY_SPACE = 4 };

class VDeviceInterface {
public:
    VDeviceInterface();
    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;

    virtual float Get_Value(unsigned int index, const std::string& signal_id) const;
    virtual bool LoadFromCache(const std::string& blob);
    virtual bool LoadFromCache(const unsigned char* data, int length);
    virtual unsigned int DataId() const { return data_id; }
    virtual const std::string& DeviceType() const { return device_type; }
    virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len, int& out_written);
    virtual void RoundDone();
    virtual bool UseControllerDb() { return use_controller_db; }
    virtual ~VDeviceInterface();
    virtual void Reset();

    uint32_t data_id = 0;
    std::string device_type;
    bool use_controller_db = false;
    bool data_ready = false;
    boost::posix_time::ptime last_update;  // not_a_date_time until a round completes
};

class ZMXVDevice : public VDeviceInterface {
public:
    ZMXVDevice();
    ~ZMXVDevice() override;

    virtual bool InitV(ZMXVDevice* parent, unsigned int id, const Json::Value& config);
    virtual bool Init(std::weak_ptr<ZMXController> controller, unsigned int id, const Json::Value& config);
    virtual bool InitSetting(const Json::Value& config);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<ZMXVDevice> GetChildVDevice(unsigned int) { return std::shared_ptr<ZMXVDevice>(); }
    virtual std::vector<std::shared_ptr<ZMXVDevice>> GetAllChildVDevices() {
        return std::vector<std::shared_ptr<ZMXVDevice>>();
    }
    virtual int SendSP(int type, const unsigned char* data, unsigned int len, bool flag);
    virtual int SendDelayData(int delay);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int index, const std::string& signal_id);

    // Host services (not virtual).
    bool CheckAOReport(const std::string& name, float value);
    void CheckThreshold(const std::string& name, const std::string& text, float const& value, int flag);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    void CheckThresholdBool(int level, const std::string& key, const std::string& id, const std::string& text1,
                            const std::string& text2, bool active, unsigned short seq);
    void SaveDeviceHistory(const unsigned char* data, unsigned int len);

    // Local time, one-second resolution, through the host's clock.
    TZV58_HOST_ONLY boost::posix_time::ptime LocalTime() const;

    unsigned short check_seq = 0;
    std::vector<rule_value> rule_values;
    bool alarm_changed = false;
    std::vector<std::string> ao_names;
    std::map<std::string, float> ao_values;
    std::map<std::string, int> threshold_levels;
    std::map<std::string, float> threshold_values;

    // Stand-in host wiring.
    TZV58_HOST_ONLY HostEvents* events;
    TZV58_HOST_ONLY const HostClock* clock;
};

class ZMXSPDevice : public ZMXVDevice {
public:
    ZMXSPDevice();
    ~ZMXSPDevice() override;

    void Reset() override;
    bool Init(std::weak_ptr<ZMXController> controller, unsigned int id, const Json::Value& config) override;
    virtual int RefreshStatus();
    virtual int process(unsigned char* data, unsigned int len);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned int len);
    virtual int SendParityData(const unsigned char* data, unsigned int len, EnumParity parity);
    virtual int OpenPort();
    virtual int ClosePort();

    // Serial settings and the step code the device writes.
    int baud_rate = 9600;
    uint8_t sp_flag = 0;
    int sp_step = 0;

    // The line: a serial port by name, or any descriptor the host attaches.
    TZV58_HOST_ONLY std::string port_name;
    TZV58_HOST_ONLY void AttachFd(int fd, bool owned);
    TZV58_HOST_ONLY int fd() const;
    // Cleared when a reply arrives or the exchange is reset.
    TZV58_HOST_ONLY bool awaiting_reply = false;
    // The host may hold polling (a lost port, for example).
    TZV58_HOST_ONLY bool stalled = false;

private:
    int fd_ = -1;
    bool owns_fd_ = false;
};

class ZMXController {
public:
    virtual ~ZMXController();
};

class Provider {
public:
    virtual ~Provider();
};

class ZMXSPDeviceProvider : public Provider {
public:
    ~ZMXSPDeviceProvider() override;
    virtual ZMXSPDevice* create() const = 0;
};

// The plug-in's single entry point.
using get_providers_fn = std::vector<std::shared_ptr<Provider>> (*)();

#pragma GCC visibility pop
