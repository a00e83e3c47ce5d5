// The model's alarm tables, walked element by element over the record.
#include "alarms/model_checks.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "alarms/model_tables.h"

namespace tzv58 {

model_table::model_table(const model_row* r, size_t n, bool whole) : rows(r), size(n), whole_replies_only(whole) {
    row_strings.reserve(n);
    for (size_t k = 0; k < n; ++k) row_strings.push_back({r[k].key, r[k].id, r[k].text1, r[k].text2});
}

const model_table& table_a() {
    static const model_table t(table_a_rows, std::size(table_a_rows), false);
    return t;
}

const model_table& table_b() {
    static const model_table t(table_b_rows, std::size(table_b_rows), true);
    return t;
}

void report_rows(const model_table& table, source from, int number, alarm_items items, alarm_sink& sink,
                 unsigned short& check_seq) {
    const std::string prefix = from == source::channel  ? "第" + std::to_string(number) + "路交流输入-"
                               : from == source::module ? "模块" + std::to_string(number)
                                                        : "";
    std::string text;  // the prefix and the row's text; one buffer for the element's rows
    for (size_t k = 0; k < table.size; ++k) {
        const model_row& row = table.rows[k];
        if (row.from != from) continue;
        const model_table::strings& s = table.row_strings[k];
        // Channel rows put the prefix before their first text, module rows before their second.
        text = prefix;
        text += from == source::channel ? s.text1 : s.text2;
        const std::string& text1 = from == source::channel ? text : s.text1;
        const std::string& text2 = from == source::module ? text : s.text2;
        const unsigned short n = check_seq;
        if (row.after == seq::next) ++check_seq;
        sink.report(row.level, s.key, s.id, text1, text2, items[row.item] == row.code, n);
    }
}

void check_model_tables(const tzv58_419_Data_t& data, const check_settings& set, alarm_sink& sink,
                        unsigned short& check_seq) {
    if (set.b_mode == 2 || set.b_mode == 3) return;
    using ac = tzv58_419_Data_t::ac_channel_caps;
    using rc = tzv58_419_Data_t::rc_caps;
    using dc = tzv58_419_Data_t::dc_caps;
    const model_table& table = set.b_mode == 1 ? table_a() : table_b();
    auto whole = [&](int count, int capacity) { return !table.whole_replies_only || count == capacity; };

    // The counts are as received; only the elements the record holds are visited.
    if (set.has_ac) {
        const int channels = std::min<int>(data.channel_count, tzv58_419_Data_t::AC_CHANNELS);
        for (int i = 0; i < channels; ++i) {
            const auto& ch = data.channel[i];
            if (whole(ch.p40_44_count, ac::p40_44_SIZE()))
                report_rows(table, source::channel, i + 1, {ch.p40_44, ac::p40_44_SIZE()}, sink, check_seq);
        }
    }
    const int modules = std::min<int>(data.module_count, tzv58_419_Data_t::RC_MODULES);
    for (int j = 0; j < modules; ++j) {
        const auto& m = data.module[j];
        if (whole(m.p41_44_count, rc::P41_44_SIZE()))
            report_rows(table, source::module, j + 1, {m.p41_44, rc::P41_44_SIZE()}, sink, check_seq);
    }
    if (set.has_dc) report_rows(table, source::dc1, 0, {data.dc(0).alert_p, dc::ALERT_P_SIZE()}, sink, check_seq);
}

}  // namespace tzv58
