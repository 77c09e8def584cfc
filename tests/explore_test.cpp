// Randomise and mutate against the window's ranges and the locks over
// thousands of seeds, the trial render's verdicts, determinism of seeded
// takes, and the undo history.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "explore.h"
#include "history.h"
#include "render.h"

namespace {

namespace range = instrument_range;

SoundParams default_sound()
{
    return SoundParams{instrument_defaults(), 1.0};
}

bool shown_digits(double x, double scale)
{
    return std::round(x * scale) / scale == x;
}

// Every value inside the range the window allows and at the digits it
// shows; both nodes movable.
void expect_in_window_ranges(const SoundParams &p, uint32_t seed)
{
    const Instrument &i = p.instrument;
    SCOPED_TRACE("seed " + std::to_string(seed));
    ASSERT_GE(i.type, TYPE_TUBE);
    ASSERT_LE(i.type, TYPE_PLANE);
    EXPECT_GE(i.tube_height, range::tube_height_min);
    EXPECT_LE(i.tube_height, range::tube_height_max);
    EXPECT_GE(i.tube_circumference, range::tube_circumference_min);
    EXPECT_LE(i.tube_circumference, range::tube_circumference_max);
    EXPECT_GE(i.rod_length, range::rod_length_min);
    EXPECT_LE(i.rod_length, range::rod_length_max);
    EXPECT_GE(i.plane_length, range::plane_length_min);
    EXPECT_LE(i.plane_length, range::plane_length_max);
    EXPECT_GE(i.plane_width, range::plane_width_min);
    EXPECT_LE(i.plane_width, range::plane_width_max);
    EXPECT_TRUE(instrument_node_is_movable(i, i.actuation_node)) << i.actuation_node;
    EXPECT_TRUE(instrument_node_is_movable(i, i.sampling_node)) << i.sampling_node;
    for (const double x : {i.tension, i.speed, i.damping, i.velocity, p.sample_length})
        EXPECT_TRUE(shown_digits(x, 1000.0)) << x;
    EXPECT_TRUE(shown_digits(i.decay_level, 100.0)) << i.decay_level;
    EXPECT_GE(i.tension, range::tension_min);
    EXPECT_LE(i.tension, range::tension_max);
    EXPECT_GE(i.speed, range::speed_min);
    EXPECT_LE(i.speed, range::speed_max);
    EXPECT_GE(i.damping, range::damping_min);
    EXPECT_LE(i.damping, range::damping_max);
    EXPECT_GE(i.velocity, range::velocity_min);
    EXPECT_LE(i.velocity, range::velocity_max);
    EXPECT_GE(i.decay_level, range::decay_level_min);
    EXPECT_LE(i.decay_level, range::decay_level_max);
    EXPECT_GE(p.sample_length, 0.05);
    EXPECT_LE(p.sample_length, 10.0);
    EXPECT_TRUE(i.actuation == ACTUATION_COMPRESSION || i.actuation == ACTUATION_PERPENDICULAR);
}

// Every locked group as the base had it.
void expect_locked_kept(const SoundParams &p, const SoundParams &base, const Locks &locks)
{
    const Instrument &i = p.instrument, &b = base.instrument;
    if (locks[LockGroup::shape_size]) {
        EXPECT_EQ(i.type, b.type);
        EXPECT_EQ(i.tube_height, b.tube_height);
        EXPECT_EQ(i.tube_circumference, b.tube_circumference);
        EXPECT_EQ(i.rod_length, b.rod_length);
        EXPECT_EQ(i.plane_length, b.plane_length);
        EXPECT_EQ(i.plane_width, b.plane_width);
    }
    if (locks[LockGroup::nodes]) {
        EXPECT_EQ(i.actuation_node, b.actuation_node);
        EXPECT_EQ(i.sampling_node, b.sampling_node);
    }
    if (locks[LockGroup::tension]) {
        EXPECT_EQ(i.tension, b.tension);
    }
    if (locks[LockGroup::speed]) {
        EXPECT_EQ(i.speed, b.speed);
    }
    if (locks[LockGroup::damping]) {
        EXPECT_EQ(i.damping, b.damping);
    }
    if (locks[LockGroup::actuation]) {
        EXPECT_EQ(i.actuation, b.actuation);
    }
    if (locks[LockGroup::velocity]) {
        EXPECT_EQ(i.velocity, b.velocity);
    }
    if (locks[LockGroup::length_decay]) {
        EXPECT_EQ(p.sample_length, base.sample_length);
        EXPECT_EQ(i.decay_stop, b.decay_stop);
        EXPECT_EQ(i.decay_level, b.decay_level);
    }
}

Locks locks_from_bits(unsigned bits)
{
    Locks locks;
    for (int g = 0; g < lock_group_count; ++g)
        locks.locked[static_cast<size_t>(g)] = (bits >> g) & 1u;
    return locks;
}

// A full render of the sound as the program would make it: finite, with
// motion that crosses zero.
void expect_full_render_plays(const SoundParams &p, int32_t rate_hz)
{
    Instrument ins = p.instrument;
    const auto frames = static_cast<uint64_t>(rate_hz * p.sample_length);
    std::vector<double> buffer(frames);
    const double decay = ins.decay_stop ? static_cast<double>(static_cast<float>(ins.decay_level))
                                        : 0.0;
    const uint64_t n = cw_metal_obj_render(&ins, rate_hz, frames, buffer.data(), nullptr, decay);
    ASSERT_GE(n, static_cast<uint64_t>(0.05 * rate_hz));
    int crossings = 0;
    for (uint64_t k = 0; k < n; ++k) {
        ASSERT_TRUE(std::isfinite(buffer[k])) << "frame " << k;
        if (k > 0 && (buffer[k - 1] < 0) != (buffer[k] < 0))
            ++crossings;
    }
    EXPECT_GT(crossings, 4);
}

} // namespace

