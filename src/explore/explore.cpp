#include "explore.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "render.h"

namespace {

namespace range = instrument_range;

// What randomise draws from: the window's ranges, narrowed where the ends
// make no useful sound (a speed of 0 is silence, a tension of 0.1 folds the
// mesh onto itself).
constexpr double random_tension_min = 0.25, random_tension_max = range::tension_max;
constexpr double random_speed_min = 0.02, random_speed_max = range::speed_max;
constexpr double random_velocity_min = 0.05;
constexpr double random_length_min_s = 0.3, random_length_max_s = 4.0;
constexpr double random_decay_min_db = -80.0, random_decay_max_db = -30.0;
// The sample length the window allows.
constexpr double length_min_s = 0.05, length_max_s = 10.0;
// Mutating speed on a log scale needs a floor above 0.
constexpr double mutate_speed_floor = 0.001;

// The digits the window shows: three for the scales, two for the decay.
double round_to(double x, double scale)
{
    return std::round(x * scale) / scale;
}
double shown(double x, double lo, double hi)
{
    return std::clamp(round_to(x, 1000.0), lo, hi);
}
double shown_decay(double x)
{
    return std::clamp(round_to(x, 100.0), range::decay_level_min, range::decay_level_max);
}

double uniform(GRand *r, double lo, double hi)
{
    return g_rand_double_range(r, lo, hi);
}

double log_uniform(GRand *r, double lo, double hi)
{
    return std::exp(uniform(r, std::log(lo), std::log(hi)));
}

int32_t log_uniform_int(GRand *r, int32_t lo, int32_t hi)
{
    const double x = log_uniform(r, lo, static_cast<double>(hi) + 1.0);
    return std::clamp(static_cast<int32_t>(std::floor(x)), lo, hi);
}

// A step of at most `amount` times half the range, on a log scale.
double nudge_log(GRand *r, double x, double lo, double hi, double amount)
{
    const double width = std::log(hi / lo);
    const double y = std::log(std::max(x, lo)) + amount * 0.5 * width * uniform(r, -1.0, 1.0);
    return std::clamp(std::exp(y), lo, hi);
}

double nudge_linear(GRand *r, double x, double lo, double hi, double amount)
{
    return std::clamp(x + amount * 0.5 * (hi - lo) * uniform(r, -1.0, 1.0), lo, hi);
}

int32_t nudge_int(GRand *r, int32_t x, int32_t lo, int32_t hi, double amount)
{
    const double y = nudge_log(r, x, lo, hi, amount);
    return std::clamp(static_cast<int32_t>(std::lround(y)), lo, hi);
}

std::vector<int32_t> movable_nodes(const Instrument &ins)
{
    std::vector<int32_t> nodes;
    const int32_t count = instrument_node_count(ins);
    for (int32_t n = 0; n < count; ++n)
        if (instrument_node_is_movable(ins, n))
            nodes.push_back(n);
    return nodes;
}

// The movable node nearest to `node` by number, the lower one on a tie.
int32_t nearest_movable(const Instrument &ins, int32_t node)
{
    const int32_t count = instrument_node_count(ins);
    node = std::clamp(node, 0, count - 1);
    for (int32_t d = 0; d < count; ++d) {
        if (instrument_node_is_movable(ins, node - d))
            return node - d;
        if (instrument_node_is_movable(ins, node + d))
            return node + d;
    }
    return instrument_reset_actuation_node(ins);
}

bool nodes_fit(const Instrument &ins)
{
    return instrument_node_is_movable(ins, ins.actuation_node) &&
           instrument_node_is_movable(ins, ins.sampling_node);
}

void draw_shape_and_size(Instrument &ins, GRand *r)
{
    ins.type = g_rand_int_range(r, TYPE_TUBE, TYPE_PLANE + 1);
    switch (ins.type) {
    case TYPE_TUBE:
        ins.tube_height = log_uniform_int(r, range::tube_height_min, range::tube_height_max);
        ins.tube_circumference =
            log_uniform_int(r, range::tube_circumference_min, range::tube_circumference_max);
        break;
    case TYPE_ROD:
        ins.rod_length = log_uniform_int(r, range::rod_length_min, range::rod_length_max);
        break;
    default:
        ins.plane_length = log_uniform_int(r, range::plane_length_min, range::plane_length_max);
        ins.plane_width = log_uniform_int(r, range::plane_width_min, range::plane_width_max);
        break;
    }
}

void nudge_size(Instrument &ins, GRand *r, double amount)
{
    switch (ins.type) {
    case TYPE_TUBE:
        ins.tube_height = nudge_int(r, ins.tube_height, range::tube_height_min,
                                    range::tube_height_max, amount);
        ins.tube_circumference = nudge_int(r, ins.tube_circumference,
                                           range::tube_circumference_min,
                                           range::tube_circumference_max, amount);
        break;
    case TYPE_ROD:
        ins.rod_length = nudge_int(r, ins.rod_length, range::rod_length_min,
                                   range::rod_length_max, amount);
        break;
    default:
        ins.plane_length = nudge_int(r, ins.plane_length, range::plane_length_min,
                                     range::plane_length_max, amount);
        ins.plane_width = nudge_int(r, ins.plane_width, range::plane_width_min,
                                    range::plane_width_max, amount);
        break;
    }
}

// Shape and sizes drawn or nudged under locked nodes must keep both nodes
// movable: a few tries, then the base's shape and sizes.
constexpr int shape_tries = 20;

void keep_shape_of(Instrument &ins, const Instrument &base)
{
    ins.type = base.type;
    ins.tube_height = base.tube_height;
    ins.tube_circumference = base.tube_circumference;
    ins.rod_length = base.rod_length;
    ins.plane_length = base.plane_length;
    ins.plane_width = base.plane_width;
}

// Changes shape and sizes by `step` unless they are locked; under locked
// nodes only to a shape and sizes on which both nodes stay movable.
template <typename Step>
void change_shape(Instrument &ins, const Instrument &base, const Locks &locks, Step step)
{
    if (locks[LockGroup::shape_size])
        return;
    for (int i = 0; i < shape_tries; ++i) {
        step();
        if (!locks[LockGroup::nodes] || nodes_fit(ins))
            return;
        keep_shape_of(ins, base);
    }
}

// The nodes a preset load gives: the shape's reset nodes.
void put_nodes_on_reset(Instrument &ins)
{
    ins.actuation_node = instrument_reset_actuation_node(ins);
    ins.sampling_node = instrument_reset_sampling_node(ins);
}

} // namespace

