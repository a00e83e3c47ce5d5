// The model's alarm tables, walked element by element over the record.
#include "alarms/model_checks.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "alarms/model_tables.h"

namespace tzv58 {

model_table::model_table(const model_row* r, size_t n, bool whole)
    : rows(r), size(n), whole_replies_only(whole) {
    strings.reserve(n);
    for (size_t k = 0; k < n; ++k) {
        strings.push_back({r[k].key, r[k].id, r[k].text1, r[k].text2});
        span& s = rows_of[size_t(r[k].from)];
        if (s.first == s.last) s.first = k;
        s.last = k + 1;
    }
}

const model_table& table_a() {
    static const model_table t(table_a_rows, std::size(table_a_rows), false);
    return t;
}

const model_table& table_b() {
    static const model_table t(table_b_rows, std::size(table_b_rows), true);
    return t;
}

void table_walk::report(source from, int number, alarm_items items, bool whole_reply) {
    if (table_.whole_replies_only && !whole_reply) return;

    // The prefix is built once per element; each row puts its text after it.
    size_t prefix_len = 0;
    if (from != source::dc1) {
        if (text_.capacity() < 64) text_.reserve(64);  // room for every prefixed text: one allocation a round
        text_ = from == source::channel ? "第" : "模块";
        char digits[12];
        text_.append(digits, std::to_chars(digits, std::end(digits), number).ptr);
        if (from == source::channel) text_ += "路交流输入-";
        prefix_len = text_.size();
    }

    const model_table::span rows = table_.rows_of[size_t(from)];
    for (size_t k = rows.first; k < rows.last; ++k) {
        const model_row& row = table_.rows[k];
        const model_table::texts& t = table_.strings[k];
        const std::string* text1 = &t.text1;
        const std::string* text2 = &t.text2;
        if (from == source::channel) {
            text_.erase(prefix_len).append(t.text1);
            text1 = &text_;
        } else if (from == source::module) {
            text_.erase(prefix_len).append(t.text2);
            text2 = &text_;
        }
        const unsigned short n = check_seq_;
        if (row.after == seq::next) check_seq_ = static_cast<unsigned short>(n + 1);
        sink_.report(row.level, t.key, t.id, *text1, *text2, items[row.item] == row.code, n);
    }
}

void check_model_tables(const tzv58_419_Data_t& data, const check_settings& set, alarm_sink& sink,
                        unsigned short& check_seq) {
    if (set.b_mode == 2 || set.b_mode == 3) return;
    using ac = tzv58_419_Data_t::ac_channel_caps;
    using rc = tzv58_419_Data_t::rc_caps;
    using dc = tzv58_419_Data_t::dc_caps;
    table_walk walk(sink, check_seq, set.b_mode == 1 ? table_a() : table_b());

    // The counts are as received; only the elements the record holds are visited.
    if (set.has_ac) {
        const int channels = std::min<int>(data.channel_count, tzv58_419_Data_t::AC_CHANNELS);
        for (int i = 0; i < channels; ++i) {
            const auto& ch = data.channel[i];
            walk.report(source::channel, i + 1, {ch.p40_44, ac::p40_44_SIZE()},
                        ch.p40_44_count == ac::p40_44_SIZE());
        }
    }
    const int modules = std::min<int>(data.module_count, tzv58_419_Data_t::RC_MODULES);
    for (int j = 0; j < modules; ++j) {
        const auto& m = data.module[j];
        walk.report(source::module, j + 1, {m.p41_44, rc::P41_44_SIZE()}, m.p41_44_count == rc::P41_44_SIZE());
    }
    if (set.has_dc) walk.report(source::dc1, 0, {data.dc(0).alert_p, dc::ALERT_P_SIZE()}, true);
}

}  // namespace tzv58
