// The voice engine's audio: every batch with voices stepped for a run of
// frames, each lane's pickups turned into the render loop's signal, scaled by
// the gain and mixed. Audio thread: nothing here allocates, locks or calls
// the system.
#include <algorithm>
#include <cmath>

#include "lane_mesh.h"
#include "voice_engine.h"
#include "voice_internal.h"

namespace voice {

void VoiceEngine::render(float *left, float *right, uint32_t frames)
{
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(frames - done, static_cast<uint32_t>(run_frames_));
        std::fill_n(mix_left_.begin(), n, 0.0);
        std::fill_n(mix_right_.begin(), n, 0.0);
        for (size_t b = 0; b < batches_.size(); ++b) {
            if (batch_active_[b] == 0)
                continue;
            if (batch_level_[b] == 0)
                render_direct(b, mix_left_.data(), mix_right_.data(), n);
            else
                render_oversampled(b, mix_left_.data(), mix_right_.data(), n);
        }
        for (uint32_t f = 0; f < n; ++f) {
            left[done + f] = static_cast<float>(mix_left_[f]);
            right[done + f] = static_cast<float>(mix_right_[f]);
        }
        done += n;
    }
}

// Follows the voice's envelope, mixes its frame and frees it once it is
// done: faded out, or released and 90 dB below its peak.
inline void VoiceEngine::output(Voice &v, double yl, double yr, double *left, double *right,
                                uint32_t f)
{
    const double c = envelope_c_;
    v.envelope = v.envelope * c + std::fabs(yl) * (1.0 - c);
    v.envelope_max = std::max(v.envelope_max, v.envelope);
    ++v.frames_on;
    double g = gain_;
    if (v.level == 0 && v.fade_left > 0)
        g *= static_cast<double>(v.fade_left) / fade_frames_;
    left[f] += g * yl;
    right[f] += g * yr;

    bool done = false;
    if (v.fade_left > 0)
        done = --v.fade_left == 0;
    else if (v.released || settings_.one_shot)
        done = v.envelope_max > 0.0 ? v.envelope <= v.envelope_max * rest_threshold_
                                    : v.frames_on > static_cast<uint64_t>(silent_free_frames_);
    if (done)
        free_voice(v);
}

// One step per frame: the render loop's own arithmetic, frame by frame. A
// few frames are stepped at a time, every lane's pickups kept frame by
// frame, then each voice follows its own: each frame's sums still take the
// lanes in the same order.
void VoiceEngine::render_direct(size_t b, double *left, double *right, uint32_t frames)
{
    constexpr uint32_t chunk_frames = 16; // the pickups stay in the cache with the mesh
    LaneBatch &batch = *batches_[b];
    Voice *lane_voice = &voices_[b * lanes];
    double *const picked = internal_.data(); // per frame: lanes left, lanes right
    const double *const at_left = batch.positions(sampling_node_, axis_);
    const double *const at_right = batch.positions(second_node_, axis_);
    for (uint32_t from = 0; from < frames; from += chunk_frames) {
        const uint32_t to = std::min(frames, from + chunk_frames);
        for (uint32_t f = from; f < to; ++f) {
            batch.step();
            std::copy_n(at_left, lanes, picked + 2 * lanes * (f - from));
            std::copy_n(at_right, lanes, picked + 2 * lanes * (f - from) + lanes);
        }
        for (int32_t l = 0; l < lanes; ++l) {
            Voice &v = lane_voice[l];
            const double a = v.offset_a;
            for (uint32_t f = from; f < to && v.active; ++f) {
                const double *frame = picked + 2 * lanes * (f - from);
                const double vl = frame[l] - v.ref_left;
                v.offset_left = (1.0 - a) * vl + v.offset_left * a;
                const double yl = vl - v.offset_left;
                double yr = yl;
                if (!settings_.mono) {
                    const double vr = frame[lanes + l] - v.ref_right;
                    v.offset_right = (1.0 - a) * vr + v.offset_right * a;
                    yr = vr - v.offset_right;
                }
                output(v, yl, yr, left, right, f);
            }
        }
    }
}

