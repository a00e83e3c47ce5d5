// Frame codec: request framing, reply parsing, and what a noisy line does.
#include <algorithm>
#include <string>
#include <vector>

#include "host/host_config.h"
#include "support.h"

using namespace tzv58;

namespace {

struct Sink : FrameSink {
    void on_frame(const uint8_t* image, size_t len) override { frames.emplace_back(image, image + len); }
    void on_drop(const char* reason, const uint8_t* data, size_t len) override {
        drops.emplace_back(reason, std::string(reinterpret_cast<const char*>(data), len));
    }
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::pair<std::string, std::string>> drops;
};

std::string request(uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& info) {
    char buf[64];
    const size_t n = build_frame(buf, sizeof buf, 0x20, 0x01, cid1, cid2, info.data(), int(info.size()));
    return std::string(buf, n);
}

void feed(FrameParser& p, Sink& s, const std::string& bytes) {
    p.feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), s);
}

const std::string kGood = "~200142009016000114B509C40100640000F93F\r";
const std::vector<uint8_t> kGoodImage = hex("20 01 42 00 16 00  00 01 14 B5 09 C4 01 00 64 00 00");

}  // namespace

TEST(Framing, RequestTestVectors) {
    EXPECT_EQ(request(0x40, 0x42, {0x01}), "~20014042E00201FD3B\r");
    EXPECT_EQ(request(0x41, 0x42, {}), "~200141420000FDB2\r");
    EXPECT_EQ(reply_frame(0x42, hex("00 01 14 B5 09 C4 01 00 64 00 00")), kGood);
}

TEST(Framing, LengthFieldCarriesLchksum) {
    EXPECT_EQ(frame_length_field(0), 0x0000);
    EXPECT_EQ(frame_length_field(1), 0xE002);
    EXPECT_EQ(frame_length_field(11), 0x9016);
    for (int n = 0; n <= MAX_INFO; ++n) {
        const unsigned v = frame_length_field(n);
        const unsigned sum = (v & 15) + ((v >> 4) & 15) + ((v >> 8) & 15) + (v >> 12);
        ASSERT_EQ(sum % 16, 0u) << n;
        ASSERT_EQ(v & 0x0FFF, unsigned(2 * n));
    }
}

TEST(Framing, BuildRefusesWhatDoesNotFit) {
    char small[10];
    EXPECT_EQ(build_frame(small, sizeof small, 0x20, 1, 0x40, 0x42, nullptr, 0), 0u);
    std::vector<char> big(MAX_WIRE_FRAME + 10);
    std::vector<uint8_t> info(MAX_INFO + 1);
    EXPECT_EQ(build_frame(big.data(), big.size(), 0x20, 1, 0x40, 0x42, info.data(), -1), 0u);
    EXPECT_EQ(build_frame(big.data(), big.size(), 0x20, 1, 0x40, 0x42, info.data(), MAX_INFO + 1), 0u);
    EXPECT_EQ(build_frame(big.data(), big.size(), 0x20, 1, 0x40, 0x42, info.data(), MAX_INFO), MAX_WIRE_FRAME);
}

TEST(Parser, DecodesReplyImage) {
    FrameParser p;
    Sink s;
    feed(p, s, kGood);
    ASSERT_EQ(s.frames.size(), 1u);
    EXPECT_EQ(s.frames[0], kGoodImage);
    EXPECT_TRUE(s.drops.empty());
}

TEST(Parser, RoundTripsEveryInfoLength) {
    FrameParser p;
    Sink s;
    std::vector<uint8_t> info;
    for (int n = 0; n < 600; n += 7) {
        info.resize(size_t(n));
        for (int i = 0; i < n; ++i) info[size_t(i)] = uint8_t(i * 37 + n);
        feed(p, s, reply_frame(0x41, info, 0, 1));
        ASSERT_EQ(s.frames.size(), 1u) << n;
        std::vector<uint8_t> want = {0x20, 0x01, 0x41, 0x00, uint8_t((2 * n) & 0xFF), uint8_t((2 * n) >> 8)};
        want.insert(want.end(), info.begin(), info.end());
        EXPECT_EQ(s.frames[0], want);
        s.frames.clear();
    }
    EXPECT_TRUE(s.drops.empty());
}

