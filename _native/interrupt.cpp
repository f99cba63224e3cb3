#include "interrupt.hpp"

#include <chrono>

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

bool is_entering_thread() { return entering_thread; }

void IterationLatch::arrive() {
    if (ended_.fetch_add(1, std::memory_order_acq_rel) + 1 == count_) {
        const std::lock_guard<std::mutex> lock(mutex_);
        all_ended_.notify_all();
    }
}

void IterationLatch::wait_polling() {
    // At the end of a phase the last iteration is usually about to end: a
    // short spin (tens of microseconds) saves a sleep and a wake-up. Yielding
    // instead would hand the core to other processes on a busy machine.
    for (int spin = 0; spin < 2000 && !done(); ++spin) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done()) {
        lock.unlock();
        poll_interrupt();
        lock.lock();
        all_ended_.wait_for(lock, std::chrono::milliseconds(1), [this] { return done(); });
    }
}

}  // namespace zelt