bool same_sound(const SoundParams &a, const SoundParams &b)
{
    const Instrument &x = a.instrument, &y = b.instrument;
    return x.type == y.type && x.decay_stop == y.decay_stop && x.decay_level == y.decay_level &&
           x.tube_height == y.tube_height && x.tube_circumference == y.tube_circumference &&
           x.rod_length == y.rod_length && x.plane_length == y.plane_length &&
           x.plane_width == y.plane_width && x.actuation_node == y.actuation_node &&
           x.sampling_node == y.sampling_node && x.tension == y.tension && x.speed == y.speed &&
           x.damping == y.damping && x.actuation == y.actuation && x.velocity == y.velocity &&
           a.sample_length == b.sample_length;
}

namespace {
constexpr const char *group_names[lock_group_count] = {
    "shape", "nodes", "tension", "speed", "damping", "actuation", "velocity", "length"};
}

const char *lock_group_name(LockGroup g)
{
    return group_names[static_cast<int>(g)];
}

std::optional<LockGroup> lock_group_from_name(const std::string &name)
{
    for (int i = 0; i < lock_group_count; ++i)
        if (name == group_names[i])
            return static_cast<LockGroup>(i);
    return std::nullopt;
}

RandomSource take_random_source(uint32_t seed, uint32_t take)
{
    const guint32 words[2] = {seed, take};
    return RandomSource(g_rand_new_with_seed_array(words, 2));
}

SoundParams randomise(const SoundParams &base, const Locks &locks, GRand *r)
{
    SoundParams p = base;
    Instrument &ins = p.instrument;
    change_shape(ins, base.instrument, locks, [&] { draw_shape_and_size(ins, r); });
    if (!locks[LockGroup::nodes] && locks.nodes_follow_shape) {
        put_nodes_on_reset(ins);
    } else if (!locks[LockGroup::nodes]) {
        const std::vector<int32_t> nodes = movable_nodes(ins);
        if (!nodes.empty()) {
            const auto pick = [&] {
                return nodes[static_cast<size_t>(
                    g_rand_int_range(r, 0, static_cast<gint32>(nodes.size())))];
            };
            ins.actuation_node = pick();
            ins.sampling_node = pick();
        }
    }
    if (!locks[LockGroup::tension])
        ins.tension = shown(log_uniform(r, random_tension_min, random_tension_max),
                            range::tension_min, range::tension_max);
    if (!locks[LockGroup::speed])
        ins.speed = shown(log_uniform(r, random_speed_min, random_speed_max), range::speed_min,
                          range::speed_max);
    if (!locks[LockGroup::damping])
        ins.damping = shown(log_uniform(r, range::damping_min, range::damping_max),
                            range::damping_min, range::damping_max);
    if (!locks[LockGroup::actuation])
        ins.actuation = g_rand_boolean(r) ? ACTUATION_PERPENDICULAR : ACTUATION_COMPRESSION;
    if (!locks[LockGroup::velocity])
        ins.velocity = shown(uniform(r, random_velocity_min, range::velocity_max),
                             range::velocity_min, range::velocity_max);
    if (!locks[LockGroup::length_decay]) {
        p.sample_length = shown(log_uniform(r, random_length_min_s, random_length_max_s),
                                length_min_s, length_max_s);
        ins.decay_stop = g_rand_boolean(r) ? 1 : 0;
        if (ins.decay_stop)
            ins.decay_level = shown_decay(uniform(r, random_decay_min_db, random_decay_max_db));
    }
    return p;
}

