// The process-wide worker pool: created on first use with one worker per processor
// this process may run on (its CPU affinity), so `taskset -c 0` gives one worker.
#pragma once

#include <cstddef>
#include <functional>

namespace dralm {

// Runs task(i) for every i in [0, count) on the pool and waits for all of them.
// Tasks write their results into caller-owned slots indexed by i, so results are
// in input order whatever the scheduling. Safe to call from several threads at once;
// a call from inside a pool task runs its items inline (no deadlock).
void parallel_for(size_t count, const std::function<void(size_t)>& task);

// Number of workers the pool has (or will have when created).
size_t worker_count();

}  // namespace dralm
