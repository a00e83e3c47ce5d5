// One running poll under everything at once: a line with faults, an events
// reader that never reads, bursts of 20 alarms with a program run for each,
// a crowd of trickling clients at both doors, and the host clock set back
// ten minutes. Beside it, on the same machine at the same time, a quiet poll
// of the same plant and faults with no services at all. Each talks to its
// plant through a relay that times the exchanges.
//
// The busy poll's exchange gaps stay within the noise of the quiet one's
// (a ratio, p50 and p90), its rounds keep pace with the quiet one's, every
// complete round is a history row, every alarm ran the program exactly once,
// and `get` and a scrape are answered throughout.
//
// The clock is stepped with Debian's libfaketime, preloaded into the busy
// poll only, the monotonic clock left alone (the sanitizers' runtime lets it
// in); where the library is not there the step is left out and the rest
// runs. Under emulation the gaps would measure the emulator: skipped.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "e2e_live_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long everything happens at once. Rounds come every 2 s or so.
constexpr int PHASE_MS = 30000;
constexpr int BURSTS = 6, ALARMS = 20;
// A busy poll whose exchanges wait on none of its consumers shows the same
// gaps as the quiet one, up to the noise of a loaded 2-core machine (its
// p90 up to 4.3 times the quiet one's, seen); one that waits a millisecond
// on them shows 20 times the quiet one's tenths of a millisecond.
constexpr double GAP_RATIO = 8;
// Between rounds the gap is the round's end (publication, alarms, history,
// notifications) and the 2 s to the next refresh: the same up to a tenth.
constexpr double BREAK_RATIO = 1.1;

const std::string FAULTS = "noise=0.1,checksum=0.04,drop=0.03,echo=0.1,foreign=0.05,truncate=0.02";

// 20 rectifier modules, each with its first alarm byte.
std::string plant_with(int alarm) {
    std::string modules;
    for (int m = 0; m < ALARMS; ++m)
        modules += std::string(m ? "," : "") + "{\"alarms\": [" + std::to_string(alarm) + ",0,0,0,0,0,0]}";
    return "{\"rectifiers\": {\"modules\": [" + modules + "]}}";
}

bool make_raw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Between a plant's link and a pseudo-terminal of its own that the poll
// opens: bytes pass as they come. It times the gap from a reply's last byte
// (CR) to the first byte of the next request, when that request is a new
// one (not asked again) and the exchange before it was answered the first
// time (not one that the poll waited out to fall quiet): within a round,
// and between rounds (the round's end and the 2 s to the next refresh).
class Relay {
public:
    Relay(const std::string& plant_link, const std::string& host_link) {
        plant_ = open(plant_link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char name[256];
        if (plant_ < 0 || !make_raw(plant_) || openpty(&master_, &slave_, name, nullptr, nullptr) != 0 ||
            !make_raw(slave_) || symlink(name, host_link.c_str()) != 0)
            return;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] { run(); });
    }
    ~Relay() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : {plant_, master_, slave_})
            if (fd >= 0) close(fd);
    }
    bool ok() const { return thread_.joinable(); }
    // The gaps timed since the last call, in ms: within rounds and between.
    struct Gaps {
        std::vector<double> within, between;
    };
    Gaps take_gaps() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(gaps_, {});
    }

