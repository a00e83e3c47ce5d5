// The program's one number syntax, in options, script lines and fault
// rates alike, and the fault list: each name at most once.
#include <string>

#include <gtest/gtest.h>

#include "tools/common/options.h"
#include "tools/sim/faults.h"

namespace {

using tzv58::tool::parse_real;
using tzv58::tool::parse_whole;

TEST(ToolsOptions, WholeNumbersAreDecimalDigitsAndNothingElse) {
    long long v = 0;
    const std::pair<const char*, long long> good[] = {{"0", 0},   {"16", 16},  {"+5", 5},
                                                      {"-3", -3}, {"010", 10}, {"9223372036854775807", INT64_MAX}};
    for (const auto& g : good) {
        EXPECT_TRUE(parse_whole(g.first, v)) << g.first;
        EXPECT_EQ(v, g.second) << g.first;
    }
    for (const char* bad :
         {"", "+", "-", "0x10", "0X10", " 5", "5 ", "5s", "1e3", "1.0", "--1", "9223372036854775808"}) {
        v = 42;
        EXPECT_FALSE(parse_whole(bad, v)) << bad;
        EXPECT_EQ(v, 42) << "untouched by '" << bad << "'";
    }
}

TEST(ToolsOptions, RealNumbersAreDecimalNotation) {
    double v = 0;
    const std::pair<const char*, double> good[] = {{"0.1", 0.1}, {"1", 1},       {".5", 0.5},
                                                   {"5.", 5},    {"1e-3", 1e-3}, {"-2.5E+1", -25}};
    for (const auto& g : good) {
        EXPECT_TRUE(parse_real(g.first, v)) << g.first;
        EXPECT_DOUBLE_EQ(v, g.second) << g.first;
    }
    for (const char* bad : {"", ".", "0x1p-3", "nan", "inf", "-infinity", "1e", "1e+", "0,5", " 1", "1 ", "1e999"})
        EXPECT_FALSE(parse_real(bad, v)) << bad;
}

TEST(ToolsOptions, AFaultListNamesEachFaultOnceWithADecimalRate) {
    tzv58::tool::FaultRates rates;
    std::string err;
    EXPECT_TRUE(tzv58::tool::parse_faults("drop=0.2,checksum=.1", rates, err)) << err;
    EXPECT_DOUBLE_EQ(rates.drop, 0.2);
    EXPECT_DOUBLE_EQ(rates.checksum, 0.1);
    const std::pair<const char*, const char*> bad[] = {
        {"drop=0.1,drop=0.2", "fault 'drop' is given twice"},
        {"drop=0.1,", "an empty entry"},
        {"drop=0.1,,noise=0.1", "an empty entry"},
        {"", "no fault"},
        {"drop", "needs a rate from 0 to 1"},
        {"drop=nan", "needs a rate from 0 to 1"},
        {"drop=0x1p-3", "needs a rate from 0 to 1"},
        {"drop=1.5", "needs a rate from 0 to 1"},
        {"hail=0.1", "unknown fault 'hail'"},
    };
    for (const auto& b : bad) {
        tzv58::tool::FaultRates r;
        err.clear();
        EXPECT_FALSE(tzv58::tool::parse_faults(b.first, r, err)) << b.first;
        EXPECT_NE(err.find(b.second), std::string::npos) << b.first << ": " << err;
    }
}

}  // namespace
