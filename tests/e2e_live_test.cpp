// A running simulate reached from outside: get and control through its live
// socket, metrics over HTTP, and clients that misbehave. The host program
// runs in the background; the test waits for its lines, never for a time.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "e2e_live_support.h"
#include "host/frame.h"
#include "json_support.h"

namespace {

// The wire frame the host builds for a command (without CR).
std::string frame_of(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info) {
    char buf[256];
    const size_t n = tzv58::build_frame(buf, sizeof buf, 0x20, 0x01, cid1, cid2, info.data(), int(info.size()));
    return std::string(buf, n ? n - 1 : 0);
}

std::vector<std::string> sock(const Running& r, std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--socket", r.socket});
    return args;
}

TEST(LiveSimulate, GetControlAndMetricsOnARunningPoll) {
    Running r;
    ASSERT_TRUE(r.ready) << r.host->all(1);
    struct stat st {};
    ASSERT_EQ(stat(r.socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(r.rounds_go_on()) << r.host->all(1);

    // What the power system reported, with units: its two channels, four
    // modules and one DC unit, no reserved bytes, the round's time in ISO 8601.
    const HostRun values = run_host(sock(r, {"get"}));
    ASSERT_EQ(values.status, 0) << values.err;
    EXPECT_TRUE(contains(values.out, "link: open since ")) << values.out;
    EXPECT_TRUE(contains(values.out, "\nage: ")) << values.out;
    for (const char* line :
         {"\ndc[0].out_v: 53.5 V\n", "\nchannel[1].b: 230 V\n", "\nchannel[0].f: 50 Hz\n", "\nmodule[3].out_i: 13 A\n",
          "\ndc[0].branch_i: 20 25 A\n", "\ndata_id: 7\n", "\nchannel[0].a_alarm: 0 (normal)\n",
          "\ndc[0].alert_p: 0 0 0 0 0 (normal)\n", "\nalarms: none active\nmains: no failure alarm\n"})
        EXPECT_TRUE(contains(values.out, line)) << line << " in\n" << values.out;
    for (const char* absent : {"module[4]", "dc[1]", "reserved", "channel[2]"})
        EXPECT_FALSE(contains(values.out, absent)) << absent << " in\n" << values.out;
    const size_t at = values.out.find("\nround_time: ");
    ASSERT_NE(at, std::string::npos) << values.out;
    const std::string stamp = values.out.substr(at + 13, values.out.find('\n', at + 1) - at - 13);
    EXPECT_TRUE(stamp.size() == 19 && stamp[4] == '-' && stamp[10] == 'T' && stamp[13] == ':') << stamp;
    EXPECT_LT(std::count(values.out.begin(), values.out.end(), '\n'), 100) << values.out;

    // The same as one JSON object, the shape of the live API's status.
    const HostRun json = run_host(sock(r, {"get", "--json"}));
    ASSERT_EQ(json.status, 0) << json.err;
    const Json::Value got = parse_json(json.out);
    const HttpReply api = http_get(r.port, "/api/status");
    ASSERT_EQ(api.status, 200);
    const Json::Value served = parse_json(api.body);
    EXPECT_EQ(got.getMemberNames(), served.getMemberNames());
    EXPECT_EQ(got["values"]["dc"], served["values"]["dc"]);
    EXPECT_EQ(got["values"]["channel"], served["values"]["channel"]);
    EXPECT_EQ(got["values"]["module"].size(), 4u);
    EXPECT_EQ(got["link"]["state"], "open");
    EXPECT_EQ(got["alarms"].size(), 0u) << "a healthy plant";
    EXPECT_TRUE(got["data"]["current"].asBool());

    // By id, through the device's own query; ac beside what the alarm says.
    const HostRun ids = run_host(sock(r, {"get", "out_v", "ac"}));
    EXPECT_EQ(ids.status, 0) << ids.err;
    EXPECT_EQ(ids.out, "out_v: 53.5 V\nac: 0 (the device's own value, not its alarm; mains: no failure alarm)\n");
    const HostRun unknown = run_host(sock(r, {"get", "out_v", "Out_V"}));
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out,
              "out_v: 53.5 V\nOut_V: 不支持变量 (unsupported variable: this device serves out_v and ac)\n");

    // Remote control: the frame the design gives goes out and the power
    // system replies; the device does not track this answer (between this
    // model's rounds it takes the reply for a poll reply), so the line's
    // reply tells.
    const HostRun remote = run_host(sock(r, {"control", "remote", "419500201001", "--wait", "5"}));
    const std::string remote_frame = frame_of(0x41, 0x45, {0xE5, 0x01});
    EXPECT_TRUE(contains(remote.out, "control 320: result 0\n")) << remote.out;
    EXPECT_TRUE(contains(remote.out, "sent: " + remote_frame + "\nreply: answered\n")) << remote.out;
    EXPECT_TRUE(contains(remote.out, "answered: sent; the device does not track this answer")) << remote.out;
    EXPECT_EQ(remote.status, 0) << remote.err;

    // Set time and set parameter are answered.
    const HostRun time = run_host(sock(r, {"control", "set-time", "2026-12-07T19:37:00", "--wait", "5"}));
    EXPECT_EQ(time.status, 0) << time.out << time.err;
    EXPECT_TRUE(contains(time.out, "out: 01000000\n")) << time.out;
    EXPECT_TRUE(contains(time.out, "sent: " + frame_of(0x41, 0x4E, {0xEA, 0x07, 0x0C, 0x07, 0x13, 0x25, 0x00})))
        << time.out;
    EXPECT_TRUE(contains(time.out, "answered: yes")) << time.out;
    const HostRun param = run_host(sock(r, {"control", "set-param", "006201", "53.5", "--wait", "5"}));
    EXPECT_EQ(param.status, 0) << param.out << param.err;
    EXPECT_TRUE(contains(param.out, "sent: " + frame_of(0x42, 0x48, {0xDC, 0x00, 0x00, 0x56, 0x42}))) << param.out;
    // A code with its own bytes; the query reads the last command's result.
    const HostRun query = run_host(sock(r, {"control", "7", "--hex", "00", "--out", "4"}));
    EXPECT_EQ(query.status, 0);
    EXPECT_EQ(query.out,
              "control 7: result 0\nout: 01000000\nsent: nothing\nanswer of the last command: recorded (1)\n");

    // Every frame on the line went through the events, in this order, and
    // no control frame went out while a poll reply was awaited.
    std::vector<std::string> controls;
    bool awaiting = false;
    for (const Json::Value& e : events_so_far(r.events)) {
        const std::string cmd = e["cid1"].asString() + e["cid2"].asString();
        if (e["event"] == "send" && (cmd == "4145" || cmd == "414E" || cmd == "4248")) {
            EXPECT_FALSE(awaiting) << "control frame " << e["frame"].asString() << " cut into a poll exchange";
            controls.push_back(e["frame"].asString());
        }
        if (e["event"] == "send") awaiting = true;
        if (e["event"] == "payload" || e["event"] == "error") awaiting = false;
    }
    ASSERT_EQ(controls.size(), 3u);
    EXPECT_EQ(controls[0], remote_frame);

    // Metrics, checked by promtool.
    ASSERT_GT(r.port, 0) << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on());
    const HttpReply m = http_get(r.port, "/metrics");
    ASSERT_EQ(m.status, 200);
    EXPECT_TRUE(contains(m.body, "\ntzv58_dc_output_voltage_volts{unit=\"1\"} 53.5\n")) << m.body;
    EXPECT_TRUE(contains(m.body, "\ntzv58_ac_phase_voltage_volts{channel=\"2\",phase=\"c\"} 228\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_ac_frequency_hertz{channel=\"1\"} 50\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_rectifier_output_current_amperes{module=\"4\"} 13\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_dc_battery_current_amperes{unit=\"1\",battery=\"1\"} 3\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_dc_branch_current_amperes{unit=\"1\",branch=\"2\"} 25\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_alarm_active{key=\"PowerOff\",id=\"419415001\",level=\"1\",item=\"1\""));
    EXPECT_TRUE(contains(m.body, "\ntzv58_link_up 1\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_rounds_failed_total 0\n"));
    EXPECT_TRUE(contains(m.body, "\n# TYPE tzv58_rounds_completed_total counter\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_output_dropped_total{output=\"events\"} 0\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_output_dropped_total{output=\"summary\"} 0\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_last_complete_round_age_seconds "));
    spit(r.dir + "/scrape", m.body);
    const int promtool =
        std::system(("promtool check metrics < " + r.dir + "/scrape > " + r.dir + "/promtool 2>&1").c_str());
    EXPECT_EQ(promtool, 0) << slurp(r.dir + "/promtool");
    EXPECT_EQ(http_get(r.port, "/other").status, 404);

    EXPECT_EQ(r.host->stop(), 0) << r.host->all(1);
    EXPECT_NE(stat(r.socket.c_str(), &st), 0) << "the socket file is removed on exit";
}

// A reader of the events that stops reading holds up no round (on the wall
// clock, with the smallest queue and FIFO: one round fills both): what it
// misses is dropped, counted in the metrics, said when it stalls and when it
// reads again, and told in the stream by a "dropped" event.
TEST(LiveSimulate, AStalledEventsReaderHoldsUpNoRound) {
    const std::string dir = scratch_dir(), fifo = dir + "/events";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // and reads nothing yet
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    setenv("TZV58_OUTPUT_QUEUE_BYTES", "4096", 1);
    LiveHost host({"simulate", "--events", fifo, "--metrics", "127.0.0.1:0"});
    unsetenv("TZV58_OUTPUT_QUEUE_BYTES");
    const std::string ready = host.wait_line(1, READY);
    ASSERT_FALSE(ready.empty()) << host.all(1);
    const int port = std::atoi(ready.c_str() + ready.find("127.0.0.1:") + 10);
    const auto said = [](const char* part) { return [part](const std::string& l) { return contains(l, part); }; };
    ASSERT_FALSE(
        host.wait_line(1, said("tzv58-host: events: reader stalled; lines are dropped until it reads again")).empty())
        << host.all(1);
    ASSERT_FALSE(host.wait_line(0, ROUND, host.count_lines(0, ROUND) + 2).empty()) << "the rounds go on";
    const HttpReply m = http_get(port, "/metrics");
    const std::string family = "\ntzv58_output_dropped_total{output=\"events\"} ";
    ASSERT_TRUE(contains(m.body, family)) << m.body;
    EXPECT_GT(std::atoll(m.body.c_str() + m.body.find(family) + family.size()), 0) << m.body;

    // It reads again: the stall's end is said, and the stream tells it.
    std::string got;
    const auto started = std::chrono::steady_clock::now();
    while (!contains(got, "{\"event\":\"dropped\"") && elapsed_ms(started) < WAIT_MS) {
        pollfd p{reader, POLLIN, 0};
        char buf[65536];
        if (poll(&p, 1, 100) == 1)
            for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    }
    const size_t at = got.find("{\"event\":\"dropped\"");
    ASSERT_NE(at, std::string::npos);
    const Json::Value dropped = parse_json(got.substr(at, got.find('\n', at) - at));
    const std::string ended = host.wait_line(1, said("tzv58-host: events: reader stalled, "));
    EXPECT_EQ(ended, "tzv58-host: events: reader stalled, " + dropped["lines"].asString() + " lines dropped in " +
                         dropped["seconds"].asString() + " s");
    EXPECT_GT(dropped["lines"].asInt(), 0);
    EXPECT_EQ(got.substr(at - 1, 1), "\n") << "a line of its own";
    close(reader);
    host.stop();
}

// A power system that never answers in time: the events carry the first ten
// timeouts in a row, the metrics and the status object count every one, and
// each reason is there from the start.
TEST(LiveSimulate, LineErrorsAreCountedWhetherTheEventsCarryThemOrNot) {
    LiveHost host({"simulate", "--fast", "--faults", "drop=1", "--metrics", "127.0.0.1:0"});
    const std::string ready = host.wait_line(1, READY);
    ASSERT_FALSE(ready.empty()) << host.all(1);
    const int port = std::atoi(ready.c_str() + ready.find("127.0.0.1:") + 10);
    // Each round asks three times; five rounds are published before the
    // sixth's summary.
    const LineTest failed = [](const std::string& l) { return starts(l, "== round "); };
    ASSERT_FALSE(host.wait_line(0, failed, 6).empty()) << host.all(1);
    const std::string body = http_get(port, "/metrics").body;
    const std::string family = "\ntzv58_line_errors_total{reason=\"timeout\"} ";
    ASSERT_TRUE(contains(body, family)) << body;
    const long long timeouts = std::atoll(body.c_str() + body.find(family) + family.size());
    EXPECT_GE(timeouts, 15) << body;
    EXPECT_TRUE(contains(body, "\ntzv58_line_errors_total{reason=\"checksum\"} 0\n")) << body;
    const Json::Value errors = parse_json(http_get(port, "/api/status").body)["line_errors"];
    EXPECT_GE(errors["timeout"].asInt64(), timeouts);
    EXPECT_EQ(errors["noise"].asInt64(), 0);
    host.stop();
}

// A plant without mains that reports more battery strings than the record
// holds, a second DC unit at 0 V, a module's fault byte and a value it does
// not supply.
TEST(LiveGet, CountsBeyondTheRecordAlarmCodesValuesNotSuppliedAndAlarms) {
    const std::string plant = scratch_dir() + "/plant.json";
    spit(plant, R"({"rectifiers": {"modules": [{"out_i": 12, "fault": 129}]},
                   "dc": [{"battery_i": [1, 2, 3]}, {"out_v": 0, "load_i": 0}],
                   "ac": {"channels": [{"a": 0, "b": 0, "c": 0}, {"a": 0, "b": 0, "c": 0}],
                          "tail": [null, 0, 0]}})");
    Running r({"--plant", plant});
    ASSERT_TRUE(r.ready) << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on()) << r.host->all(1);
    const HostRun got = run_host(sock(r, {"get"}));
    EXPECT_EQ(got.status, 0) << got.err;
    for (const char* line : {"\nmodule_count: 1\n", "\nmodule[0].fault: 129 (status byte 81H from the power system)\n",
                             "\nalarms: 1 active\nmains failure since 20",
                             "\nreported: module[0].fault: status byte 81H from the power system\n",
                             "\ndc[0].m: 3 (none held)\n", "\ndc[1].out_v: 0 V\n", "\nac_tail: not supplied 0 0\n"})
        EXPECT_TRUE(contains(got.out, line)) << line << " in\n" << got.out;
    EXPECT_FALSE(contains(got.out, "dc[0].battery_i")) << "values the record kept from no reply of this plant";
    EXPECT_FALSE(contains(got.out, "module[1]")) << got.out;
    EXPECT_TRUE(
        contains(got.out, "\nalarm: level 1 critical  PowerOff 419415001  输入电源中断告警 / 输入电源中断告警  since "))
        << got.out;

    const Json::Value st = parse_json(run_host(sock(r, {"get", "--json"})).out);
    ASSERT_EQ(st["alarms"].size(), 1u) << st.toStyledString();
    EXPECT_EQ(st["alarms"][0]["key"], "PowerOff");
    EXPECT_EQ(st["alarms"][0]["level_name"], "critical");
    ASSERT_GE(st["transitions"].size(), 1u) << st.toStyledString();
    EXPECT_EQ(st["transitions"][0]["change"], "raised");
    EXPECT_EQ(st["transitions"][0]["time"], st["alarms"][0]["since"]);
    EXPECT_EQ(st["mains_failure_since"], st["alarms"][0]["since"]);
    ASSERT_EQ(st["status_bytes"].size(), 1u) << st.toStyledString();
    EXPECT_EQ(st["status_bytes"][0]["at"], "module[0].fault");
    EXPECT_EQ(st["status_bytes"][0]["text"], "status byte 81H from the power system");
    EXPECT_EQ(r.host->stop(), 0) << r.host->all(1);
}