private:
    void run() {
        std::string request;
        std::string last_request;
        int asked = 0;
        Clock::time_point request_start{}, reply_end{};
        bool replied = false;
        char buf[4096];
        while (!done_) {
            pollfd p[2] = {{master_, POLLIN, 0}, {plant_, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0) continue;
            if ((p[0].revents | p[1].revents) & (POLLHUP | POLLERR)) poll(nullptr, 0, 10);  // a side is gone
            if (p[0].revents & POLLIN) {
                const ssize_t n = read(master_, buf, sizeof buf);
                const auto now = Clock::now();
                for (ssize_t i = 0; i < n; ++i) {
                    if (request.empty()) request_start = now;
                    request += buf[i];
                    if (buf[i] != '\r') continue;
                    if (request == last_request) {
                        ++asked;
                    } else {
                        const double ms = std::chrono::duration<double, std::milli>(request_start - reply_end).count();
                        if (asked == 1 && replied) {
                            std::lock_guard<std::mutex> lock(mutex_);
                            (ms < 1000 ? gaps_.within : gaps_.between).push_back(ms);
                        }
                        last_request = request;
                        asked = 1;
                    }
                    replied = false;
                    request.clear();
                }
                if (n > 0) write_all(plant_, buf, size_t(n));
            }
            if (p[1].revents & POLLIN) {
                const ssize_t n = read(plant_, buf, sizeof buf);
                if (n > 0) {
                    write_all(master_, buf, size_t(n));
                    if (std::find(buf, buf + n, '\r') != buf + n) {
                        reply_end = Clock::now();
                        replied = true;
                    }
                }
            }
        }
    }
    void write_all(int fd, const char* p, size_t n) {
        for (int tries = 0; n > 0 && tries < 100 && !done_; ++tries) {
            const ssize_t w = write(fd, p, n);
            if (w > 0) {
                p += w;
                n -= size_t(w);
            } else {
                pollfd q{fd, POLLOUT, 0};
                poll(&q, 1, 10);
            }
        }
    }

    int plant_ = -1, master_ = -1, slave_ = -1;
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    Gaps gaps_;
    std::thread thread_;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(p / 100 * double(v.size() - 1) + 0.5)];
}

// The value of a metric line ("name 12" or "name{labels} 12"), -1 if none.
double metric(const std::string& scrape, const std::string& name) {
    const size_t at = scrape.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::atof(scrape.c_str() + at + name.size() + 2);
}

// The summary's alarm lines.
std::multiset<std::string> alarm_lines(const std::string& text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (contains(line, "  raised   level") || contains(line, "  cleared  level")) lines.insert(line);
    return lines;
}

// Variables set for the programs started while it lives, then as they were.
struct ScopedEnv {
    ~ScopedEnv() {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it)
            if (it->second.empty())
                unsetenv(it->first.c_str());
            else
                setenv(it->first.c_str(), it->second.c_str() + 1, 1);
    }
    void set(const std::string& name, const std::string& value) {
        const char* was = std::getenv(name.c_str());
        saved.emplace_back(name, was ? "=" + std::string(was) : "");  // "": not set
        setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<std::pair<std::string, std::string>> saved;
};

const LineTest ANY_ROUND = [](const std::string& l) { return starts(l, "== round "); };
const LineTest RELOADED = [](const std::string& l) { return l == "reloaded"; };

