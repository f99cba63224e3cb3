#include "interrupt.hpp"

#include <chrono>
#include <thread>

namespace zelt {

namespace {
std::atomic<InterruptCheck> installed_check{nullptr};
// One computation runs at a time (the host serialises its calls), so one flag
// serves it; the threads of its team read it.
std::atomic<bool> stop_flag{false};
thread_local bool entering_thread = false;
}  // namespace

void set_interrupt_check(InterruptCheck check) { installed_check.store(check); }

InterruptScope::InterruptScope()
    : outer_entering_(entering_thread), outer_stop_(stop_flag.load(std::memory_order_relaxed)) {
    entering_thread = true;
    stop_flag.store(false, std::memory_order_relaxed);
}

InterruptScope::~InterruptScope() {
    entering_thread = outer_entering_;
    stop_flag.store(outer_stop_, std::memory_order_relaxed);
}

bool stop_requested() { return stop_flag.load(std::memory_order_relaxed); }

bool poll_interrupt() {
    if (stop_flag.load(std::memory_order_relaxed)) return true;
    if (!entering_thread) return false;
    const InterruptCheck check = installed_check.load(std::memory_order_relaxed);
    if (check == nullptr || !check()) return false;
    stop_flag.store(true, std::memory_order_relaxed);
    return true;
}

void check_interrupt() {
    if (poll_interrupt()) throw Interrupted();
}

namespace detail {

bool is_entering_thread() { return entering_thread; }

void poll_until_finished(const std::atomic<int>& finished, int count) {
    // Short waits (the end of a phase) yield; long ones (another thread still
    // on a long chain) sleep between polls, leaving the core to that thread.
    for (long round = 0; finished.load(std::memory_order_acquire) < count; ++round) {
        poll_interrupt();
        if (round < 2000) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}

}  // namespace detail

}  // namespace zelt
