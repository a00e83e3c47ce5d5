// AC distribution (40H) replies into the AC block of the record.
#include "decode_support.h"
#include "telemetry/wire_value.h"

using namespace tzv58;

namespace {

const std::vector<Span> AC_ANALOG = {
    {8, 21}, {off::channel(0), off::channel(0) + 17}, {off::channel(1), off::channel(1) + 17}};

// The samples above the decoders.
const auto FLOAT_ONE_CHANNEL =
    hex("01"
        "00005C43 00005C43 FFFFFFFF 00004842 00"
        "00005C43 20202020 00000000");
const auto FIXED_SKIPPED_USERS =
    hex("01"
        "5622 5657 2020 1387 02 0001 0002"
        "5622 2020 0000");
const auto SWITCHES = hex("03 01 00 01 00");
const auto ALARMS =
    hex("02"
        "00 00 01 00  00  00"
        "01 02 00 00  01 EE  00"
        "00 01 00");

}  // namespace

TEST(FixedPoint, AcAndRectifierValuesTruncateToWholeUnits) {
    EXPECT_EQ(whole_hundredths(22050), 220.0f);
    EXPECT_EQ(whole_hundredths(4999), 49.0f);
    EXPECT_EQ(whole_hundredths(5432), 54.0f);
    EXPECT_EQ(whole_hundredths(0xFFFF), 655.0f);
}

TEST(FixedPoint, DcValuesKeepHundredths) {
    EXPECT_EQ(hundredths(5301), 53.01f);
    EXPECT_EQ(hundredths(2500), 25.0f);
    EXPECT_EQ(hundredths(0xFFFF), 655.35f);
}

TEST(FixedPoint, NotSuppliedIsARunOfEqualNonZeroBytes) {
    EXPECT_TRUE(marked_not_supplied(hex("20 20").data(), 2));
    EXPECT_TRUE(marked_not_supplied(hex("FF FF FF FF").data(), 4));
    EXPECT_FALSE(marked_not_supplied(hex("00 00").data(), 2));
    EXPECT_FALSE(marked_not_supplied(hex("00 00 00 00").data(), 4));
    EXPECT_FALSE(marked_not_supplied(hex("20 20 20 21").data(), 4));
    EXPECT_FALSE(marked_not_supplied(hex("56 22").data(), 2));
}

TEST(FixedPoint, VendorValuesKeepTenths) {
    EXPECT_EQ(tenths(500), 50.0f);
    EXPECT_EQ(tenths(1234), 123.4f);
    EXPECT_EQ(tenths(0xFFFF), 6553.5f);
}

// What an operator sees: a real 231.30 V phase (5A5AH) cannot be told from
// "not supplied" and reads 0.0, while 222.22 V reads 222.
TEST(AcAnalog, AnEqualBytePhaseReadsAsNotSupplied) {
    Marked m;
    EXPECT_EQ(m.run(&Power::parse40_42, hex("01 5A5A 56CE 5622 1387 00 5622 5622 5622")), 16);
    EXPECT_EQ(m.dev.data.channel[0].a.get(), 0.0f);
    EXPECT_EQ(m.dev.data.channel[0].b.get(), 222.0f);
}

TEST(AcAnalog, FloatReplyStoresChannelAndTailAndLogs) {
    Marked m;
    const auto before = m.image();
    ASSERT_EQ(FLOAT_ONE_CHANNEL.size(), 30u);
    EXPECT_EQ(m.run(&Power::parse40_41, FLOAT_ONE_CHANNEL), 30);
    const auto& d = m.dev.data;
    EXPECT_EQ(d.channel_count, 1);
    EXPECT_EQ(d.channel[0].a.get(), 220.0f);
    EXPECT_EQ(d.channel[0].b.get(), 220.0f);
    EXPECT_EQ(bits(d.channel[0].c), 0u);  // FF FF FF FF: not supplied, 0.0 in a channel
    EXPECT_EQ(d.channel[0].f.get(), 50.0f);
    EXPECT_EQ(d.channel[0].p40_41_count, 0);
    EXPECT_EQ(d.ac_tail[0].get(), 220.0f);
    EXPECT_EQ(bits(d.ac_tail[1]), NOT_PROVIDED_BITS);  // not supplied in the tail
    EXPECT_EQ(bits(d.ac_tail[2]), 0u);                 // an ordinary zero
    EXPECT_TRUE(only_changed(before, m.image(), {{8, 21}, {off::channel(0), off::channel(0) + 17}}));
    EXPECT_EQ(m.out, std::string("parse40_41 channel_count is \x01\n"
                                 "a 0 0 5c 43\n"
                                 "parse40_41 acChannel.a is 220\n"));
}

