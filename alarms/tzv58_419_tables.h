// tzv58_419's alarm tables: table A in alarm mode 1, table B in every mode but
// 1, 2 and 3 (modes 2 and 3 report none of them). Keys, ids and texts are
// the host's alarm database's own, byte for byte.
#pragma once

#include <iterator>

#include "alarms/model_tables.h"
#include "telemetry/record.h"

namespace tzv58 {

// Table A, alarm mode 1. A5 and A6 read one item; A11 reads an eighth module
// item that the record does not hold.
constexpr model_row table_a_rows[] = {
    /* A1  */ {source::channel, "ZID06OZU_AC_0", "419410901", 1, "输入告警", "防雷器故障告警", 0, 0x81, seq::next},
    /* A2  */ {source::channel, "ZID06OZU_AC_1", "419400201", 1, "输入告警", "交流屏通讯中断", 1, 0x81, seq::next},
    /* A3  */ {source::channel, "ZID06OZU_AC_2", "419410701", 1, "输入告警", "交流输入空开跳", 2, 0x81, seq::next},
    /* A4  */ {source::channel, "ZID06OZU_AC_3", "419410701", 1, "其他告警", "交流输出空开跳", 3, 0x81, seq::next},
    /* A5  */ {source::channel, "ZID06OZU_AC_4", "419415001", 1, "输入告警", "交流输入1停电告警", 4, 0x84, seq::next},
    /* A6  */ {source::channel, "ZID06OZU_AC_5", "419415001", 1, "输入告警", "交流输入2停电告警", 4, 0x81, seq::next},
    /* A7  */ {source::channel, "ZID06OZU_AC_6", "419415001", 1, "输入告警", "交流输入3停电告警", 5, 0x81, seq::next},
    /* A8  */
    {source::channel, "ZID06OZU_AC_7", "419400101", 1, "输入告警", "市电切换失败故障告警", 6, 0x81, seq::next},
    /* A9  */
    {source::module, "ZID06OZU_RC_0", "419430501", 4, "整流模块通信状态告警", "模块通讯中断告警状态", 0, 0x80,
     seq::next},
    /* A10 */
    {source::module, "ZID06OZU_RC_1", "419430501", 3, "整流模块故障告警", "模块故障告警状态", 1, 0x81, seq::next},
    /* A11 */
    {source::module, "ZID06OZU_RC_7", "419240403", 3, "整流模块温度过高告警", "模块过温告警状态", 7, 0x87, seq::same},
};

// Table B, every alarm mode but 1, 2 and 3. An element is reported only when
// its reply carried exactly as many items as the record holds.
constexpr model_row table_b_rows[] = {
    /* B1  */ {source::channel, "ZID06OZU_AC_4", "06016", 1, "输入告警", "系统停电告警", 4, 0x84, seq::next},
    /* B2  */ {source::channel, "ZID06OZU_AC_0", "06022", 1, "输入告警", "防雷器故障告警", 0, 0x81, seq::next},
    /* B3  */ {source::module, "ZID06OZU_RC_0", "06029", 4, "其他告警", "DC过压", 0, 0x80, seq::next},
    /* B4  */ {source::module, "ZID06OZU_RC_1", "06029", 3, "其他告警", "AC过压", 1, 0x81, seq::next},
    /* B5  */ {source::module, "ZID06OZU_RC_2", "06029", 4, "其他告警", "风扇故障", 2, 0x82, seq::same},
    /* B6  */ {source::module, "ZID06OZU_RC_3", "06029", 2, "其他告警", "整流器模块过温", 3, 0x83, seq::same},
    /* B7  */ {source::module, "ZID06OZU_RC_4", "06029", 2, "其他告警", "DC过流", 4, 0x84, seq::same},
    /* B8  */ {source::module, "ZID06OZU_RC_5", "06029", 2, "其他告警", "通信故障", 5, 0x85, seq::same},
    /* B9  */ {source::module, "ZID06OZU_RC_6", "06029", 2, "其他告警", "AC欠压", 6, 0x86, seq::same},
    /* B10 */ {source::dc1, "Z810_DC_0", "06029", 2, "其他告警", "一次下电报警", 0, 0x80, seq::next},
    /* B11 */ {source::dc1, "Z810_DC_1", "06029", 2, "其他告警", "二次下电报警", 1, 0x81, seq::next},
    /* B12 */ {source::dc1, "Z810_DC_2", "06029", 2, "其他告警", "电保报警", 2, 0x82, seq::next},
    /* B13 */ {source::dc1, "Z810_DC_3", "06029", 2, "其他告警", "三次下电报警", 3, 0x83, seq::next},
    /* B14 */ {source::dc1, "Z810_DC_4", "06029", 2, "其他告警", "四次下电报警", 4, 0x84, seq::next},
};

static_assert(table_rules::codes_nonzero(table_a_rows, std::size(table_a_rows)), "table A: code 0");
static_assert(table_rules::codes_nonzero(table_b_rows, std::size(table_b_rows)), "table B: code 0");
static_assert(table_rules::codes_are_0x80_plus_item(table_b_rows, std::size(table_b_rows), source::module) &&
                  table_rules::codes_are_0x80_plus_item(table_b_rows, std::size(table_b_rows), source::dc1),
              "table B: module and DC codes are 0x80 + item");
// Table B reports a module only when it holds all its items, and DC unit 1
// always holds its five: those rows never fall back to 0.
static_assert(table_rules::items_below(table_b_rows, std::size(table_b_rows), source::module,
                                       tzv58_419_Data_t::rc_caps::P41_44_SIZE()),
              "table B: module item beyond the record");
static_assert(table_rules::items_below(table_b_rows, std::size(table_b_rows), source::dc1,
                                       tzv58_419_Data_t::dc_caps::ALERT_P_SIZE()),
              "table B: DC item beyond the record");
static_assert(table_rules::items_below(table_a_rows, std::size(table_a_rows), source::dc1, 0), "table A has no DC row");

constexpr model_table_spec tzv58_419_table_specs[] = {
    {"A", [](int32_t mode) { return mode == 1; }, false, table_a_rows},
    {"B", [](int32_t mode) { return mode != 1 && mode != 2 && mode != 3; }, true, table_b_rows},
};

// The tables as the walk uses them, made at their first use.
inline const model_tables& tzv58_419_tables() {
    static const model_tables tables(tzv58_419_table_specs);
    return tables;
}
inline const model_table& table_a() { return tzv58_419_tables()[0]; }
inline const model_table& table_b() { return tzv58_419_tables()[1]; }

}  // namespace tzv58