SoundParams mutate(const SoundParams &base, const Locks &locks, double amount, GRand *r)
{
    amount = std::clamp(amount, 0.0, 1.0);
    SoundParams p = base;
    Instrument &ins = p.instrument;
    change_shape(ins, base.instrument, locks, [&] { nudge_size(ins, r, amount); });
    if (!locks[LockGroup::nodes] && locks.nodes_follow_shape) {
        put_nodes_on_reset(ins);
    } else if (!locks[LockGroup::nodes]) {
        // Each node keeps its number as far as the new size allows, then
        // steps a little.
        const int32_t reach = std::max(1, static_cast<int32_t>(std::lround(amount * 10.0)));
        for (int32_t *node : {&ins.actuation_node, &ins.sampling_node}) {
            const int32_t step = g_rand_int_range(r, -reach, reach + 1);
            *node = nearest_movable(ins, nearest_movable(ins, *node) + step);
        }
    }
    if (!locks[LockGroup::tension])
        ins.tension = shown(nudge_log(r, ins.tension, range::tension_min, range::tension_max,
                                      amount),
                            range::tension_min, range::tension_max);
    if (!locks[LockGroup::speed])
        ins.speed = shown(nudge_log(r, ins.speed, mutate_speed_floor, range::speed_max, amount),
                          range::speed_min, range::speed_max);
    if (!locks[LockGroup::damping])
        ins.damping = shown(nudge_log(r, ins.damping, range::damping_min, range::damping_max,
                                      amount),
                            range::damping_min, range::damping_max);
    if (!locks[LockGroup::actuation] && uniform(r, 0.0, 1.0) < amount * 0.5)
        ins.actuation = ins.actuation == ACTUATION_COMPRESSION ? ACTUATION_PERPENDICULAR
                                                               : ACTUATION_COMPRESSION;
    if (!locks[LockGroup::velocity])
        ins.velocity = shown(nudge_linear(r, ins.velocity, range::velocity_min,
                                          range::velocity_max, amount),
                             range::velocity_min, range::velocity_max);
    if (!locks[LockGroup::length_decay]) {
        p.sample_length = shown(nudge_log(r, std::max(p.sample_length, length_min_s),
                                          length_min_s, length_max_s, amount),
                                length_min_s, length_max_s);
        if (ins.decay_stop)
            ins.decay_level = shown_decay(nudge_linear(r, ins.decay_level,
                                                       range::decay_level_min,
                                                       range::decay_level_max, amount));
    }
    return p;
}

Verdict judge_sound(const SoundParams &params, int32_t rate_hz)
{
    constexpr double shortest_s = 0.05, trial_s = 0.25;
    // Audible: at least 20 Hz, so 40 zero crossings a second.
    constexpr double lowest_crossings_per_s = 40.0;
    if (params.sample_length < shortest_s)
        return Verdict::too_short;
    Instrument ins = params.instrument;
    ins.stop = 0;
    ins.progress = nullptr;
    // Without a strike the mesh rests; what little it moves from rounding
    // would be scaled up to full level.
    if (!nodes_fit(ins) || ins.velocity == 0.0)
        return Verdict::silent;
    const double seconds = std::min(params.sample_length, trial_s);
    const auto frames = static_cast<uint64_t>(static_cast<double>(rate_hz) * seconds);
    std::vector<double> buffer(frames);
    const double decay =
        ins.decay_stop ? static_cast<double>(static_cast<float>(ins.decay_level)) : 0.0;
    const uint64_t n = cw_metal_obj_render(&ins, rate_hz, frames, buffer.data(), nullptr, decay);
    for (uint64_t i = 0; i < n; ++i)
        if (!std::isfinite(buffer[i]))
            return Verdict::unstable;
    if (static_cast<double>(n) < shortest_s * rate_hz)
        return n == 0 ? Verdict::silent : Verdict::too_short;
    uint64_t crossings = 0;
    for (uint64_t i = 1; i < n; ++i)
        if ((buffer[i - 1] < 0.0) != (buffer[i] < 0.0))
            ++crossings;
    const double per_s = static_cast<double>(crossings) * rate_hz / static_cast<double>(n);
    return per_s >= lowest_crossings_per_s ? Verdict::plays : Verdict::silent;
}

ExploreResult explore(ExploreKind kind, const SoundParams &base, const Locks &locks,
                      double amount, uint32_t seed, uint32_t take, int32_t rate_hz,
                      int max_attempts)
{
    const RandomSource random = take_random_source(seed, take);
    ExploreResult result{base, 0, false};
    while (result.attempts < max_attempts) {
        ++result.attempts;
        const SoundParams drawn = kind == ExploreKind::randomise
                                      ? randomise(base, locks, random.get())
                                      : mutate(base, locks, amount, random.get());
        if (judge_sound(drawn, rate_hz) == Verdict::plays) {
            result.params = drawn;
            result.accepted = true;
            break;
        }
    }
    return result;
}
