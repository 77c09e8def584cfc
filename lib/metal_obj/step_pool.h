// Worker threads that share each step of a compiled object. Internal: nothing
// here is exported from the shared library.
#pragma once

#include <cstdint>

namespace cwphymod {

//! What the caller tells every part at each step; it travels on the same
//! cache line as the signal that starts the step.
struct StepOrder {
    double dt, damp;
    int32_t current;     // which position buffer the step starts from
    int32_t caller_part; // which part the caller steps
};

//! One part of a step: `part` runs on its own thread (0 on the caller's).
using PartFn = void (*)(void *context, int32_t part, const StepOrder &order);

//! Workers made once, each waiting for the next step by spinning briefly,
//! then yielding the processor, and only after a long pause (no step for
//! several milliseconds, so never in the middle of a render's step) sleeping
//! until the next step wakes it.
struct StepPool;

//! Starts `workers` threads (1 or more) that run fn(context, 1 .. workers) at
//! every step_pool_run. Null when memory runs out or a thread cannot be
//! started; then no thread is left running.
StepPool *step_pool_new(int32_t workers, PartFn fn, void *context);

//! Time stamp counter ticks the caller spent in one step.
struct StepTicks {
    uint64_t own;  // on its own part
    uint64_t wait; // then waiting for the workers
};

//! Runs one step: every worker its part, the caller part 0; returns when all
//! parts are done. Whatever the caller wrote before the call is seen by the
//! workers, and whatever the workers wrote is seen by the caller after it.
StepTicks step_pool_run(StepPool *pool, const StepOrder &order);

//! Ends and joins every worker, then releases the pool. Null is ignored.
void step_pool_free(StepPool *pool);

} // namespace cwphymod
