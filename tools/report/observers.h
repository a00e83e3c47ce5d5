// What the host keeps from the device's service calls besides printing them:
// the DC units each DC reply reports, and what a round produced for the
// person's summary (the last record, alarm transitions, line errors).
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/host_events.h"
#include "host/pmbus_protocol.h"
#include "telemetry/dc_layout.h"
#include "tools/common/plugin_host.h"
#include "tools/report/events.h"

namespace tzv58::tool {

// Reads the unit count of each DC analog reply the device accepts, by the
// device's own rule for the reply's layout (telemetry/dc_layout.h).
class DcUnitWatch : public HostEvents {
public:
    // no_dc_number: the layout as the device holds it (1, 2, or
    // NO_DC_NUMBER_UNKNOWN to tell from the first reply, as the device does).
    explicit DcUnitWatch(const PMBusProtocol& codec, int no_dc_number = tzv58::NO_DC_NUMBER_UNKNOWN)
        : codec_(codec), no_dc_number_(no_dc_number) {}
    // The layout from the configuration, once the device has taken it.
    void set_no_dc_number(int no_dc_number) { no_dc_number_ = no_dc_number; }

    void on_send(uint8_t cid1, uint8_t cid2, const uint8_t*, int, const char*, size_t) override;
    void on_payload(int result, int poll_step) override;

    // Units the last DC analog reply reported; -1 before the first (which
    // units a record holds follows from it: RecordView).
    int reported() const { return reported_; }

private:
    struct Request {
        uint8_t cid1 = 0, cid2 = 0;
    };
    const PMBusProtocol& codec_;
    int no_dc_number_;
    int reported_ = -1;
    Request last_, before_last_;
};

// The link's life as it happens, told twice in the same words: an event
// (state "lost" with its cause, "open" with the seconds it was down; "silent"
// with since when, "open" with the seconds it was silent) and a line on
// standard error, "PORT: link lost (hang-up) at T", "PORT: link restored
// after 63 s", "PORT: no answer from the power system at address 1 since
// 11:02:07", "PORT: answers again after 45 s". T is the time of the event.
class LinkReport : public HostEvents, public LinkObserver {
public:
    // who: the port, and in a site the power system's name before it
    // ("north: /dev/ttyUSB0").
    LinkReport(EventPrinter& events, std::string who, FILE* console)
        : events_(events), port_(std::move(who)), console_(console) {}

    void link_state(const char* state) override;
    void link_lost(const char* cause) override;
    void link_restored(long long down_s) override;
    void link_silent(int address, const std::string& since) override;
    void link_answers(long long silent_s) override;

private:
    EventPrinter& events_;
    std::string port_;
    FILE* console_;
};

struct AlarmTransition {
    std::string time;  // ISO 8601, host clock
    bool raised;
    int level;
    std::string key, id, text1, text2;
};

// Level numbers as the alarm database names them.
const char* level_name(int level);

// The device's mains-failure alarms: PowerOff 419415001 (alarm mode 1) and
// the check of AC input lost, 220600140010 (mode 2). Every surface says
// "mains failure" while one of them is active, and only then: the program
// has no rule of its own about the AC voltages.
bool mains_failure_alarm(const std::string& key, const std::string& id);

// An alarm byte of the power system's own replies that is not 0,
// as every surface labels it: "status byte 03H from the power system". The
// device's alarm tables raise their alarms from some of these bytes; the
// byte itself is what the power system said, not an alarm of the device.
std::string status_byte_text(unsigned byte);

// Which alarms are active, as last reported: tells a change (raised or
// cleared) from a report that repeats an alarm's state. Rows of several
// elements share a key and an id, and their texts tell them apart; a
// threshold check (its key is its id) carries the round's readings in its
// first text, which therefore does not name it.
class AlarmStates {
public:
    // Records the report; true when it changes the alarm's state.
    bool change(const std::string& key, const std::string& id, const std::string& text1, const std::string& text2,
                bool active);
    // What tells one alarm from another: the key, the id and the naming texts.
    static std::string identity(const std::string& key, const std::string& id, const std::string& text1,
                                const std::string& text2);
    int active() const;

private:
    std::map<std::string, bool> state_;  // key, id and naming texts -> active
};

// Every reason a line error is told with: the frame parser's (noise,
// truncated, too_long, length, hex, lchksum, checksum), the codec's (address,
// rtn: the power system's error reply), the host's (unexpected: a reply to
// another request; timeout: a reply that did not come).
constexpr const char* LINE_ERROR_REASONS[] = {"noise",    "truncated", "too_long", "length",     "hex",    "lchksum",
                                              "checksum", "address",   "rtn",      "unexpected", "timeout"};

// What the current round produced, for the summary.
class RoundCollector : public HostEvents {
public:
    void set_clock(const HostClock* clock) { clock_ = clock; }
    // The model whose records are published; its record holds zeros until
    // the first.
    void set_model(ModelRef model);

    void on_publish(int type, const unsigned char* data, unsigned int len) override;
    void on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                  const std::string& text2, bool active, unsigned short seq) override;
    void on_frame_error(const char* reason, const uint8_t* data, size_t len) override;
    void on_payload(int result, int poll_step) override;

    // A round begins: counts and transitions start again; alarm states stay.
    void new_round();

    int payloads() const { return payloads_; }
    // Every error of the round: what the codec and the line dropped, and
    // the replies that did not come (timeouts), by reason.
    int frame_errors() const { return frame_errors_; }
    const std::map<std::string, int>& errors_by_reason() const { return errors_by_reason_; }
    // The last record published, and its model.
    const std::vector<uint8_t>& record() const { return record_; }
    const ModelRef& model() const { return model_; }
    const std::vector<AlarmTransition>& transitions() const { return transitions_; }
    // Alarms active now (as last reported).
    int active_alarms() const;
    // The device's mains-failure alarm is active (as last reported).
    bool mains_failure() const { return mains_failure_; }

private:
    const HostClock* clock_ = &wall_clock();
    int payloads_ = 0, frame_errors_ = 0;
    std::map<std::string, int> errors_by_reason_;
    ModelRef model_;
    std::vector<uint8_t> record_;
    std::vector<AlarmTransition> transitions_;
    AlarmStates alarms_;
    bool mains_failure_ = false;
};

}  // namespace tzv58::tool