// Mains failure is what the device's alarm says, on every surface, never a
// rule of the program's: every phase at 149 V raises no alarm (the device's
// own ac value is 1 all the same); phase A of both inputs at 0 V raises it
// (ac is 0).
TEST(LiveGet, MainsFailureIsWhatTheDevicesAlarmSays) {
    struct Case {
        const char* plant;
        const char* ac;
        const char* mains;
        bool failure;
    };
    const Case cases[] = {
        {R"({"ac": {"channels": [{"a": 149, "b": 149, "c": 149}, {"a": 149, "b": 149, "c": 149}]}})", "1",
         "mains: no failure alarm", false},
        {R"({"ac": {"channels": [{"a": 0, "b": 230, "c": 230}, {"a": 0, "b": 231, "c": 229}]}})", "0",
         "mains failure since 20", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plant);
        const std::string plant = scratch_dir() + "/plant.json";
        spit(plant, c.plant);
        Running r({"--plant", plant});
        ASSERT_TRUE(r.ready) << r.host->all(1);
        ASSERT_TRUE(r.rounds_go_on()) << r.host->all(1);
        const HostRun ac = run_host(sock(r, {"get", "ac"}));
        EXPECT_EQ(ac.out.rfind("ac: " + std::string(c.ac) + " (the device's own value, not its alarm; " + c.mains, 0),
                  0u)
            << ac.out;
        EXPECT_TRUE(contains(run_host(sock(r, {"get"})).out, "\n" + std::string(c.mains)));
        EXPECT_EQ(parse_json(run_host(sock(r, {"get", "--json"})).out)["mains_failure"].asBool(), c.failure);
        EXPECT_EQ(contains(r.host->all(0), "active: mains failure\n"), c.failure) << r.host->all(0);
        EXPECT_EQ(r.host->stop(), 0) << r.host->all(1);
    }
}

