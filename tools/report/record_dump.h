// record: 1257-byte record images (history, cache, the hex text of one, or
// the publish and history lines of an events file) as JSON with the
// record's field names.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "telemetry/record.h"

namespace tzv58::tool {

// Reads images from a file ("-": standard input): 1257 raw bytes, or their
// hex text (blanks allowed), or event lines, of which every publish and
// history line gives one. false with a one-line reason naming the file.
bool read_records(const std::string& path, std::vector<tzv58_419_Data_t>& out, std::string& err);

// The whole record as a JSON object, one top-level field per line.
std::string record_json(const tzv58_419_Data_t& r);

// The record on one line with the same names, holding only what the power
// system reported: channels up to channel_count, modules up to module_count
// (each at most the record's capacity), and the first dc_units DC units.
std::string record_values_json(const tzv58_419_Data_t& r, int dc_units);

}  // namespace tzv58::tool