TEST(Parser, OneByteAtATime) {
    FrameParser p;
    Sink s;
    const std::string twice = kGood + kGood;
    for (char c : twice) feed(p, s, std::string(1, c));
    EXPECT_EQ(s.frames.size(), 2u);
    EXPECT_TRUE(s.drops.empty());
}

// Each case: what arrives first, the reason it is dropped for; then a good
// frame must still be accepted.
TEST(Parser, DropsBadInputAndResynchronises) {
    std::string lower = kGood;
    lower[5] = 'a';  // hex, but lower case
    std::string nonhex = kGood;
    nonhex[9] = 'G';
    std::string bad_sum = kGood;
    bad_sum[bad_sum.size() - 2] = bad_sum[bad_sum.size() - 2] == '0' ? '1' : '0';
    std::string bad_lchk = kGood;
    bad_lchk[9] = '8';  // LCHKSUM nibble of 9016
    const std::string odd = "~2001420080150001" + std::string("14B509C401006400") + "0\r";
    const std::string short_lenid = "~20014200E002FD30\r";  // LENID 2, no INFO characters

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"noise before SOI\r\n\x01\xff", "noise"},
        {kGood.substr(0, 20), "truncated"},
        {lower, "hex"},
        {nonhex, "hex"},
        {bad_sum, "checksum"},
        {bad_lchk, "lchksum"},
        {odd, "lchksum"},
        {short_lenid, "length"},
        {"~\r", "length"},
    };
    for (const auto& c : cases) {
        FrameParser p;
        Sink s;
        feed(p, s, c.first);
        feed(p, s, kGood);
        ASSERT_EQ(s.frames.size(), 1u) << c.second;
        EXPECT_EQ(s.frames[0], kGoodImage) << c.second;
        ASSERT_FALSE(s.drops.empty()) << c.second;
        EXPECT_EQ(s.drops[0].first, c.second);
    }
}

TEST(Parser, OddLengthWithValidLchksumIsALengthError) {
    // LENID 3 (odd): LCHKSUM D makes the nibbles sum to 16.
    std::string f =
        "~200142"
        "00"
        "D003"
        "001";
    char sum[5];
    std::snprintf(sum, sizeof sum, "%04X", frame_checksum(f.data() + 1, f.size() - 1));
    f += std::string(sum) + "\r";
    FrameParser p;
    Sink s;
    feed(p, s, f);
    ASSERT_EQ(s.drops.size(), 1u);
    EXPECT_EQ(s.drops[0].first, "length");
    EXPECT_TRUE(s.frames.empty());
}

TEST(Parser, GarbageOf64KiBIsDroppedBounded) {
    FrameParser p;
    Sink s;
    std::string garbage(64 * 1024, 'A');
    for (size_t i = 0; i < garbage.size(); i += 97) garbage[i] = char(i * 7);
    garbage[0] = '~';  // a frame that never ends
    feed(p, s, garbage);
    feed(p, s, kGood);
    ASSERT_EQ(s.frames.size(), 1u);
    ASSERT_FALSE(s.drops.empty());
    EXPECT_EQ(s.drops[0].first, "too_long");
    for (const auto& d : s.drops) EXPECT_LE(d.second.size(), MAX_FRAME_CHARS + 2);
}

// The longest frame the codec holds arrives in pieces of any size; with one
// character more it is dropped as too long, and the next frame still counts.
TEST(Parser, LongestFrameInAnyPiecesAndOneCharacterMore) {
    std::vector<uint8_t> info(MAX_INFO);
    for (size_t i = 0; i < info.size(); ++i) info[i] = uint8_t(i * 13 + 5);
    const std::string longest = reply_frame(0x41, info);
    ASSERT_EQ(longest.size(), MAX_WIRE_FRAME);
    std::string over = longest;
    over.insert(over.size() - 5, "0");  // before CHKSUM

    for (size_t piece : {size_t(1), size_t(3), size_t(64), MAX_FRAME_CHARS, MAX_WIRE_FRAME, MAX_WIRE_FRAME + 1}) {
        FrameParser p;
        Sink s;
        for (size_t at = 0; at < longest.size(); at += piece) feed(p, s, longest.substr(at, piece));
        ASSERT_EQ(s.frames.size(), 1u) << piece;
        ASSERT_EQ(s.frames[0].size(), IMAGE_HEADER + MAX_INFO) << piece;
        EXPECT_TRUE(std::equal(info.begin(), info.end(), s.frames[0].begin() + IMAGE_HEADER)) << piece;
        EXPECT_TRUE(s.drops.empty()) << piece;

        for (size_t at = 0; at < over.size(); at += piece) feed(p, s, over.substr(at, piece));
        feed(p, s, kGood);
        ASSERT_EQ(s.frames.size(), 2u) << piece;
        EXPECT_EQ(s.frames[1], kGoodImage) << piece;
        ASSERT_EQ(s.drops.size(), 1u) << piece;
        EXPECT_EQ(s.drops[0].first, "too_long");
        EXPECT_EQ(s.drops[0].second, over.substr(0, 1 + MAX_FRAME_CHARS)) << piece;
    }
}

