// DC distribution (42H) replies into the two DC units of the record.
#include "decode_support.h"
#include "telemetry/dc_layout.h"

using namespace tzv58;

namespace {

// What the analog and the alarm decoders write in a unit.
std::vector<Span> analog_block(int unit) { return {{off::dc(unit) + 4, off::dc(unit) + 139}}; }
std::vector<Span> alarm_block(int unit) { return {{off::dc(unit) + 139, off::dc(unit) + 189}}; }

// The samples above the decoders.
const auto FLOAT_UNIT = hex("00005842 0000C841 01 0000803F 00 00");
const auto FIXED_UNIT = hex("14B5 09C4 01 0064 00 00");
const auto ALARM_UNIT = hex("01 03 000100 02 0001");

// A second unit: out_v 54.0, load_i 40.0, two batteries, three branches and
// one user-defined value that is not supplied.
const auto FIXED_UNIT_2 = hex("1518 0FA0 02 0064 00C8 03 0001 0002 0003 01 2020");
const auto FLOAT_UNIT_2 =
    hex("00005842 00002042 02 0000803F 00000040 03 0000803F 00000040 00004040"
        " 01 20202020");

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<float> values(const f32le* v, int n) {
    std::vector<float> out;
    for (int i = 0; i < n; ++i) out.push_back(v[i].get());
    return out;
}

}  // namespace

TEST(DcAnalog, FixedUnitKeepsHundredths) {
    Marked m;
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse42_42, FIXED_UNIT), 9);
    const auto& u = m.dev.data.dc(0);
    EXPECT_EQ(u.out_v.get(), 53.01f);
    EXPECT_EQ(u.load_i.get(), 25.0f);
    EXPECT_EQ(u.m, 1);
    EXPECT_EQ(u.battery_i[0].get(), 1.0f);
    EXPECT_EQ(bits(u.battery_i[1]), 0xC5C5C5C5u);
    EXPECT_EQ(u.n, 0);
    EXPECT_EQ(u.p, 0);
    EXPECT_TRUE(only_changed(before, m.image(), analog_block(0)));
    EXPECT_EQ(m.out, "parse42_41 53.009998 25.000000\n");
}

TEST(DcAnalog, LoadCurrentIsAdjustedInFloatModeOnly) {
    Marked m;
    m.dev.dc_i_adjust = 2;
    EXPECT_EQ(m.run(&Power::parse42_41, FLOAT_UNIT), 15);
    EXPECT_EQ(m.dev.data.dc(0).out_v.get(), 54.0f);
    EXPECT_EQ(m.dev.data.dc(0).load_i.get(), 50.0f);
    EXPECT_EQ(m.dev.data.dc(0).battery_i[0].get(), 1.0f);
    EXPECT_EQ(m.out, "parse42_41 54.000000 50.000000\n");

    EXPECT_EQ(m.run(&Power::parse42_42, FIXED_UNIT), 9);
    EXPECT_EQ(m.dev.data.dc(0).load_i.get(), 25.0f);
}

TEST(DcAnalog, GroupsAboveCapacityAreSkippedWhole) {
    Marked m;
    // m = 3 batteries (capacity 2), then n = 21 branches (capacity 20).
    std::vector<uint8_t> reply = hex("1388 0064 03 0001 0002 0003 15");
    for (int i = 0; i < 21; ++i) reply.insert(reply.end(), {0x00, 0x05});
    reply = reply + hex("02 0001 0002");
    EXPECT_EQ(m.run(&Power::parse42_42, reply), int(reply.size()));
    const auto& u = m.dev.data.dc(0);
    EXPECT_EQ(u.m, 3);
    EXPECT_EQ(bits(u.battery_i[0]), 0xC5C5C5C5u);
    EXPECT_EQ(u.n, 21);
    EXPECT_EQ(bits(u.branch_i[0]), 0xC5C5C5C5u);
    EXPECT_EQ(u.p, 2);
    EXPECT_EQ(values(u.p42_41, 2), (std::vector<float>{1.0f, 2.0f}));  // read from the right place
}

TEST(DcAnalog, FullGroupsFillTheirArrays) {
    std::vector<uint8_t> reply = hex("1388 0064 02 0064 00C8 14");
    for (int i = 0; i < 20; ++i) reply.insert(reply.end(), {0x00, uint8_t(i)});
    reply = reply + hex("09 0001 0002 0003 0004 0005 0006 0007 0008 0009");
    Marked m;
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse42_42, reply), int(reply.size()));
    const auto& u = m.dev.data.dc(0);
    EXPECT_EQ(u.branch_i[19].get(), 0.19f);
    EXPECT_EQ(u.p42_41[8].get(), 9.0f);
    EXPECT_TRUE(only_changed(before, m.image(), analog_block(0)));
}

