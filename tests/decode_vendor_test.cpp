// The vendor reading (80H/42H): values in tenths, each behind a count byte,
// as many as the record holds; a value whose pair the reply does not carry
// whole keeps what it held.
#include <cstring>

#include "support.h"
#include "telemetry/decode_vendor.h"

namespace {

constexpr uint8_t CANARY = 0xC5;

template <size_t N>
struct Values {
    Values() { std::memset(static_cast<void*>(v), CANARY, sizeof v); }
    bool kept(size_t k) const { return v[k].b[0] == CANARY && v[k].b[3] == CANARY; }
    tzv58::f32le v[N];
};

// DATAFLAG, then 50.0, 10.0 and 21.5, each with count 1.
const std::vector<uint8_t> THREE = hex("00 01 01F4 01 0064 01 00D7");

TEST(Vendor, ReadsAsManyValuesAsTheRecordHolds) {
    Values<2> two;
    tzv58::vendor_values(two.v, {THREE.data(), int(THREE.size())}, tzv58::diag());
    EXPECT_EQ(two.v[0].get(), 50.0f);
    EXPECT_EQ(two.v[1].get(), 10.0f);
    Values<3> three;
    tzv58::vendor_values(three.v, {THREE.data(), int(THREE.size())}, tzv58::diag());
    EXPECT_EQ(three.v[2].get(), 21.5f);
    // A count other than 1: the value is not taken.
    const std::vector<uint8_t> none = hex("00 00 01F4 02 0064");
    Values<2> kept;
    tzv58::vendor_values(kept.v, {none.data(), int(none.size())}, tzv58::diag());
    EXPECT_TRUE(kept.kept(0) && kept.kept(1));
}

// Cut at every length into an exactly sized buffer (the sanitizers catch a
// read past it): the values of whole pairs are taken, the others kept.
TEST(Vendor, EveryCutTakesTheWholePairsAndNothingElse) {
    for (size_t cut = 0; cut <= THREE.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const std::vector<uint8_t> info(THREE.begin(), THREE.begin() + long(cut));
        Values<3> three;
        tzv58::vendor_values(three.v, {info.data(), int(info.size())}, tzv58::diag());
        for (size_t k = 0; k < 3; ++k) EXPECT_EQ(!three.kept(k), cut >= 1 + 3 * (k + 1)) << "value " << k;
    }
}

}  // namespace