TEST(Parser, NoiseIsReportedOnceAndCut) {
    FrameParser p;
    Sink s;
    feed(p, s, std::string(1000, 'x'));
    EXPECT_TRUE(s.drops.empty());  // reported when a frame starts, or on flush
    p.flush(s);
    ASSERT_EQ(s.drops.size(), 1u);
    EXPECT_EQ(s.drops[0].first, "noise");
    EXPECT_EQ(s.drops[0].second.size(), FrameParser::NOISE_KEEP);
}

TEST(Parser, SecondSoiStartsAFreshFrame) {
    FrameParser p;
    Sink s;
    feed(p, s, "~2001420090" + kGood);
    ASSERT_EQ(s.frames.size(), 1u);
    ASSERT_EQ(s.drops.size(), 1u);
    EXPECT_EQ(s.drops[0].first, "truncated");
    EXPECT_EQ(s.drops[0].second, "~2001420090");
}

TEST(Codec, HandsRepliesToTheDevice) {
    Rig<> rig;
    rig.dev->poll_step = 10;  // no poll reply awaited: taken as a control answer
    rig.reply(0x42, hex("00"));
    EXPECT_EQ(rig.dev->ctrl_result, 1);
    EXPECT_TRUE(rig.rec.errors.empty());
}

TEST(Codec, ErrorRepliesAndOtherAddressesDoNotReachTheDevice) {
    Rig<> rig;
    rig.dev->poll_step = 10;
    rig.reply(0x42, hex("00"), 0x04);  // RTN 04H
    std::string other = reply_frame(0x42, hex("00"), 0, 0x02);
    rig.dev->process(reinterpret_cast<unsigned char*>(&other[0]), unsigned(other.size()));
    EXPECT_EQ(rig.dev->ctrl_result, -1);
    ASSERT_EQ(rig.rec.errors.size(), 2u);
    EXPECT_EQ(rig.rec.errors[0].first, "rtn");
    EXPECT_EQ(rig.rec.errors[1].first, "address");
}

TEST(Codec, WriteCommandFramesTheRequest) {
    Rig<> rig;
    const unsigned char group = 1;
    EXPECT_EQ(rig.dev->write_pmbus_cmd(0x40, 0x42, &group, 1), 1);
    EXPECT_EQ(rig.dev->write_pmbus_cmd(0x41, 0x42), 1);
    ASSERT_EQ(rig.rec.sent.size(), 2u);
    EXPECT_EQ(rig.rec.sent[0].frame, "~20014042E00201FD3B");
    EXPECT_EQ(rig.rec.sent[1].frame, "~200141420000FDB2");
    EXPECT_EQ(rig.rec.sent[0].info, std::vector<uint8_t>{1});
}

TEST(HostConfig, ThresholdMapsFromEntriesWithLevelAndValue) {
    Json::Value config;
    config["thresholdSetting"]["220600120010"]["level"] = 2;
    config["thresholdSetting"]["220600120010"]["value"] = 280.5;
    config["thresholdSetting"]["no_value"]["level"] = 1;
    config["thresholdSetting"]["text_level"]["level"] = "1";
    config["thresholdSetting"]["text_level"]["value"] = 1.0;
    config["thresholdSetting"]["not_an_object"] = 7;
    ZMXVDevice d;
    fill_threshold_maps(d, config);
    EXPECT_EQ(d.threshold_levels.size(), 1u);
    EXPECT_EQ(d.threshold_levels["220600120010"], 2);
    EXPECT_FLOAT_EQ(d.threshold_values["220600120010"], 280.5f);
    fill_threshold_maps(d, Json::Value("not an object"));
}
