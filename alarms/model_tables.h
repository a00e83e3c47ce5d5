// The model's alarm tables: the user-defined alarm items that the power system
// reports for each AC channel, each rectifier module and DC unit 1, as named
// alarms of the host's alarm database. Keys, ids and texts are the database's
// own, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "alarms/alarm_sink.h"
#include "telemetry/record.h"

namespace tzv58 {

// Where a row reads its item. Channel rows put the channel prefix
// ("第1路交流输入-") before their first text, module rows the module prefix
// ("模块1") before their second; DC rows have no prefix.
enum class source : uint8_t { channel, module, dc1 };

// What check_seq does after a report has taken its value.
enum class seq : uint8_t { next, same };

struct model_row {
    source from;
    const char* key;
    const char* id;
    int level;
    const char* text1;
    const char* text2;
    uint8_t item;  // index into the element's alarm items
    uint8_t code;  // the item's value while the alarm holds; anything else is inactive
    seq after;
};

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

namespace table_rules {
// A missing item reads as 0, so 0 must be no row's alarm code.
constexpr bool codes_nonzero(const model_row* rows, size_t n) {
    for (size_t k = 0; k < n; ++k)
        if (rows[k].code == 0) return false;
    return true;
}
constexpr bool codes_are_0x80_plus_item(const model_row* rows, size_t n, source from) {
    for (size_t k = 0; k < n; ++k)
        if (rows[k].from == from && rows[k].code != 0x80 + rows[k].item) return false;
    return true;
}
constexpr bool items_below(const model_row* rows, size_t n, source from, int capacity) {
    for (size_t k = 0; k < n; ++k)
        if (rows[k].from == from && rows[k].item >= capacity) return false;
    return true;
}
}  // namespace table_rules

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

// The alarm items of one element as the record holds them. An item past
// what the record holds reads as 0, which is no row's code: that row then
// reports inactive, and nothing beyond the element is read.
class alarm_items {
public:
    alarm_items(const uint8_t* items, int capacity) : p_(items), n_(items ? capacity : 0) {}
    uint8_t operator[](int k) const { return k >= 0 && k < n_ ? p_[k] : 0; }

private:
    const uint8_t* p_;
    int n_;
};

// A table as the walk uses it: its rows, the host's strings of each row, and
// whether it reports an element only when the element's item count as received
// equals what the record holds. The host takes every key, id and text as an
// std::string and a round makes up to 289 reports (table B, 40 modules), so
// the strings are made once per process rather than for every report.
struct model_table {
    struct strings {
        std::string key, id, text1, text2;
    };
    model_table(const model_row* rows, size_t size, bool whole_replies_only);

    const model_row* rows;
    size_t size;
    bool whole_replies_only;
    std::vector<strings> row_strings;  // row_strings[k] belongs to rows[k]
};

const model_table& table_a();
const model_table& table_b();

// Reports the rows of `table` that read from `from` for one element, in table
// order; `number` is the element's number, counted from 1 (unused for DC unit
// 1). Each report takes check_seq as its sequence number; rows marked
// seq::next move check_seq on by one (16-bit, wrapping) before the report is
// made.
void report_rows(const model_table& table, source from, int number, alarm_items items, alarm_sink& sink,
                 unsigned short& check_seq);

}  // namespace tzv58
