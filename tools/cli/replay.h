// replay: feeds a scripted exchange to the device, one line at a time, on a
// simulated clock that starts at 2026-01-01 00:00:00.
//
//   ~200142009016...F93F          reply characters; the host adds CR
//   @refresh                      RefreshStatus
//   @clock +S                     the clock moves S seconds (may be negative)
//   @get ID [N]                   Get_Value(N, ID); ID may be a JSON string
//   @control CODE OUTLEN hex:HH.. DeviceIoControl with those bytes
//   @control CODE OUTLEN text:..  ... with the rest of the line, exactly
//   @cache hex:HH..               LoadFromCache
// Blank lines and lines starting with # are skipped.
#pragma once

#include <string>
#include <vector>

#include "tools/common/plugin_host.h"
#include "tools/report/events.h"

namespace tzv58::tool {

struct ScriptStep {
    enum Kind { reply, refresh, clock, get, control, cache } kind = reply;
    int line_no = 0;
    std::string text;                  // reply characters; the id for get
    std::vector<unsigned char> bytes;  // control input, cache image
    long long number = 0;              // clock seconds, get index, control code
    int out_len = 0;                   // control output buffer
};

// Reads a whole script. false with "FILE:LINE: ..." for the first line that
// cannot be understood (or a file that cannot be read).
bool read_script(const std::string& path, std::vector<ScriptStep>& steps, std::string& err);

// Carries out every step on the device.
void run_script(const std::vector<ScriptStep>& steps, ZMXSPDevice& device, ManualClock& clock, EventPrinter& events);

}  // namespace tzv58::tool
