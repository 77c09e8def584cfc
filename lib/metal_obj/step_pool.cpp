// The step pool: each step's order in a slot that the workers poll, a
// generation counter the caller advances once per step (which sleeping
// workers wait on), and one "done" counter per thread, each on its own cache
// line. The caller never
// waits for the end of a step: a part waits for the "done" of the parts
// beside it when it reaches the positions they wrote, by which time they have
// nearly always finished, so no hand-over between cores lies on the path of
// a step.
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
// A step that starts within this many ticks of the time stamp counter after
// the last one cannot find a worker asleep or on its way to sleep, so the
// caller needs no full fence to look for sleepers (a fence costs about a
// hundred nanoseconds a step). At the counter's rate on any processor of the
// last fifteen years (1 GHz or more) that is under a millisecond, well
// inside yield_before_sleep, and the counter is read in a fraction of the
// time the clock takes. A counter that jumps back counts as late, which is
// safe: the caller then looks for sleepers.
constexpr uint64_t surely_awake_ticks = 1000000;
// A sleeping worker looks at the generation again after this long even
// unwoken: a caller held up between its counter read and its signal (for
// longer than the margin above) costs a step at most this much.
constexpr long sleep_limit_ns = 2000000;

struct alignas(cache_line) Counter {
    std::atomic<uint32_t> value{0};
};

// Orders of the steps a worker may still have to run: a part waits only for
// the parts beside it, so a worker k parts away from the caller's can be k
// steps behind, and there are at most eight threads.
constexpr uint32_t orders_kept = 16;

// A step's order, with the step's number written after it, on a cache line
// of its own: a worker polls the slot of the step it waits for and finds the
// order on the same line (one hand-over between cores, not two).
struct alignas(cache_line) OrderSlot {
    std::atomic<uint32_t> step{0};
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
    Counter *done = nullptr; // per thread, the caller's first: the last generation it finished
    Counter *marked = nullptr; // per thread: the last generation it marked (or finished)
    Counter generation;      // the last step started; sleepers wait on it
    OrderSlot orders[orders_kept];
    Counter sleepers;        // workers asleep on `generation`
    // The processor of the caller when it last looked for sleepers.
    std::atomic<int32_t> caller_cpu{-1};
    std::atomic<bool> quit{false};
    // The caller's alone, on a line of its own.
    alignas(cache_line) uint64_t last_start = 0; // time stamp counter
};

namespace {

struct WorkerStart {
    StepPool *pool;
    int32_t part;
};

OrderSlot &slot_of(StepPool &pool, uint32_t step)
{
    return pool.orders[step % orders_kept];
}

// A worker started or woken by the caller is often placed on the caller's
// processor (the system keeps a new thread, or a wakee, near the cache it
// shares with its maker or waker), where the two would step by turns, each
// step a switch between them, until the system spreads them out some 20 ms
// later: a worker that starts or wakes there moves at once to another
// processor it may run on. Nothing binds it there.
void move_off_caller(const StepPool &pool)
{
    const int32_t cpu = pool.caller_cpu.load(std::memory_order_relaxed);
    if (cpu < 0 || cpu >= CPU_SETSIZE || sched_getcpu() != cpu)
        return;
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || !CPU_ISSET(cpu, &allowed) ||
        CPU_COUNT(&allowed) < 2)
        return;
    cpu_set_t elsewhere = allowed;
    CPU_CLR(cpu, &elsewhere);
    if (sched_setaffinity(0, sizeof elsewhere, &elsewhere) == 0)
        sched_setaffinity(0, sizeof allowed, &allowed);
}

// Waits until step seen + 1 has started and returns its order.
StepOrder wait_for_step(StepPool &pool, uint32_t seen)
{
    std::atomic<uint32_t> &gen = pool.generation.value;
    const OrderSlot &slot = slot_of(pool, seen + 1);
    for (int32_t i = 0; i < spins_before_yield; ++i) {
        if (slot.step.load(std::memory_order_acquire) == seen + 1)
            return slot.order;
        wait_a_little(i);
    }
    const auto give_up = std::chrono::steady_clock::now() + yield_before_sleep;
    for (;;) {
        if (slot.step.load(std::memory_order_acquire) == seen + 1)
            return slot.order;
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
        move_off_caller(pool);
    }
}

void *worker_main(void *arg)
{
    const WorkerStart start = *static_cast<WorkerStart *>(arg);
    std::free(arg);
    StepPool &pool = *start.pool;
    move_off_caller(pool);
    uint32_t seen = 0;
    for (;;) {
        const StepOrder order = wait_for_step(pool, seen);
        if (pool.quit.load(std::memory_order_acquire))
            return nullptr;
        ++seen;
        pool.fn(pool.context, start.part, order, seen);
        pool.marked[start.part].value.store(seen, std::memory_order_release);
        pool.done[start.part].value.store(seen, std::memory_order_release);
    }
}