// Something of this user's that listens on the socket but answers in
// another shape: one line and status 1, never an abort.
TEST(LiveGet, AnAnswerOfAnotherShapeIsOneLineNotAnAbort) {
    const std::string path = scratch_dir() + "/odd.sock";
    const int listener = unix_bind(path, true);
    ASSERT_GE(listener, 0);
    const std::string bodies[] = {
        R"({"link":"open","rounds":7,"data":{"current":"yes","age_s":"x"},"values":{"dc":5}})",
        R"({"id":"out_v","value":53.5,"link":[1],"data":{"current":false}})",
        R"({"code":300,"result":"zero","sent":{},"reply":3})",
    };
    std::thread server([&] {
        for (const std::string& body : bodies) {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd < 0) return;
            std::string request;
            receive_until(fd, request,
                          [](const std::string& got) { return got.find("\r\n\r\n") != std::string::npos; });
            send_text(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
            close(fd);
        }
    });
    const std::vector<std::string> asks[] = {
        {"get", "--socket", path}, {"get", "--socket", path, "out_v"}, {"control", "--socket", path, "set-time"}};
    for (const auto& args : asks) {
        const HostRun r = run_host(args);
        EXPECT_EQ(r.status, 1) << args[0] << ": " << r.out << r.err;
        EXPECT_TRUE(contains(r.err, "the host's answer is not understood")) << r.err;
    }
    server.join();
    close(listener);
}

