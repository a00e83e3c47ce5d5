// The host's frame codec for the power-monitoring serial protocol.
#pragma once

// Host symbols keep default visibility: a plug-in built with hidden
// visibility still reaches them in the host.
#pragma GCC visibility push(default)

#include <cstddef>
#include <cstdint>
#include <memory>

#include <json/value.h>

#include "host/host_only.h"
#include "host/zmx_device.h"

class PMBusProtocol : public ZMXSPDevice {
public:
    PMBusProtocol();
    ~PMBusProtocol() override;

    // Takes received bytes; each accepted reply sets reply_frame and goes to
    // process_payload (RTN 00H) or process_error (any other RTN).
    int process(unsigned char* data, unsigned int len) override;
    virtual int process_payload() = 0;
    virtual int process_error();

    bool InitSetting(const Json::Value& config) override;

    // Builds and sends one request. 1: the frame went to the line; 0: it did not.
    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info, int len);

    // Forgets a partial reply and reports stray bytes (reply timeout).
    TZV58_HOST_ONLY void flush_input();

    unsigned char* reply_frame = nullptr;
    TZV58_HOST_ONLY int reply_len = 0;  // bytes of the decoded image behind reply_frame
    int poll_step = 0;
    uint8_t protocol_ver = 0x20;
    TZV58_HOST_ONLY uint8_t address = 1;

private:
    // The reply parser and its report path; the device's virtual table holds
    // exactly the host's operations.
    struct Receiver;
    void on_frame(const uint8_t* image, size_t len);
    std::unique_ptr<Receiver> receiver_;
};

#pragma GCC visibility pop
