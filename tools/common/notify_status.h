// What the on-event runner could not notify, told to the metrics and to the
// run's status (which know nothing else of it). The events its full queue
// dropped are counted apart, as the "notify" drop count (output_pump.h).
#pragma once

#include <atomic>

namespace tzv58::tool {

struct NotifyFailures {
    std::atomic<unsigned long long> cannot_run{0};  // the program could not be started for the event
    std::atomic<unsigned long long> at_end{0};      // still waiting, or stopped, when the host ended
};

inline NotifyFailures& notify_failures() {
    static NotifyFailures failures;
    return failures;
}

}  // namespace tzv58::tool