// `get` over the socket and a scrape, every 500 ms until stopped: how many
// of each were asked and answered.
struct Probes {
    Probes(int port, const std::string& socket) {
        thread_ = std::thread([this, port, socket] {
            while (!done_) {
                const HttpReply scrape = http_get(port, "/metrics");
                ++scrapes;
                scraped += scrape.status == 200 && contains(scrape.body, "\ntzv58_data_current 1\n");
                const HostRun get = run_host({"get", "--socket", socket, "out_v"});
                ++gets;
                got += get.status == 0 && get.out == "out_v: 53.5 V\n";
                for (int waited = 0; waited < 500 && !done_; waited += 50) usleep(50000);
            }
        });
    }
    ~Probes() { stop(); }
    void stop() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::atomic<int> scrapes{0}, scraped{0}, gets{0}, got{0};

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST(Chaos, EverythingAtOnceHoldsUpNoExchangeAndLosesNothing) {
    if (std::string(TZV58_EMULATOR) != "") GTEST_SKIP() << "under emulation the gaps measure the emulator";
    const std::string dir = scratch_dir();
    const std::string plant_file = dir + "/plant.json", log = dir + "/log", db = dir + "/history.db";
    spit(plant_file, plant_with(0));
    const std::string program = script(dir, "record",
                                       "exec 2>>\"$(dirname \"$0\")/errors\"\n"
                                       "printf '%s\\n' \"$1\" >> \"$(dirname \"$0\")/log\"\n");

    // Two plants of the same faults and seed, each behind its relay.
    std::unique_ptr<LiveHost> plants[2];
    std::unique_ptr<Relay> relays[2];
    for (int i = 0; i < 2; ++i) {
        const std::string link = dir + "/plant" + std::to_string(i);
        plants[i] = std::make_unique<LiveHost>(std::vector<std::string>{"plant", "--link", link, "--plant", plant_file,
                                                                        "--faults", FAULTS, "--seed", "7"});
        ASSERT_FALSE(plants[i]->wait_line(0, [](const std::string& l) { return starts(l, "ready "); }).empty())
            << plants[i]->all(1);
        relays[i] = std::make_unique<Relay>(link, dir + "/line" + std::to_string(i));
        ASSERT_TRUE(relays[i]->ok());
    }
    LiveHost quiet({"poll", "--port", dir + "/line0", "--timeout", "200"});

    // The busy one: its events into a FIFO that is never read (the smallest
    // pipe and queue, so that it stalls at once), its clock from a file.
    const std::string fifo = dir + "/events", socket = dir + "/live.sock", faked = dir + "/faketime";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    const bool step = access(TZV58_FAKETIME, R_OK) == 0;
    std::unique_ptr<LiveHost> busy;
    {
        ScopedEnv env;
        env.set("TZV58_OUTPUT_QUEUE_BYTES", "4096");
        if (step) {
            spit(faked, "+0\n");
            env.set("LD_PRELOAD", TZV58_FAKETIME);
            env.set("FAKETIME_TIMESTAMP_FILE", faked);
            env.set("FAKETIME_CACHE_DURATION", "1");
            env.set("FAKETIME_DONT_FAKE_MONOTONIC", "1");
            // The sanitizers' runtime would be first among the libraries.
            if (TZV58_SANITIZED) {
                const char* asan = std::getenv("ASAN_OPTIONS");
                env.set("ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0");
            }
        } else {
            std::printf("note: %s is not there: the host clock is not stepped\n", TZV58_FAKETIME);
        }
        busy = std::make_unique<LiveHost>(std::vector<std::string>{
            "poll", "--port", dir + "/line1", "--timeout", "200", "--summary", "--events", fifo, "--history", db,
            "--listen", socket, "--http", "127.0.0.1:0", "--on-event", program});
    }
    const std::string ready = busy->wait_line(1, READY);
    if (contains(busy->all(1), "no SQLite")) GTEST_SKIP() << "this build has no SQLite";
    ASSERT_FALSE(ready.empty()) << busy->all(1);
    const int port = std::atoi(ready.c_str() + ready.find("127.0.0.1:") + 10);
    ASSERT_FALSE(busy->wait_line(0, ROUND).empty()) << busy->all(1);
    ASSERT_FALSE(quiet.wait_line(0, ROUND).empty()) << quiet.all(1);

    // Everything at once.
    for (auto& r : relays) r->take_gaps();
    const size_t rounds_before[2] = {quiet.count_lines(0, ANY_ROUND), busy->count_lines(0, ANY_ROUND)};
    const auto start = Clock::now();
    Relay::Gaps gaps[2];
    size_t rounds[2] = {0, 0};
    {
        TricklingCrowd crowd(port, socket, HTTP_DOOR + 8, SOCKET_DOOR + 4, 500);
        Probes probes(port, socket);
        for (int burst = 1; burst <= BURSTS; ++burst) {
            while (elapsed_ms(start) < burst * PHASE_MS / (BURSTS + 1)) usleep(20000);
            spit(plant_file, plant_with(burst % 2 ? 0x80 : 0));
            for (auto& p : plants) kill(p->pid(), SIGHUP);
            for (auto& p : plants) ASSERT_FALSE(p->wait_line(0, RELOADED, burst).empty());
            if (burst == 2 && step) spit(faked, "-600\n");
        }
        while (elapsed_ms(start) < PHASE_MS) usleep(20000);
        for (int i = 0; i < 2; ++i) gaps[i] = relays[i]->take_gaps();
        rounds[0] = quiet.count_lines(0, ANY_ROUND) - rounds_before[0];
        rounds[1] = busy->count_lines(0, ANY_ROUND) - rounds_before[1];
        probes.stop();
        std::printf("answered: %d of %d scrapes, %d of %d gets; rounds begun: quiet %zu, busy %zu\n",
                    probes.scraped.load(), probes.scrapes.load(), probes.got.load(), probes.gets.load(), rounds[0],
                    rounds[1]);
        EXPECT_GE(probes.scraped * 20, probes.scrapes * 19) << probes.scraped << " of " << probes.scrapes << " scrapes";
        EXPECT_GE(probes.got * 20, probes.gets * 19) << probes.got << " of " << probes.gets << " gets";
        EXPECT_GE(probes.scrapes, PHASE_MS / 1000 / 2) << "probes went on throughout";
    }

    // The exchanges and the rounds kept their pace.
    const auto compare = [](const char* what, const std::vector<double>& quiet, const std::vector<double>& busy,
                            double ratio) {
        const double q50 = percentile(quiet, 50), q90 = percentile(quiet, 90);
        const double b50 = percentile(busy, 50), b90 = percentile(busy, 90);
        std::printf("gaps %s, ms: quiet %zu p50 %.3f p90 %.3f; busy %zu p50 %.3f p90 %.3f\n", what, quiet.size(), q50,
                    q90, busy.size(), b50, b90);
        EXPECT_LE(b50, ratio * q50) << what;
        EXPECT_LE(b90, ratio * q90) << what;
    };
    for (const Relay::Gaps& g : gaps) {
        ASSERT_GE(g.within.size(), 40u);
        ASSERT_GE(g.between.size(), 8u);
    }
    compare("within rounds", gaps[0].within, gaps[1].within, GAP_RATIO);
    compare("between rounds", gaps[0].between, gaps[1].between, BREAK_RATIO);
    EXPECT_GE(rounds[1] * 4, rounds[0] * 3) << "rounds begun: busy " << rounds[1] << ", quiet " << rounds[0];

    // Every alarm of every burst, each run once.
    const auto shown = [&] { return alarm_lines(busy->all(0)); };
    for (int waited = 0; waited < WAIT_MS && shown().size() < size_t(BURSTS * ALARMS); waited += 50) usleep(50000);
    ASSERT_EQ(shown().size(), size_t(BURSTS * ALARMS)) << busy->all(0);
    ASSERT_TRUE(wait_for_lines(log, "level", BURSTS * ALARMS, WAIT_MS)) << slurp(dir + "/errors") << busy->all(1);
    std::multiset<std::string> ran;
    std::istringstream lines(slurp(log));
    for (std::string line; std::getline(lines, line);) ran.insert(line);
    EXPECT_TRUE(ran == shown()) << "each alarm of the summary once in the program's log";

    const std::string scrape = http_get(port, "/metrics").body;
    EXPECT_EQ(metric(scrape, "tzv58_notify_dropped_total"), 0) << scrape;
    EXPECT_GT(metric(scrape, "tzv58_output_dropped_total{output=\"events\"}"), 0) << scrape;
    EXPECT_EQ(metric(scrape, "tzv58_history_rounds_dropped_total"), 0) << scrape;
    const double age = metric(scrape, "tzv58_last_complete_round_age_seconds");
    EXPECT_TRUE(age >= 0 && age < 60) << "the clock step left the age true: " << age;

    EXPECT_EQ(busy->stop(), 1) << "it dropped events: " << busy->all(1);
    close(reader);
    const std::string said = busy->all(1);
    EXPECT_FALSE(contains(said, "Sanitizer") || contains(said, "runtime error:")) << said;
    EXPECT_TRUE(contains(said, "tzv58-host: events: reader stalled; lines are dropped until it reads again")) << said;
    if (step) {
        const std::string stepped = "tzv58-host: host clock stepped back 600 s\n";
        const size_t at = said.find(stepped);
        EXPECT_NE(at, std::string::npos) << said;
        EXPECT_EQ(said.find("host clock stepped", at + stepped.size()), std::string::npos) << "said once: " << said;
    }

    // Every complete round is a row of the history, every alarm raised or
    // cleared one of its transitions.
    const HostRun rows = run_host({"history", db, "--format", "csv"});
    ASSERT_EQ(rows.status, 0) << rows.err;
    EXPECT_EQ(size_t(std::count(rows.out.begin(), rows.out.end(), '\n') - 1), busy->count_lines(0, ROUND));
    const HostRun alarms = run_host({"history", db, "--alarms", "--format", "csv"});
    ASSERT_EQ(alarms.status, 0) << alarms.err;
    int transitions = 0;
    std::istringstream csv(alarms.out);
    for (std::string line; std::getline(csv, line);)
        transitions += contains(line, ",raised,") || contains(line, ",cleared,");
    EXPECT_EQ(transitions, BURSTS * ALARMS) << alarms.out;

    EXPECT_EQ(quiet.stop(), 0) << quiet.all(1);
    relays[0].reset();
    relays[1].reset();
    for (auto& p : plants) EXPECT_EQ(p->stop(), 0) << p->all(1);
}

}  // namespace
