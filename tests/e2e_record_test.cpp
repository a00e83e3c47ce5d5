// `record` decodes a published image, whichever form it was kept in, from a
// file or standard input.
#include "e2e_support.h"
#include "host/hex.h"
#include "json_support.h"

namespace {

// A record with a value in each block, as a cache would hold it.
tzv58_419_Data_t sample_record() {
    tzv58_419_Data_t r{};
    r.data_id.set(42);
    r.channel_count = 2;
    r.channel[1].a.set(230.5f);
    r.channel[1].f.set(49.9f);
    r.module_count = 3;
    r.module[2].out_i.set(12.25f);
    r.module[2].p41_44[6] = 0x86;
    r.dc1.out_v.set(53.01f);
    r.dc0.branch_i[19].set(-0.1f);
    r.ext_value[1].set(25.3f);
    return r;
}

std::string hex_of(const tzv58_419_Data_t& r) {
    return tzv58::hex_upper(reinterpret_cast<const uint8_t*>(&r), sizeof r);
}

TEST(Record, DecodesAPublishedImageInEveryForm) {
    const std::string dir = scratch_dir();
    // The host publishes a cached record as a completed round.
    spit(dir + "/cache.script", "@cache hex:" + hex_of(sample_record()) + "\n");
    const HostRun replay = run_host({"replay", "--script", dir + "/cache.script", "--events", dir + "/events"});
    ASSERT_EQ(replay.status, 0) << replay.err;
    std::string publish_line;
    for (const std::string& line : {slurp(dir + "/events")}) {
        std::istringstream lines(line);
        for (std::string l; std::getline(lines, l);)
            if (l.find("\"event\":\"publish\"") != std::string::npos) publish_line = l;
    }
    ASSERT_FALSE(publish_line.empty());
    const std::string hex = parse_json(publish_line)["record"].asString();
    const std::vector<uint8_t> image = unhex(hex);
    ASSERT_EQ(image.size(), 1257u);
    spit(dir + "/image.bin", std::string(image.begin(), image.end()));
    spit(dir + "/image.hex", hex + "\n");
    spit(dir + "/publish.json", publish_line + "\n");

    const HostRun bin = run_host({"record", dir + "/image.bin"});
    ASSERT_EQ(bin.status, 0) << bin.err;
    EXPECT_EQ(run_host({"record", dir + "/image.hex"}).out, bin.out);
    EXPECT_EQ(run_host({"record", dir + "/publish.json"}).out, bin.out);
    EXPECT_EQ(run_host({"record", "-"}, dir + "/image.bin").out, bin.out);
    EXPECT_EQ(run_host({"record", "-"}, dir + "/image.hex").out, bin.out);
    // A whole events file: every publish and history line, in order.
    const HostRun all = run_host({"record", dir + "/events"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out, bin.out + bin.out);

    const Json::Value j = parse_json(bin.out);
    EXPECT_EQ(j["data_id"], 42);
    EXPECT_EQ(j["channel_count"], 2);
    EXPECT_EQ(j["channel"][1]["a"].asFloat(), 230.5f);
    EXPECT_EQ(j["channel"][1]["f"].asFloat(), 49.9f);
    EXPECT_EQ(j["module_count"], 3);
    EXPECT_EQ(j["module"].size(), 40u);
    EXPECT_EQ(j["module"][2]["out_i"].asFloat(), 12.25f);
    EXPECT_EQ(j["module"][2]["p41_44"][6], 0x86);
    EXPECT_EQ(j["dc"][1]["out_v"].asFloat(), 53.01f);
    EXPECT_EQ(j["dc"][0]["branch_i"][19].asFloat(), -0.1f);
    EXPECT_EQ(j["ext_value"][1].asFloat(), 25.3f);
    // Stamped by the round the cache load completed, on the replay clock.
    EXPECT_EQ(j["round_time_text"], "2026-01-01 00:00:00");
    EXPECT_EQ(j["round_time"],
              "EA0701010000"
              "00");
}

TEST(Record, RefusesAFileOfAnotherSize) {
    const std::string dir = scratch_dir();
    for (size_t size : {1256u, 1258u, 0u}) {
        spit(dir + "/short.bin", std::string(size, '\x01'));
        const HostRun r = run_host({"record", dir + "/short.bin"});
        EXPECT_EQ(r.status, 2) << size;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("not a 1257-byte record image"), std::string::npos) << r.err;
    }
    const HostRun missing = run_host({"record", dir + "/nothing-here"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
}

// Standard input is read no further than a valid input can be: an image
// (raw or hex) up to 8 KiB, an event line up to 64 KiB. Bounded waits: a
// program that reads without end fails the test instead of hanging it.
TEST(Record, ReadsNoMoreThanAValidInputCanBe) {
    const std::string dir = scratch_dir();
    spit(dir + "/long-line", std::string(70000, '{'));
    const std::pair<std::string, std::string> inputs[] = {
        {"/dev/zero", "standard input holds more than 8192 bytes: not a 1257-byte record image"},
        {dir + "/long-line", "standard input:1: longer than any event line (65536 bytes)"},
    };
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.first);
        const pid_t pid = start_host({"record", "-"}, dir + "/out", dir + "/err", in.first);
        EXPECT_EQ(wait_child(pid, 10000), 2);
        const std::string err = slurp(dir + "/err");
        EXPECT_EQ(first_line(err) + "\n", err);
        EXPECT_NE(err.find(in.second), std::string::npos) << err;
        EXPECT_EQ(slurp(dir + "/out"), "");
    }
}

// The device never writes the reserved bytes, and keeps a count above what
// the record holds only when the power system reported that many: either is
// said, with status 1, beside the record printed.
TEST(Record, FlagsARecordThisDeviceDidNotWriteOrThatHoldsLessThanReported) {
    const std::string dir = scratch_dir();
    std::string noise(1257, '\0');
    uint32_t x = 12345;
    for (char& c : noise) c = char((x = x * 1103515245u + 12345u) >> 24);
    noise[1000] = '\0';  // a raw image holds zero bytes
    noise[20] = 24;      // channel_count
    spit(dir + "/noise.bin", noise);
    tzv58_419_Data_t many = sample_record();
    many.module_count = 41;
    spit(dir + "/many.hex", hex_of(many));
    // Counts whose groups the decoders skip whole: the record keeps an older
    // reply's values there.
    tzv58_419_Data_t skipped = sample_record();
    skipped.airlock_count = 9;
    skipped.dc0.p = 10;
    spit(dir + "/skipped.hex", hex_of(skipped));
    spit(dir + "/sound.hex", hex_of(sample_record()));

    const HostRun bad = run_host({"record", dir + "/noise.bin"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(first_line(bad.err) + "\n", bad.err);
    EXPECT_EQ(bad.err.find("tzv58-host: " + dir + "/noise.bin: channel_count 24 exceeds 2, "), 0u) << bad.err;
    EXPECT_NE(bad.err.find("reserved bytes hold data: not a record of this device\n"), std::string::npos) << bad.err;
    EXPECT_EQ(parse_json(bad.out)["channel_count"], 24) << "the record is still shown";

    const HostRun partial = run_host({"record", dir + "/many.hex"});
    EXPECT_EQ(partial.status, 1);
    EXPECT_EQ(partial.err, "tzv58-host: " + dir +
                               "/many.hex: module_count 41 exceeds 40: the record holds less than the power system "
                               "reported\n");

    const HostRun held = run_host({"record", dir + "/skipped.hex"});
    EXPECT_EQ(held.status, 1);
    EXPECT_EQ(held.err, "tzv58-host: " + dir +
                            "/skipped.hex: airlock_count 9 exceeds 8, dc[0].p 10 exceeds 9: the record holds less than "
                            "the power system reported\n");

    const HostRun sound = run_host({"record", dir + "/sound.hex"});
    EXPECT_EQ(sound.status, 0);
    EXPECT_EQ(sound.err, "");
}

}  // namespace
