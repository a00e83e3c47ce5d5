// The rows of a model's alarm table for one element (alarms/model_tables.h).
#include "alarms/model_tables.h"

#include <string>

namespace tzv58 {

const std::vector<model_table::strings>& model_table::row_strings() const {
    std::call_once(made_, [this] {
        strings_.reserve(size);
        for (size_t k = 0; k < size; ++k) strings_.push_back({rows[k].key, rows[k].id, rows[k].text1, rows[k].text2});
    });
    return strings_;
}

void report_rows(const model_table& table, source from, int number, alarm_items items, alarm_sink& sink,
                 unsigned short& check_seq) {
    const std::string prefix = from == source::channel  ? "第" + std::to_string(number) + "路交流输入-"
                               : from == source::module ? "模块" + std::to_string(number)
                                                        : "";
    std::string text;  // the prefix and the row's text; one buffer for the element's rows
    const std::vector<model_table::strings>& strings = table.row_strings();
    for (size_t k = 0; k < table.size; ++k) {
        const model_row& row = table.rows[k];
        if (row.from != from) continue;
        const model_table::strings& s = strings[k];
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

}  // namespace tzv58
