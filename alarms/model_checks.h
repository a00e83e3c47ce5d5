// The one walk of a model's alarm tables: each table that reports in the
// alarm mode, over every AC channel (when has_ac), every rectifier module and
// DC unit 1 (when has_dc), numbering the reports from check_seq on.
#pragma once

#include <algorithm>

#include "alarms/alarm_sink.h"
#include "alarms/model_tables.h"

namespace tzv58 {

// Any record layout (telemetry/record.h): the counts are as received; only
// the elements the record holds are visited.
template <class Data>
void check_model_tables(const Data& data, const check_settings& set, const model_tables& tables, alarm_sink& sink,
                        unsigned short& check_seq) {
    using ac = typename Data::ac_channel_caps;
    using rc = typename Data::rc_caps;
    using dc = typename Data::dc_caps;
    for (size_t t = 0; t < tables.size(); ++t) {
        const model_table& table = tables[t];
        if (!table.applies(set.b_mode)) continue;
        auto whole = [&](int count, int capacity) { return !table.whole_replies_only || count == capacity; };
        if (set.has_ac) {
            const int channels = std::min<int>(data.channel_count, Data::AC_CHANNELS);
            for (int i = 0; i < channels; ++i) {
                const auto& ch = data.channel[i];
                if (whole(ch.p40_44_count, ac::p40_44_SIZE()))
                    report_rows(table, source::channel, i + 1, {ch.p40_44, ac::p40_44_SIZE()}, sink, check_seq);
            }
        }
        const int modules = std::min<int>(data.module_count, Data::RC_MODULES);
        for (int j = 0; j < modules; ++j) {
            const auto& m = data.module[j];
            if (whole(m.p41_44_count, rc::P41_44_SIZE()))
                report_rows(table, source::module, j + 1, {m.p41_44, rc::P41_44_SIZE()}, sink, check_seq);
        }
        if (set.has_dc) report_rows(table, source::dc1, 0, {data.dc(0).alert_p, dc::ALERT_P_SIZE()}, sink, check_seq);
    }
}

}  // namespace tzv58
