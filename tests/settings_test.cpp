// Device configuration: "appSetting" plant layout, alarm mode, and the
// mode-3 threshold codes, applied as the host applies them.
#include <json/reader.h>

#include "host/host_config.h"
#include "support.h"

namespace {

Json::Value json(const std::string& text) {
    Json::Value v;
    Json::Reader reader;
    if (!reader.parse(text, v)) throw std::invalid_argument("bad JSON fixture: " + text);
    return v;
}

// Applies a configuration as the host does and returns what was printed.
template <class Device>
std::string configure(Device& dev, const std::string& text) {
    const Json::Value config = json(text);
    fill_threshold_maps(dev, config);
    capture_diag();
    const bool ok = dev.InitSetting(config);
    const std::string out = captured_diag();
    EXPECT_TRUE(ok);
    return out;
}

struct ConfigTest : testing::Test {
    ConfigTest() { dev.data_id = 7; }
    tzv58_419 dev;
};

TEST_F(ConfigTest, EmptyOrUnusableAppSettingKeepsEveryDefault) {
    for (const char* config : {"{}", "null", R"({"appSetting": "has_ac=0"})", R"({"appSetting": [0, 0]})",
                               R"({"appSetting": null, "thresholdSetting": {"k": {"ID": "1"}}})"}) {
        SCOPED_TRACE(config);
        tzv58_419 d;
        d.data_id = 7;
        EXPECT_EQ(configure(d, config), "");
        EXPECT_TRUE(d.has_ac);
        EXPECT_TRUE(d.has_dc);
        EXPECT_EQ(d.no_dc_number, -1);
        EXPECT_TRUE(d.has_a && d.has_b && d.has_c);
        EXPECT_EQ(d.dc_i_adjust, 1);
        EXPECT_EQ(d.b_mode_, 1);
        EXPECT_FALSE(d.float_mode);
        EXPECT_TRUE(d.alarm_codes.empty() && d.signal_names.empty());
        EXPECT_EQ(d.data.data_id.get(), 7u);
    }
}

TEST_F(ConfigTest, ValuesAreReadAsTextThroughAtoi) {
    const struct {
        const char* value;
        int32_t number;
    } cases[] = {
        {"2", 2},    {"\"2\"", 2}, {"\"2abc\"", 2}, {"\"  -1\"", -1}, {"2.9", 2},    {"-7", -7},
        {"true", 0}, {"false", 0}, {"\"abc\"", 0},  {"\"\"", 0},      {"\"+5\"", 5}, {"\"0x10\"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        tzv58_419 d;
        const std::string v = c.value;
        configure(d, R"({"appSetting": {"no_dc_number": )" + v + R"(, "dc_i_adjust": )" + v + R"(, "has_dc": )" + v +
                         R"(, "has_ac": )" + v + "}}");
        EXPECT_EQ(d.no_dc_number, c.number);
        EXPECT_EQ(d.dc_i_adjust, c.number);
        EXPECT_EQ(d.has_dc, c.number != 0);
        EXPECT_EQ(d.has_ac, c.number != 0);
    }
}

TEST_F(ConfigTest, EachKeySetsItsOwnMemberAndNullCountsAsAbsent) {
    const std::string out = configure(dev, R"({"appSetting": {"has_ac": "0", "has_dc": true, "no_dc_number": 2,
        "has_a": 0, "has_b": null, "has_c": " 0", "dc_i_adjust": "10", "b_mode": "2",
        "float_mode": "1", "command_group": 5}})");
    EXPECT_FALSE(dev.has_ac);
    EXPECT_FALSE(dev.has_dc);
    EXPECT_EQ(dev.no_dc_number, 2);
    EXPECT_FALSE(dev.has_a);
    EXPECT_TRUE(dev.has_b);
    EXPECT_FALSE(dev.has_c);
    EXPECT_EQ(dev.dc_i_adjust, 10);
    EXPECT_EQ(dev.b_mode_, 2);
    // Not configurable.
    EXPECT_FALSE(dev.float_mode);
    EXPECT_EQ(dev.command_group, 1);
    EXPECT_EQ(out, "InitSetting 7 b_mode_:2\n");
}

TEST_F(ConfigTest, PlainPowerSystemReadsTheSameKeys) {
    pmbuspower_419<tzv58_419_Data_t, 5535> d;
    d.data_id = 3;
    configure(d, R"({"appSetting": {"has_dc": "1", "no_dc_number": "1", "b_mode": null}})");
    EXPECT_TRUE(d.has_dc);
    EXPECT_EQ(d.no_dc_number, 1);
    EXPECT_EQ(d.b_mode_, 1);
    EXPECT_TRUE(d.float_mode);
    EXPECT_EQ(d.data.data_id.get(), 3u);
}

