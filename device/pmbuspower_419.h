// The power-system device over the telecom power-monitoring protocol.
//
// Protocol logic lives here; a model class adds its vendor command and alarm
// table. The operations are defined in the headers included at the end, one
// per concern.
#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

#include "device/uni_data_device.h"
#include "host/pmbus_protocol.h"

template <class Data, int Type>
class pmbuspower_419 : public UniDataDevice<Data, PMBusProtocol, Type> {
public:
    using Base = UniDataDevice<Data, PMBusProtocol, Type>;
    using ac_channel_t = typename Data::ac_channel_t;
    using rc_module_t = typename Data::rc_module_t;
    using dc_unit_t = typename Data::dc_unit_t;

    pmbuspower_419() {
        this->baud_rate = 9600;
        this->sp_flag = 1;
        this->protocol_ver = 0x20;
    }
    ~pmbuspower_419() override = default;

    float Get_Value(unsigned int index, const std::string& signal_id) const override;
    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len, int& out_written) override;
    bool InitSetting(const Json::Value& config) override;
    int RefreshStatus() override;
    int process_payload() override;
    void RunCheckThreshold() override;

    // Reply decoders. Each returns the bytes it consumed, or -1.
    // AC (40H) and DC (42H): p is the byte after DATAFLAG (and after the DC
    // count byte, where the reply has one); len counts from p to INFO's end.
    // Rectifiers (41H): p is DATAFLAG itself; len is the whole INFO length.
    int parse40_41(const unsigned char* p, int len);
    int parse40_42(const unsigned char* p, int len);
    int parse40_43(const unsigned char* p, int len);
    int parse40_44(const unsigned char* p, int len);
    int parse41_41(const unsigned char* p, int len);
    int parse41_42(const unsigned char* p, int len);
    int parse41_43(const unsigned char* p, int len);
    int parse41_44(const unsigned char* p, int len);
    int parse42_41(const unsigned char* p, int len);
    int parse42_41_2(const unsigned char* p, int len);
    int parse42_42(const unsigned char* p, int len);
    int parse42_42_2(const unsigned char* p, int len);
    int parse42_44(const unsigned char* p, int len);
    int parse42_44_2(const unsigned char* p, int len);

    int32_t ctrl_result = -1;
    uint8_t command_group = 1;
    uint8_t rect_dataflag = 0;
    bool has_ac = true;
    bool has_dc = false;
    int32_t no_dc_number = -1;
    bool has_a = true;
    bool has_b = true;
    bool has_c = true;
    int32_t dc_i_adjust = 1;
    bool float_mode = true;

protected:
    // Poll-cycle pieces that the model reuses.
    int info_len() const;
    void decode_dc_analog(int n);
    void decode_dc_alarm(int n);
    void send_analog(unsigned char cid1, bool with_group);
    int send_dc_alarm_query();
    int dc_or_end();
    int end_round();

private:
    int decode_ac_analog(const unsigned char* p, int len, int width);
    int decode_rc_analog(const unsigned char* p, int len, int width);
    int decode_dc_analog_unit(dc_unit_t& unit, const unsigned char* p, int len, int width);
    int decode_dc_alarm_unit(dc_unit_t& unit, const unsigned char* p, int len);
};

#include "alarms/power_checks.h"
#include "device/control.h"
#include "device/poll_cycle.h"
#include "device/settings.h"
#include "device/value_query.h"
#include "telemetry/decode_ac.h"
#include "telemetry/decode_dc.h"
#include "telemetry/decode_rc.h"