TEST(LiveSimulate, BadClientsNeitherStopThePollNorLoseARound) {
    Running r;
    ASSERT_TRUE(r.ready) << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on());

    // Malformed requests: a status and one error in JSON; the connection
    // serves on where the request itself was well formed HTTP.
    {
        HttpClient c(unix_connect(r.socket));
        const std::pair<std::string, int> bad[] = {
            {http_request("POST", "/control", "not json"), 400},
            {http_request("POST", "/control", "[1,2]"), 400},
            {http_request("POST", "/control", std::string(1000, '[')), 400},
            {http_request("POST", "/control", "{\"code\":\"320\"}"), 400},
            {http_request("POST", "/control", "{\"code\":1,\"in\":\"0\"}"), 400},
            {http_request("GET", "/values/%zz"), 400},
            {http_request("GET", "/values/" + std::string(300, 'x')), 400},
            {http_request("GET", "/reboot"), 404},
            {http_request("PUT", "/values"), 405},
            {http_request("GET", "/control"), 405},
        };
        for (const auto& b : bad) {
            const HttpReply reply = c.ask(b.first);
            EXPECT_EQ(reply.status, b.second) << b.first.substr(0, 40);
            EXPECT_EQ(reply.body.compare(0, 10, "{\"error\":\""), 0) << reply.body;
        }
        EXPECT_EQ(c.ask(http_request("GET", "/values/ac")).body, "{\"id\":\"ac\",\"value\":0}\n");
    }
    // Too large: answered, then closed.
    for (const std::string& big : {http_request("GET", "/values", "", "X-Big: " + std::string(20000, 'x') + "\r\n"),
                                   http_request("POST", "/control", std::string(20000, ' '))}) {
        HttpClient c(unix_connect(r.socket));
        const HttpReply reply = c.ask(big);
        EXPECT_TRUE(reply.status == 431 || reply.status == 413) << reply.status << " " << reply.body;
        EXPECT_TRUE(closed_by_peer(c.fd));
    }

    // Clients that go away halfway: in the middle of a request, and with a
    // request queued for the device.
    for (const std::string& half : {std::string("GET /values/out"), http_request("GET", "/values/out_v"),
                                    http_request("POST", "/control", "{\"code\":310,\"in\":\"7B7D\"}")}) {
        const int fd = unix_connect(r.socket);
        ASSERT_GE(fd, 0);
        send_text(fd, half);
        close(fd);
    }

    // A client that sends many requests at once, reading nothing until the
    // end, gets every answer in turn.
    {
        HttpClient c(unix_connect(r.socket));
        std::string many;
        for (int i = 0; i < 40; ++i) many += http_request("GET", i % 2 ? "/values" : "/values/ac");
        ASSERT_TRUE(c.send(many));
        int answered = 0;
        for (int i = 0; i < 40; ++i) {
            const HttpReply reply = c.reply();
            answered += reply.status == 200;
            if (i == 0) {
                EXPECT_EQ(reply.body, "{\"id\":\"ac\",\"value\":0}\n");
            } else if (i == 1) {
                EXPECT_TRUE(contains(reply.body, "\"link\":{\"state\":\"open\"")) << reply.body;
            }
        }
        EXPECT_EQ(answered, 40);
    }
    ASSERT_TRUE(r.rounds_go_on(2));

    // Many clients at once, each asking the device.
    std::vector<std::unique_ptr<HttpClient>> clients;
    for (size_t i = 0; i < 16; ++i) clients.push_back(std::make_unique<HttpClient>(unix_connect(r.socket)));
    for (auto& c : clients) c->send(http_request("GET", "/values/out_v"));
    for (auto& c : clients) EXPECT_EQ(c->reply().body, "{\"id\":\"out_v\",\"value\":53.5}\n");
    // They now wait idle: a new client takes the place of one of them.
    HttpClient newcomer(unix_connect(r.socket));
    EXPECT_EQ(newcomer.ask(http_request("GET", "/values/ac")).status, 200);
    const auto gone = std::find_if(clients.begin(), clients.end(), [](const std::unique_ptr<HttpClient>& c) {
        char b;
        return recv(c->fd, &b, 1, MSG_DONTWAIT) == 0;
    });
    ASSERT_NE(gone, clients.end()) << "an idle client gave way";
    // All of them in the middle of a request: one more takes the place of
    // one of them all the same, and the others are served.
    clients.erase(gone);
    clients.push_back(std::make_unique<HttpClient>(newcomer.fd));
    newcomer.fd = -1;
    for (auto& c : clients) c->send("GET /values/out_v HTTP/1.1\r\n");
    HttpClient extra(unix_connect(r.socket));
    EXPECT_EQ(extra.ask(http_request("GET", "/values")).status, 200);
    size_t served = 0;
    for (auto& c : clients) served += c->ask("Host: x\r\n\r\n").body == "{\"id\":\"out_v\",\"value\":53.5}\n";
    EXPECT_EQ(served, 15u) << "one gave way";
    clients.clear();

    ASSERT_TRUE(r.rounds_go_on());
    EXPECT_FALSE(contains(r.host->all(0), "no complete reading")) << "no round lost to socket clients";

    // HTTP: other paths and methods, and clients that stall or never finish
    // their request: they hold connections of their own, not the poll.
    ASSERT_GT(r.port, 0) << r.host->all(1);
    EXPECT_EQ(http_get(r.port, "/metrics/../x").status, 404);
    EXPECT_EQ(http_get(r.port, "/values").status, 404) << "the socket's API is not on the HTTP door";
    EXPECT_EQ(http_once(tcp_connect(r.port), http_request("DELETE", "/metrics")).status, 405);
    EXPECT_EQ(http_once(tcp_connect(r.port), http_request("POST", "/control", "{\"code\":300}")).status, 404)
        << "no control over TCP";
    std::vector<int> fds;
    for (int i = 0; i < 8; ++i) {
        fds.push_back(tcp_connect(r.port));
        ASSERT_GE(fds.back(), 0);
        send_text(fds.back(), i % 2 ? "GET /metr" : "");
    }
    ASSERT_TRUE(r.rounds_go_on(3)) << "rounds go on while HTTP clients are stuck";
    const HostRun during = run_host(sock(r, {"get", "out_v"}));
    EXPECT_EQ(during.status, 0) << during.err;
    EXPECT_EQ(http_get(r.port, "/metrics").status, 200);
    for (int fd : fds) close(fd);

    // Nothing above lost a round.
    ASSERT_TRUE(r.rounds_go_on());
    const HttpReply m = http_get(r.port, "/metrics");
    ASSERT_EQ(m.status, 200);
    EXPECT_TRUE(contains(m.body, "\ntzv58_rounds_failed_total 0\n")) << m.body;
    EXPECT_FALSE(contains(r.host->all(0), "no complete reading"));
    EXPECT_EQ(count_events(events_so_far(r.events), "error"), 0);
    const HostRun after = run_host(sock(r, {"get", "ac"}));
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(r.host->stop(), 0) << r.host->all(1);
}

