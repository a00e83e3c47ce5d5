// The values a model shows, as data: one table per model that says, for each
// value of its record, its name, unit and section, where it lies and how it
// is read, which count bounds it and whether it may be marked as not
// supplied, and how each surface of the host program presents it. The
// device never reads it; the host program walks it for every surface (the
// round summary, the record dump, the status object, `get`, the metrics, the
// history's columns and the site page), so that a value is described once.
//
// The table is plain constant data, compiled into the plug-in and handed to
// the host program by the model's descriptor (device/model.h). The
// protocol's values, over any record layout, are telemetry/protocol_values.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tzv58 {

// NOT_PROVIDED: stored for values that the power system marks as not
// supplied, in the rows a table marks so.
constexpr float NOT_PROVIDED = -0.1f;

// A constant array seen from elsewhere: where it starts and how many it holds.
template <class T>
struct list {
    const T* items = nullptr;
    size_t count = 0;

    constexpr list() = default;
    template <size_t N>
    constexpr list(const T (&a)[N]) : items(a), count(N) {}
    template <size_t N>
    constexpr list(const std::array<T, N>& a) : items(a.data()), count(N) {}

    constexpr const T* begin() const { return items; }
    constexpr const T* end() const { return items + count; }
    constexpr size_t size() const { return count; }
    constexpr bool empty() const { return count == 0; }
    constexpr const T& operator[](size_t i) const { return items[i]; }
};

// Two constant arrays one after the other, as one (a model's rows after the
// protocol's).
template <class T, size_t N, size_t M>
constexpr std::array<T, N + M> joined(const T (&a)[N], const T (&b)[M]) {
    std::array<T, N + M> out{};
    for (size_t i = 0; i < N; ++i) out[i] = a[i];
    for (size_t i = 0; i < M; ++i) out[N + i] = b[i];
    return out;
}

// How the bytes of a value are read (telemetry/bytes.h): a little-endian
// IEEE single, a byte, a little-endian 32-bit integer, bytes shown as hex,
// or the host's 7-byte time (year low byte first, month, day, hour, minute,
// second).
enum class value_type : uint8_t { f32, u8, u32, raw, time };

inline constexpr int width_of(value_type t) {
    return t == value_type::f32 || t == value_type::u32 ? 4 : t == value_type::time ? 7 : 1;
}

enum class value_kind : uint8_t {
    reading,   // an analog value
    alarm,     // the power system's own alarm bytes: 0 is normal, any other a status byte
    count,     // how many values or elements a reply carried, as received
    state,     // switch and module states, shown as they are
    id,        // the record's data id
    reserved,  // bytes of the layout that hold nothing: the record dump alone shows them
    time,      // the round's time
    group,     // the elements of a group (channels, modules, DC units)
};

// How many values of an array the record holds from the last reply, by the
// count that bounds it (and its capacity):
//   all      every value, whatever the count
//   whole    the count's values when it is within the capacity; a larger
//            group was skipped whole and the array keeps an older reply's
//   first    the first values, up to the capacity
//   exactly  the values only when the count is the capacity
enum class held_rule : uint8_t { all, whole, first, exactly };

inline constexpr int held_by(held_rule rule, int count, int capacity) {
    switch (rule) {
    case held_rule::whole:
        return count <= capacity ? count : 0;
    case held_rule::first:
        return count < capacity ? count : capacity;
    case held_rule::exactly:
        return count == capacity ? count : 0;
    default:
        return capacity;
    }
}

// A part of the plant: a card of the site page and a line of the summary.
struct value_section {
    const char* id;       // the page's card ("dc")
    const char* title;    // the card's title ("DC distribution")
    const char* summary;  // the summary line's title ("DC", "rectifier")
};

// A metric family (gauge) of the values that name it.
struct metric_family {
    const char* name;  // "tzv58_dc_output_voltage_volts"
    const char* help;
};

// How a value is a metric: its family, and the label that tells its samples
// apart besides the element's (a value of an array: label = "battery", its
// number from 1; a single value: label = label_value, "phase" = "a").
struct metric_spec {
    const metric_family* family = nullptr;
    const char* label = nullptr;
    const char* label_value = nullptr;
};

// How a value shows in the round summary: a part of its section's line,
// "label values unit" ("A 230 V", "load 45 A", "battery 3 1 A").
struct summary_spec {
    const char* label = "";      // before the values
    const char* none = nullptr;  // said for a count of 0 ("no battery"); nullptr: as any count
    const char* noun = nullptr;  // what a count above the capacity counts: "(21 branches reported, 20 held)"
    bool values = true;          // false: only a count above the capacity is said
    bool each = false;           // each value a part of its own ("vendor    50  10")
    bool shown = false;
};

