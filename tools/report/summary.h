// A compact summary of one poll round for a person at the console.
#pragma once

#include <cstdio>

#include "tools/report/observers.h"

namespace tzv58::tool {

// dc_reported: the DC units the power system reported (-1: unknown).
void print_summary(FILE* out, long round_no, bool completed, const RoundCollector& round, int dc_reported);

}  // namespace tzv58::tool