TEST(LiveSimulate, SocketFileStaleReplacedLiveOrForeignRefused) {
    const std::string dir = scratch_dir();
    const std::string path = dir + "/live.sock";
    ASSERT_EQ(unix_bind(path, false), 0) << "a socket file whose listener is gone";
    LiveHost first({"simulate", "--fast", "--listen", path, "--events", dir + "/events"});
    ASSERT_FALSE(first.wait_line(1, READY).empty()) << first.all(1);

    const HostRun second = run_host({"simulate", "--fast", "--listen", path, "--events", dir + "/events2"});
    EXPECT_EQ(second.status, 2);
    EXPECT_TRUE(contains(second.err, "another process is listening there")) << second.err;
    EXPECT_EQ(first.stop(), 0);
    struct stat st {};
    EXPECT_NE(stat(path.c_str(), &st), 0);

    spit(path, "not a socket");
    const HostRun foreign = run_host({"simulate", "--fast", "--listen", path, "--events", dir + "/events3"});
    EXPECT_EQ(foreign.status, 2);
    EXPECT_TRUE(contains(foreign.err, "is not a socket")) << foreign.err;
    EXPECT_EQ(slurp(path), "not a socket");
}

void expect_status(const std::vector<std::string>& args, int status, const std::string& says) {
    const HostRun r = run_host(args);
    EXPECT_EQ(r.status, status) << args[0] << " " << (args.size() > 3 ? args[3] : "") << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line on stderr: " << r.err;
    EXPECT_TRUE(contains(r.err, says)) << r.err;
}

