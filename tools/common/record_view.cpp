#include "tools/common/record_view.h"

#include <algorithm>
#include <cstdio>

#include "host/hex.h"
#include "telemetry/bytes.h"
#include "tools/common/json_out.h"

namespace tzv58::tool {

int RecordView::elements_with_data(const value_group& g) const {
    int n = 0;
    for (int i = 0; i < g.capacity; ++i) {
        const uint8_t* e = bytes_ + element(g, i);
        if (std::any_of(e, e + g.stride, [](uint8_t b) { return b != 0; })) n = i + 1;
    }
    return n;
}

int RecordView::reported(const value_group& g) const {
    if (g.count_at >= 0) return bytes_[g.count_at];
    return dc_reported_ >= 0 ? dc_reported_ : elements_with_data(g);
}

int RecordView::held(const value_group& g) const { return std::min<int>(reported(g), g.capacity); }

int RecordView::count(const value_row& r, size_t base) const {
    return r.count_at >= 0 ? bytes_[base + size_t(r.count_at)] : -1;
}

int RecordView::held(const value_row& r, size_t base) const {
    return r.count_at >= 0 ? held_by(r.held, count(r, base), r.capacity) : r.capacity;
}

double RecordView::number(const value_row& r, size_t base, int k) const {
    const uint8_t* p = at(r, base, k);
    switch (r.type) {
    case value_type::f32:
        return double(load_f32le(p));
    case value_type::u32:
        return double(load_le32(p));
    default:
        return double(p[0]);
    }
}

bool RecordView::supplied(const value_row& r, size_t base, int k) const {
    return !r.marked || r.type != value_type::f32 || load_f32le(at(r, base, k)) != NOT_PROVIDED;
}

std::string RecordView::text(const value_row& r, size_t base, int k) const {
    if (r.type == value_type::f32) return float_text(load_f32le(at(r, base, k)));
    return std::to_string((unsigned long long)number(r, base, k));
}

std::string RecordView::hex(const value_row& r, size_t base) const {
    return hex_upper(at(r, base, 0), size_t(r.capacity) * size_t(width_of(r.type)));
}

bool RecordView::column(const history_column& c, double& v) const {
    size_t base = 0;
    if (c.group) {
        if (c.element >= held(*c.group)) return false;
        base = element(*c.group, c.element);
    }
    if (c.index >= held(*c.row, base) || !supplied(*c.row, base, c.index)) return false;
    v = number(*c.row, base, c.index);
    return true;
}

const uint8_t* RecordView::round_time() const {
    for (const value_row& r : table().rows)
        if (r.kind == value_kind::time) return at(r, 0, 0);
    return nullptr;
}

std::string time_text(const uint8_t* t, char sep) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u%c%02u:%02u:%02u", unsigned(t[0] | t[1] << 8), t[2], t[3], sep, t[4],
                  t[5], t[6]);
    return buf;
}

bool time_set(const uint8_t* t) {
    return std::any_of(t, t + 7, [](uint8_t b) { return b != 0; });
}

}  // namespace tzv58::tool
