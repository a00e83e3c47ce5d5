// A record as the host program reads it: its bytes through its model's table
// of values (telemetry/values.h). Every surface reads values here, and only
// here are the rules that decide what a record holds:
//   - how many elements of a group and values of an array the record holds
//     from the last reply (the group's or the array's count and rule);
//   - which DC units are there: as many as the DC analog replies reported,
//     or, without such a reply (a record from the cache or a file), the
//     units that hold any byte;
//   - a value not supplied: NOT_PROVIDED in a row that the decoders mark;
//   - the round time as text.
// Every read goes through the byte helpers, within the record (the model's
// values were checked against its size when it was loaded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/model.h"
#include "telemetry/values.h"

namespace tzv58::tool {

class RecordView {
public:
    // bytes: model.record_size of them. dc_reported: the units the last DC
    // analog reply reported; -1 when none came.
    RecordView(const model_descriptor& model, const uint8_t* bytes, int dc_reported = -1)
        : model_(model), bytes_(bytes), dc_reported_(dc_reported) {}

    const model_descriptor& model() const { return model_; }
    const value_table& table() const { return model_.values; }
    const uint8_t* bytes() const { return bytes_; }
    size_t size() const { return model_.record_size; }

    // Elements of a group as the power system reported them (may exceed
    // the capacity), and as the record holds them.
    int reported(const value_group& g) const;
    int held(const value_group& g) const;
    // Where element i of a group starts.
    static size_t element(const value_group& g, int i) { return g.offset + size_t(i) * g.stride; }

    // The count that bounds a row, as received; -1 for a row without one.
    int count(const value_row& r, size_t base = 0) const;
    // Values of a row the record holds from the last reply: an array's by
    // its count and rule, or its capacity.
    int held(const value_row& r, size_t base = 0) const;
    // Value k of a row in the element at base: a float as it is stored, a
    // whole number as a double.
    double number(const value_row& r, size_t base = 0, int k = 0) const;
    // Whether value k was supplied: a marked row's NOT_PROVIDED was not.
    bool supplied(const value_row& r, size_t base = 0, int k = 0) const;
    // Value k as JSON's number (the shortest text that reads back as the
    // stored float; a whole number as itself).
    std::string text(const value_row& r, size_t base = 0, int k = 0) const;
    // A row's bytes in upper-case hex.
    std::string hex(const value_row& r, size_t base = 0) const;

    // A history column's value; false where the record holds none (an
    // element, a value not reported, a value not supplied).
    bool column(const history_column& c, double& v) const;

    // The round time's 7 bytes (the record's time row); nullptr when the
    // model shows none.
    const uint8_t* round_time() const;

private:
    const uint8_t* at(const value_row& r, size_t base, int k) const {
        return bytes_ + base + r.offset + size_t(k) * size_t(width_of(r.type));
    }
    // Elements of a group that hold any byte.
    int elements_with_data(const value_group& g) const;

    const model_descriptor& model_;
    const uint8_t* bytes_;
    int dc_reported_;
};

// The host's 7-byte time value (year low byte first, month, day, hour,
// minute, second) as "2026-12-07T19:37:00", or with sep ' ' between date and
// time; whether it holds a time at all (a record no round has stamped holds
// seven zero bytes).
std::string time_text(const uint8_t* t, char sep = 'T');
bool time_set(const uint8_t* t);

// A row's name for people: its label, or its name.
inline const char* label_of(const value_row& r) { return r.label ? r.label : r.name; }

}  // namespace tzv58::tool
