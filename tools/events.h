// The host's event sink: every service the device calls becomes one JSON line
// ({"event":"send",...}), and what a round produced is kept for the scheduler
// and the human summary.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/host_events.h"
#include "telemetry/record.h"

namespace tzv58::tool {

struct ActiveAlarm {
    int level;
    std::string key, id, text1, text2;
};

class EventPrinter : public HostEvents {
public:
    explicit EventPrinter(FILE* out) : out_(out) {}

    // Raised by the device through the host.
    void on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                 size_t frame_len) override;
    void on_publish(int type, const unsigned char* data, unsigned int len) override;
    void on_history(const unsigned char* data, unsigned int len) override;
    void on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                  const std::string& text2, bool active, unsigned short seq) override;
    void on_frame_error(const char* reason, const uint8_t* data, size_t len) override;
    void on_payload(int result, int poll_step) override;

    // Reported by the host around its own calls.
    void refresh(int result);
    void value(const std::string& id, float v);
    void value_error(const std::string& id, const std::string& what);
    void control(int code, int result, int out_written, const uint8_t* out, size_t out_len);
    // A request the device answered with an exception.
    void control_error(int code, const std::string& what);
    void cache(bool result);
    void link(const char* state);
    void error(const char* reason, const uint8_t* data, size_t len);
    // The host sends the last request once more.
    void resend();

    // What the current round produced; the scheduler clears it at each refresh.
    struct Round {
        int sends = 0;  // requests the device built
        int publishes = 0;
        int payloads = 0;
        int frame_errors = 0;
        std::vector<ActiveAlarm> alarms;  // reported active
        tzv58_419_Data_t record{};        // the last published image
    };
    Round& round() { return round_; }
    void new_round() { round_ = Round{}; }
    // The last frame the codec built, for asking again (without CR).
    const std::string& last_frame() const { return last_frame_; }
    uint8_t last_cid1() const { return last_cid1_; }
    uint8_t last_cid2() const { return last_cid2_; }
    const std::string& last_info_hex() const { return last_info_hex_; }

private:
    void emit(const std::string& line);

    FILE* out_;
    Round round_;
    std::string last_frame_, last_info_hex_;
    uint8_t last_cid1_ = 0, last_cid2_ = 0;
};

}  // namespace tzv58::tool