TEST(Explore, RandomiseAndMutateKeepRangesAndLocksOverThousandsOfSeeds)
{
    SoundParams base = default_sound();
    base.instrument.decay_stop = 1;
    const unsigned lock_sets[] = {0x00, 0xff, 0x01, 0x02, 0x03, 0x5a, 0xa5, 0x7e};
    for (const unsigned bits : lock_sets) {
        const Locks locks = locks_from_bits(bits);
        for (uint32_t seed = 0; seed < 1000; ++seed) {
            const RandomSource r = take_random_source(seed, 0);
            const SoundParams a = randomise(base, locks, r.get());
            expect_in_window_ranges(a, seed);
            expect_locked_kept(a, base, locks);
            // A mutation of the random sound, as a user goes on from it.
            const SoundParams m = mutate(a, locks, g_rand_double(r.get()), r.get());
            expect_in_window_ranges(m, seed);
            expect_locked_kept(m, a, locks);
            if (HasFailure())
                return;
        }
    }
}

TEST(Explore, RandomiseReachesEveryShapeAndBothActuations)
{
    int shapes[3] = {}, actuations[2] = {};
    for (uint32_t seed = 0; seed < 300; ++seed) {
        const RandomSource r = take_random_source(seed, 0);
        const SoundParams a = randomise(default_sound(), Locks{}, r.get());
        ++shapes[a.instrument.type];
        ++actuations[a.instrument.actuation];
    }
    for (const int n : shapes)
        EXPECT_GT(n, 60);
    for (const int n : actuations)
        EXPECT_GT(n, 100);
}

TEST(Explore, MutateStaysNearAndKeepsTheShape)
{
    const SoundParams base = default_sound();
    const double amount = default_mutate_amount;
    int changed = 0;
    for (uint32_t seed = 0; seed < 500; ++seed) {
        const RandomSource r = take_random_source(seed, 0);
        const SoundParams m = mutate(base, Locks{}, amount, r.get());
        const Instrument &i = m.instrument;
        EXPECT_EQ(i.type, base.instrument.type);
        // At most amount/2 of each range, on the scale it is drawn on (with
        // the rounding to the digits shown).
        const auto log_step = [](double a, double b) { return std::abs(std::log(a / b)); };
        EXPECT_LE(log_step(i.tension, 4.0), 0.05 * std::log(160.0) + 1e-3);
        EXPECT_LE(log_step(i.speed, 0.2), 0.05 * std::log(500.0) + 1e-2);
        EXPECT_LE(log_step(i.damping, 0.05), 0.05 * std::log(100.0) + 2e-2);
        EXPECT_LE(std::abs(i.velocity - 1.0), 0.05 + 1e-9);
        EXPECT_LE(std::abs(i.tube_height - 10), 2);
        EXPECT_LE(std::abs(i.tube_circumference - 5), 1);
        if (i.tube_height == 10 && i.tube_circumference == 5) {
            // The same mesh: a node moves by a step at most.
            EXPECT_LE(std::abs(i.actuation_node - 7), 1);
            EXPECT_LE(std::abs(i.sampling_node - 40), 1);
        }
        changed += !same_sound(m, base);
    }
    EXPECT_GT(changed, 490);

    // Amount 0 changes nothing that is continuous.
    const RandomSource r = take_random_source(1, 0);
    const SoundParams still = mutate(base, Locks{}, 0.0, r.get());
    EXPECT_EQ(still.instrument.tension, base.instrument.tension);
    EXPECT_EQ(still.instrument.speed, base.instrument.speed);
    EXPECT_EQ(still.instrument.tube_height, base.instrument.tube_height);
}