// Starts the next generation with `order`. `soon`: the last one started
// less than surely_awake_ticks ago.
void advance(StepPool &pool, bool soon, const StepOrder &order = StepOrder{})
{
    std::atomic<uint32_t> &gen = pool.generation.value;
    const uint32_t next = gen.load(std::memory_order_relaxed) + 1;
    // No worker reads this slot now: the slowest is a few steps behind.
    OrderSlot &slot = slot_of(pool, next);
    slot.order = order;
    slot.step.store(next, std::memory_order_release);
    if (soon) {
        gen.store(next, std::memory_order_release);
        return;
    }
    // A worker counts itself a sleeper before it checks the generation one
    // last time, and the caller advances the generation before it counts the
    // sleepers: one of the two sees the other.
    pool.caller_cpu.store(sched_getcpu(), std::memory_order_relaxed);
    gen.store(next, std::memory_order_seq_cst);
    if (pool.sleepers.value.load(std::memory_order_seq_cst) > 0)
        futex_wake_all(&gen);
}

// Whether `done` has reached `generation`. Generations wrap around; a thread
// is never more than a few behind.
bool reached(const std::atomic<uint32_t> &done, uint32_t generation)
{
    return static_cast<int32_t>(done.load(std::memory_order_acquire) - generation) >= 0;
}

// Spins, then yields, until `done` reaches `generation`: a thread in the
// middle of a step never sleeps.
void wait_done(const std::atomic<uint32_t> &done, uint32_t generation)
{
    for (int32_t round = 0; !reached(done, generation); ++round)
        wait_a_little(round);
}

// The counter `thread` marks its steps on, or the one it finishes them on.
const std::atomic<uint32_t> &progress(const StepPool &pool, int32_t thread, bool marks)
{
    return (marks ? pool.marked[thread] : pool.done[thread]).value;
}

void sync_workers(StepPool &pool)
{
    const uint32_t g = pool.generation.value.load(std::memory_order_relaxed);
    for (int32_t i = 1; i <= pool.workers; ++i)
        wait_done(pool.done[i].value, g);
}

void stop_workers(StepPool &pool)
{
    sync_workers(pool);
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
    std::free(pool->marked);
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
    pool->caller_cpu.store(sched_getcpu(), std::memory_order_relaxed);
    const auto n = static_cast<std::size_t>(workers) + 1;
    pool->threads = static_cast<pthread_t *>(allocate(n * sizeof(pthread_t)));
    // The counters must sit on cache lines of their own.
    void *done = nullptr, *marked = nullptr;
    if (pool->threads && posix_memalign(&done, cache_line, n * sizeof(Counter)) == 0) {
        pool->done = static_cast<Counter *>(done);
        for (std::size_t i = 0; i < n; ++i)
            new (&pool->done[i]) Counter;
    }
    if (pool->done && posix_memalign(&marked, cache_line, n * sizeof(Counter)) == 0) {
        pool->marked = static_cast<Counter *>(marked);
        for (std::size_t i = 0; i < n; ++i)
            new (&pool->marked[i]) Counter;
    }
    if (!pool->threads || !pool->done || !pool->marked) {
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

uint64_t step_pool_run(StepPool *pool, const StepOrder &order)
{
    const uint64_t now = __rdtsc();
    const bool soon = now - pool->last_start < surely_awake_ticks;
    pool->last_start = now;
    const uint32_t g = pool->generation.value.load(std::memory_order_relaxed) + 1;
    advance(*pool, soon, order);
    pool->fn(pool->context, 0, order, g);
    pool->marked[0].value.store(g, std::memory_order_release);
    pool->done[0].value.store(g, std::memory_order_release);
    return __rdtsc() - now;
}

void step_pool_wait(StepPool *pool, int32_t thread, uint32_t generation)
{
    wait_done(pool->done[thread].value, generation);
}

void step_pool_mark(StepPool *pool, int32_t thread, uint32_t generation)
{
    pool->marked[thread].value.store(generation, std::memory_order_release);
}

void step_pool_wait_mark(StepPool *pool, int32_t thread, uint32_t generation)
{
    wait_done(pool->marked[thread].value, generation);
}

bool step_pool_reached(StepPool *pool, int32_t thread, uint32_t generation, bool marks)
{
    return reached(progress(*pool, thread, marks), generation);
}

void step_pool_fetch_progress(StepPool *pool, int32_t thread, bool marks)
{
    _mm_prefetch(reinterpret_cast<const char *>(&progress(*pool, thread, marks)), _MM_HINT_T0);
}

void step_pool_fetch_order(StepPool *pool, uint32_t generation)
{
    _mm_prefetch(reinterpret_cast<const char *>(&slot_of(*pool, generation)), _MM_HINT_T0);
}

void step_pool_sync(StepPool *pool)
{
    sync_workers(*pool);
}

void step_pool_free(StepPool *pool)
{
    if (!pool)
        return;
    stop_workers(*pool);
    release(pool);
}

} // namespace cwphymod