TEST(DcAnalog, UserValuesAreUnscaledOrNotProvided) {
    Marked m;
    EXPECT_EQ(m.run(&Power::parse42_42, hex("1388 0064 00 00 03 2020 012C 0000")), 13);
    const auto& u = m.dev.data.dc(0);
    EXPECT_EQ(bits(u.p42_41[0]), NOT_PROVIDED_BITS);
    EXPECT_EQ(u.p42_41[1].get(), 300.0f);
    EXPECT_EQ(bits(u.p42_41[2]), 0u);

    EXPECT_EQ(m.run(&Power::parse42_41, hex("00005842 0000C841 00 00 02 FFFFFFFF 00004842")), 19);
    EXPECT_EQ(bits(u.p42_41[0]), NOT_PROVIDED_BITS);
    EXPECT_EQ(u.p42_41[1].get(), 50.0f);
}

TEST(DcAnalog, TooManyUserValuesTakeTheRestOfTheReply) {
    Marked m;
    const auto reply = hex("1388 0064 00 00 0A 01 FF FF");
    EXPECT_EQ(m.run(&Power::parse42_42, reply), 10);
    EXPECT_EQ(m.run(&Power::parse42_42, std::vector<uint8_t>(reply.begin(), reply.begin() + 7)), 7);
    EXPECT_EQ(m.dev.data.dc(0).p, 10);
    EXPECT_EQ(bits(m.dev.data.dc(0).p42_41[0]), 0xC5C5C5C5u);
}

TEST(DcAnalog, TwoUnitsFillTheirOwnUnitInEitherEncoding) {
    struct Case {
        const char* name;
        Decoder unit1, unit2;
        std::vector<uint8_t> first, second;
    };
    for (const Case& c : {Case{"fixed", &Power::parse42_42, &Power::parse42_42_2, FIXED_UNIT, FIXED_UNIT_2},
                          Case{"float", &Power::parse42_41, &Power::parse42_41_2, FLOAT_UNIT, FLOAT_UNIT_2}}) {
        SCOPED_TRACE(c.name);
        const auto reply = c.first + c.second;
        Marked m;
        const auto before = m.image();
        // As the poll cycle does: unit 2 starts where unit 1 ended.
        const int r = (m.dev.*c.unit1)(reply.data(), int(reply.size()));
        ASSERT_EQ(r, int(c.first.size()));
        EXPECT_EQ((m.dev.*c.unit2)(reply.data() + r, int(reply.size()) - r), int(c.second.size()));
        const auto& u1 = m.dev.data.dc(0);
        const auto& u2 = m.dev.data.dc(1);
        EXPECT_NEAR(u1.out_v.get(), c.unit1 == &Power::parse42_42 ? 53.01f : 54.0f, 1e-6);
        EXPECT_EQ(u1.load_i.get(), 25.0f);
        EXPECT_EQ(u1.m, 1);
        EXPECT_EQ(u1.n, 0);
        EXPECT_EQ(u2.out_v.get(), 54.0f);
        EXPECT_EQ(u2.load_i.get(), 40.0f);
        EXPECT_EQ(values(u2.battery_i, 2), (std::vector<float>{1.0f, 2.0f}));
        EXPECT_EQ(u2.n, 3);
        EXPECT_NEAR(u2.branch_i[2].get(), c.unit1 == &Power::parse42_42 ? 0.03f : 3.0f, 1e-6);
        EXPECT_EQ(bits(u2.p42_41[0]), NOT_PROVIDED_BITS);
        std::vector<Span> both = analog_block(0);
        both.push_back(analog_block(1)[0]);
        EXPECT_TRUE(only_changed(before, m.image(), both));
    }
}

TEST(DcAlarms, StoresVoltageFuseAndUserBytes) {
    Marked m;
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse42_44, ALARM_UNIT), 8);
    const auto& u = m.dev.data.dc(0);
    EXPECT_EQ(u.v_alarm, 1);
    EXPECT_EQ(u.alert_m_count, 3);
    EXPECT_EQ(std::vector<uint8_t>(u.alert_m, u.alert_m + 4), hex("00 01 00 C5"));
    EXPECT_EQ(u.alert_p_count, 2);
    EXPECT_EQ(std::vector<uint8_t>(u.alert_p, u.alert_p + 3), hex("00 01 C5"));
    EXPECT_TRUE(only_changed(before, m.image(), alarm_block(0)));
    EXPECT_EQ(m.out, "");
}