TEST(AcAnalog, FloatReplyOneByteShortFailsAfterStoringTheChannel) {
    Marked m;
    const std::vector<uint8_t> short_reply(FLOAT_ONE_CHANNEL.begin(), FLOAT_ONE_CHANNEL.end() - 1);
    EXPECT_EQ(m.run(&Power::parse40_41, short_reply), -1);
    EXPECT_EQ(m.dev.data.channel_count, 1);
    EXPECT_EQ(m.dev.data.channel[0].f.get(), 50.0f);
    EXPECT_EQ(bits(m.dev.data.ac_tail[2]), 0xC5C5C5C5u);
}

TEST(AcAnalog, FixedReplyTruncatesAndSkipsUserValues) {
    Marked m;
    EXPECT_EQ(m.run(&Power::parse40_42, FIXED_SKIPPED_USERS), 20);
    const auto& d = m.dev.data;
    EXPECT_EQ(d.channel[0].a.get(), 220.0f);  // 22050, not 220.5
    EXPECT_EQ(d.channel[0].b.get(), 221.0f);
    EXPECT_EQ(bits(d.channel[0].c), 0u);  // 20 20 in a phase: 0.0
    EXPECT_EQ(d.channel[0].f.get(), 49.0f);
    EXPECT_EQ(d.channel[0].p40_41_count, 2);
    EXPECT_EQ(d.ac_tail[0].get(), 220.0f);  // read after the 4 skipped bytes
    EXPECT_EQ(bits(d.ac_tail[1]), NOT_PROVIDED_BITS);
    EXPECT_EQ(bits(d.ac_tail[2]), 0u);
    EXPECT_EQ(m.out, std::string("acChannel.p40_41_count \x02\n"));
}

TEST(AcAnalog, ChannelsBeyondTheRecordAreReadButNotStored) {
    const auto three =
        hex("03"
            "00005C43 00005C43 00005C43 00004842 00"
            "00805C43 00805C43 00805C43 00004842 00"
            "00006043 00006043 00006043 00004842 01 01020304"
            "0000C841 0000A041 00002041");
    Marked m;
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse40_41, three), int(three.size()));
    const auto& d = m.dev.data;
    EXPECT_EQ(d.channel_count, 3);
    EXPECT_EQ(d.channel[0].a.get(), 220.0f);
    EXPECT_EQ(d.channel[1].a.get(), 220.5f);
    EXPECT_EQ(d.ac_tail[0].get(), 25.0f);
    EXPECT_EQ(d.ac_tail[1].get(), 20.0f);
    EXPECT_EQ(d.ac_tail[2].get(), 10.0f);
    EXPECT_TRUE(only_changed(before, m.image(), AC_ANALOG));
    // The extra channel logs as the others do.
    EXPECT_EQ(m.out, std::string("parse40_41 channel_count is \x03\n"
                                 "a 0 0 5c 43\nparse40_41 acChannel.a is 220\n"
                                 "a 0 80 5c 43\nparse40_41 acChannel.a is 220.5\n"
                                 "a 0 0 60 43\nparse40_41 acChannel.a is 224\n"
                                 "acChannel.p40_41_count \x01\n"));
}

TEST(AcAnalog, NoChannelsStillReadsTheTail) {
    Marked m;
    EXPECT_EQ(m.run(&Power::parse40_42, hex("00 1388 1389 0000")), 7);
    EXPECT_EQ(m.dev.data.channel_count, 0);
    EXPECT_EQ(m.dev.data.ac_tail[1].get(), 50.0f);
    EXPECT_EQ(m.dev.data.channel[0].p40_41_count, CANARY);
}

TEST(AcSwitches, StoresStatesAndCounts) {
    Marked m;
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse40_43, SWITCHES), 5);
    const auto& d = m.dev.data;
    EXPECT_EQ(d.airlock_count, 3);
    EXPECT_EQ(std::vector<uint8_t>(d.airlock, d.airlock + 4), hex("01 00 01 C5"));
    EXPECT_EQ(d.p40_43_count, 0);
    EXPECT_TRUE(only_changed(before, m.image(), {{21, 31}}));
    EXPECT_EQ(m.out, "");

    EXPECT_EQ(m.run(&Power::parse40_43, hex("08 0102030405060708 00")), 10);
    EXPECT_EQ(d.airlock[7], 8);
}

TEST(AcSwitches, MoreThanEightStatesIsRefusedBeforeTouchingThem) {
    Marked m;
    EXPECT_EQ(m.run(&Power::parse40_43, hex("09 010203040506070809 00")), -1);
    EXPECT_EQ(m.dev.data.airlock_count, 9);
    EXPECT_EQ(m.dev.data.airlock[0], CANARY);
    EXPECT_EQ(m.dev.data.p40_43_count, CANARY);
}

// User-defined states (capacity 0 here) are skipped, but the result never
// claims bytes the reply does not have.
TEST(AcSwitches, SkippedUserStatesStayWithinTheReply) {
    Marked m;
    EXPECT_EQ(m.run(&Power::parse40_43, hex("01 01 02 AA BB")), 5);
    EXPECT_EQ(m.dev.data.p40_43_count, 2);
    EXPECT_EQ(m.run(&Power::parse40_43, hex("01 01 02 AA")), -1);
    EXPECT_EQ(m.run(&Power::parse40_43, hex("01 01 FF")), -1);
}