TEST_F(ConfigTest, ReapplyingOverwritesPresentKeysAndKeepsTheRest) {
    configure(dev, R"({"appSetting": {"has_ac": "0", "dc_i_adjust": "10", "b_mode": 3},
        "thresholdSetting": {"a": {"NMAlarmID": "1", "ID": "2", "SignalNumber": "3", "SignalName": "甲"}}})");
    dev.data_id = 8;
    const std::string out = configure(dev, R"({"appSetting": {"has_dc": "0", "no_dc_number": -1},
        "thresholdSetting": {"b": {"NMAlarmID": "4", "ID": "5", "SignalNumber": "6"},
                             "a": {"NMAlarmID": "9", "ID": "2", "SignalNumber": "3"}}})");
    EXPECT_FALSE(dev.has_ac);
    EXPECT_FALSE(dev.has_dc);
    EXPECT_EQ(dev.no_dc_number, -1);
    EXPECT_EQ(dev.dc_i_adjust, 10);
    EXPECT_EQ(dev.b_mode_, 3);  // kept, so the codes are read again
    EXPECT_EQ(dev.data.data_id.get(), 8u);
    const std::map<std::string, std::string> codes{{"a", "9;2;3;"}, {"b", "4;5;6;"}};
    EXPECT_EQ(dev.alarm_codes, codes);
    // Never cleared: "a" keeps the name it was given first.
    const std::map<std::string, std::string> names{{"a", "甲"}};
    EXPECT_EQ(dev.signal_names, names);
    EXPECT_EQ(out,
              "here 1\nhere 2\n"
              "here a\nmobile:a:9;2;3; level:0 value:0\n"
              "here b\nmobile:b:4;5;6; level:0 value:0\n");
}

TEST_F(ConfigTest, ModeThreeReadsEveryEntryAndReportsMissingParts) {
    const std::string out = configure(dev, R"({
        "appSetting": {"b_mode": "3"},
        "thresholdSetting": {
            "k_b": {"NMAlarmID": "0401001", "SignalNumber": 2, "level": 2, "value": 180.5},
            "k_a": {"SignalName": "A相电压低", "NMAlarmID": "0401002", "ID": 12, "SignalNumber": "1"},
            "k_c": "not an entry",
            "k_d": {"ID": null},
            "k_e": [1, 2]
        }})");
    EXPECT_EQ(out,
              "InitSetting 7 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here k_a\n"
              "mobile:k_a:0401002;12;1; level:0 value:0\n"
              "here k_b\n"
              "7 ID is missing\n"
              "mobile:k_b:0401001;;2; level:2 value:180.5\n"
              "here k_c\n"
              "here k_d\n"
              "7 NMAlarmID is missing\n"
              "7 ID is missing\n"
              "7 SignalNumber is missing\n"
              "mobile:k_d:;;; level:0 value:0\n"
              "here k_e\n");
    const std::map<std::string, std::string> codes{{"k_a", "0401002;12;1;"}, {"k_b", "0401001;;2;"}, {"k_d", ";;;"}};
    EXPECT_EQ(dev.alarm_codes, codes);
    const std::map<std::string, std::string> names{{"k_a", "A相电压低"}};
    EXPECT_EQ(dev.signal_names, names);
    // An entry the host had no level or value for reads as 0 and is not
    // added to the host's maps by the line that shows it.
    EXPECT_EQ(dev.threshold_levels.count("k_a"), 0u);
    EXPECT_EQ(dev.threshold_values.count("k_a"), 0u);
}

TEST_F(ConfigTest, ThresholdsAreReadOnlyInModeThree) {
    const char* thresholds = R"("thresholdSetting": {"k": {"NMAlarmID": "1", "ID": "2", "SignalNumber": "3"}})";
    tzv58_419 two;
    EXPECT_EQ(configure(two, std::string(R"({"appSetting": {"b_mode": 2}, )") + thresholds + "}"),
              "InitSetting 0 b_mode_:2\n");
    EXPECT_TRUE(two.alarm_codes.empty());

    tzv58_419 none;
    EXPECT_EQ(configure(none, R"({"appSetting": {"b_mode": 3}})"), "InitSetting 0 b_mode_:3\nhere 1\n");

    tzv58_419 scalar;
    EXPECT_EQ(configure(scalar, R"({"appSetting": {"b_mode": 3}, "thresholdSetting": 5})"),
              "InitSetting 0 b_mode_:3\nhere 1\nhere 2\n");
    EXPECT_TRUE(scalar.alarm_codes.empty());
}

TEST_F(ConfigTest, ValueWithoutTextFormReachesTheHostAsJsonError) {
    EXPECT_THROW(dev.InitSetting(json(R"({"appSetting": {"has_dc": [1]}})")), Json::LogicError);
    EXPECT_THROW(dev.InitSetting(json(R"({"appSetting": {"b_mode": {"v": 3}}})")), Json::LogicError);
    tzv58_419 d;
    capture_diag();
    EXPECT_THROW(d.InitSetting(json(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"k": {"ID": []}}})")),
                 Json::LogicError);
    captured_diag();
}

}  // namespace