// Status 0 only for what was done; what the device or the line did not do is
// status 1 with one line saying why.
TEST(LiveControl, StatusesTellWhatTheDeviceAndTheLineDid) {
    Running r;
    ASSERT_TRUE(r.ready) << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on()) << r.host->all(1);
    // A code that is no command reads the last command's answer: none yet.
    expect_status(sock(r, {"control", "999"}), 1, "999 is no command of this device");
    // Taken by the device, but nothing went out.
    expect_status(sock(r, {"control", "remote", "12"}), 1, "nothing sent: the device knows no remote-control id '12'");
    expect_status(sock(r, {"control", "set-param", "999999", "53.5"}), 1,
                  "nothing sent: the device found no parameter");
    expect_status(sock(r, {"control", "300", "--hex", "00"}), 1, "the device refused the request (result -1)");

    // Right after a command that was answered, the next one reports its own
    // answer, not the one before.
    const HostRun time = run_host(sock(r, {"control", "set-time", "--wait", "5"}));
    EXPECT_EQ(time.status, 0) << time.err;
    EXPECT_TRUE(contains(time.out, "answered: yes (the device recorded the reply")) << time.out;
    const HostRun remote = run_host(sock(r, {"control", "remote", "419500201001", "--wait", "5"}));
    EXPECT_EQ(remote.status, 0) << remote.err;
    EXPECT_FALSE(contains(remote.out, "answered: yes")) << remote.out;
    EXPECT_TRUE(contains(remote.out,
                         "reply: answered\nanswered: sent; the device does not track this answer; "
                         "the power system replied after "))
        << remote.out;
    EXPECT_EQ(r.host->stop(), 0) << r.host->all(1);

    // A power system that does not answer: sent, no reply, status 1.
    Running silent({"--faults", "drop=1", "--timeout", "100"});
    ASSERT_TRUE(silent.ready) << silent.host->all(1);
    for (const char* form : {"set-time", "remote"}) {
        std::vector<std::string> args = sock(silent, {"control", form});
        if (std::string(form) == "remote") args.push_back("419500201001");
        const HostRun none = run_host(args);
        EXPECT_EQ(none.status, 1) << form << ": " << none.out << none.err;
        EXPECT_TRUE(contains(none.out, "\nreply: none\n")) << none.out;
        EXPECT_EQ(none.err, "tzv58-host: sent; no reply from the power system within 0.10 s\n");
    }
    EXPECT_EQ(silent.host->stop(), 0) << silent.host->all(1);
}

