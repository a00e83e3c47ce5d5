// Record image and byte helpers: little-endian on any host, no alignment.
#include <cstring>

#include "support.h"

using namespace tzv58;

TEST(Bytes, LittleEndianFloatsAtOddOffsets) {
    uint8_t buf[9] = {};
    store_f32le(buf + 1, 220.0f);
    EXPECT_EQ(hex("00 00 00 5C 43 00 00 00 00"), std::vector<uint8_t>(buf, buf + 9));
    EXPECT_EQ(load_f32le(buf + 1), 220.0f);
    store_f32le(buf + 5, NOT_PROVIDED);
    EXPECT_EQ(load_le32(buf + 5), 0xBDCCCCCDu);
}

TEST(Bytes, BigEndianWireIntegersAreUnsigned) {
    const auto b = hex("FF FE 56 22");
    EXPECT_EQ(load_be16(b.data()), 0xFFFE);
    EXPECT_EQ(load_be16(b.data() + 2), 22050);
}

TEST(Bytes, ReaderNeverPassesItsLength) {
    const auto b = hex("01 02 03");
    byte_reader r(b.data(), 3);
    uint16_t w = 0;
    uint8_t v = 0;
    const uint8_t* p = nullptr;
    EXPECT_TRUE(r.be16(w));
    EXPECT_EQ(w, 0x0102);
    EXPECT_FALSE(r.be16(w));  // one byte left: nothing read, no advance
    EXPECT_FALSE(r.raw4(p));
    EXPECT_FALSE(r.skip(2));
    EXPECT_FALSE(r.skip(-1));
    EXPECT_EQ(r.pos(), 2);
    EXPECT_TRUE(r.u8(v));
    EXPECT_EQ(v, 3);
    EXPECT_FALSE(r.u8(v));
    EXPECT_TRUE(r.skip(0));

    byte_reader negative(b.data(), -5);
    EXPECT_FALSE(negative.u8(v));
    byte_reader null(nullptr, 10);
    EXPECT_FALSE(null.u8(v));
}

TEST(Record, FieldsLandAtTheirImageOffsets) {
    tzv58_419_Data_t d;
    std::memset(static_cast<void*>(&d), 0, sizeof d);
    d.data_id.set(0x01020304);
    d.channel[1].a.set(1.0f);
    d.module[39].p41_44[6] = 0xAB;
    d.dc(1).out_v.set(53.5f);
    d.ext_value[1].set(-1.0f);
    const auto* img = reinterpret_cast<const uint8_t*>(&d);
    EXPECT_EQ(load_le32(img), 0x01020304u);
    EXPECT_EQ(img[0], 0x04);
    EXPECT_EQ(load_f32le(img + 63), 1.0f);
    EXPECT_EQ(img[90 + 19 * 39 + 12 + 6], 0xAB);
    EXPECT_EQ(img[1256 - 1 - 19 - 7], 0);  // unit 2 reserved tail untouched
    EXPECT_EQ(load_f32le(img + 1057), 53.5f);
    EXPECT_EQ(load_f32le(img + 1253), -1.0f);
}

// The plug-in copies the first 7 bytes of the host's time value as they stand.
TEST(HostTime, SevenByteTimeValue) {
    uint8_t b[7];
    const ttime_t t = get_ttime(at("2026-12-07 19:37:00"));
    std::memcpy(b, &t, sizeof b);
    EXPECT_EQ(hex("EA 07 0C 07 13 25 00"), std::vector<uint8_t>(b, b + 7));
    const ttime_t none = get_ttime(boost::posix_time::ptime());
    std::memcpy(b, &none, sizeof b);
    EXPECT_EQ(hex("00 00 00 00 00 00 00"), std::vector<uint8_t>(b, b + 7));
}
