// An output behind a pump with a reader that stalls: whole lines are dropped
// and the reader told once it reads again; or, lossless (--fast), the writer
// waits and nothing is dropped.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "e2e_support.h"
#include "tools/common/output_pump.h"
#include "tools/common/signals.h"

namespace {

using namespace tzv58::tool;

// A FIFO of the smallest size, its reader open and reading nothing yet, and
// a stream that writes into it through a pump.
struct Stalled {
    std::string fifo = scratch_dir() + "/out";
    int reader = -1;
    FILE* out = nullptr;

    explicit Stalled(PumpOptions o) {
        if (mkfifo(fifo.c_str(), 0600) != 0) return;
        reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        fcntl(reader, F_SETPIPE_SZ, 4096);
        out = fdopen(open(fifo.c_str(), O_WRONLY | O_CLOEXEC), "w");
        std::string err;
        if (!out || !pump_stream(out, "the test's FIFO", o, err)) ADD_FAILURE() << err;
    }
    ~Stalled() {
        if (out) std::fclose(out);
        if (reader >= 0) close(reader);
    }
    void write_lines(int from, int to) {
        for (int i = from; i < to; ++i) std::fprintf(out, "line %04d %s\n", i, std::string(90, 'x').c_str());
        std::fflush(out);
    }
    // Reads until `until` has come (or nothing has for 2 s).
    std::string read_until(const std::string& until) {
        std::string got;
        for (int quiet = 0; quiet < 20 && got.find(until) == std::string::npos;) {
            pollfd p{reader, POLLIN, 0};
            char buf[4096];
            ssize_t n = 0;
            if (poll(&p, 1, 100) == 1 && (n = read(reader, buf, sizeof buf)) > 0) got.append(buf, size_t(n));
            quiet = n > 0 ? 0 : quiet + 1;
        }
        return got;
    }
};

// The lines as they came: every one whole, in order; the count of those
// "line NNNN" ones.
int whole_lines_in_order(const std::string& got, std::string& other) {
    std::istringstream lines(got);
    int n = 0, last = -1;
    for (std::string l; std::getline(lines, l);) {
        int i = -1;
        if (std::sscanf(l.c_str(), "line %d ", &i) == 1 && l.size() == 100 && i > last) {
            last = i;
            ++n;
        } else {
            other += l + "\n";
        }
    }
    return n;
}

TEST(OutputPump, AFullQueueDropsWholeLinesAndTellsTheReaderOnceItReads) {
    PumpOptions o;
    o.label = "summary";
    o.queue_bytes = 4096;
    Stalled s(o);
    ASSERT_TRUE(s.out);
    const unsigned long long before = drop_counts()["summary"];
    s.write_lines(0, 300);  // 30 KB against 8 KB of FIFO and queue
    const unsigned long long dropped = drop_counts()["summary"] - before;
    EXPECT_GT(dropped, 200u);
    std::string got = s.read_until(" lines dropped here in ");
    s.write_lines(300, 301);  // once the reader reads, lines go again
    got += s.read_until("line 0300");
    std::string other;
    const int lines = whole_lines_in_order(got, other);
    const std::string told = "tzv58-host: " + std::to_string(dropped) + " lines dropped here in ";
    EXPECT_EQ(other.rfind(told, 0), 0u) << other;
    EXPECT_EQ(other.substr(other.find(" s: ")), " s: the reader stalled\n") << other;
    EXPECT_EQ(lines + dropped, 301u);
    EXPECT_FALSE(pumps_ok());
}

TEST(OutputPump, ALosslessPumpMakesTheWriterWait) {
    PumpOptions o;
    o.label = "events";
    o.queue_bytes = 4096;
    o.lossless = true;
    Stalled s(o);
    ASSERT_TRUE(s.out);
    const unsigned long long before = drop_counts()["events"];
    std::string got;
    std::thread reads_later([&] {
        usleep(200000);
        got = s.read_until("line 0299");
    });
    s.write_lines(0, 300);
    reads_later.join();
    std::string other;
    EXPECT_EQ(whole_lines_in_order(got, other), 300);
    EXPECT_EQ(other, "");
    EXPECT_EQ(drop_counts()["events"], before);
}

// A line longer than a small queue (a publish event of a large plant) goes
// alone once the queue is empty: never dropped for its length, and never
// waited for in vain.
TEST(OutputPump, ALineLongerThanTheQueueGoesAlone) {
    for (const bool lossless : {false, true}) {
        PumpOptions o;
        o.label = "events";
        o.queue_bytes = 4096;
        o.lossless = lossless;
        Stalled s(o);
        ASSERT_TRUE(s.out);
        const std::string line = std::string(9000, 'v') + " end\n";
        std::thread writes([&] {
            std::fputs(line.c_str(), s.out);
            std::fflush(s.out);
        });
        const std::string got = s.read_until(" end\n");
        if (got.find(line) == std::string::npos) g_stop = 1;  // the writer waits no more
        writes.join();
        g_stop = 0;
        EXPECT_NE(got.find(line), std::string::npos) << lossless;
    }
}

// Files on disk meet the file-size limit, as a full disk: a stream's (the
// summary's) and a descriptor's (the plug-in's lines) keep whole lines only,
// count what they drop, and tell it in the file once they take lines again.
TEST(OutputPump, AFileThatCannotBeWrittenKeepsWholeLinesAndCountsWhatItDrops) {
    const std::string dir = scratch_dir(), summary = dir + "/summary", diag = dir + "/diag";
    PumpOptions o;
    o.label = "summary";
    FILE* out = std::fopen(summary.c_str(), "a");
    std::string err;
    ASSERT_TRUE(out && pump_stream(out, "the test's summary", o, err)) << err;
    o.label = "diag";
    const int fd = open(diag.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_TRUE(pump_descriptor(fd, nullptr, "the test's diag file", o, err)) << err;
    const auto line = [](int i) { return "line " + std::to_string(1000 + i) + " " + std::string(89, 'x') + "\n"; };
    const auto put = [&](int i) {
        std::fputs(line(i).c_str(), out);
        std::fflush(out);
        ASSERT_EQ(write(fd, line(i).data(), 100), 100);
    };
    std::map<std::string, unsigned long long> before = drop_counts();
    const auto dropped = [&](const char* label) { return drop_counts()[label] - before[label]; };

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit was{}, lim{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    lim = was;
    lim.rlim_cur = 1050;  // ten lines and half of one
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    for (int i = 0; i < 30; ++i) put(i);
    for (int waited = 0; dropped("diag") < 20 && waited < 5000; waited += 20) usleep(20000);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &was), 0);
    EXPECT_EQ(dropped("summary"), 20u);
    EXPECT_EQ(dropped("diag"), 20u);
    EXPECT_FALSE(pumps_ok());

    // Lines again until each has said what it missed.
    const auto told = [](const std::string& path) { return slurp(path).find(" lines dropped here in ") != std::string::npos; };
    for (int i = 30; i < 80 && !(told(summary) && told(diag)); ++i) {
        put(i);
        usleep(100000);
    }
    for (const std::string& path : {summary, diag}) {
        std::string text = slurp(path), expected;
        for (int i = 0; i < 10; ++i) expected += line(i);
        EXPECT_EQ(text.substr(0, 1000), expected) << path;
        const size_t note = text.find("tzv58-host: 20 lines dropped here in ");
        ASSERT_NE(note, std::string::npos) << path << ":\n" << text;
        EXPECT_NE(text.find(" s: File too large\n", note), std::string::npos) << text.substr(note);
        text.erase(note, text.find('\n', note) + 1 - note);
        for (int i = 30; text.size() > 1000 && i < 80; ++i) expected += line(i);  // and none between
        EXPECT_EQ(text, expected.substr(0, text.size())) << path;
        EXPECT_EQ(text.back(), '\n');
    }
    std::fclose(out);
}

// On the --fast clock the writer waits all along: what is said is that it
// waited, and what the end dropped, never that lines were dropped over time.
// Last: it ends every pump.
TEST(OutputPump, ALosslessPumpSaysItWaitedAndWhatTheEndDropped) {
    PumpOptions o;
    o.label = "events";
    o.queue_bytes = 4096;
    o.lossless = true;
    Stalled s(o);
    ASSERT_TRUE(s.out);
    const std::string err = scratch_dir() + "/err";
    const int saved = dup(2), to = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(dup2(to, 2), 0);
    std::thread writes([&] { s.write_lines(0, 300); });
    for (int waited = 0; slurp(err).empty() && waited < 5000; waited += 20) usleep(20000);
    finish_pumps(100);
    writes.join();
    dup2(saved, 2);
    close(saved);
    close(to);
    const std::string said = slurp(err), waits = "tzv58-host: events: reader stalled; the --fast run waits for it\n";
    ASSERT_EQ(said.substr(0, waits.size()), waits) << said;
    const std::string ended = said.substr(waits.size());
    long long seconds = 0, lines = 0;
    char tail[32] = "";
    EXPECT_EQ(std::sscanf(ended.c_str(),
                          "tzv58-host: events: reader stalled for %lld s; the --fast run waited for it, then dropped "
                          "%lld lines at the %31[a-z\n]",
                          &seconds, &lines, tail),
              3)
        << ended;
    EXPECT_GE(seconds, 1);
    EXPECT_GT(lines, 0);
    EXPECT_EQ(std::string(tail), "end\n");
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
}

}  // namespace
