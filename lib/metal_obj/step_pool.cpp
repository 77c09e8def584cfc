// The step pool: a generation counter the caller advances once per step, and
// one "done" counter per worker, each on its own cache line. A step costs the
// caller two hand-overs between cores (a worker seeing the new generation, the
// caller seeing the worker's done), a few hundred nanoseconds.
#include "step_pool.h"

#include <immintrin.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "alloc.h"

namespace cwphymod {

namespace {

constexpr std::size_t cache_line = 64;
// A waiting thread first polls without pausing (a pause takes over a hundred
// cycles on recent Intel cores, all of it added to the hand-over), then
// with pauses, then yields: together about the length of a large mesh's
// step, so a worker is ready again in time.
constexpr int32_t polls_before_pause = 2000;
constexpr int32_t spins_before_yield = 4000;
// ... and yields for this long before it sleeps. Only a caller that pauses
// between steps (a progress report, the end of a render) lets it sleep.
constexpr auto yield_before_sleep = std::chrono::milliseconds(5);
// A step that starts this soon after the last one cannot find a worker
// asleep or on its way to sleep, so the caller needs no full fence to look
// for sleepers (a fence costs about a hundred nanoseconds a step). The margin
// to yield_before_sleep covers clock reads on two cores.
constexpr auto surely_awake = std::chrono::milliseconds(3);
// A sleeping worker looks at the generation again after this long even
// unwoken: a caller held up between its clock read and its signal (for
// longer than the margin above) costs a step at most this much.
constexpr long sleep_limit_ns = 2000000;

struct alignas(cache_line) Counter {
    std::atomic<uint32_t> value{0};
};

// The generation and the step's order share a line: a worker that sees the
// new generation has the order in the same transfer.
struct alignas(cache_line) Signal {
    std::atomic<uint32_t> value{0};
    StepOrder order{};
};

// One poll of a waiting thread: bare at first, then pausing, then yielding.
void wait_a_little(int32_t round)
{
    if (round < polls_before_pause)
        return;
    if (round < spins_before_yield)
        _mm_pause();
    else
        sched_yield();
}

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word");

void futex_wait(std::atomic<uint32_t> *word, uint32_t expected)
{
    const timespec limit{0, sleep_limit_ns};
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_PRIVATE, expected, &limit,
            nullptr, 0);
}

void futex_wake_all(std::atomic<uint32_t> *word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr,
            nullptr, 0);
}

} // namespace

struct StepPool {
    void *memory = nullptr; // the allocation the pool was placed in
    PartFn fn = nullptr;
    void *context = nullptr;
    int32_t workers = 0;
    int32_t started = 0;
    pthread_t *threads = nullptr;
    Counter *done = nullptr; // per worker: the last generation it finished
    Signal generation;       // advanced by the caller once per step
    Counter sleepers;        // workers asleep on `generation`
    std::atomic<bool> quit{false};
    // The caller's alone, on a line of its own.
    alignas(cache_line) std::chrono::steady_clock::time_point last_start{};
};

