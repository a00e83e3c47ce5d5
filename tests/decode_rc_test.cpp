// Rectifier (41H) replies into the rectifier block of the record.
#include "decode_support.h"

using namespace tzv58;

namespace {

// The fields an analog reply writes: rc_out_v, module_count and out_i,
// p41_41_count of the first n modules.
std::vector<Span> analog_block(int n) {
    std::vector<Span> spans = {{85, 90}};
    for (int i = 0; i < n; ++i) spans.push_back({off::module(i), off::module(i) + 5});
    return spans;
}

const auto FLOAT_TWO_MODULES = hex("11 00006042 02 00002041 00 0000A041 00");
const auto FIXED_ONE_MODULE = hex("00 1538 01 03E8 00");
const auto STATES = hex("10 02 000100 01 05 010000 01 06");
const auto FAULTS = hex("01 02 00 07 01020304050607 01 06 AAAAAAAAAAAA");

// n fixed-point module groups, out_i = i + 1 (in hundredths: 100·(i+1)).
std::vector<uint8_t> fixed_modules(int n) {
    std::vector<uint8_t> r = {0x00, 0x15, 0x38, uint8_t(n)};
    for (int i = 0; i < n; ++i) {
        const int v = 100 * (i + 1);
        r.insert(r.end(), {uint8_t(v >> 8), uint8_t(v), 0x00});
    }
    return r;
}

}  // namespace

TEST(RcAnalog, FixedReplyTruncatesToWholeUnits) {
    Marked m;
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse41_42, FIXED_ONE_MODULE), 7);
    const auto& d = m.dev.data;
    EXPECT_EQ(d.rc_out_v.get(), 54.0f);  // 5432
    EXPECT_EQ(d.module_count, 1);
    EXPECT_EQ(d.module[0].out_i.get(), 10.0f);
    EXPECT_EQ(d.module[0].p41_41_count, 0);
    EXPECT_TRUE(only_changed(before, m.image(), analog_block(1)));
    EXPECT_EQ(m.out, "");
}

TEST(RcAnalog, FloatReplyCopiesValuesAndLogsTheCount) {
    Marked m;
    EXPECT_EQ(m.run(&Power::parse41_41, FLOAT_TWO_MODULES), 16);
    const auto& d = m.dev.data;
    EXPECT_EQ(d.rc_out_v.get(), 56.0f);
    EXPECT_EQ(d.module_count, 2);
    EXPECT_EQ(d.module[0].out_i.get(), 10.0f);
    EXPECT_EQ(d.module[1].out_i.get(), 20.0f);
    EXPECT_EQ(m.out, "parse 41_41 channel is 2\n");
}

TEST(RcAnalog, FloatValuesAreNotTestedForTheMark) {
    Marked m;
    EXPECT_EQ(m.run(&Power::parse41_41, hex("00 20202020 01 FFFFFFFF 00")), 11);
    EXPECT_EQ(bits(m.dev.data.rc_out_v), 0x20202020u);
    EXPECT_EQ(bits(m.dev.data.module[0].out_i), 0xFFFFFFFFu);
}

TEST(RcAnalog, UserValuesAreSkippedAndCounted) {
    Marked m;
    EXPECT_EQ(m.run(&Power::parse41_42, hex("00 1538 02 03E8 02 1111 2222 07D0 00")), 14);
    EXPECT_EQ(m.dev.data.module[0].p41_41_count, 2);
    EXPECT_EQ(m.dev.data.module[1].out_i.get(), 20.0f);
}

TEST(RcAnalog, ModulesBeyondTheRecordAreReadButNotStored) {
    const auto reply = fixed_modules(41);
    Marked m;
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse41_42, reply), int(reply.size()));
    EXPECT_EQ(m.dev.data.module_count, 41);
    EXPECT_EQ(m.dev.data.module[39].out_i.get(), 40.0f);
    EXPECT_TRUE(only_changed(before, m.image(), analog_block(40)));
}

// With room for user-defined analogs: equal bytes, zeros included, store 0.0;
// fixed point is stored unscaled.
TEST(RcAnalog, UserValuesStoredWhereTheRecordHasRoom) {
    struct Case {
        const char* user;
        uint32_t bits;
    };
    Wide dev;
    capture_diag();
    for (const Case& c : {Case{"0000", 0}, Case{"2020", 0}, Case{"012C", float_to_bits(300.0f)}}) {
        const auto reply = hex(std::string("00 1538 01 03E8 01 ") + c.user);
        EXPECT_EQ(dev.parse41_42(reply.data(), int(reply.size())), 9) << c.user;
        EXPECT_EQ(bits(dev.data.module[0].p41_41[0]), c.bits) << c.user;
    }
    for (const Case& c : {Case{"00000000", 0}, Case{"20202020", 0}, Case{"0000C841", float_to_bits(25.0f)}}) {
        const auto reply = hex(std::string("00 00006042 01 00002041 01 ") + c.user);
        EXPECT_EQ(dev.parse41_41(reply.data(), int(reply.size())), 15) << c.user;
        EXPECT_EQ(bits(dev.data.module[0].p41_41[0]), c.bits) << c.user;
    }
    captured_diag();
}

