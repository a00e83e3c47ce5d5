// record: a 1257-byte record image (history, cache, or the hex text of a
// publish event's record) as JSON with the record's field names.
#pragma once

#include <cstdio>
#include <string>

#include "telemetry/record.h"

namespace tzv58::tool {

// Reads an image: 1257 raw bytes, or its hex text (blanks allowed), or a
// whole publish/history event line. false with a one-line reason.
bool read_record_file(const std::string& path, tzv58_419_Data_t& out, std::string& err);

// The record as a JSON object, one top-level field per line.
std::string record_json(const tzv58_419_Data_t& r);

}  // namespace tzv58::tool
