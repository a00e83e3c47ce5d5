// The power-system device over the telecom power-monitoring protocol.
//
// Protocol logic lives here; a model class adds its vendor command and alarm
// table. The reply decoders and the alarm checks are free functions over the
// record (telemetry/, alarms/); the members below keep their names and hand
// each reply to them. Bodies: pmbuspower_419_impl.h (poll cycle, settings,
// checks), value_query.h, control.h; a model's .cpp instantiates them over
// its record.
#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

#include "alarms/alarm_sink.h"
#include "alarms/model_tables.h"
#include "device/poll_steps.h"
#include "device/uni_data_device.h"
#include "host/pmbus_protocol.h"
#include "telemetry/dc_layout.h"
#include "telemetry/decode_ac.h"
#include "telemetry/decode_dc.h"
#include "telemetry/decode_rc.h"
#include "telemetry/diag.h"

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
    int parse40_41(const unsigned char* p, int len) { return tzv58::ac_analog(this->data, {p, len}, 4, diag()); }
    int parse40_42(const unsigned char* p, int len) { return tzv58::ac_analog(this->data, {p, len}, 2, diag()); }
    int parse40_43(const unsigned char* p, int len) { return tzv58::ac_states(this->data, {p, len}); }
    int parse40_44(const unsigned char* p, int len) { return tzv58::ac_alarms(this->data, {p, len}, diag()); }
    int parse41_41(const unsigned char* p, int len) { return tzv58::rc_analog(this->data, {p, len}, 4, diag()); }
    int parse41_42(const unsigned char* p, int len) { return tzv58::rc_analog(this->data, {p, len}, 2, diag()); }
    int parse41_43(const unsigned char* p, int len) { return tzv58::rc_states(this->data, {p, len}); }
    int parse41_44(const unsigned char* p, int len) { return tzv58::rc_alarms(this->data, {p, len}); }
    int parse42_41(const unsigned char* p, int len) { return dc_analog(0, p, len, 4); }
    int parse42_41_2(const unsigned char* p, int len) { return dc_analog(1, p, len, 4); }
    int parse42_42(const unsigned char* p, int len) { return dc_analog(0, p, len, 2); }
    int parse42_42_2(const unsigned char* p, int len) { return dc_analog(1, p, len, 2); }
    int parse42_44(const unsigned char* p, int len) { return tzv58::dc_alarms(this->data.dc(0), {p, len}); }
    int parse42_44_2(const unsigned char* p, int len) { return tzv58::dc_alarms(this->data.dc(1), {p, len}); }

    int32_t ctrl_result = -1;
    uint8_t command_group = 1;
    uint8_t rect_dataflag = 0;
    bool has_ac = true;
    bool has_dc = false;
    int32_t no_dc_number = tzv58::NO_DC_NUMBER_UNKNOWN;
    bool has_a = true;
    bool has_b = true;
    bool has_c = true;
    int32_t dc_i_adjust = 1;
    bool float_mode = true;

    // The round's steps in order (device/poll_steps.h): the protocol's own
    // round, or the one a model's constructor sets.
    using poll_row = tzv58::poll_row<pmbuspower_419>;
    using poll_table = tzv58::poll_table<pmbuspower_419>;
    poll_table round_steps = protocol_round();

    // AC, rectifiers, DC: the rows of device/protocol_steps.h.
    static poll_table protocol_round();

protected:
    // The checks' view of the device's settings.
    tzv58::check_settings settings_for_checks() const;
    // A model's alarm tables, after the power system's checks: its
    // RunCheckThreshold runs this class's, then this.
    void check_tables(const tzv58::model_tables& tables);

    static tzv58::diag_sink& diag() { return tzv58::diag(); }

private:
    int dc_analog(int unit, const unsigned char* p, int len, int width) {
        return tzv58::dc_analog(this->data.dc(unit), {p, len}, width, dc_i_adjust, diag());
    }
    // The first row after `taken` (nullptr: as a round starts) that is due,
    // the reply just taken having carried `dataflag`; nullptr: none is.
    const poll_row* next_due(const poll_row* taken, uint8_t dataflag) const;
    // poll_step = row.step, the row's command sent. 1.
    int ask(const poll_row& row);
    // Every round ends here: RoundDone, poll_step = ends_at, Reset. 0.
    int end_round(int32_t ends_at);
};