TEST(RcStates, ReadsTheStoredModuleCountNotTheReplys) {
    Marked m;
    m.dev.data.module_count = 2;
    auto reply = STATES;
    reply[1] = 3;
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse41_43, reply), 12);
    const auto& md = m.dev.data.module;
    EXPECT_EQ(std::vector<uint8_t>(md[0].state, md[0].state + 3), hex("00 01 00"));
    EXPECT_EQ(md[0].p41_43_count, 1);
    EXPECT_EQ(md[0].p41_43[0], 5);
    EXPECT_EQ(md[1].state[0], 1);
    EXPECT_EQ(md[1].p41_43[0], 6);
    EXPECT_TRUE(only_changed(before, m.image(),
                             {{off::module(0) + 5, off::module(0) + 10}, {off::module(1) + 5, off::module(1) + 10}}));
}

TEST(RcStates, OtherUserCountsAreSkippedAndKeepTheOldByte) {
    Marked m;
    m.dev.data.module_count = 2;
    EXPECT_EQ(m.run(&Power::parse41_43, hex("00 02 010101 00 020202 02 AABB")), 2 + 4 + 6);
    EXPECT_EQ(m.dev.data.module[0].p41_43_count, 0);
    EXPECT_EQ(m.dev.data.module[0].p41_43[0], CANARY);
    EXPECT_EQ(m.dev.data.module[1].p41_43_count, 2);
    EXPECT_EQ(m.dev.data.module[1].p41_43[0], CANARY);
}

TEST(RcStates, BeforeAnyAnalogReplyOnlyTheHeaderIsConsumed) {
    tzv58_419 dev;  // module_count 0 from construction
    const auto before = std::vector<uint8_t>(dev.record_bytes(), dev.record_bytes() + sizeof dev.data);
    EXPECT_EQ(dev.parse41_43(STATES.data(), int(STATES.size())), 2);
    EXPECT_EQ(dev.parse41_44(FAULTS.data(), int(FAULTS.size())), 2);
    EXPECT_EQ(before, std::vector<uint8_t>(dev.record_bytes(), dev.record_bytes() + sizeof dev.data));
}

TEST(RcFaults, SevenUserBytesAreKeptOtherCountsSkipped) {
    Marked m;
    m.dev.data.module_count = 2;
    EXPECT_EQ(m.run(&Power::parse41_44, FAULTS), 19);
    const auto& md = m.dev.data.module;
    EXPECT_EQ(md[0].fault, 0);
    EXPECT_EQ(md[0].p41_44_count, 7);
    EXPECT_EQ(std::vector<uint8_t>(md[0].p41_44, md[0].p41_44 + 7), hex("01020304050607"));
    EXPECT_EQ(md[1].fault, 1);
    EXPECT_EQ(md[1].p41_44_count, 6);
    EXPECT_EQ(md[1].p41_44[0], CANARY);
}

// A reply with more modules than the record holds: the status and alarm
// replies are read for the 40 modules the record has.
TEST(RcFaults, StatusAndAlarmsStopAtTheRecordsModules) {
    Marked m;
    m.run(&Power::parse41_42, fixed_modules(41));
    ASSERT_EQ(m.dev.data.module_count, 41);
    std::vector<uint8_t> states = {0x00, 41};
    std::vector<uint8_t> faults = {0x00, 41};
    for (int i = 0; i < 41; ++i) {
        states.insert(states.end(), {uint8_t(i), 0, 0, 1, uint8_t(i)});
        faults.insert(faults.end(), {uint8_t(i), 0});
    }
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse41_43, states), 2 + 40 * 5);
    EXPECT_EQ(m.run(&Power::parse41_44, faults), 2 + 40 * 2);
    EXPECT_EQ(m.dev.data.module[39].state[0], 39);
    EXPECT_EQ(m.dev.data.module[39].fault, 39);
    EXPECT_TRUE(only_changed(before, m.image(), {{off::module(0), off::module(40)}}));
}

TEST(RcTruncation, EveryCutStaysWithinTheReplyAndTheBlock) {
    expect_truncation_safe(&Power::parse41_41, FLOAT_TWO_MODULES, analog_block(2));
    expect_truncation_safe(&Power::parse41_42, hex("00 1538 02 03E8 02 1111 2222 07D0 00"), analog_block(2));
    expect_truncation_safe(&Power::parse41_42, fixed_modules(41), analog_block(40));
    const std::vector<Span> states = {{off::module(0) + 5, off::module(0) + 10},
                                      {off::module(1) + 5, off::module(1) + 10}};
    const std::vector<Span> faults = {{off::module(0) + 10, off::module(1)}, {off::module(1) + 10, off::module(2)}};
    auto two = [](tzv58_419& d) { d.data.module_count = 2; };
    expect_truncation_safe(&Power::parse41_43, STATES, states, two);
    expect_truncation_safe(&Power::parse41_44, FAULTS, faults, two);
    // A marked record reads as module_count 197: at most the record's 40 modules.
    expect_truncation_safe(&Power::parse41_44, hex("00 03 00 00 01 00 02 02 AABB"),
                           {{off::module(0), off::module(40)}});
}
