// A HostEvents sink that keeps everything the device reported, in order:
// what tests, fuzz targets and benchmarks observe the device through.
#pragma once

#ifdef TZV58_PLUGIN_BUILD
#error "the stand-in host's own header: a plug-in builds against host/zmx_device.h and host/pmbus_protocol.h only"
#endif

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/host_events.h"

struct SentCommand {
    uint8_t cid1, cid2;
    std::vector<uint8_t> info;
    std::string frame;
};

struct AlarmReport {
    int level;
    std::string key, id, text1, text2;
    bool active;
    unsigned short seq;
    bool operator==(const AlarmReport& o) const {
        return level == o.level && key == o.key && id == o.id && text1 == o.text1 && text2 == o.text2 &&
               active == o.active && seq == o.seq;
    }
};

class Recorder : public HostEvents {
public:
    void on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                 size_t frame_len) override {
        sent.push_back(
            {cid1, cid2, std::vector<uint8_t>(info, info + (info ? info_len : 0)), std::string(frame, frame_len)});
        calls.push_back("send");
    }
    void on_publish(int type, const unsigned char* data, unsigned int len) override {
        publish_type = type;
        published.emplace_back(data, data + len);
        calls.push_back("publish");
    }
    void on_history(const unsigned char* data, unsigned int len) override {
        history.emplace_back(data, data + len);
        calls.push_back("history");
    }
    void on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                  const std::string& text2, bool active, unsigned short seq) override {
        alarms.push_back({level, key, id, text1, text2, active, seq});
        calls.push_back("alarm");
    }
    bool on_ao_report(const std::string& name, float) override {
        calls.push_back("ao_report " + name);
        const auto it = ao_results.find(name);
        return it != ao_results.end() && it->second;
    }
    void on_check_threshold(const std::string& name, const std::string& text, float, int flag) override {
        calls.push_back("check_threshold " + name + "|" + text + "|" + std::to_string(flag));
    }
    bool on_batch_check(size_t rules) override {
        calls.push_back("batch " + std::to_string(rules));
        return batch_result;
    }
    void on_reset() override { calls.push_back("reset"); }
    void on_open_port() override { calls.push_back("open_port"); }
    void on_frame_error(const char* reason, const uint8_t* data, size_t len) override {
        errors.emplace_back(reason, std::vector<uint8_t>(data, data + len));
        calls.push_back(std::string("error ") + reason);
    }

    void clear() {
        sent.clear();
        published.clear();
        history.clear();
        alarms.clear();
        errors.clear();
        calls.clear();
    }

    std::vector<SentCommand> sent;
    std::vector<std::vector<uint8_t>> published, history;
    std::vector<AlarmReport> alarms;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> errors;
    std::vector<std::string> calls;
    int publish_type = 0;
    std::map<std::string, bool> ao_results;
    bool batch_result = false;
};
