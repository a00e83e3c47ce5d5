// record: 1257-byte record images (history, cache, the hex text of one, or
// the publish and history lines of an events file) as JSON with the
// record's field names.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "telemetry/record.h"

namespace tzv58::tool {

// A record read, and where it was: the file, or its line ("events:12").
using RecordSink = std::function<void(const tzv58_419_Data_t& r, const std::string& where)>;

// Reads images from a file ("-": standard input) and hands each on as it is
// read: 1257 raw bytes, or their hex text (blanks allowed, 8 KiB at most),
// or event lines (64 KiB each at most), of which every publish and history
// line gives one. Nothing is read beyond what a valid input can be. false
// with a one-line reason naming the file (and the line).
bool read_records(const std::string& path, const RecordSink& each, std::string& err);

// What shows that an image is not one this device wrote (its reserved bytes
// hold data), or that it holds less than the power system reported (a count
// beyond the record's channels, modules, battery strings or branches):
// "channel_count 24 exceeds 2, reserved bytes hold data: not a record of
// this device". Empty for a sound record.
std::string record_doubts(const tzv58_419_Data_t& r);

// The whole record as a JSON object, one top-level field per line.
std::string record_json(const tzv58_419_Data_t& r);

// The record on one line with the same names, holding only what the power
// system reported: channels up to channel_count, modules up to module_count
// (each at most the record's capacity), and the first dc_units DC units.
std::string record_values_json(const tzv58_419_Data_t& r, int dc_units);

}  // namespace tzv58::tool
