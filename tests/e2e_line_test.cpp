// The host program on a line that comes and goes: `poll` against `plant
// --link`, a named pseudo-terminal that is unplugged and plugged in again, and
// a port that is not there yet.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "e2e_plant.h"
#include "e2e_support.h"
#include "json_support.h"

namespace {

// Every wait of these tests is bounded by this.
constexpr int WAIT_MS = 30000;

// A plant serving on a link in a scratch folder, stopped by its pid.
struct PlantOnLink {
    std::string dir = scratch_dir();
    std::string link, out = dir + "/plant.out", err = dir + "/plant.err";
    pid_t pid = -1;

    explicit PlantOnLink(std::vector<std::string> extra = {}, const std::string& at = "")
        : link(at.empty() ? dir + "/port" : at) {
        std::vector<std::string> args{"plant", "--link", link};
        args.insert(args.end(), extra.begin(), extra.end());
        pid = start_host(args, out, err);
    }
    ~PlantOnLink() { stop(); }
    bool ready(int count = 1) const { return wait_for_lines(out, "ready " + link, count, WAIT_MS); }
    bool unplug() {
        kill(pid, SIGUSR1);
        return wait_for_lines(out, "unplugged " + link, 1, WAIT_MS);
    }
    int stop() {
        if (pid <= 0) return -1;
        kill(pid, SIGTERM);
        const int status = wait_child(pid, WAIT_MS);
        pid = -1;
        return status;
    }
};

// Polls on the wall clock: a round every two seconds or so, time enough to
// pull the plug between two of them.
struct Poll {
    std::string dir = scratch_dir();
    std::string events = dir + "/events", out = dir + "/out", err = dir + "/err";
    pid_t pid = -1;

