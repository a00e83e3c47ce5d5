// A model's alarm tables: rows that raise the user-defined alarm items that
// the power system reports for each AC channel, each rectifier module and DC
// unit 1 as named alarms of the host's alarm database, walked by one loop
// (alarms/model_checks.h). A model's own rows are its data
// (alarms/tzv58_419_tables.h for tzv58_419).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "alarms/alarm_sink.h"
#include "telemetry/values.h"

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

// A table: its rows, the alarm modes it reports in, and whether it reports
// an element only when the element's item count as received equals what
// the record holds.
struct model_table_spec {
    const char* name;
    bool (*applies)(int32_t b_mode);
    bool whole_replies_only;
    list<model_row> rows;
};

// The rules a table's rows keep, for its static_asserts.
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

// A table as the walk uses it: its rows and the host's strings of each row.
// The host takes every key, id and text as an std::string and a round makes
// up to 289 reports (table B, 40 modules), so the strings are made once per
// process rather than for every report: at the table's first walk, so that
// a table of another alarm mode costs nothing.
class model_table {
public:
    struct strings {
        std::string key, id, text1, text2;
    };
    explicit model_table(const model_table_spec& rules)
        : rows(rules.rows.begin()),
          size(rules.rows.size()),
          applies(rules.applies),
          whole_replies_only(rules.whole_replies_only) {}

    const model_row* rows;
    size_t size;
    bool (*applies)(int32_t b_mode);
    bool whole_replies_only;

    // row_strings()[k] belongs to rows[k]; made once, by the first caller.
    const std::vector<strings>& row_strings() const;

private:
    mutable std::once_flag made_;
    mutable std::vector<strings> strings_;
};

// A model's tables, in the order they are walked; made once, where the
// model's tables are first needed (a function's static).
class model_tables {
public:
    explicit model_tables(list<model_table_spec> tables) {
        tables_.reserve(tables.size());
        for (const model_table_spec& s : tables) tables_.push_back(std::make_unique<const model_table>(s));
    }
    size_t size() const { return tables_.size(); }
    const model_table& operator[](size_t i) const { return *tables_[i]; }

private:
    std::vector<std::unique_ptr<const model_table>> tables_;  // a table stays where it is made
};

// Reports the rows of `table` that read from `from` for one element, in table
// order; `number` is the element's number, counted from 1 (unused for DC unit
// 1). Each report takes check_seq as its sequence number; rows marked
// seq::next move check_seq on by one (16-bit, wrapping) before the report is
// made.
void report_rows(const model_table& table, source from, int number, alarm_items items, alarm_sink& sink,
                 unsigned short& check_seq);

}  // namespace tzv58
