// An output behind a pump with a reader that stalls: whole lines are dropped
// and the reader told once it reads again; or, lossless (--fast), the writer
// waits and nothing is dropped.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "e2e_support.h"
#include "tools/common/output_pump.h"

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

}  // namespace
