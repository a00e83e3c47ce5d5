#include "tools/live/device_queue.h"

#include <utility>
#include <vector>

namespace tzv58::tool {

void DeviceQueue::push(Work work, Responder reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back({std::move(work), std::move(reply), std::chrono::steady_clock::now()});
}

int DeviceQueue::run(int max_jobs) {
    int ran = 0;
    for (; ran < max_jobs; ++ran) {
        Job job;
        {
            // Taken out under the lock: from here on it cannot expire.
            std::lock_guard<std::mutex> lock(mutex_);
            if (jobs_.empty()) break;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job.reply(job.work());
    }
    return ran;
}

void DeviceQueue::expire(const std::function<HttpResponse()>& why) {
    std::vector<Responder> late;
    {
        const auto limit = std::chrono::steady_clock::now() - wait_;
        std::lock_guard<std::mutex> lock(mutex_);
        while (!jobs_.empty() && jobs_.front().queued < limit) {
            late.push_back(std::move(jobs_.front().reply));
            jobs_.pop_front();
        }
    }
    for (const Responder& r : late) r(why());
}

void DeviceQueue::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.clear();
}

}  // namespace tzv58::tool