// How a value shows on the site page: not at all, as a line of its card (a
// column of its group's table, a chip), as its section's headline (a big
// number), as the current a battery takes (with its direction, from the
// balance of the bus), or as a line that is a side of that balance.
enum class page_role : uint8_t { hidden, line, headline, battery, supply, load };

// How the elements of a group show.
enum class summary_layout : uint8_t { none, lines, joined };  // a line each ("AC 1"), or one part of the line
enum class page_layout : uint8_t { blocks, table, chips };    // a block each, a table row each, a chip each

struct value_group;

struct value_row {
    const char* name = "";  // as the record names it; the name every surface uses
    value_kind kind = value_kind::reading;
    value_type type = value_type::f32;
    uint16_t offset = 0;    // from the record's start, or the element's
    uint8_t capacity = 1;   // values it holds; an array's capacity (0: the record holds none, and it is not shown)
    bool array = false;     // shown as a list, even of one
    int16_t count_at = -1;  // where the count that bounds it lies, in the same element; -1: none
    held_rule held = held_rule::all;
    bool marked = false;  // NOT_PROVIDED stands for a value not supplied
    const char* unit = "";
    const char* label = nullptr;  // for people (the page); nullptr: the name
    const value_section* section = nullptr;
    const value_group* group = nullptr;  // kind group: its elements
    metric_spec metric;
    summary_spec summary;
    page_role page = page_role::hidden;

    constexpr value_row in(const value_section& s) const {
        value_row r = *this;
        r.section = &s;
        return r;
    }
    constexpr value_row labelled(const char* l) const {
        value_row r = *this;
        r.label = l;
        return r;
    }
    constexpr value_row marks_not_supplied() const {
        value_row r = *this;
        r.marked = true;
        return r;
    }
    constexpr value_row as_metric(const metric_family& f, const char* l = nullptr, const char* v = nullptr) const {
        value_row r = *this;
        r.metric = {&f, l, v};
        return r;
    }
    constexpr value_row in_summary(summary_spec s) const {
        value_row r = *this;
        r.summary = s;
        r.summary.shown = true;
        return r;
    }
    constexpr value_row on_page(page_role p) const {
        value_row r = *this;
        r.page = p;
        return r;
    }
};

// Elements of one kind in the record: channels, modules, DC units.
struct value_group {
    const char* name;  // "channel"
    list<value_row> rows;
    uint16_t offset;    // of the first element
    uint16_t stride;    // from one element to the next
    uint8_t capacity;   // elements the record holds
    int16_t count_at;   // the record's count of them, as received; -1: as the DC analog replies tell
    const char* noun;      // "channels", "modules", "DC units"
    const char* noun_one;  // "channel", "module", "DC unit"
    const char* label;  // the metrics' label of an element ("channel", "module", "unit")
    summary_layout summary;
    page_layout page;
    const char* count_row;  // the row of the count ("module_count"), for the page's chips; nullptr: none
};

// A value kept as a column of its own in the history file: one value of an
// element (the record's own values: element 0).
struct history_column {
    const char* name;          // the column ("dc2_battery1_i"); the history file's schema
    const char* label;         // for people ("DC unit 2 battery 1 current")
    const value_group* group;  // nullptr: a value of the record itself
    const value_row* row;
    uint8_t element;
    uint8_t index;
};

// A model's table: its rows in the record's order (a group where its first
// element lies), the sections in the page's order, the metric families in
// the order they are written, the history's columns.
struct value_table {
    list<value_row> rows;
    list<const value_section*> sections;
    list<const metric_family*> families;
    list<history_column> history;
};

// Every value lies within a record of `size` bytes.
constexpr bool rows_fit(list<value_row> rows, size_t size, size_t base = 0) {
    for (const value_row& r : rows) {
        if (r.kind == value_kind::group) {
            const value_group& g = *r.group;
            if (g.capacity == 0) continue;
            if (g.count_at >= 0 && size_t(g.count_at) >= size) return false;
            for (size_t e = 0; e < g.capacity; ++e)
                if (!rows_fit(g.rows, size, base + g.offset + e * g.stride)) return false;
            continue;
        }
        if (base + r.offset + size_t(r.capacity) * size_t(width_of(r.type)) > size) return false;
        if (r.count_at >= 0 && base + size_t(r.count_at) >= size) return false;
    }
    return true;
}

// The row named `name` among `rows`; nullptr where none is.
constexpr const value_row* row_named(list<value_row> rows, const char* name) {
    for (const value_row& r : rows) {
        const char *a = r.name, *b = name;
        while (*a && *a == *b) ++a, ++b;
        if (*a == *b) return &r;
    }
    return nullptr;
}

}  // namespace tzv58
