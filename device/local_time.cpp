#include "device/local_time.h"

#include <boost/date_time/posix_time/posix_time.hpp>

// Default visibility: a hidden weak reference would be settled, as null, when
// the plug-in is linked, not by the loader.
extern "C" __attribute__((weak, visibility("default"))) int tzv58_host_local_time(const void* device,
                                                                                  long long* seconds);

namespace tzv58 {

boost::posix_time::ptime local_time(const void* device) {
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    long long seconds = 0;
    if (tzv58_host_local_time && tzv58_host_local_time(device, &seconds) == 1)
        return epoch + boost::posix_time::seconds(seconds);
    return boost::posix_time::second_clock::local_time();
}

}  // namespace tzv58