TEST(LiveCli, HelpAndMistakesGiveOneLineAndStatusTwo) {
    for (const char* cmd : {"get", "control"}) {
        const HostRun help = run_host({cmd, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.find(std::string("usage: tzv58-host ") + cmd + " --socket PATH"), 0u) << help.out;
    }
    const std::string s = scratch_dir() + "/none.sock";
    expect_status({"get"}, 2, "--socket");
    expect_status({"control", "--socket", s}, 2, "control needs CODE");
    expect_status({"control", "--socket", s, "set-time", "2026-02-30T00:00:00"}, 2, "YYYY-MM-DDTHH:MM:SS");
    expect_status({"control", "--socket", s, "set-time", "2026-12-07 19:37:00"}, 2, "YYYY-MM-DDTHH:MM:SS");
    expect_status({"control", "--socket", s, "set-param", "006201", "53.5V"}, 2, "number");
    expect_status({"control", "--socket", s, "set-param", "006201"}, 2, "SIGNAL_ID VALUE");
    expect_status({"control", "--socket", s, "remote"}, 2, "one ID");
    expect_status({"control", "--socket", s, "3x0"}, 2, "32-bit integer");
    expect_status({"control", "--socket", s, "99999999999"}, 2, "32-bit integer");
    // Numbers are decimal everywhere, as in every other option.
    expect_status({"control", "--socket", s, "0x12C"}, 2, "decimal 32-bit integer");
    expect_status({"control", "--socket", s, "300", "--out", "0x10"}, 2, "--out");
    expect_status({"control", "--socket", s, "set-time", "--wait", "0x5"}, 2, "--wait");
    for (const char* value : {"0x35", "inf", "nan", "1e39", " 53.5"})
        expect_status({"control", "--socket", s, "set-param", "006201", value}, 2, "decimal number");
    expect_status({"control", "--socket", s, "set-time", "2026-+2-07T19:37:00"}, 2, "YYYY-MM-DDTHH:MM:SS");
    expect_status({"control", "--socket", s, "999", "--wait", "5"}, 2, "--wait goes with a command");
    expect_status({"control", "--socket", s, "999", "--out", "2"}, 2, "--out 4 or more");
    expect_status({"get", "--socket", s, "--json", "out_v"}, 2, "get --json takes no ids");
    expect_status({"get", "--socket", s, "\xff"}, 2, "id '\\xFF': not UTF-8");
    expect_status({"get", "--socket", s, "out\x1b[2J"}, 2, "id 'out\\x1B[2J': a control character (0x1B)");
    expect_status({"control", "--socket", s, "300", "--text", "a", "--hex", "00"}, 2, "not both");
    expect_status({"control", "--socket", s, "300", "--hex", "0"}, 2, "hex");
    expect_status({"control", "--socket", s, "remote", "419500201001", "--text", "x"}, 2, "go with a CODE");
    expect_status({"control", "--socket", s, "300", "--wait", "0"}, 2, "--wait");
    expect_status({"simulate", "--metrics", "127.0.0.1:65536"}, 2, "[HOST:]PORT");
    expect_status({"simulate", "--metrics", "localhost:"}, 2, "[HOST:]PORT");
    expect_status({"simulate", "--http", "x:y"}, 2, "--http needs [HOST:]PORT");
    for (const char* port : {"127.0.0.1: 9419", "0x2000", "9419 ", "127.0.0.1:09419x"})
        expect_status({"simulate", "--http", port}, 2, "--http needs [HOST:]PORT");
    expect_status({"simulate", "--http", "127.0.0.1:0", "--metrics", "127.0.0.1:1"}, 2,
                  "options --http and --metrics are two names of one option: give one");
    expect_status({"simulate", "--listen", ""}, 2, "--listen");
    expect_status({"simulate", "--listen", std::string(200, 'x')}, 2, "bytes long");
    // No running poll behind the socket: a plain failure, not a usage error.
    expect_status({"get", "--socket", s}, 1, "cannot reach a running poll");
}

}  // namespace
