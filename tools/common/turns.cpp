#include "tools/common/turns.h"

#include <atomic>
#include <mutex>

namespace tzv58::tool {
namespace {

std::mutex& turn() {
    static std::mutex* m = new std::mutex;  // outlives every thread that takes it
    return *m;
}
thread_local bool holding = false;
std::atomic<void (*)()> hook{nullptr};

}  // namespace

Turn::Turn() {
    turn().lock();
    holding = true;
}

Turn::~Turn() {
    if (void (*h)() = hook.load()) h();
    holding = false;
    turn().unlock();
}

Waiting::Waiting() {
    if (!holding) return;
    if (void (*h)() = hook.load()) h();
    holding = false;
    gave_ = true;
    turn().unlock();
}

Waiting::~Waiting() {
    if (!gave_) return;
    turn().lock();
    holding = true;
}

void before_giving_turn(void (*h)()) { hook = h; }

}  // namespace tzv58::tool