namespace {

struct WorkerStart {
    StepPool *pool;
    int32_t part;
};

// Waits until the generation differs from `seen` and returns it.
uint32_t wait_for_step(StepPool &pool, uint32_t seen)
{
    std::atomic<uint32_t> &gen = pool.generation.value;
    for (int32_t i = 0; i < spins_before_yield; ++i) {
        const uint32_t g = gen.load(std::memory_order_acquire);
        if (g != seen)
            return g;
        wait_a_little(i);
    }
    const auto give_up = std::chrono::steady_clock::now() + yield_before_sleep;
    for (;;) {
        const uint32_t g = gen.load(std::memory_order_acquire);
        if (g != seen)
            return g;
        if (std::chrono::steady_clock::now() < give_up) {
            sched_yield();
            continue;
        }
        // The caller wakes sleepers after advancing the generation; the
        // futex rechecks the word, so an advance between the count and the
        // wait is not missed.
        pool.sleepers.value.fetch_add(1, std::memory_order_seq_cst);
        if (gen.load(std::memory_order_seq_cst) == seen)
            futex_wait(&gen, seen);
        pool.sleepers.value.fetch_sub(1, std::memory_order_seq_cst);
    }
}

void *worker_main(void *arg)
{
    const WorkerStart start = *static_cast<WorkerStart *>(arg);
    std::free(arg);
    StepPool &pool = *start.pool;
    uint32_t seen = 0;
    for (;;) {
        seen = wait_for_step(pool, seen);
        if (pool.quit.load(std::memory_order_acquire))
            return nullptr;
        const StepOrder order = pool.generation.order;
        pool.fn(pool.context, start.part, order);
        pool.done[start.part - 1].value.store(seen, std::memory_order_release);
    }
}

// Starts the next generation. `soon`: the last one started less than
// surely_awake ago.
void advance(StepPool &pool, bool soon)
{
    std::atomic<uint32_t> &gen = pool.generation.value;
    const uint32_t next = gen.load(std::memory_order_relaxed) + 1;
    if (soon) {
        gen.store(next, std::memory_order_release);
        return;
    }
    // A worker counts itself a sleeper before it checks the generation one
    // last time, and the caller advances the generation before it counts the
    // sleepers: one of the two sees the other.
    gen.store(next, std::memory_order_seq_cst);
    if (pool.sleepers.value.load(std::memory_order_seq_cst) > 0)
        futex_wake_all(&gen);
}

void stop_workers(StepPool &pool)
{
    pool.quit.store(true, std::memory_order_release);
    advance(pool, false);
    for (int32_t i = 0; i < pool.started; ++i)
        pthread_join(pool.threads[i], nullptr);
    pool.started = 0;
}

void release(StepPool *pool)
{
    std::free(pool->threads);
    std::free(pool->done);
    void *memory = pool->memory;
    pool->~StepPool();
    std::free(memory);
}

} // namespace

StepPool *step_pool_new(int32_t workers, PartFn fn, void *context)
{
    if (workers < 1)
        return nullptr;
    // Placed on a cache line boundary, which malloc does not promise.
    void *mem = allocate(sizeof(StepPool) + cache_line);
    if (!mem)
        return nullptr;
    const auto at = (reinterpret_cast<std::uintptr_t>(mem) + cache_line - 1) &
                    ~std::uintptr_t{cache_line - 1};
    auto *pool = new (reinterpret_cast<void *>(at)) StepPool;
    pool->memory = mem;
    pool->fn = fn;
    pool->context = context;
    pool->workers = workers;
    const auto n = static_cast<std::size_t>(workers);
    pool->threads = static_cast<pthread_t *>(allocate(n * sizeof(pthread_t)));
    // The counters must sit on cache lines of their own.
    void *done = nullptr;
    if (pool->threads && posix_memalign(&done, cache_line, n * sizeof(Counter)) == 0) {
        pool->done = static_cast<Counter *>(done);
        for (std::size_t i = 0; i < n; ++i)
            new (&pool->done[i]) Counter;
    }
    if (!pool->threads || !pool->done) {
        release(pool);
        return nullptr;
    }
    for (int32_t i = 0; i < workers; ++i) {
        auto *start = static_cast<WorkerStart *>(allocate(sizeof(WorkerStart)));
        if (!start) {
            stop_workers(*pool);
            release(pool);
            return nullptr;
        }
        *start = WorkerStart{pool, i + 1};
        if (pthread_create(&pool->threads[i], nullptr, worker_main, start) != 0) {
            std::free(start);
            stop_workers(*pool);
            release(pool);
            return nullptr;
        }
        ++pool->started;
    }
    return pool;
}

StepTicks step_pool_run(StepPool *pool, const StepOrder &order)
{
    const auto now = std::chrono::steady_clock::now();
    const bool soon = now - pool->last_start < surely_awake;
    pool->last_start = now;
    // No worker reads the order now: each has finished the last step and
    // waits for the next generation, whose release publishes the order.
    pool->generation.order = order;
    advance(*pool, soon);
    const uint32_t g = pool->generation.value.load(std::memory_order_relaxed);
    const uint64_t start = __rdtsc();
    pool->fn(pool->context, 0, order);
    const uint64_t own_done = __rdtsc();
    // The caller is in the middle of a step: it spins, then yields, but never
    // sleeps.
    for (int32_t i = 0; i < pool->workers; ++i) {
        std::atomic<uint32_t> &done = pool->done[i].value;
        for (int32_t round = 0; done.load(std::memory_order_acquire) != g; ++round)
            wait_a_little(round);
    }
    return StepTicks{own_done - start, __rdtsc() - own_done};
}

void step_pool_free(StepPool *pool)
{
    if (!pool)
        return;
    stop_workers(*pool);
    release(pool);
}

} // namespace cwphymod
