// record: record images (history, cache, the hex text of one, or the publish
// and history lines of an events file) as JSON with the record's field
// names: the rows of its model's table of values (tools/common/record_view.h).
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tools/common/record_view.h"

namespace tzv58::tool {

// A record read, and where it was: the file, or its line ("events:12").
using RecordSink = std::function<void(const RecordView& r, const std::string& where)>;

// Reads images of the model's records from a file ("-": standard input) and
// hands each on as it is read: the record's raw bytes, or their hex text
// (blanks allowed, 8 KiB at most), or event lines (64 KiB each at most), of
// which every publish and history line gives one. Nothing is read beyond
// what a valid input can be. false with a one-line reason naming the file
// (and the line).
bool read_records(const model_descriptor& model, const std::string& path, const RecordSink& each, std::string& err);

// What shows that an image is not one this device wrote (its reserved bytes
// hold data), or that it holds less than the power system reported (a count
// beyond what the record holds of a group, or of an array that a larger
// count leaves as an older reply left it: AC switches, battery strings,
// branches, DC user values): "channel_count 24 exceeds 2, reserved bytes
// hold data: not a record of this device". Empty for a sound record.
std::string record_doubts(const RecordView& r);

// The whole record as a JSON object, one top-level field per line: every
// element the record has room for, every value of an array, the reserved
// bytes in hex, the round time in hex and as text.
std::string record_json(const RecordView& r);

// The record on one line with the same names, holding only the elements the
// power system reported (channels up to channel_count, modules up to
// module_count, the DC units reported, each at most the record's capacity).
std::string record_values_json(const RecordView& r);

}  // namespace tzv58::tool
