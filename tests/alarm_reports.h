// Readable alarm reports in test failures.
#pragma once

#include <ostream>

#include "host/recorder.h"

inline void PrintTo(const AlarmReport& r, std::ostream* os) {
    *os << "{" << r.level << ", " << r.key << ", " << r.id << ", " << r.text1 << ", " << r.text2 << ", "
        << (r.active ? "active" : "inactive") << ", seq " << r.seq << "}";
}
