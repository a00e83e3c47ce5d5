// tzv58_419 as the host program's parts see it in the tests: its descriptor,
// compiled into the test, and a record of it read through its values.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "device/tzv58_419.h"
#include "tools/common/plugin_host.h"
#include "tools/common/record_view.h"

// The descriptor lives in the test itself: nothing to keep loaded.
inline tzv58::tool::ModelRef tzv58_model() {
    return tzv58::tool::ModelRef(std::shared_ptr<void>(), &tzv58_419::model());
}

inline tzv58::tool::RecordView view_of(const tzv58_419_Data_t& r, int dc_reported = -1) {
    return tzv58::tool::RecordView(tzv58_419::model(), reinterpret_cast<const uint8_t*>(&r), dc_reported);
}

inline std::vector<uint8_t> bytes_of(const tzv58_419_Data_t& r) {
    const auto* p = reinterpret_cast<const uint8_t*>(&r);
    return std::vector<uint8_t>(p, p + sizeof r);
}