TEST(DcAlarms, CountsAboveCapacityKeepTheFirstBytes) {
    std::vector<uint8_t> reply = {0x00, 50};
    for (int i = 0; i < 50; ++i) reply.push_back(uint8_t(i + 1));
    reply = reply + hex("07 01 02 03 04 05 06 07");
    Marked m;
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse42_44, reply), 3 + 50 + 7);
    const auto& u = m.dev.data.dc(0);
    EXPECT_EQ(u.alert_m_count, 50);
    EXPECT_EQ(u.alert_m[0], 1);
    EXPECT_EQ(u.alert_m[41], 42);
    EXPECT_EQ(u.alert_p_count, 7);
    EXPECT_EQ(std::vector<uint8_t>(u.alert_p, u.alert_p + 5), hex("01 02 03 04 05"));
    EXPECT_TRUE(only_changed(before, m.image(), alarm_block(0)));
}

TEST(DcAlarms, TwoUnitsFillTheirOwnUnit) {
    const auto reply = ALARM_UNIT + hex("02 01 07 00");
    Marked m;
    const int r = m.run(&Power::parse42_44, reply);
    ASSERT_EQ(r, 8);
    const std::vector<uint8_t> rest(reply.begin() + r, reply.end());
    EXPECT_EQ(m.run(&Power::parse42_44_2, rest), 4);
    EXPECT_EQ(m.dev.data.dc(0).v_alarm, 1);
    EXPECT_EQ(m.dev.data.dc(0).alert_m[0], 0);
    EXPECT_EQ(m.dev.data.dc(1).v_alarm, 2);
    EXPECT_EQ(m.dev.data.dc(1).alert_m_count, 1);
    EXPECT_EQ(m.dev.data.dc(1).alert_m[0], 7);
    EXPECT_EQ(m.dev.data.dc(1).alert_p_count, 0);
}

// The layout rule the device and the host program share: a voltage inside
// (40 V, 60 V) straight after DATAFLAG means no count byte, in either encoding.
TEST(DcLayout, AVoltageAfterDataflagMeansNoCountByte) {
    struct Case {
        std::vector<uint8_t> info;
        bool floats;
        int32_t no_dc_number;
    };
    const Case cases[] = {
        {hex("00 00005842 0000C841"), true, 1},          // 54.0 V
        {hex("00 00002042"), true, 2},                   // 40.0 V: not inside
        {hex("00 00007042"), true, 2},                   // 60.0 V: not inside
        {hex("00 01 00005842"), true, 2},                // a count byte first
        {hex("00 14B5 09C4"), false, 1},                 // 53.01 V
        {hex("00 0FA1"), false, 1},                      // 40.01 V
        {hex("00 1770"), false, 2},                      // 60.00 V
        {hex("00 01 14B5"), false, 2},                   // 2.76 V
        {hex("00 000058"), true, NO_DC_NUMBER_UNKNOWN},  // too short to hold a voltage
        {hex("00 14"), false, NO_DC_NUMBER_UNKNOWN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(no_dc_number_shown(c.info.data(), int(c.info.size()), c.floats), c.no_dc_number)
            << testing::PrintToString(c.info);
}

TEST(DcTruncation, EveryCutStaysWithinTheReplyAndTheBlock) {
    std::vector<uint8_t> skipped = hex("1388 0064 03 0001 0002 0003 15");
    for (int i = 0; i < 21; ++i) skipped.insert(skipped.end(), {0x00, 0x05});
    skipped = skipped + hex("02 0001 0002");
    std::vector<uint8_t> fuses = {0x00, 44};
    fuses.resize(2 + 44, 0x11);
    fuses = fuses + hex("06 010203040506");
    for (int unit : {0, 1}) {
        SCOPED_TRACE("unit " + std::to_string(unit + 1));
        const Decoder fixed = unit ? &Power::parse42_42_2 : &Power::parse42_42;
        const Decoder floats = unit ? &Power::parse42_41_2 : &Power::parse42_41;
        const Decoder alarms = unit ? &Power::parse42_44_2 : &Power::parse42_44;
        expect_truncation_safe(fixed, FIXED_UNIT_2, analog_block(unit));
        expect_truncation_safe(fixed, skipped, analog_block(unit));
        expect_truncation_safe(fixed, hex("1388 0064 00 00 0A 01"), analog_block(unit));
        expect_truncation_safe(floats, FLOAT_UNIT_2, analog_block(unit));
        expect_truncation_safe(alarms, ALARM_UNIT, alarm_block(unit));
        expect_truncation_safe(alarms, fuses, alarm_block(unit));
    }
}