TEST(AcAlarms, ReadsTwoChannelGroupsAndTheTail) {
    Marked m;
    const auto before = m.image();
    EXPECT_EQ(m.run(&Power::parse40_44, ALARMS), 17);
    const auto& d = m.dev.data;
    const auto& c0 = d.channel[0];
    const auto& c1 = d.channel[1];
    EXPECT_EQ((std::vector<int>{c0.a_alarm, c0.b_alarm, c0.c_alarm, c0.f_alarm, c0.p40_44_count}),
              (std::vector<int>{0, 0, 1, 0, 0}));
    EXPECT_EQ((std::vector<int>{c1.a_alarm, c1.b_alarm, c1.c_alarm, c1.f_alarm, c1.p40_44_count}),
              (std::vector<int>{1, 2, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(d.ac_tail_alarm, d.ac_tail_alarm + 3), hex("00 01 00"));
    EXPECT_TRUE(only_changed(before, m.image(),
                             {{31, 34}, {off::channel(0) + 17, off::channel(1)}, {off::channel(1) + 17, 85}}));
    EXPECT_EQ(m.out, "channel is 2\n");
}

TEST(AcAlarms, CountByteDoesNotChangeTheLayout) {
    auto one = ALARMS;
    one[0] = 1;
    Marked m;
    EXPECT_EQ(m.run(&Power::parse40_44, one), 17);
    EXPECT_EQ(m.dev.data.channel[1].b_alarm, 2);
    EXPECT_EQ(m.out, "channel is 1\n");
}

TEST(AcAlarms, UserAlarmBytesAreSkipped) {
    Marked m;
    EXPECT_EQ(m.run(&Power::parse40_44, hex("02 01010101 00 02 AAAA 02020202 00 00 030303")), 18);
    EXPECT_EQ(m.dev.data.channel[0].p40_44_count, 2);
    EXPECT_EQ(m.dev.data.channel[1].a_alarm, 2);
    EXPECT_EQ(m.dev.data.ac_tail_alarm[2], 3);
}

// With room for user-defined values they are stored, not supplied marked
// NOT_PROVIDED like the tail.
TEST(AcUserValues, StoredWhereTheRecordHasRoom) {
    Wide dev;
    capture_diag();
    const auto fixed = hex("01 5622 5622 5622 1388 01 2020 0000 0000 0000");
    EXPECT_EQ(dev.parse40_42(fixed.data(), int(fixed.size())), int(fixed.size()));
    EXPECT_EQ(bits(dev.data.channel[0].p40_41[0]), NOT_PROVIDED_BITS);
    const auto scaled = hex("01 5622 5622 5622 1388 01 5622 0000 0000 0000");
    EXPECT_EQ(dev.parse40_42(scaled.data(), int(scaled.size())), int(scaled.size()));
    EXPECT_EQ(dev.data.channel[0].p40_41[0].get(), 220.0f);
    const auto switches = hex("01 01 02 AA BB");
    EXPECT_EQ(dev.parse40_43(switches.data(), int(switches.size())), 5);
    EXPECT_EQ(std::vector<uint8_t>(dev.data.p40_43, dev.data.p40_43 + 2), hex("AA BB"));
    const auto alarms = hex("02 01010101 00 02 AABB 02020202 00 02 CCDD 030303");
    EXPECT_EQ(dev.parse40_44(alarms.data(), int(alarms.size())), int(alarms.size()));
    EXPECT_EQ(std::vector<uint8_t>(dev.data.channel[1].p40_44, dev.data.channel[1].p40_44 + 2), hex("CC DD"));
    // The skipped-count line is for skipped values only.
    EXPECT_EQ(captured_diag(), "channel is 2\n");
}

TEST(AcTruncation, EveryCutStaysWithinTheReplyAndTheBlock) {
    const auto& analog = AC_ANALOG;
    expect_truncation_safe(&Power::parse40_41, FLOAT_ONE_CHANNEL, analog);
    expect_truncation_safe(&Power::parse40_42, FIXED_SKIPPED_USERS, analog);
    expect_truncation_safe(&Power::parse40_42,
                           hex("03 1111 2222 3333 4444 00 5555 6666 7777 8888 01 1234 9999 AAAA BBBB CCCC 00"
                               " 0102 0304 0506"),
                           analog);
    expect_truncation_safe(&Power::parse40_43, hex("08 0102030405060708 02 AABB"), {{21, 31}});
    expect_truncation_safe(&Power::parse40_44, hex("02 01010101 03 AABBCC 02 DDEE 02020202 00 00 030303"),
                           {{31, 34}, {off::channel(0) + 17, off::channel(1)}, {off::channel(1) + 17, 85}});
}