    Poll(const std::string& port, std::vector<std::string> extra, int timeout_ms = 200) {
        std::vector<std::string> args{
            "poll", "--port", port, "--data-id", "7", "--timeout", std::to_string(timeout_ms), "--events", events};
        args.insert(args.end(), extra.begin(), extra.end());
        pid = start_host(args, out, err);
    }
    ~Poll() {
        if (pid > 0) wait_child(pid, 0);
    }
    int wait() {
        const int status = wait_child(pid, WAIT_MS);
        pid = -1;
        return status;
    }
    bool published(int count) const { return wait_for_lines(events, "\"event\":\"publish\"", count, WAIT_MS); }
};

std::vector<std::string> link_states(const std::vector<Json::Value>& events) {
    std::vector<std::string> states;
    for (const Json::Value& e : events)
        if (e["event"] == "link") states.push_back(e["state"].asString());
    return states;
}

// The link lost and restored, told in the same words on standard error as in
// the events: the cause and time of the loss, how long it was down.
void expect_link_told(const std::vector<Json::Value>& events, const std::string& err, const std::string& port,
                      const std::string& cause) {
    const Json::Value* lost = nullptr;
    const Json::Value* back = nullptr;
    for (const Json::Value& e : events) {
        if (e["event"] != "link") continue;
        if (e["state"] == "lost" && !lost) lost = &e;
        if (e["state"] == "open" && lost && !back) back = &e;
    }
    ASSERT_TRUE(lost && back) << err;
    EXPECT_EQ((*lost)["cause"], cause);
    const std::string lost_line =
        "tzv58-host: " + port + ": link lost (" + cause + ") at " + (*lost)["time"].asString() + "\n";
    EXPECT_NE(err.find(lost_line), std::string::npos) << err;
    ASSERT_TRUE((*back)["down_s"].isInt()) << (*back).toStyledString();
    EXPECT_GE((*back)["down_s"].asInt(), cause == "hang-up" ? 1 : 0);
    const std::string back_line =
        "tzv58-host: " + port + ": link restored after " + std::to_string((*back)["down_s"].asInt()) + " s\n";
    EXPECT_NE(err.find(back_line), std::string::npos) << err;
}

// The link's rows of a history file, the change and the words: "raised link
// lost (port busy) at ...", "cleared link restored after 2 s".
std::vector<std::string> link_rows(const std::string& db) {
    const HostRun h = run_host({"history", db, "--alarms", "--format", "jsonl"});
    EXPECT_EQ(h.status, 0) << h.err;
    spit(db + ".jsonl", h.out);
    std::vector<std::string> rows;
    for (const Json::Value& row : read_events(db + ".jsonl"))
        if (row["key"] == "link") rows.push_back(row["change"].asString() + " " + row["text1"].asString());
    return rows;
}

void expect_records_of_the_default_plant(const std::vector<Json::Value>& events, int count) {
    int n = 0;
    for (const Json::Value& e : events)
        if (e["event"] == "publish") {
            ++n;
            expect_default_plant(published_record(e));
        }
    EXPECT_EQ(n, count);
}

TEST(Line, CountedPollRidesOutAnUnplugAndAReplug) {
    PlantOnLink plant;
    ASSERT_TRUE(plant.ready()) << slurp(plant.err);
    Poll poll(plant.link, {"--rounds", "5"});
    ASSERT_TRUE(poll.published(2)) << slurp(poll.err);
    ASSERT_TRUE(plant.unplug());
    sleep(1);  // the adapter is out for a second
    kill(plant.pid, SIGUSR2);
    ASSERT_TRUE(plant.ready(2));
    EXPECT_EQ(poll.wait(), 0) << slurp(poll.err);
    const std::vector<Json::Value> events = read_events(poll.events);
    expect_records_of_the_default_plant(events, 5);
    std::vector<std::string> states = link_states(events);
    // open, lost, one or more reopening, open.
    ASSERT_GE(states.size(), 4u);
    EXPECT_EQ(states.front(), "open");
    EXPECT_EQ(states[1], "lost");
    EXPECT_EQ(states.back(), "open");
    for (size_t i = 2; i + 1 < states.size(); ++i) EXPECT_EQ(states[i], "reopening");
    expect_link_told(events, slurp(poll.err), plant.link, "hang-up");
    EXPECT_EQ(plant.stop(), 0);
    EXPECT_NE(access(plant.link.c_str(), F_OK), 0) << "the link goes with the plant";
}

TEST(Line, CountedPollGivesUpWhenThePortStaysAway) {
    PlantOnLink plant;
    ASSERT_TRUE(plant.ready()) << slurp(plant.err);
    Poll poll(plant.link, {"--rounds", "5", "--give-up", "2"});
    ASSERT_TRUE(poll.published(2)) << slurp(poll.err);
    ASSERT_TRUE(plant.unplug());
    EXPECT_EQ(poll.wait(), 1) << slurp(poll.err);
    // The reopening and the end name the cause in the same words.
    const std::string err = slurp(poll.err);
    EXPECT_NE(err.find("reopening failed 1 time in a row: " + plant.link + ": no such port\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("no complete reading in 2 rounds in a row (" + plant.link + ": no such port); giving up\n"),
              std::string::npos)
        << err;
    const std::vector<Json::Value> events = read_events(poll.events);
    // The round the line was lost in, then one failed attempt to reopen it:
    // two failed rounds.
    const std::vector<std::string> states = link_states(events);
    EXPECT_EQ(states, (std::vector<std::string>{"open", "lost", "reopening"}));
}

// The power system changes during a run: the plant reads its file again on
// SIGHUP; a file it cannot read leaves the plant as it was.
TEST(Line, APlantReadAgainRaisesAndClearsItsAlarms) {
    const std::string dir = scratch_dir(), file = dir + "/plant.json";
    spit(file, R"({"ac": {"channels": [{"a": 0, "b": 0, "c": 0}, {"a": 0, "b": 0, "c": 0}]}})");
    PlantOnLink plant({"--plant", file});
    ASSERT_TRUE(plant.ready()) << slurp(plant.err);
    Poll poll(plant.link, {});
    ASSERT_TRUE(wait_for_lines(poll.out, "raised   level 1 critical  PowerOff", 1, WAIT_MS)) << slurp(poll.out);

    spit(file, R"({"ac": {"channels": [{"a": "none"}]}})");
    kill(plant.pid, SIGHUP);
    ASSERT_TRUE(wait_for_lines(plant.err, "the plant stays as it was", 1, WAIT_MS));
    EXPECT_EQ(slurp(plant.err), "tzv58-host: plant: " + file +
                                    ":1: ac.channels[0].a: must be a number or null; the plant stays as it was\n");
    spit(file, "{}");
    kill(plant.pid, SIGHUP);
    ASSERT_TRUE(wait_for_lines(plant.out, "reloaded", 1, WAIT_MS)) << slurp(plant.err);
    ASSERT_TRUE(wait_for_lines(poll.out, "cleared  level 1 critical  PowerOff", 1, WAIT_MS)) << slurp(poll.out);
    kill(poll.pid, SIGTERM);
    EXPECT_EQ(poll.wait(), 0) << slurp(poll.err);
    EXPECT_EQ(plant.stop(), 0);
}

// A USB adapter still to be plugged in, with --wait-port: a counted run
// counts each wait as a failed round; an unbounded one waits, and polls once
// the port is there.
TEST(Line, APortThatIsNotThereYetIsWaitedFor) {
    const std::string dir = scratch_dir();
    Poll counted(dir + "/nowhere", {"--wait-port", "--rounds", "1", "--give-up", "3"});
    EXPECT_EQ(counted.wait(), 1) << slurp(counted.err);
    EXPECT_EQ(link_states(read_events(counted.events)),
              (std::vector<std::string>{"lost", "reopening", "reopening", "reopening"}));

    Poll waiting(dir + "/later", with_history({"--wait-port", "--rounds", "2", "--give-up", "0", "--listen", dir + "/live"},
                                              dir + "/h.db"));
    ASSERT_TRUE(wait_for_lines(waiting.events, "reopening", 1, WAIT_MS));
    // The live status counts the failed rounds a counted run gives up after.
    ASSERT_TRUE(wait_for_lines(waiting.err, "reopening failed 2 times in a row", 1, WAIT_MS)) << slurp(waiting.err);
    const HostRun got = run_host({"get", "--json", "--socket", dir + "/live"});
    EXPECT_GE(parse_json(got.out)["rounds"]["failed"].asInt(), 2) << got.out << got.err;
    PlantOnLink plant({}, dir + "/later");
    ASSERT_TRUE(plant.ready()) << slurp(plant.err);
    EXPECT_EQ(waiting.wait(), 0) << slurp(waiting.err);
    const std::vector<Json::Value> events = read_events(waiting.events);
    expect_records_of_the_default_plant(events, 2);
    const std::vector<std::string> states = link_states(events);
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states.front(), "lost");
    EXPECT_EQ(states.back(), "open");
    expect_link_told(events, slurp(waiting.err), dir + "/later", "no such port");
    // The history has the loss that its restoring ends.
    if (!HOST_HAS_HISTORY) return;
    const std::vector<std::string> rows = link_rows(dir + "/h.db");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].rfind("raised link lost (no such port) at ", 0), 0u) << rows[0];
    EXPECT_EQ(rows[1].rfind("cleared link restored after ", 0), 0u) << rows[1];
}

