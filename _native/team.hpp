// The project's parallel loops: indices shared by the OpenMP team, each
// iteration writing only its own slot, with the core's guards (interruption
// polled by the entering thread, a team lost in a fork). Used by the search's
// chains and by zelt_fit's row blocks.
#pragma once

#include "interrupt.hpp"

#include <omp.h>

#include <exception>
#include <vector>

namespace zelt {

// A fork child runs its loops on the calling thread (interrupt.hpp says why),
// with the same result, since the result never depends on the team size.
// Inside an iteration of an enclosing team's loop the calling thread is the
// team: the enclosing loop already keeps every core busy.
inline bool thread_team_usable() { return !is_fork_child() && !omp_in_parallel(); }

// Runs task(i) for i = 0 .. count-1, one index per iteration of a dynamically
// scheduled loop on the OpenMP team (on the calling thread alone unless
// use_team). Each iteration writes only what belongs to its index. An
// exception may not cross the parallel region: each index keeps its own, and
// after the loop an interruption is rethrown first, else the lowest index's
// exception, whatever the team size. Iterations not yet started when a stop
// is asked for do not run. Inside an iteration of an enclosing team's loop
// the indices run in order on the calling thread.
template <class Task>
void for_each_index_on_team(int count, bool use_team, Task&& task) {
    if (omp_in_parallel() || !use_team || count <= 1) {
        // an iteration of an enclosing team's loop (a batch of fits), or work
        // for one thread: this thread runs every index in order (no team to
        // wake), the first failure ends the loop
        for (int i = 0; i < count; ++i) {
            if (stop_requested()) throw Interrupted();
            task(i);
        }
        return;
    }
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(count > 0 ? count : 0));
    IterationLatch latch(count);
#pragma omp parallel if (use_team)
    {
        if (is_entering_thread() && omp_get_num_threads() > 1) set_team_running(true);
#pragma omp for schedule(dynamic, 1) nowait
        for (int i = 0; i < count; ++i) {
            if (is_entering_thread()) exit_if_team_lost_in_fork();
            try {
                if (stop_requested()) throw Interrupted();
                task(i);
            } catch (...) {
                failures[static_cast<std::size_t>(i)] = std::current_exception();
            }
            latch.arrive();
        }
        if (is_entering_thread()) latch.wait_polling();
    }
    set_team_running(false);
    if (stop_requested()) throw Interrupted();
    for (const auto& f : failures) {
        if (f) std::rethrow_exception(f);
    }
}

}  // namespace zelt