TEST(Explore, TrialRenderJudgesTheSound)
{
    SoundParams p = default_sound();
    EXPECT_EQ(judge_sound(p, 48000), Verdict::plays);

    p.instrument.velocity = 0.0;
    EXPECT_EQ(judge_sound(p, 48000), Verdict::silent);
    p = default_sound();
    p.instrument.speed = 0.0;
    EXPECT_EQ(judge_sound(p, 48000), Verdict::silent);

    p = default_sound();
    p.sample_length = 0.04;
    EXPECT_EQ(judge_sound(p, 48000), Verdict::too_short);

    // A step far too large for the rate.
    p = default_sound();
    p.instrument.speed = 0.5;
    p.instrument.tension = 0.3;
    EXPECT_EQ(judge_sound(p, 8000), Verdict::unstable);
}

TEST(Explore, SeededTakesAreTheSameEverywhereAndEveryOnePlays)
{
    const SoundParams base = default_sound();
    for (uint32_t take = 1; take <= 6; ++take) {
        const ExploreResult a = explore(ExploreKind::randomise, base, Locks{}, 0.0, 42, take, 48000);
        const ExploreResult b = explore(ExploreKind::randomise, base, Locks{}, 0.0, 42, take, 48000);
        ASSERT_TRUE(a.accepted);
        EXPECT_TRUE(same_sound(a.params, b.params));
        EXPECT_EQ(a.attempts, b.attempts);
        const ExploreResult other =
            explore(ExploreKind::randomise, base, Locks{}, 0.0, 43, take, 48000);
        EXPECT_FALSE(same_sound(a.params, other.params));
        expect_full_render_plays(a.params, 48000);

        const ExploreResult m =
            explore(ExploreKind::mutate, base, Locks{}, default_mutate_amount, 42, take, 48000);
        ASSERT_TRUE(m.accepted);
        expect_full_render_plays(m.params, 48000);
    }
}

TEST(Explore, NothingPlayableLeavesTheBase)
{
    SoundParams base = default_sound();
    base.instrument.velocity = 0.0;
    Locks all = locks_from_bits(0xff);
    const ExploreResult r = explore(ExploreKind::mutate, base, all, 0.5, 7, 1, 48000, 5);
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.attempts, 5);
    EXPECT_TRUE(same_sound(r.params, base));
}

TEST(Explore, LockGroupsHaveCommandLineNames)
{
    for (int g = 0; g < lock_group_count; ++g) {
        const auto group = static_cast<LockGroup>(g);
        EXPECT_EQ(lock_group_from_name(lock_group_name(group)), group);
    }
    EXPECT_FALSE(lock_group_from_name("pitch"));
}

TEST(SoundHistory, UndoRedoAndANewChangeDropsWhatWasUndone)
{
    SoundParams a = default_sound(), b = a, c = a, d = a;
    b.instrument.speed = 0.3;
    c.sample_length = 2.0;
    d.instrument.tension = 1.5;
    SoundHistory h(a);
    EXPECT_FALSE(h.can_undo());
    EXPECT_FALSE(h.commit(a)); // no change, no step
    EXPECT_TRUE(h.commit(b));
    EXPECT_TRUE(h.commit(c));
    ASSERT_TRUE(h.undo());
    EXPECT_TRUE(same_sound(h.current(), b));
    ASSERT_TRUE(h.undo());
    EXPECT_TRUE(same_sound(h.current(), a));
    EXPECT_FALSE(h.undo());
    ASSERT_TRUE(h.redo());
    EXPECT_TRUE(same_sound(h.current(), b));
    EXPECT_TRUE(h.commit(d)); // forgets c
    EXPECT_FALSE(h.redo());
    ASSERT_TRUE(h.undo());
    EXPECT_TRUE(same_sound(h.current(), b));

    SoundHistory small(a, 2);
    small.commit(b);
    small.commit(c);
    small.commit(d);
    EXPECT_TRUE(small.undo());
    EXPECT_TRUE(small.undo());
    EXPECT_FALSE(small.undo()); // the oldest step was dropped
}
