// The stand-in host's observation points: every service the device calls is
// reported here, so that tests and the host program can see what happened.
#pragma once

#ifdef TZV58_PLUGIN_BUILD
#error "the stand-in host's own header: a plug-in builds against host/zmx_device.h and host/pmbus_protocol.h only"
#endif

// Host symbols keep default visibility: a plug-in built with hidden
// visibility still reaches them in the host.
#pragma GCC visibility push(default)

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

class HostEvents {
public:
    virtual ~HostEvents();
    // A request frame built by the codec (frame without CR).
    virtual void on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                         size_t frame_len);
    virtual void on_publish(int type, const unsigned char* data, unsigned int len);
    virtual void on_history(const unsigned char* data, unsigned int len);
    virtual void on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                          const std::string& text2, bool active, unsigned short seq);
    // Results are what the host hands back to the device.
    virtual bool on_ao_report(const std::string& name, float value);
    virtual void on_check_threshold(const std::string& name, const std::string& text, float value, int flag);
    virtual bool on_batch_check(size_t rules);
    virtual void on_reset();
    virtual void on_open_port();
    // A frame (or stray bytes) that the codec dropped, with the reason.
    virtual void on_frame_error(const char* reason, const uint8_t* data, size_t len);
    // An accepted reply went to process_payload: its result and poll_step after it.
    virtual void on_payload(int result, int poll_step);
};

// Events go nowhere unless the host installs a sink.
HostEvents& null_host_events();

// The host's clock for local time with one-second resolution.
class HostClock {
public:
    virtual ~HostClock();
    virtual boost::posix_time::ptime local_time() const = 0;
};

// Wall clock (boost second_clock::local_time).
const HostClock& wall_clock();

// A clock that moves only when told to: tests and replays.
class ManualClock : public HostClock {
public:
    explicit ManualClock(boost::posix_time::ptime start) : now_(start) {}
    boost::posix_time::ptime local_time() const override { return now_; }
    void set(boost::posix_time::ptime t) { now_ = t; }
    void advance(long seconds) { now_ += boost::posix_time::seconds(seconds); }

private:
    boost::posix_time::ptime now_;
};

#pragma GCC visibility pop
