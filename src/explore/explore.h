// Exploring sounds: a random instrument, a small variation of one, locks on
// what must stay, and a trial render that keeps only sounds that play.
// No GTK: the window and the headless renderer share these rules, and the
// same seed gives the same instrument everywhere.
#pragma once

#include <glib.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "instrument.h"

//! What exploring may change: the instrument's sound fields and the length
//! of the sound. `instrument.stop` and `instrument.progress` are not part of
//! it and are left as the base had them.
struct SoundParams {
    Instrument instrument;
    double sample_length; // seconds, 0 to 10
};

//! True when both describe the same sound, to the last bit of every value.
bool same_sound(const SoundParams &a, const SoundParams &b);

//! Groups of parameters that can be locked; a locked group never changes.
enum class LockGroup : int {
    shape_size, // shape and the sizes of every shape
    nodes,      // actuation and sampling node
    tension,
    speed,
    damping,
    actuation, // type of actuation
    velocity,
    length_decay, // sample length, the decay stop and its level
};
constexpr int lock_group_count = 8;

//! The lock state of every group, indexed by LockGroup.
struct Locks {
    std::array<bool, lock_group_count> locked{};
    //! Unlocked nodes are not drawn but put on the shape's reset nodes, as a
    //! preset load gives them (presets keep no nodes).
    bool nodes_follow_shape = false;
    bool operator[](LockGroup g) const { return locked[static_cast<size_t>(g)]; }
    bool &operator[](LockGroup g) { return locked[static_cast<size_t>(g)]; }
};

//! The command-line name of each group ("shape", "nodes", "tension", "speed",
//! "damping", "actuation", "velocity", "length").
const char *lock_group_name(LockGroup g);
//! The group of a command-line name, or none.
std::optional<LockGroup> lock_group_from_name(const std::string &name);

struct GRandFree {
    void operator()(GRand *rand) const { g_rand_free(rand); }
};
//! GLib's Mersenne Twister: the same numbers on every machine for one seed.
using RandomSource = std::unique_ptr<GRand, GRandFree>;

//! The random source of one take: seed and take number together, so that
//! take 3 of seed 42 is the same whether or not takes 1 and 2 were made.
RandomSource take_random_source(uint32_t seed, uint32_t take);

//! Every unlocked parameter drawn from the range the window allows: the
//! shape evenly, sizes, tension, speed, damping and length on a logarithmic
//! scale, the nodes among the movable nodes of the shape. Values are rounded
//! to the digits the window shows, so what it shows is what renders.
SoundParams randomise(const SoundParams &base, const Locks &locks, GRand *random);

//! A small change of every unlocked parameter: `amount` 0 (none) to 1 (a
//! change across about half of each range); the shape stays, the nodes move
//! to nearby movable nodes.
SoundParams mutate(const SoundParams &base, const Locks &locks, double amount, GRand *random);

constexpr double default_mutate_amount = 0.1;

//! How a trial render of a sound went.
enum class Verdict {
    plays,     // a sound that can be heard
    unstable,  // the integration blew up
    silent,    // no motion, or none that is audible (below 20 Hz)
    too_short, // shorter than 50 ms
};

//! Renders the start of the sound (at most a quarter of a second) at
//! `rate_hz` into a buffer of its own, without touching the program's sound,
//! and judges it.
Verdict judge_sound(const SoundParams &params, int32_t rate_hz);

enum class ExploreKind { randomise, mutate };

//! A drawn sound and what it took.
struct ExploreResult {
    SoundParams params;
    int attempts = 0;      // sounds drawn
    bool accepted = false; // false: none played, params is the base
};

//! Draws from `take_random_source(seed, take)` until a sound plays at
//! `rate_hz`, at most `max_attempts` times. When none plays, the result is
//! the base, not accepted.
ExploreResult explore(ExploreKind kind, const SoundParams &base, const Locks &locks,
                      double amount, uint32_t seed, uint32_t take, int32_t rate_hz,
                      int max_attempts = 40);
