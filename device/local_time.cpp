#include "device/local_time.h"

#include <dlfcn.h>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace tzv58 {

namespace {

using host_clock_fn = int (*)(const void*, long long*);

host_clock_fn host_clock() {
    static const host_clock_fn hook =
        reinterpret_cast<host_clock_fn>(dlsym(RTLD_DEFAULT, "tzv58_host_local_time"));
    return hook;
}

}  // namespace

void find_host_clock() { host_clock(); }

boost::posix_time::ptime local_time(const void* device) {
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    long long seconds = 0;
    const host_clock_fn hook = host_clock();
    if (hook && hook(device, &seconds) == 1) return epoch + boost::posix_time::seconds(seconds);
    return boost::posix_time::second_clock::local_time();
}

}  // namespace tzv58
