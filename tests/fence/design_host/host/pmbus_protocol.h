// The host's frame codec written from the design's description alone; see
// zmx_device.h beside it.
#pragma once

#include <cstdint>

#include <json/value.h>

#include "host/zmx_device.h"

class PMBusProtocol : public ZMXSPDevice {
public:
    void process(unsigned char*, unsigned int) override;
    virtual int process_payload() = 0;
    virtual void process_error();

    bool InitSetting(const Json::Value&) override;

    int write_pmbus_cmd(unsigned char, unsigned char);
    int write_pmbus_cmd(unsigned char, unsigned char, const unsigned char*, int);

    const unsigned char* reply_frame;
    int32_t poll_step;
    uint8_t protocol_ver;
};