// A port's name is shown, never obeyed: an escape sequence, a bell, C1 raw
// or in UTF-8, a bidirectional control and bytes that are no UTF-8 reach no
// terminal raw, in the plant's ready line nor in poll's lines on the link.
TEST(Line, APortsNameReachesNoTerminalRaw) {
    const std::string dir = scratch_dir();
    const std::string name = "/port\x1b]0;owned\x07\xff\x9b\xc2\x9b\xe2\x80\xae";
    const std::string escaped = dir + "/port\\x1B]0;owned\\x07\\xFF\\x9B\\xC2\\x9B\\xE2\\x80\\xAE";
    const auto raw = [](const std::string& text) {
        return text.find_first_of("\x1b\x07\xff\x9b") != std::string::npos;
    };
    {
        PlantOnLink plant({}, dir + name);
        EXPECT_TRUE(wait_for_lines(plant.out, "ready " + escaped, 1, WAIT_MS)) << slurp(plant.out);
        EXPECT_EQ(plant.stop(), 0);
        EXPECT_FALSE(raw(slurp(plant.out))) << slurp(plant.out);
    }
    Poll poll(dir + name + "-gone", {"--wait-port", "--rounds", "1", "--give-up", "2"});
    EXPECT_EQ(poll.wait(), 1);
    const std::string err = slurp(poll.err);
    EXPECT_NE(err.find("tzv58-host: " + escaped + "-gone: link lost (no such port) at "), std::string::npos) << err;
    EXPECT_NE(err.find("tzv58-host: reopening failed 1 time in a row: "), std::string::npos) << err;
    EXPECT_FALSE(raw(err)) << err;
}

// A port another program holds at the start, with --wait-port: told as a
// link lost to a busy port, tried again with the back-off, and polled once
// the other program lets go. Every surface gives the one cause, and the
// history has the loss and its end.
TEST(Line, ABusyPortIsWaitedFor) {
    PlantOnLink plant;
    ASSERT_TRUE(plant.ready()) << slurp(plant.err);
    const int held = open(plant.link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const std::string socket = plant.dir + "/s", db = plant.dir + "/h.db";
    Poll poll(plant.link, with_history({"--wait-port", "--rounds", "1", "--give-up", "0", "--listen", socket}, db));
    ASSERT_TRUE(wait_for_lines(poll.events, "\"state\":\"reopening\"", 2, WAIT_MS)) << slurp(poll.err);
    const HostRun got = run_host({"get", "--socket", socket, "--json"});
    const Json::Value link = parse_json(got.out)["link"];
    EXPECT_EQ(link["state"], "down") << got.out;
    EXPECT_EQ(link["cause"], "port busy") << got.out;
    close(held);
    EXPECT_EQ(poll.wait(), 0) << slurp(poll.err);
    const std::vector<Json::Value> events = read_events(poll.events);
    expect_records_of_the_default_plant(events, 1);
    expect_link_told(events, slurp(poll.err), plant.link, "port busy");
    if (!HOST_HAS_HISTORY) return;
    const std::vector<std::string> rows = link_rows(db);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].rfind("raised link lost (port busy) at ", 0), 0u) << rows[0];
    EXPECT_EQ(rows[1].rfind("cleared link restored after ", 0), 0u) << rows[1];
}

}  // namespace

