// Cooperative interruption: the installed host check, the stop flag shared by
// a thread team, and the latch on which the entering thread waits for the
// team's iterations while it polls (see interrupt.hpp).
#include "interrupt.hpp"

#include <omp.h>
#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>

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
    : nested_in_team_(omp_in_parallel() != 0),
      outer_entering_(entering_thread),
      outer_stop_(stop_flag.load(std::memory_order_relaxed)) {
    if (nested_in_team_) return;
    entering_thread = true;
    stop_flag.store(false, std::memory_order_relaxed);
}

InterruptScope::~InterruptScope() {
    if (nested_in_team_) return;
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

namespace {
// Spins before sleeping, as the team's own barrier does under the same
// OMP_WAIT_POLICY: a sleeping thread needs the scheduler to wake it, which
// on a busy machine can take longer than the chain it waits for.
long spins_before_sleep() {
    static const long spins = [] {
        const char* policy = std::getenv("OMP_WAIT_POLICY");
        if (policy != nullptr && strcasecmp(policy, "passive") == 0) return 0L;
        if (policy != nullptr && strcasecmp(policy, "active") == 0) return LONG_MAX;
        return 300000L;  // about the runtime's default spin count
    }();
    return spins;
}

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}
}  // namespace

namespace {
std::atomic<bool> fork_child{false};
std::atomic<bool> team_running{false};
std::atomic<bool> team_lost{false};

void on_fork_child() {
    fork_child.store(true);
    if (team_running.load()) team_lost.store(true);
}

[[maybe_unused]] const int fork_handler = pthread_atfork(nullptr, nullptr, &on_fork_child);
}  // namespace

bool is_fork_child() { return fork_child.load(std::memory_order_relaxed); }

void set_team_running(bool running) { team_running.store(running); }

void exit_if_team_lost_in_fork() {
    if (!team_lost.load(std::memory_order_relaxed)) return;
    static const char message[] =
        "zelt_core: this process was forked while a call ran on an OpenMP thread team; the team's "
        "other threads do not exist in the child, so the call can never finish there: the child exits\n";
    [[maybe_unused]] const ssize_t written = ::write(2, message, sizeof message - 1);
    ::_exit(70);
}

void IterationLatch::wait_polling() {
    const long spins = spins_before_sleep();
    for (long spin = 0; spin < spins && !done(); ++spin) {
        if ((spin & 0xFFF) == 0xFFF) {
            poll_interrupt();
            exit_if_team_lost_in_fork();
        }
        cpu_pause();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done()) {
        lock.unlock();
        poll_interrupt();
        exit_if_team_lost_in_fork();
        lock.lock();
        all_ended_.wait_for(lock, std::chrono::milliseconds(1), [this] { return done(); });
    }
}

}  // namespace zelt
