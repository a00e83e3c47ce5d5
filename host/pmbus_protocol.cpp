#include "host/pmbus_protocol.h"

#include <cstring>

#include "host/frame.h"
#include "host/host_events.h"

using namespace tzv58;

struct PMBusProtocol::Receiver : FrameSink {
    explicit Receiver(PMBusProtocol& c) : codec(c) {}
    void on_frame(const uint8_t* image, size_t len) override { codec.on_frame(image, len); }
    void on_drop(const char* reason, const uint8_t* data, size_t len) override {
        codec.events->on_frame_error(reason, data, len);
    }
    PMBusProtocol& codec;
    FrameParser parser;
};

PMBusProtocol::PMBusProtocol() : receiver_(std::make_unique<Receiver>(*this)) {}
PMBusProtocol::~PMBusProtocol() = default;

int PMBusProtocol::process(unsigned char* data, unsigned int len) {
    receiver_->parser.feed(data, len, *receiver_);
    return 0;
}

void PMBusProtocol::flush_input() { receiver_->parser.flush(*receiver_); }

void PMBusProtocol::on_frame(const uint8_t* image, size_t len) {
    if (image[1] != address) {
        events->on_frame_error("address", image, len);
        return;
    }
    awaiting_reply = false;
    // The image stays valid until the next frame completes, which cannot
    // happen before the device has handled this one. The device only reads it.
    reply_frame = const_cast<unsigned char*>(image);
    reply_len = int(len);
    if (image[3] != 0) {
        process_error();
    } else {
        const int result = process_payload();
        events->on_payload(result, poll_step);
    }
}

int PMBusProtocol::process_error() {
    events->on_frame_error("rtn", reply_frame, size_t(reply_len));
    return 0;
}

bool PMBusProtocol::InitSetting(const Json::Value&) { return true; }

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
    return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info, int len) {
    // Requests are short; the largest INFO the device sends is 7 bytes.
    constexpr int MAX_REQUEST_INFO = 64;
    char frame[1 + 12 + 2 * MAX_REQUEST_INFO + 4 + 1];
    if (len > MAX_REQUEST_INFO) return 0;
    const size_t n = build_frame(frame, sizeof frame, protocol_ver, address, cid1, cid2, info, len);
    if (n == 0) return 0;
    events->on_send(cid1, cid2, info, len, frame, n - 1);
    return SendData(reinterpret_cast<const unsigned char*>(frame), unsigned(n)) >= 0 ? 1 : 0;
}
