// Alarm notifications in the running program (--on-event): an alarm plant
// runs the program with the event in its environment; a program that sleeps
// holds up no round and is stopped; a link that is lost and restored is
// notified; a program that could never run is refused at the start.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

constexpr int WAIT_MS = 30000;

const char* const MAINS_OFF = R"({"ac": {"channels": [{"a": 0, "b": 0, "c": 0}, {"a": 0, "b": 0, "c": 0}]}})";

// NAME=value lines as a map.
std::map<std::string, std::string> env_of(const std::string& text) {
    std::map<std::string, std::string> env;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
}

std::string line_with(const std::string& text, const std::string& part) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.find(part) != std::string::npos) return line;
    return "";
}

// A started tzv58-host, stopped by its pid (SIGTERM) and reaped; one that a
// failed assertion leaves running is killed when the test ends.
struct Started {
    pid_t pid;
    Started(const std::vector<std::string>& args, const std::string& out, const std::string& err)
        : pid(start_host(args, out, err)) {}
    ~Started() {
        if (pid > 0) wait_child(pid, 0);
    }
    int stop() {
        kill(pid, SIGTERM);
        return wait();
    }
    int wait() {
        const int status = wait_child(pid, WAIT_MS);
        pid = -1;
        return status;
    }
};

// A process still running: there, and not a zombie waiting to be reaped.
bool running(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

TEST(Notify, AnAlarmPlantRunsTheProgramWithTheEventInItsEnvironment) {
    const std::string dir = scratch_dir();
    spit(dir + "/plant.json", MAINS_OFF);
    const std::string program = script(dir, "record",
                                       "env > \"$(dirname \"$0\")/env.$TZV58_EVENT\"\n"
                                       "printf '%s' \"$1\" > \"$(dirname \"$0\")/arg.$TZV58_EVENT\"\n"
                                       "echo 'notified' >&2\n");
    setenv("TZV58_TEST_NOT_PASSED_ON", "secret", 1);
    const HostRun r = run_host({"simulate", "--plant", dir + "/plant.json", "--fast", "--rounds", "2", "--address", "3",
                                "--on-event", program});
    unsetenv("TZV58_TEST_NOT_PASSED_ON");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string summary_line = line_with(r.out, "  raised   level 1 critical  PowerOff 419415001");
    ASSERT_FALSE(summary_line.empty()) << r.out;
    EXPECT_EQ(slurp(dir + "/arg.raised"), summary_line);

    const std::map<std::string, std::string> env = env_of(slurp(dir + "/env.raised"));
    const std::map<std::string, std::string> expected = {
        {"TZV58_EVENT", "raised"},        {"TZV58_LEVEL", "1"},
        {"TZV58_LEVEL_NAME", "critical"}, {"TZV58_KEY", "PowerOff"},
        {"TZV58_ID", "419415001"},        {"TZV58_TEXT", "输入电源中断告警 / 输入电源中断告警"},
        {"TZV58_ADDRESS", "3"},           {"TZV58_TIME", summary_line.substr(0, 19)},
        {"TZV58_DEVICE", "default"}};
    for (const auto& [name, value] : expected) {
        ASSERT_TRUE(env.count(name)) << name;
        EXPECT_EQ(env.at(name), value) << name;
    }
    EXPECT_EQ(env.at("TZV58_PORT").rfind("/dev/pts/", 0), 0u) << env.at("TZV58_PORT");
    EXPECT_TRUE(env.count("PATH"));
    EXPECT_FALSE(env.count("TZV58_TEST_NOT_PASSED_ON")) << "a clean environment";
    EXPECT_NE(r.err.find("tzv58-host: on-event raised PowerOff 419415001 (输入电源中断告警): notified\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("tzv58-host: on-event raised PowerOff 419415001 (输入电源中断告警): exit status 0 after "),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("on-event"), std::string::npos) << "standard output is the person's summary";
}

// The program sleeps 60 s, past the 30 s limit: forty rounds come and go
// while it sleeps, and the end of the run stops it (a bounded wait): an
// event not notified, which the run's status and its last line tell. With a
// shorter limit the limit stops it while the rounds go on.
TEST(Notify, AProgramThatSleepsHoldsUpNoRoundAndIsStopped) {
    const std::string dir = scratch_dir();
    spit(dir + "/plant.json", MAINS_OFF);
    const std::string program = script(dir, "sleeps", "echo $$ > \"$(dirname \"$0\")/pid\"\nexec sleep 60\n");
    const HostRun r =
        run_host({"simulate", "--plant", dir + "/plant.json", "--fast", "--rounds", "40", "--on-event", program});
    ASSERT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1),
              "tzv58-host: ending with status 1: on-event: 1 not notified\n")
        << r.err;
    EXPECT_NE(r.out.find("== round 40:"), std::string::npos);
    EXPECT_NE(r.err.find("tzv58-host: on-event: waiting up to 5 s for 1 running, 0 queued\n"), std::string::npos)
        << r.err;
    EXPECT_NE(
        r.err.find("tzv58-host: on-event raised PowerOff 419415001 (输入电源中断告警): stopped with SIGTERM after "),
        std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("(the program ends)"), std::string::npos) << r.err;
    const pid_t first = std::atoi(slurp(dir + "/pid").c_str());
    ASSERT_GT(first, 0);
    EXPECT_FALSE(running(first));

    setenv("TZV58_ON_EVENT_TIMEOUT_MS", "500", 1);
    const std::string out = dir + "/out", err = dir + "/err";
    Started host({"simulate", "--plant", dir + "/plant.json", "--fast", "--on-event", program}, out, err);
    unsetenv("TZV58_ON_EVENT_TIMEOUT_MS");
    EXPECT_TRUE(wait_for_lines(err, "stopped with SIGTERM after", 1, WAIT_MS)) << slurp(err);
    EXPECT_TRUE(wait_for_lines(out, "== round", 3, WAIT_MS));
    EXPECT_EQ(host.stop(), 0) << slurp(err);
    EXPECT_NE(slurp(err).find("(ran into the 0.5 s limit)"), std::string::npos) << slurp(err);
    const pid_t second = std::atoi(slurp(dir + "/pid").c_str());
    EXPECT_NE(second, first);
    EXPECT_FALSE(running(second));
}

// poll against a plant on a link that is unplugged and plugged in again; and
// a port that is not there yet.
TEST(Notify, TheLinkLostAndRestoredAreNotified) {
    const std::string dir = scratch_dir();
    const std::string program =
        script(dir, "record",
               "echo \"$TZV58_EVENT|$1|${TZV58_CAUSE:-}|${TZV58_DOWN_SECONDS:-}\" >> \"$(dirname \"$0\")/log\"\n");
    const std::string link = dir + "/port", log = dir + "/log";
    const std::string plant_out = dir + "/plant.out";
    Started plant({"plant", "--link", link}, plant_out, dir + "/plant.err");
    ASSERT_TRUE(wait_for_lines(plant_out, "ready " + link, 1, WAIT_MS));
    const std::string out = dir + "/out", err = dir + "/err";
    Started poll({"poll", "--port", link, "--timeout", "200", "--on-event", program}, out, err);
    ASSERT_TRUE(wait_for_lines(out, "== round", 1, WAIT_MS)) << slurp(err);
    kill(plant.pid, SIGUSR1);
    ASSERT_TRUE(wait_for_lines(log, "link-lost|", 1, WAIT_MS)) << slurp(err);
    kill(plant.pid, SIGUSR2);
    ASSERT_TRUE(wait_for_lines(log, "link-restored|", 1, WAIT_MS)) << slurp(err);
    EXPECT_EQ(poll.stop(), 0) << slurp(err);

    std::istringstream lines(slurp(log));
    std::string lost, restored;
    std::getline(lines, lost);
    std::getline(lines, restored);
    EXPECT_EQ(lost.rfind("link-lost|link lost (hang-up) at 20", 0), 0u) << lost;
    EXPECT_EQ(lost.substr(lost.size() - 9), "|hang-up|") << lost;
    EXPECT_EQ(restored.rfind("link-restored|link restored after ", 0), 0u) << restored;
    const std::string seconds = restored.substr(restored.rfind('|') + 1);
    EXPECT_NE(restored.find("after " + seconds + " s|"), std::string::npos) << restored;

    EXPECT_EQ(plant.stop(), 0);

    // Not there at the start, plugged in later.
    std::remove(log.c_str());
    const std::string later = dir + "/later";
    Started waiting({"poll", "--port", later, "--wait-port", "--rounds", "1", "--give-up", "0", "--on-event", program},
                    out, err);
    ASSERT_TRUE(wait_for_lines(log, "link-lost|link lost (no such port) at ", 1, WAIT_MS)) << slurp(err);
    Started plugged({"plant", "--link", later}, plant_out, dir + "/plant.err");
    EXPECT_EQ(waiting.wait(), 0) << slurp(err);
    EXPECT_TRUE(wait_for_lines(log, "link-restored|link restored after ", 1, 0)) << slurp(log);
    EXPECT_EQ(plugged.stop(), 0);
}

// Bursts of 20 alarms, raised and cleared again and again as the plant reads
// its file anew: each one runs the program exactly once, with its line.
TEST(Notify, BurstsOfAlarmsEachRunTheProgramOnce) {
    const std::string dir = scratch_dir();
    const auto plant_with = [](int alarm) {
        std::string modules;
        for (int m = 0; m < 20; ++m)
            modules += std::string(m ? "," : "") + "{\"alarms\": [" + std::to_string(alarm) + ",0,0,0,0,0,0]}";
        return "{\"rectifiers\": {\"modules\": [" + modules + "]}}";
    };
    // Its standard error goes to a file of its own: the runner sees it end
    // only when it looks.
    const std::string program = script(dir, "record",
                                       "exec 2>>\"$(dirname \"$0\")/errors\"\n"
                                       "printf '%s\\n' \"$1\" >> \"$(dirname \"$0\")/log\"\n");
    const std::string link = dir + "/port", plant_file = dir + "/plant.json", plant_out = dir + "/plant.out";
    spit(plant_file, plant_with(0));
    Started plant({"plant", "--link", link, "--plant", plant_file}, plant_out, dir + "/plant.err");
    ASSERT_TRUE(wait_for_lines(plant_out, "ready " + link, 1, WAIT_MS));
    const std::string out = dir + "/out", err = dir + "/err";
    Started poll({"poll", "--port", link, "--on-event", program}, out, err);
    ASSERT_TRUE(wait_for_lines(out, "== round", 1, WAIT_MS)) << slurp(err);
    for (int burst = 1; burst <= 4; ++burst) {
        spit(plant_file, plant_with(burst % 2 ? 0x80 : 0));
        kill(plant.pid, SIGHUP);
        ASSERT_TRUE(wait_for_lines(plant_out, "reloaded", burst, WAIT_MS));
        ASSERT_TRUE(
            wait_for_lines(out, burst % 2 ? "  raised   level" : "  cleared  level", 20 * ((burst + 1) / 2), WAIT_MS))
            << slurp(err);
    }
    ASSERT_TRUE(wait_for_lines(dir + "/log", "level", 80, WAIT_MS)) << slurp(dir + "/log") << slurp(err);
    EXPECT_EQ(poll.stop(), 0) << slurp(err);
    EXPECT_EQ(plant.stop(), 0);

    std::multiset<std::string> shown, ran;
    std::istringstream summary(slurp(out)), log(slurp(dir + "/log"));
    for (std::string line; std::getline(summary, line);)
        if (line.find("  raised   level") != std::string::npos || line.find("  cleared  level") != std::string::npos)
            shown.insert(line);
    for (std::string line; std::getline(log, line);) ran.insert(line);
    EXPECT_EQ(shown.size(), 80u);
    EXPECT_EQ(ran.size(), shown.size());
    EXPECT_TRUE(ran == shown) << "each line of the summary once in the program's log";
}

// One HTTP request on a loopback port, answered 204: its body.
struct OneRequest {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;

    OneRequest() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 1) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~OneRequest() { close(fd); }

    std::string body(int timeout_ms) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1) return "(no request)";
        const int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        std::string req;
        char buf[4096];
        size_t want = std::string::npos;
        while (req.size() < want) {
            pollfd q{c, POLLIN, 0};
            if (::poll(&q, 1, timeout_ms) != 1) break;
            const ssize_t n = read(c, buf, sizeof buf);
            if (n <= 0) break;
            req.append(buf, size_t(n));
            const size_t end = req.find("\r\n\r\n");
            const size_t cl = req.find("Content-Length: ");
            if (end != std::string::npos && cl != std::string::npos && cl < end)
                want = end + 4 + std::stoul(req.substr(cl + 16));
        }
        const std::string reply = "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";
        [[maybe_unused]] const ssize_t w = write(c, reply.data(), reply.size());
        close(c);
        const size_t end = req.find("\r\n\r\n");
        return end == std::string::npos ? req : req.substr(end + 4);
    }
};

