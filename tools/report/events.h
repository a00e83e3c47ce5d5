// The host's event stream: every service the device calls becomes one JSON
// line ({"event":"send","time":"2026-12-07T22:30:23",...}). The printer only
// prints; what a round produced is kept by its observers (observers.h).
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "host/host_events.h"
#include "tools/common/json_out.h"
#include "tools/common/plugin_host.h"

namespace tzv58::tool {

// The name of the power system of a one-device run (no --site), wherever a
// name is kept or handed on: TZV58_DEVICE, the history's rows.
constexpr const char* ONE_DEVICE_NAME = "default";

class DcUnitWatch;
class SimClock;

class EventPrinter : public HostEvents {
public:
    // out: where the lines go; nullptr prints nothing.
    explicit EventPrinter(FILE* out) : out_(out) {}

    // The host clock that stamps each event (the device's).
    void set_clock(const HostClock* clock) { clock_ = clock; }
    // The model whose records are published, and which DC units a
    // publish's "values" hold; without a model a publish has no "values".
    void set_model(ModelRef model) { model_ = std::move(model); }
    void set_dc_units(const DcUnitWatch* dc) { dc_ = dc; }
    // A site's: every event names its power system ("device", after "time").
    void set_device(std::string name) { device_ = std::move(name); }
    bool printing() const { return out_ != nullptr; }
    const HostClock& clock() const { return *clock_; }
    // For a live line: line errors of each reason beyond ERRORS_SHOWN a
    // second are left out, and one "left_out" event says how many. Every
    // other observer still hears of each one. The seconds are the monotonic
    // clock's, or under --fast the simulated clock's (fast).
    void throttle_errors(const SimClock* fast) {
        throttled_ = true;
        fast_ = fast;
    }
    // The end of a run: the errors left out and not yet said.
    void finish();

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
    // The port's life: "open", "reopening"; lost with its cause ("hang-up",
    // "no such port"); open again after down_s seconds.
    void link(const char* state);
    void link_lost(const char* cause);
    void link_restored(long long down_s);
    // No valid answer since `since` (ISO 8601); answers again after silent_s.
    void link_silent(const std::string& since);
    void link_answers(long long silent_s);
    void error(const char* reason, const uint8_t* data, size_t len);

    static constexpr int ERRORS_SHOWN = 5;

private:
    // Of one reason, in the second under way (monotonic).
    struct ErrorKind {
        long long second_ms = 0;
        int shown = 0;
        long long left_out = 0;
    };

    // A line with "event" and "time" begun.
    JsonLine line(const char* event) const;
    // Writes the line, after what must come before it: errors left out in a
    // second that is over, and lines the reader missed (a "dropped" event).
    void emit(const JsonLine& line);
    void write(const JsonLine& line);
    // A "dropped" event when the stream's reader, or its file, missed lines.
    void tell_dropped();
    long long error_ms() const;
    bool error_shown(const std::string& reason);
    void say_left_out(bool all);

    FILE* out_;
    const HostClock* clock_ = &wall_clock();
    const DcUnitWatch* dc_ = nullptr;
    std::string device_;
    ModelRef model_;
    bool throttled_ = false;
    const SimClock* fast_ = nullptr;
    long long left_out_ = 0;  // of every reason, not yet said
    std::map<std::string, ErrorKind> errors_;
};

// The serial link lost and back, in a person's terms. The line reports both
// (tools/line/line.h); the fan-out hands them on to its observers that take
// them.
class LinkObserver {
public:
    virtual ~LinkObserver() = default;
    // The port's life beside its losses: "open" (at the start), "reopening".
    virtual void link_state(const char* state) { (void)state; }
    // cause: "hang-up" (the port went), "no such port" (not there yet).
    virtual void link_lost(const char* cause) = 0;
    // down_s: whole seconds since it was lost.
    virtual void link_restored(long long down_s) = 0;
    // The port is open but no valid answer has come from the power system at
    // `address` since `since` (ISO 8601, the host clock: its last answer, or
    // the start), for the silence time.
    virtual void link_silent(int address, const std::string& since) {
        (void)address;
        (void)since;
    }
    // It answers again, silent_s whole seconds after its last answer before.
    virtual void link_answers(long long silent_s) { (void)silent_s; }
};

// The program's observers of the device: every service call is handed on to
// each, in the order they were added; an observer that is also a
// LinkObserver hears of the link too. The fan-out owns them, and the device
// points to the fan-out alone: whoever keeps the fan-out longer than the
// device keeps every observer the device reaches.
class EventFanout : public HostEvents, public LinkObserver {
public:
    template <class T>
    T& add(std::unique_ptr<T> sink) {
        T& added = *sink;
        if (auto* link = dynamic_cast<LinkObserver*>(&added)) link_sinks_.push_back(link);
        sinks_.push_back(std::move(sink));
        return added;
    }

    void on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                 size_t frame_len) override;
    void on_publish(int type, const unsigned char* data, unsigned int len) override;
    void on_history(const unsigned char* data, unsigned int len) override;
    void on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                  const std::string& text2, bool active, unsigned short seq) override;
    void on_frame_error(const char* reason, const uint8_t* data, size_t len) override;
    // A line error the events leave out: every other observer hears of it.
    void on_frame_error_unprinted(const HostEvents& printer, const char* reason, const uint8_t* data, size_t len);
    void on_payload(int result, int poll_step) override;
    void link_state(const char* state) override;
    void link_lost(const char* cause) override;
    void link_restored(long long down_s) override;
    void link_silent(int address, const std::string& since) override;
    void link_answers(long long silent_s) override;

private:
    std::vector<std::unique_ptr<HostEvents>> sinks_;
    std::vector<LinkObserver*> link_sinks_;  // among sinks_
};

// The link of a port that several power systems share, told to each: the
// line reports to one observer.
class LinkFanout : public LinkObserver {
public:
    void add(LinkObserver* observer) { observers_.push_back(observer); }
    void link_state(const char* state) override;
    void link_lost(const char* cause) override;
    void link_restored(long long down_s) override;

private:
    std::vector<LinkObserver*> observers_;
};

// Local time as ISO 8601 without zone: 2026-12-07T22:30:23.
std::string iso_time(const boost::posix_time::ptime& t);

}  // namespace tzv58::tool