namespace {

std::string env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

// Counts publish events as the events file grows, reading each byte once.
struct PublishCounter {
    explicit PublishCounter(std::string events) : path(std::move(events)) {}
    std::string path;
    std::streamoff offset = 0;
    std::string partial;
    long count = 0;

    long update() {
        std::ifstream in(path, std::ios::binary);
        in.seekg(offset);
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        offset += std::streamoff(chunk.size());
        partial += chunk;
        const std::string publish = "{\"event\":\"publish\"";
        size_t start = 0;
        for (size_t nl; (nl = partial.find('\n', start)) != std::string::npos; start = nl + 1)
            count += partial.compare(start, publish.size(), publish) == 0;
        partial.erase(0, start);
        return count;
    }
    bool wait_for(long n, int timeout_ms) {
        for (int waited = 0; waited <= timeout_ms; waited += 20) {
            if (update() >= n) return true;
            usleep(20000);
        }
        return false;
    }
};

// The soak: every fault kind on the line, the plant unplugged and plugged in
// again every TZV58_SOAK_REPLUG_EVERY rounds, TZV58_SOAK_ROUNDS rounds in all
// (a short run in CI). poll runs on the wall clock, as on a real line: a round
// every two seconds or so. Every published record equals a
// fault-free round's; the host ends with status 0 (and, under the
// sanitizers, without a leak or an error).
TEST(Line, SoakWithEveryFaultAndAReplugNowAndThen) {
    const long rounds = std::stol(env_or("TZV58_SOAK_ROUNDS", "20"));
    const long every = std::stol(env_or("TZV58_SOAK_REPLUG_EVERY", "8"));
    const int timeout = std::stoi(env_or("TZV58_SOAK_TIMEOUT_MS", "150"));
    const std::string dir = scratch_dir();
    spit(dir + "/plant.json", full_plant_json());
    const HostRun healthy = run_host({"simulate", "--fast", "--rounds", "1", "--data-id", "7", "--plant",
                                      dir + "/plant.json", "--events", dir + "/healthy"});
    ASSERT_EQ(healthy.status, 0) << healthy.err;
    tzv58_419_Data_t reference{};
    for (const Json::Value& e : read_events(dir + "/healthy"))
        if (e["event"] == "publish") reference = published_record(e);

    PlantOnLink plant({"--plant", dir + "/plant.json", "--seed", "17", "--delay", std::to_string(timeout * 6 / 5),
                       "--faults",
                       "drop=0.05,checksum=0.05,noise=0.05,rtn=0.05,stall=0.02,truncate=0.05,soi=0.05,echo=0.2,"
                       "late=0.05,foreign=0.05,excess=0.05"});
    ASSERT_TRUE(plant.ready()) << slurp(plant.err);
    Poll poll(plant.link, {"--rounds", std::to_string(rounds), "--give-up", "0"}, timeout);
    PublishCounter published(poll.events);
    // A round takes about two seconds on the wall clock; a whole stretch
    // between replugs is given four seconds a round.
    for (long k = 1; k * every < rounds; ++k) {
        ASSERT_TRUE(published.wait_for(k * every, int(every) * 4000 + WAIT_MS)) << slurp(poll.err);
        ASSERT_TRUE(plant.unplug());
        kill(plant.pid, SIGUSR2);
        ASSERT_TRUE(plant.ready(int(k) + 1));
    }
    EXPECT_EQ(wait_child(poll.pid, int(every) * 4000 + WAIT_MS), 0) << slurp(poll.err);
    poll.pid = -1;
    EXPECT_EQ(plant.stop(), 0) << slurp(plant.err);

    std::ifstream events(poll.events);
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    long publishes = 0, lost = 0;
    std::set<std::string> reasons;
    for (std::string line; std::getline(events, line);) {
        Json::Value e;
        ASSERT_TRUE(reader->parse(line.data(), line.data() + line.size(), &e, nullptr)) << line;
        if (e["event"] == "error") reasons.insert(e["reason"].asString());
        if (e["event"] == "link" && e["state"] == "lost") ++lost;
        if (e["event"] != "publish") continue;
        ++publishes;
        SCOPED_TRACE("publish " + std::to_string(publishes));
        expect_same_reading(published_record(e), reference);
        if (HasFailure()) return;
    }
    EXPECT_EQ(publishes, rounds);
    EXPECT_EQ(lost, (rounds - 1) / every);
    for (const char* r : {"timeout", "checksum", "noise", "rtn", "truncated", "address"})
        EXPECT_TRUE(reasons.count(r)) << r;
}

}  // namespace