bool on_path(const std::string& program) {
    std::istringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : "");
    for (std::string d; std::getline(dirs, d, ':');)
        if (!d.empty() && access((d + "/" + program).c_str(), X_OK) == 0) return true;
    return false;
}

// The two programs of contrib/ run by the program for an alarm plant: the
// syslog one (with a logger that records its arguments) and the webhook one
// (against a loopback listener, when curl is there).
TEST(Notify, TheExamplesLogALineAndPostTheEvent) {
    const std::string dir = scratch_dir();
    spit(dir + "/plant.json", MAINS_OFF);
    mkdir((dir + "/bin").c_str(), 0755);
    script(dir + "/bin", "logger", "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/../logged\"\n");
    const std::string path = std::getenv("PATH");
    setenv("PATH", (dir + "/bin:" + path).c_str(), 1);
    const HostRun r = run_host({"simulate", "--plant", dir + "/plant.json", "--fast", "--rounds", "1", "--on-event",
                                TZV58_SOURCE_DIR "/contrib/on-event-syslog"});
    setenv("PATH", path.c_str(), 1);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string summary_line = line_with(r.out, "  raised   level 1 critical  PowerOff");
    ASSERT_FALSE(summary_line.empty()) << r.out;
    const std::string logged = slurp(dir + "/logged");
    EXPECT_EQ(logged.rfind("-t\ntzv58-host\n-p\ndaemon.crit\n--\n/dev/pts/", 0), 0u) << logged;
    EXPECT_NE(logged.find(" ADR 1: " + summary_line + "\n"), std::string::npos) << logged;

    if (!on_path("curl")) GTEST_SKIP() << "curl is not installed: the webhook example is not tried";
    OneRequest listener;
    ASSERT_GT(listener.port, 0);
    mkdir((dir + "/hook").c_str(), 0755);
    spit(dir + "/hook/on-event-webhook", slurp(TZV58_SOURCE_DIR "/contrib/on-event-webhook"));
    chmod((dir + "/hook/on-event-webhook").c_str(), 0755);
    spit(dir + "/hook/webhook-url", "http://127.0.0.1:" + std::to_string(listener.port) + "/notify\n");
    const std::string out = dir + "/out", err = dir + "/err";
    Started host({"simulate", "--plant", dir + "/plant.json", "--fast", "--rounds", "1", "--on-event",
                  dir + "/hook/on-event-webhook"},
                 out, err);
    const std::string body = listener.body(WAIT_MS);
    ASSERT_EQ(host.wait(), 0) << slurp(err);
    Json::Value posted;
    std::string why;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    ASSERT_TRUE(reader->parse(body.data(), body.data() + body.size(), &posted, &why)) << why << ": " << body;
    EXPECT_EQ(posted["event"], "raised");
    EXPECT_EQ(posted["level"], 1);
    EXPECT_EQ(posted["level_name"], "critical");
    EXPECT_EQ(posted["key"], "PowerOff");
    EXPECT_EQ(posted["id"], "419415001");
    EXPECT_EQ(posted["text"], "输入电源中断告警 / 输入电源中断告警");
    EXPECT_EQ(posted["address"], 1);
    EXPECT_EQ(posted["line"], line_with(slurp(out), "  raised   level 1 critical  PowerOff"));
    EXPECT_EQ(posted["time"].asString(), posted["line"].asString().substr(0, 19));
    EXPECT_EQ(slurp(err).find("on-event raised"), std::string::npos) << "a post that went through is no news: " << slurp(err);
}

