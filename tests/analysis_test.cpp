// The analysis of sounds of known partials, its report as JSON and text, the
// reading of WAV files to analyse, and the pictures.
#include <gtest/gtest.h>

#include <cairo.h>
#include <json-glib/json-glib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "analysis_report.h"
#include "analysis_test_support.h"
#include "notes.h"
#include "settings_test_support.h"
#include "sound_analysis.h"
#include "sound_file.h"
#include "sound_plot.h"
#include "spectrogram_plot.h"

namespace {

// The precision the analysis promises for a partial of a sum of decaying
// sines: its frequency within 1 cent, its onset level within 1.5 dB, its
// T60 within 15 %.
constexpr double cents_tolerance = 1.0;
constexpr double level_tolerance_db = 1.5;
constexpr double t60_tolerance = 0.15;

double cents_between(double a_hz, double b_hz)
{
    return 1200.0 * std::log2(a_hz / b_hz);
}

struct SoundCase {
    const char *name;
    int32_t rate;
    double length_s;
    std::vector<SineSpec> sines;
    double lowest_hz, strongest_hz;
};

// Each sine is found once, with its frequency, level relative to the loudest
// sine and decay; nothing else is found.
void expect_partials(const SoundAnalysis &a, const SoundCase &c)
{
    ASSERT_EQ(a.partials.size(), c.sines.size()) << c.name;
    double loudest_db = -std::numeric_limits<double>::infinity();
    for (const SineSpec &s : c.sines)
        loudest_db = std::max(loudest_db, s.level_db);
    std::vector<SineSpec> by_freq = c.sines;
    std::sort(by_freq.begin(), by_freq.end(),
              [](const SineSpec &x, const SineSpec &y) { return x.freq_hz < y.freq_hz; });
    for (size_t i = 0; i < by_freq.size(); ++i) {
        const SineSpec &s = by_freq[i];
        const Partial &p = a.partials[i];
        EXPECT_NEAR(cents_between(p.freq_hz, s.freq_hz), 0.0, cents_tolerance)
            << c.name << " " << s.freq_hz << " Hz found at " << p.freq_hz;
        EXPECT_NEAR(p.level_db, s.level_db - loudest_db, level_tolerance_db)
            << c.name << " " << s.freq_hz << " Hz";
        if (s.t60_s) {
            ASSERT_TRUE(p.t60_s) << c.name << " " << s.freq_hz << " Hz has no T60";
            EXPECT_NEAR(*p.t60_s, *s.t60_s, t60_tolerance * *s.t60_s)
                << c.name << " " << s.freq_hz << " Hz";
        }
        const NearestNote note = nearest_note(p.freq_hz);
        EXPECT_EQ(p.note, note.name);
        EXPECT_DOUBLE_EQ(p.cents, note.cents);
    }
    ASSERT_TRUE(a.lowest_hz && a.strongest_hz) << c.name;
    EXPECT_NEAR(cents_between(*a.lowest_hz, c.lowest_hz), 0.0, cents_tolerance) << c.name;
    EXPECT_NEAR(cents_between(*a.strongest_hz, c.strongest_hz), 0.0, cents_tolerance) << c.name;
}

TEST(SoundAnalysis, FindsKnownPartialsWithTheirLevelsAndDecays)
{
    const std::vector<SoundCase> cases = {
        {"four partials, fastest weakest",
         48000,
         1.5,
         {{220.0, 0, 1.2}, {587.33, -6, 0.8}, {1234.5, -12, 0.4}, {3001.0, -20, 0.15}},
         220.0,
         220.0},
        // The strongest is not the lowest; a partial 35 dB down that dies
        // fast is listed but is not the lowest (30 dB below the strongest
        // over the body).
        {"strongest above lowest",
         48000,
         2.0,
         {{90.0, -35, 0.5}, {150.0, -20, 2.0}, {450.0, 0, 1.0}, {1100.0, -8, 0.3}},
         150.0,
         450.0},
        // A partial that dies within a tenth of a second but starts loudest:
        // its spectral peak is low and wide, its onset level still 0 dB; the
        // ear hears the one that rings on as the strongest.
        {"fast partial loudest at the onset",
         44100,
         1.0,
         {{2000.0, 0, 0.1}, {310.0, -10, 1.5}},
         310.0,
         310.0},
        {"96 kHz, close partials",
         96000,
         2.0,
         {{523.25, 0, 1.6}, {554.37, -3, 1.1}, {8000.0, -15, 0.5}, {15000.0, -25, 0.3}},
         523.25,
         523.25},
        {"low partial, long sound", 22050, 4.0, {{41.2, 0, 3.0}, {123.6, -10, 2.0}}, 41.2, 41.2},
    };
    SoundAnalyser analyser;
    for (const SoundCase &c : cases) {
        const std::vector<int16_t> frames = decaying_sines(c.rate, c.length_s, c.sines);
        const SoundAnalysis a = analyser.analyse(frames, c.rate);
        expect_partials(a, c);
        EXPECT_EQ(a.rate_hz, c.rate);
        EXPECT_EQ(a.frames, frames.size());
        EXPECT_DOUBLE_EQ(a.length_s, static_cast<double>(frames.size()) / c.rate);
    }
}

TEST(SoundAnalysis, PartialsBelowFortyDbOrOutsideTheBandAreLeftOut)
{
    // 15 Hz is below 20 Hz, 22 kHz above 0.45 x 48000; -50 dB is too weak.
    const std::vector<int16_t> frames = decaying_sines(48000, 1.0,
                                                       {{15.0, 0, 4.0},
                                                        {22000.0, 0, 1.0},
                                                        {700.0, 0, 1.0},
                                                        {1500.0, -50, 1.0},
                                                        {2600.0, -38, 1.0}});
    const SoundAnalysis a = SoundAnalyser().analyse(frames, 48000);
    ASSERT_EQ(a.partials.size(), 2u);
    EXPECT_NEAR(a.partials[0].freq_hz, 700.0, 0.5);
    EXPECT_NEAR(a.partials[1].freq_hz, 2600.0, 1.5);
}

TEST(SoundAnalysis, AtMostThirtyTwoPartialsTheStrongestByFrequency)
{
    // 40 partials a semitone and a half apart, each 0.5 dB weaker than the
    // one below: the 32 lowest are the strongest.
    std::vector<SineSpec> sines;
    for (int k = 0; k < 40; ++k)
        sines.push_back({200.0 * std::pow(2.0, 1.5 * k / 12.0), -0.5 * k, 1.0});
    const std::vector<int16_t> frames = decaying_sines(48000, 1.0, sines);
    const SoundAnalysis a = SoundAnalyser().analyse(frames, 48000);
    ASSERT_EQ(a.partials.size(), 32u);
    for (size_t i = 0; i < a.partials.size(); ++i)
        EXPECT_NEAR(cents_between(a.partials[i].freq_hz, sines[i].freq_hz), 0.0, cents_tolerance)
            << i;
}

TEST(SoundAnalysis, DecaysTooSlowToMeasureHaveNoT60)
{
    // Steady sines, and one that falls 10 dB over the sound: no T60 for
    // either, nor for the sound.
    const std::vector<int16_t> frames =
        decaying_sines(48000, 1.0, {{55.0, 0, std::nullopt}, {440.0, -3, 6.0}});
    const SoundAnalysis a = SoundAnalyser().analyse(frames, 48000);
    ASSERT_EQ(a.partials.size(), 2u);
    EXPECT_FALSE(a.partials[0].t60_s);
    EXPECT_FALSE(a.partials[1].t60_s);
    EXPECT_FALSE(a.t60_s);
    EXPECT_NEAR(a.partials[1].level_db, -3.0, level_tolerance_db);
}

TEST(SoundAnalysis, OverallT60PeakAndLength)
{
    // Every partial decaying alike: the envelope decays at the same rate.
    const std::vector<int16_t> frames =
        decaying_sines(48000, 2.0, {{330.0, 0, 0.8}, {990.0, -4, 0.8}, {1700.0, -9, 0.8}}, 0.5);
    const SoundAnalysis a = SoundAnalyser().analyse(frames, 48000);
    ASSERT_TRUE(a.t60_s);
    EXPECT_NEAR(*a.t60_s, 0.8, t60_tolerance * 0.8);
    int32_t peak = 0;
    for (const int16_t f : frames)
        peak = std::max(peak, std::abs(static_cast<int32_t>(f)));
    EXPECT_EQ(a.peak, peak);
    EXPECT_DOUBLE_EQ(a.peak_dbfs, 20.0 * std::log10(peak / 32768.0));
    EXPECT_DOUBLE_EQ(a.length_s, 2.0);
}

TEST(SoundAnalysis, SoundStartingLateIsMeasuredFromItsOnset)
{
    // Half a second of silence before the strike: levels and decays as if it
    // started at once.
    const SoundCase c{"late start", 48000, 1.5, {{500.0, 0, 0.5}, {1300.0, -10, 0.25}},
                      500.0,        500.0};
    std::vector<int16_t> frames(24000, 0);
    const std::vector<int16_t> sound = decaying_sines(c.rate, c.length_s, c.sines);
    frames.insert(frames.end(), sound.begin(), sound.end());
    expect_partials(SoundAnalyser().analyse(frames, c.rate), c);
}

TEST(SoundAnalysis, TinySoundsAreHandled)
{
    SoundAnalyser analyser;
    // A sine of 3 steps of 16 bits: the partial is still found.
    const std::vector<int16_t> quiet =
        decaying_sines(48000, 1.0, {{1000.0, 0, std::nullopt}}, 3.0 / 32767.0);
    SoundAnalysis a = analyser.analyse(quiet, 48000);
    EXPECT_EQ(a.peak, 3);
    ASSERT_FALSE(a.partials.empty());
    EXPECT_NEAR(*a.strongest_hz, 1000.0, 1.0);

    // One frame: a length, a peak, nothing to find.
    const std::vector<int16_t> one = {1000};
    a = analyser.analyse(one, 48000);
    EXPECT_EQ(a.frames, 1u);
    EXPECT_DOUBLE_EQ(a.length_s, 1.0 / 48000);
    EXPECT_EQ(a.peak, 1000);
    EXPECT_TRUE(a.partials.empty());
    EXPECT_FALSE(a.lowest_hz || a.strongest_hz || a.t60_s);

    // Silence and nothing.
    a = analyser.analyse(std::vector<int16_t>(4800, 0), 48000);
    EXPECT_EQ(a.peak, 0);
    EXPECT_TRUE(std::isinf(a.peak_dbfs) && a.peak_dbfs < 0);
    EXPECT_TRUE(a.partials.empty());
    a = analyser.analyse({}, 48000);
    EXPECT_EQ(a.frames, 0u);
    EXPECT_TRUE(a.partials.empty());
}

TEST(SoundAnalysis, AGlidingPartialIsReportedWhereItSettlesWithItsGlide)
{
    // 880 Hz after gliding down 70 cents over its first 0.3 s, as a struck
    // gong's partials do; a steady partial beside it; and one that glides
    // 40 cents over the whole sound and never settles.
    constexpr int32_t rate = 48000;
    constexpr double settles_hz = 880.0, steady_hz = 1234.5, wandering_hz = 2500.0;
    std::vector<int16_t> frames(2 * rate);
    double glide_phase = 0.0, steady_phase = 0.0, wander_phase = 0.0;
    for (size_t n = 0; n < frames.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        const double glide_cents = t < 0.3 ? 70.0 * (1.0 - t / 0.3) : 0.0;
        glide_phase += 2.0 * M_PI * settles_hz * std::exp2(glide_cents / 1200.0) / rate;
        steady_phase += 2.0 * M_PI * steady_hz / rate;
        wander_phase += 2.0 * M_PI * wandering_hz * std::exp2(40.0 * (1.0 - t / 2.0) / 1200.0) / rate;
        const auto decay = [&](double t60) { return std::exp(-t * std::log(1000.0) / t60); };
        const double v = decay(1.5) * std::sin(glide_phase) +
                         0.3 * decay(1.0) * std::sin(steady_phase) +
                         0.2 * decay(2.0) * std::sin(wander_phase);
        frames[n] = static_cast<int16_t>(std::lround(v * 0.6 * 32767.0));
    }
    const SoundAnalysis a = SoundAnalyser().analyse(frames, rate);
    ASSERT_EQ(a.partials.size(), 3u);
    const Partial &glides = a.partials[0], &steady = a.partials[1], &wanders = a.partials[2];
    EXPECT_NEAR(cents_between(glides.freq_hz, settles_hz), 0.0, cents_tolerance);
    EXPECT_GT(glides.glide_cents, 45.0); // its first frame hears most of the glide
    EXPECT_LT(glides.glide_cents, 75.0);
    EXPECT_NEAR(cents_between(glides.onset_hz, settles_hz), glides.glide_cents, 0.01);
    EXPECT_TRUE(glides.steady);
    EXPECT_EQ(glides.note, "A5");
    EXPECT_NEAR(cents_between(steady.freq_hz, steady_hz), 0.0, cents_tolerance);
    EXPECT_LT(std::abs(steady.glide_cents), 3.0);
    EXPECT_TRUE(steady.steady);
    EXPECT_FALSE(wanders.steady);
    EXPECT_NEAR(*a.strongest_hz, settles_hz, 1.0);
    // Each partial has its track, and a steady one's track ends on it.
    for (const Partial &p : a.partials) {
        ASSERT_GE(p.track, 0);
        const PartialTrack &track = a.tracks[static_cast<size_t>(p.track)];
        if (p.steady) {
            EXPECT_NEAR(cents_between(track.back().freq_hz, p.freq_hz), 0.0, 5.0);
        }
    }
    EXPECT_GT(a.spectrogram.columns, 0);
    EXPECT_EQ(a.spectrogram.level_db.size(),
              static_cast<size_t>(a.spectrogram.columns) * static_cast<size_t>(a.spectrogram.rows));
}

TEST(NearestNote, NamesOctavesAndCentsForAnyA4)
{
    const struct {
        double freq_hz, a4_hz;
        const char *name;
        double cents;
    } cases[] = {
        {440.0, 440.0, "A4", 0.0},    {261.6256, 440.0, "C4", 0.0},   {27.5, 440.0, "A0", 0.0},
        {8.1758, 440.0, "C-1", 0.0},  {466.1638, 440.0, "A#4", 0.0},  {4186.009, 440.0, "C8", 0.0},
        {452.89, 440.0, "A4", 49.97}, {452.90, 440.0, "A#4", -49.99}, // half a semitone up
        {440.0, 432.0, "A4", 31.77},  {432.0, 432.0, "A4", 0.0},      {254.0, 440.0, "B3", 48.8},
    };
    for (const auto &c : cases) {
        const NearestNote n = nearest_note(c.freq_hz, c.a4_hz);
        EXPECT_EQ(n.name, c.name) << c.freq_hz;
        EXPECT_NEAR(n.cents, c.cents, 0.02) << c.freq_hz;
    }
}

struct GObjectUnref {
    void operator()(gpointer p) const { g_object_unref(p); }
};

TEST(AnalysisReport, JsonHasTheFieldsAndNullsForWhatIsNotKnown)
{
    const std::vector<int16_t> frames =
        decaying_sines(48000, 1.0, {{440.0, 0, 0.5}, {1000.0, -6, std::nullopt}});
    const SoundAnalysis a = SoundAnalyser().analyse(frames, 48000, 432.0);
    const std::string text = analysis_json(a, std::string("x \"y\".wav"));
    EXPECT_EQ(text.find('\n'), std::string::npos) << "one line";

    const std::unique_ptr<JsonParser, GObjectUnref> parser(json_parser_new());
    ASSERT_TRUE(json_parser_load_from_data(parser.get(), text.c_str(), -1, nullptr)) << text;
    JsonObject *o = json_node_get_object(json_parser_get_root(parser.get()));
    std::vector<std::string> names;
    GList *members = json_object_get_members(o);
    for (GList *l = members; l; l = l->next)
        names.emplace_back(static_cast<const char *>(l->data));
    g_list_free(members);
    EXPECT_EQ(names, (std::vector<std::string>{"file", "rate", "length_s", "peak_dbfs", "t60_s",
                                               "lowest_hz", "strongest_hz", "partials"}));
    EXPECT_STREQ(json_object_get_string_member(o, "file"), "x \"y\".wav");
    EXPECT_EQ(json_object_get_int_member(o, "rate"), 48000);
    EXPECT_EQ(json_object_get_double_member(o, "length_s"), 1.0);
    EXPECT_TRUE(json_object_get_null_member(o, "t60_s")); // the steady sine keeps it up
    // 440 Hz starts loudest, 1000 Hz rings on: the ear hears that one.
    EXPECT_NEAR(json_object_get_double_member(o, "strongest_hz"), 1000.0, 0.01);

    JsonArray *partials = json_object_get_array_member(o, "partials");
    ASSERT_EQ(json_array_get_length(partials), 2u);
    JsonObject *first = json_array_get_object_element(partials, 0);
    JsonObject *second = json_array_get_object_element(partials, 1);
    names.clear();
    members = json_object_get_members(first);
    for (GList *l = members; l; l = l->next)
        names.emplace_back(static_cast<const char *>(l->data));
    g_list_free(members);
    EXPECT_EQ(names, (std::vector<std::string>{"freq_hz", "onset_hz", "glide_cents", "steady",
                                               "level_db", "body_db", "note", "cents", "t60_s"}));
    EXPECT_TRUE(json_object_get_boolean_member(first, "steady"));
    EXPECT_EQ(json_object_get_double_member(first, "glide_cents"), 0.0);
    EXPECT_STREQ(json_object_get_string_member(first, "note"), "A4"); // 432 Hz is A4 here
    EXPECT_NEAR(json_object_get_double_member(first, "cents"), 31.77, 0.01);
    EXPECT_NEAR(json_object_get_double_member(first, "t60_s"), 0.5, 0.5 * t60_tolerance);
    EXPECT_TRUE(json_object_get_null_member(second, "t60_s"));

    const std::string unnamed = analysis_json(SoundAnalyser().analyse(frames, 48000), std::nullopt);
    EXPECT_EQ(unnamed.rfind("{\"file\":null,", 0), 0u) << unnamed;
}

TEST(AnalysisReport, TextNamesLowestAndStrongestAndListsEveryPartial)
{
    const std::vector<int16_t> frames =
        decaying_sines(48000, 1.0, {{220.0, -10, 0.6}, {660.0, 0, 0.8}, {1500.0, -20, 0.2}});
    const SoundAnalysis a = SoundAnalyser().analyse(frames, 48000);
    const std::string text = analysis_text(a, "bell.wav");
    EXPECT_EQ(text.rfind("bell.wav: 48000 Hz, 1.000 s, peak ", 0), 0u) << text;
    EXPECT_NE(text.find("Lowest partial: 220.00 Hz (A3 +0.0 cents)"), std::string::npos) << text;
    EXPECT_NE(text.find("Strongest partial: 660.00 Hz (E5 +2.0 cents)"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4 + 3);

    const std::string line = analysis_summary(a);
    EXPECT_EQ(line.rfind("Lowest 220.0 Hz A3 +0 ct · Strongest 660.0 Hz E5 +2 ct · T60 ", 0), 0u)
        << line;
    char peak[32];
    std::snprintf(peak, sizeof peak, " · Peak %.1f dBFS", a.peak_dbfs);
    EXPECT_TRUE(line.ends_with(peak)) << line;
}

TEST(SoundFile, ReadsTheFirstChannelOfSixteenBitWavFiles)
{
    TempDir dir;
    // Stereo: left a sine, right silence; the left one is read.
    const std::vector<int16_t> left = decaying_sines(44100, 0.5, {{440.0, 0, 0.5}});
    std::vector<int16_t> stereo;
    for (const int16_t f : left) {
        stereo.push_back(f);
        stereo.push_back(0);
    }
    ASSERT_TRUE(write_audio_file(dir.file("stereo.wav"), 44100, stereo.data(),
                                 static_cast<long>(left.size()), 2));
    std::string error;
    const std::optional<SoundFile> sound = read_sound_file(dir.file("stereo.wav"), error);
    ASSERT_TRUE(sound) << error;
    EXPECT_EQ(sound->rate_hz, 44100);
    EXPECT_EQ(sound->frames, left);
}

TEST(SoundFile, RefusesWhatCannotBeAnalysedInOneLine)
{
    TempDir dir;
    write_file(dir.file("text.wav"), "this is not a sound\n");
    const std::vector<uint8_t> bytes(100, 200);
    ASSERT_TRUE(
        write_audio_file(dir.file("8bit.wav"), 8000, bytes.data(), 100, 1, AF_SAMPFMT_UNSIGNED, 8));
    const std::vector<float> floats(100, 0.5f);
    ASSERT_TRUE(
        write_audio_file(dir.file("float.wav"), 8000, floats.data(), 100, 1, AF_SAMPFMT_FLOAT, 32));
    const std::vector<int16_t> frames = decaying_sines(8000, 0.1, {{440.0, 0, 1.0}});
    ASSERT_TRUE(write_audio_file(dir.file("sound.aiff"), 8000, frames.data(), 800, 1,
                                 AF_SAMPFMT_TWOSCOMP, 16, AF_FILE_AIFF));
    ASSERT_TRUE(write_wav(dir.file("empty.wav"), 8000, {}));
    ASSERT_TRUE(write_wav(dir.file("silent.wav"), 8000, std::vector<int16_t>(800, 0)));

    const struct {
        const char *file, *problem;
    } cases[] = {
        {"missing.wav", "No such file or directory"},
        {"text.wav", "not a WAV file"},
        {"sound.aiff", "not a WAV file"},
        {"8bit.wav", "8-bit samples; only 16-bit WAV files can be analysed"},
        {"float.wav", "floating-point samples; only 16-bit WAV files can be analysed"},
        {"empty.wav", "the file holds no sound"},
        {"silent.wav", "the sound is silent"},
        {".", "Is a directory"},
    };
    for (const auto &c : cases) {
        std::string error;
        EXPECT_FALSE(read_sound_file(dir.file(c.file), error)) << c.file;
        EXPECT_EQ(error, dir.file(c.file) + ": " + c.problem);
    }
}

struct SurfaceDestroy {
    void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct ContextDestroy {
    void operator()(cairo_t *c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDestroy>;

// Whether a pixel near (x, y) has the partials' red.
bool red_near(cairo_surface_t *s, int x, int y, int reach)
{
    const int stride = cairo_image_surface_get_stride(s);
    const unsigned char *data = cairo_image_surface_get_data(s);
    for (int j = std::max(0, y - reach); j < std::min(cairo_image_surface_get_height(s), y + reach);
         ++j)
        for (int i = std::max(0, x - reach);
             i < std::min(cairo_image_surface_get_width(s), x + reach); ++i) {
            const auto px = *reinterpret_cast<const uint32_t *>(data + j * stride + i * 4);
            const int r = (px >> 16) & 0xff, g = (px >> 8) & 0xff, b = px & 0xff;
            if (r > 150 && g < 90 && b < 90)
                return true;
        }
    return false;
}

TEST(SoundPlot, MarksEveryPartialWhereTheSpectrumPutsItsFrequency)
{
    const std::vector<int16_t> frames =
        decaying_sines(48000, 1.0, {{110.0, 0, 1.0}, {1000.0, -6, 0.5}, {7000.0, -12, 0.3}});
    const SoundAnalysis a = SoundAnalyser().analyse(frames, 48000);
    ASSERT_EQ(a.partials.size(), 3u);
    constexpr int width = 900, height = 300;
    const Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    {
        const std::unique_ptr<cairo_t, ContextDestroy> cr(cairo_create(surface.get()));
        cairo_set_source_rgb(cr.get(), 1, 1, 1);
        cairo_paint(cr.get());
        draw_spectrum(cr.get(), {0, 0, width, height}, a);
    }
    cairo_surface_flush(surface.get());
    const PlotRect outer{0, 0, width, height};
    for (const Partial &p : a.partials) {
        // The column whose frequency is the partial's, found by the same
        // mapping the pointer uses.
        int column = -1;
        for (int x = 0; x < width && column < 0; ++x)
            if (const auto f = spectrum_freq_at(outer, a, x + 0.5, height / 2.0);
                f && *f >= p.freq_hz)
                column = x;
        ASSERT_GE(column, 0) << p.freq_hz;
        bool marked = false;
        for (int y = 0; y < height && !marked; y += 4)
            marked = red_near(surface.get(), column, y, 4);
        EXPECT_TRUE(marked) << p.freq_hz << " Hz at x " << column;
    }
    // Outside the graph (the axis labels) there is no frequency.
    EXPECT_FALSE(spectrum_freq_at(outer, a, 2.0, height / 2.0));
    EXPECT_FALSE(spectrum_freq_at(outer, a, width / 2.0, height - 2.0));
}

TEST(SoundPlot, SpectrogramDrawsEachTrackWhereThePointerFindsItsTimeAndFrequency)
{
    const std::vector<int16_t> frames =
        decaying_sines(48000, 1.5, {{220.0, 0, 1.2}, {1500.0, -6, 0.8}});
    const SoundAnalysis a = SoundAnalyser().analyse(frames, 48000);
    ASSERT_EQ(a.partials.size(), 2u);
    constexpr int width = 800, height = 500;
    const Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    {
        const std::unique_ptr<cairo_t, ContextDestroy> cr(cairo_create(surface.get()));
        draw_spectrogram(cr.get(), {0, 0, width, height}, a);
    }
    cairo_surface_flush(surface.get());
    const PlotRect outer{0, 0, width, height};
    const int stride = cairo_image_surface_get_stride(surface.get());
    const unsigned char *data = cairo_image_surface_get_data(surface.get());
    const auto track_colour_at = [&](int x, int y) {
        const auto px = *reinterpret_cast<const uint32_t *>(data + y * stride + x * 4);
        const int r = (px >> 16) & 0xff, g = (px >> 8) & 0xff, b = px & 0xff;
        return g > 150 && b > 120 && g > r + 40; // the tracks' cyan, over any level
    };
    for (const Partial &p : a.partials) {
        // Half a second in, the column holds the track's colour at the
        // partial's frequency as the pointer reads it.
        int column = -1;
        for (int x = 0; x < width && column < 0; ++x) {
            const auto at = spectrogram_point_at(outer, a, x, height / 2.0);
            if (at && at->t_s >= 0.5)
                column = x;
        }
        ASSERT_GE(column, 0);
        bool drawn = false;
        for (int y = 0; y < height; ++y) {
            const auto at = spectrogram_point_at(outer, a, column, y);
            if (at && std::abs(cents_between(at->freq_hz, p.freq_hz)) < 30.0 &&
                track_colour_at(column, y))
                drawn = true;
        }
        EXPECT_TRUE(drawn) << p.freq_hz;
    }
    EXPECT_FALSE(spectrogram_point_at(outer, a, 1, 1)); // the margin
}

TEST(SoundPlot, PngIsSavedOrTheFailureReported)
{
    TempDir dir;
    const SoundAnalysis a =
        SoundAnalyser().analyse(decaying_sines(48000, 0.5, {{440.0, 0, 0.5}}), 48000);
    std::string message;
    ASSERT_EQ(save_sound_png(dir.file("a.png").c_str(), a, 640, 480, message), 0) << message;
    const Surface png(cairo_image_surface_create_from_png(dir.file("a.png").c_str()));
    ASSERT_EQ(cairo_surface_status(png.get()), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(png.get()), 640);
    EXPECT_EQ(cairo_image_surface_get_height(png.get()), 480);

    // The empty analysis of a window that rendered nothing yet draws its axes.
    EXPECT_EQ(save_sound_png(dir.file("empty.png").c_str(), SoundAnalysis{}, 320, 240, message), 0);

    EXPECT_EQ(save_sound_png(dir.file("missing/a.png").c_str(), a, 64, 48, message), ENOENT);
    EXPECT_EQ(message, "Could not write file " + dir.file("missing/a.png"));
}

} // namespace
