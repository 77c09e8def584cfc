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

//! One part of a step: `thread` 0 is the caller's, 1 .. workers the
//! workers'; `generation` counts the steps the pool has run, from 1.
using PartFn = void (*)(void *context, int32_t thread, const StepOrder &order,
                        uint32_t generation);

//! Workers made once, each waiting for the next step by spinning briefly,
//! then yielding the processor, and only after a long pause (no step for
//! several milliseconds, so never in the middle of a render's step) sleeping
//! until the next step wakes it.
//!
//! The caller does not wait for the workers at the end of a step: each part
//! waits, inside its step, only for the parts whose positions it reads (see
//! step_pool_wait), so the workers may still be on a step, or even on the one
//! before, when the caller starts the next. step_pool_sync catches up.
struct StepPool;

//! Starts `workers` threads (1 or more) that run fn(context, 1 .. workers) at
//! every step_pool_run. Null when memory runs out or a thread cannot be
//! started; then no thread is left running.
StepPool *step_pool_new(int32_t workers, PartFn fn, void *context);

//! Starts the next step: publishes `order` to the workers, then runs the
//! caller's part and returns the time stamp counter ticks the call took (its
//! waits included). Whatever the caller wrote before the call is seen by the
//! workers.
uint64_t step_pool_run(StepPool *pool, const StepOrder &order);

//! Waits, spinning then yielding but never sleeping, until `thread` has
//! finished step `generation` (0: returns at once); what it wrote by then is
//! seen by the waiting thread after the call.
void step_pool_wait(StepPool *pool, int32_t thread, uint32_t generation);

//! Marks that the calling `thread` has reached, in step `generation`, a
//! point its neighbours wait for with step_pool_wait_mark (what it wrote
//! before is seen by them after their wait). A thread that never marks a
//! step is waited for until it finishes it.
void step_pool_mark(StepPool *pool, int32_t thread, uint32_t generation);

//! As step_pool_wait, for the mark of `thread` in step `generation` (or the
//! end of that step, whichever comes first).
void step_pool_wait_mark(StepPool *pool, int32_t thread, uint32_t generation);

//! Whether `thread` has finished step `generation` (with `marks`: marked or
//! finished it); as the waits, without waiting.
bool step_pool_reached(StepPool *pool, int32_t thread, uint32_t generation, bool marks);

//! Fetches into the calling core's cache the line `thread` marks its steps
//! on (`marks`), or the one it finishes them on: a hint, which changes
//! nothing but how soon a later wait on it returns.
void step_pool_fetch_progress(StepPool *pool, int32_t thread, bool marks);

//! Fetches into the calling core's cache the line step `generation`'s order
//! is published on: a hint, as step_pool_fetch_progress.
void step_pool_fetch_order(StepPool *pool, uint32_t generation);

//! Waits until every worker has finished every step started; whatever the
//! workers wrote is seen by the caller after it.
void step_pool_sync(StepPool *pool);

//! Ends and joins every worker, then releases the pool. Null is ignored.
void step_pool_free(StepPool *pool);

} // namespace cwphymod