TEST(Notify, WhatCouldNeverRunIsRefusedAtTheStart) {
    const std::string dir = scratch_dir();
    spit(dir + "/no-shebang", "logger hello\n");
    chmod((dir + "/no-shebang").c_str(), 0755);
    const std::string ok = script(dir, "ok", "exit 0\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--on-event", dir + "/missing"},
         "tzv58-host: option --on-event: " + dir + "/missing: No such file or directory\n"},
        {{"--on-event", dir}, "tzv58-host: option --on-event: " + dir + ": a folder, not a program\n"},
        {{"--on-event", dir + "/no-shebang"},
         "tzv58-host: option --on-event: " + dir +
             "/no-shebang: neither a script starting with #! nor a compiled "
             "program (it is run without a shell)\n"},
    };
    for (const auto& [extra, message] : cases) {
        std::vector<std::string> args = {"simulate", "--rounds", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        const HostRun r = run_host(args);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
    }
    setenv("TZV58_ON_EVENT_TIMEOUT_MS", "60000", 1);
    const HostRun r = run_host({"poll", "--port", dir + "/nowhere", "--on-event", ok});
    unsetenv("TZV58_ON_EVENT_TIMEOUT_MS");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tzv58-host: TZV58_ON_EVENT_TIMEOUT_MS: '60000' is not a whole number of ms from 100 to 30000\n");
}

}  // namespace
