// A compact summary of one poll round for a person at the console.
#pragma once

#include <cstdio>

#include "tools/events.h"

namespace tzv58::tool {

void print_summary(FILE* out, long round_no, bool completed, const EventPrinter::Round& round);

}  // namespace tzv58::tool