// Several steps per frame: the signal at the internal rate, faded there when
// the voice is stolen, then each lane decimated by its own resampler into
// its queue, which is a fixed delay ahead of the output.
void VoiceEngine::render_oversampled(size_t b, double *left, double *right, uint32_t frames)
{
    LaneBatch &batch = *batches_[b];
    Voice *lane_voice = &voices_[b * lanes];
    const int32_t level = batch_level_[b];
    const uint32_t steps = frames << level;
    const size_t lane_span = internal_.size() / lanes;
    bool sounding[lanes];
    for (int32_t l = 0; l < lanes; ++l)
        sounding[l] = lane_voice[l].active;

    for (uint32_t s = 0; s < steps; ++s) {
        batch.step();
        for (int32_t l = 0; l < lanes; ++l) {
            Voice &v = lane_voice[l];
            if (!sounding[l])
                continue;
            const double a = v.offset_a;
            double ramp = 1.0;
            if (v.fade_left > 0) {
                ramp = static_cast<double>(v.fade_in_left) / (fade_frames_ << level);
                v.fade_in_left = std::max(0, v.fade_in_left - 1);
            }
            const double vl = batch.position(sampling_node_, axis_, l) - v.ref_left;
            v.offset_left = (1.0 - a) * vl + v.offset_left * a;
            const double yl = (vl - v.offset_left) * ramp;
            double yr = yl;
            if (!settings_.mono) {
                const double vr = batch.position(second_node_, axis_, l) - v.ref_right;
                v.offset_right = (1.0 - a) * vr + v.offset_right * a;
                yr = (vr - v.offset_right) * ramp;
            }
            double *in = internal_.data() + static_cast<size_t>(l) * lane_span + 2 * s;
            in[0] = yl;
            in[1] = yr;
        }
    }

    // Each lane's resampler is fed its voice up to the frame the voice ends
    // at and no further, and a frame leaves the queue for each frame fed:
    // the next voice on the lane then finds the resampler and the queue as
    // they would be however the blocks fell. Up to the first frame the
    // voice may end at, the run is fed at once, then a frame at a time.
    for (int32_t l = 0; l < lanes; ++l) {
        if (!sounding[l])
            continue;
        Decimator &d = *decimators_[(b * lanes + static_cast<size_t>(l)) * factor_levels +
                                    static_cast<size_t>(level)];
        const double *in = internal_.data() + static_cast<size_t>(l) * lane_span;
        Voice &v = lane_voice[l];
        const uint32_t at_once = frames_before_end(v, frames);
        decimate(d, in, static_cast<size_t>(at_once) << level);
        const size_t capacity = d.queue.size() / 2;
        for (uint32_t f = 0; f < frames && v.active; ++f) {
            if (f >= at_once)
                decimate(d, in + (static_cast<size_t>(f) << level) * 2, size_t{1} << level);
            double yl = 0.0, yr = 0.0;
            if (d.count > 0) {
                yl = d.queue[2 * d.head];
                yr = d.queue[2 * d.head + 1];
                d.head = (d.head + 1) % capacity;
                --d.count;
            }
            output(v, yl, yr, left, right, f);
        }
    }
}

// How many frames of the run surely pass before `v` may be freed: a fade
// ends when it runs out; a released voice's envelope falls by at most
// envelope_c_ a frame, and its peak can only rise from a frame that lies far
// above the rest threshold; a voice that never sounded ends on time.
uint32_t VoiceEngine::frames_before_end(const Voice &v, uint32_t frames) const
{
    // Rounding of the logarithms below, and the frame the test follows.
    constexpr double margin_frames = 2.0;
    if (v.fade_left > 0)
        return std::min(frames, static_cast<uint32_t>(v.fade_left));
    if (!v.released && !settings_.one_shot)
        return frames;
    const double per_frame = std::log(envelope_c_);
    double earliest = std::log(rest_threshold_) / per_frame; // from a new peak
    if (v.envelope_max > 0.0 && v.envelope > v.envelope_max * rest_threshold_)
        earliest = std::min(
            earliest, std::log(v.envelope_max * rest_threshold_ / v.envelope) / per_frame);
    else if (v.envelope_max > 0.0)
        earliest = 0.0;
    else
        earliest = std::min(earliest, static_cast<double>(silent_free_frames_) -
                                          static_cast<double>(v.frames_on));
    earliest -= margin_frames;
    if (!(earliest > 0.0))
        return 0;
    return earliest >= frames ? frames : static_cast<uint32_t>(earliest);
}

void VoiceEngine::decimate(Decimator &d, const double *in, size_t steps)
{
    const size_t capacity = d.queue.size() / 2;
    for (size_t fed = 0; fed < steps;) {
        size_t used = 0, made = 0;
        soxr_process(d.soxr, in + 2 * fed, steps - fed, &used, decimated_.data(),
                     decimated_.size() / 2, &made);
        for (size_t i = 0; i < made && d.count < capacity; ++i, ++d.count) {
            const size_t at = (d.head + d.count) % capacity;
            d.queue[2 * at] = decimated_[2 * i];
            d.queue[2 * at + 1] = decimated_[2 * i + 1];
        }
        fed += used;
        if (used == 0 && made == 0)
            break;
    }
}

} // namespace voice
