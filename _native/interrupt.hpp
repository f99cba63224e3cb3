// Cooperative interruption of long computations.
//
// The host (the Python binding) installs one check that says whether the
// user asked to stop (Ctrl-C). Long loops poll it through a pacer, about
// every million elementary operations; only the thread that entered the computation (the
// primary thread of an OpenMP team) runs the check, since the host's check may
// need what only that thread holds (the interpreter lock). Every other thread
// reads the stop flag that the check raises. A stopped computation throws
// Interrupted, which unwinds like any other error: nothing is left running
// and nothing leaks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>

namespace zelt {

struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

// The host's check: true when the computation should stop. Not called again
// once it has said so, until the next computation.
using InterruptCheck = bool (*)();
void set_interrupt_check(InterruptCheck check);

// Marks one long computation, on the thread that enters it: that thread may
// run the check, and the stop flag starts lowered. Scopes nest (a check may
// run host code that calls back in); the outer state comes back on exit.
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    // Opened inside an active parallel region (an iteration of an enclosing
    // loop on a team): the enclosing computation's scope holds, and this one
    // changes nothing, so that no thread of its team claims the check and no
    // stop already asked for is lowered.
    bool nested_in_team_;
    bool outer_entering_;
    bool outer_stop_;
};

// Whether a stop was asked for in the current computation (any thread).
bool stop_requested();
// On the entering thread: runs the check (once it said stop, only the flag
// is read). Elsewhere: reads the flag. Returns whether to stop; never throws.
bool poll_interrupt();
// poll_interrupt(), throwing Interrupted on a stop.
void check_interrupt();

// Polls every `interval` calls of step(), the interval chosen so that about
// kWorkPerPoll elementary operations (one multiply-add, one comparison) lie
// between two polls: a poll then costs well under a thousandth of the work,
// and a stop is seen within about a millisecond of work.
class InterruptPacer {
public:
    static constexpr double kWorkPerPoll = 1 << 20;
    explicit InterruptPacer(double work_per_step)
        : interval_(work_per_step >= kWorkPerPoll
                        ? 1
                        : static_cast<std::int64_t>(kWorkPerPoll / (work_per_step > 1.0 ? work_per_step : 1.0))),
          left_(interval_) {}

    void step() {
        if (--left_ <= 0) {
            left_ = interval_;
            check_interrupt();
        }
    }

private:
    std::int64_t interval_;
    std::int64_t left_;
};

bool is_entering_thread();

// ---- fork -------------------------------------------------------------------
// GNU OpenMP's thread team does not survive fork(): the child has only the
// forking thread, and a parallel region there waits for ever on threads that
// exist only in the parent. That holds whoever started the team (this module or
// another library on the same runtime), so every fork child is marked by a
// handler registered with pthread_atfork.

// Whether this process is a fork child (of any process).
bool is_fork_child();
// The entering thread marks a loop running on a team of two or more threads.
void set_team_running(bool running);
// In a child forked while such a loop ran (from a signal handler run by a
// poll), the loop can neither finish nor unwind: its iterations belong to
// threads the child lacks and its region's end waits for them. The child then
// says so on stderr and exits (status 70) instead of hanging.
void exit_if_team_lost_in_fork();

// The end of a loop shared by a thread team. The entering thread, once out of
// iterations, cannot wait at the team's barrier: it must keep polling while
// other threads finish long iterations. It waits here instead, woken by the
// last iteration to end, and polls between timed waits.
class IterationLatch {
public:
    explicit IterationLatch(int count) : count_(count) {}
    // One iteration has ended (any thread).
    void arrive();
    // Entering thread: returns once every iteration has ended, polling for an
    // interruption about every millisecond meanwhile.
    void wait_polling();

private:
    bool done() const { return ended_.load(std::memory_order_acquire) >= count_; }

    const int count_;
    std::atomic<int> ended_{0};
    std::mutex mutex_;
    std::condition_variable all_ended_;
};

}  // namespace zelt
