// An analysis as text and as JSON.
#include "analysis_report.h"

#include <glib.h>
#include <json-glib/json-glib.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "glib_owners.h"
#include "intl.h"

namespace {

template <typename... Args> std::string format(const char *fmt, Args... args)
{
    const GCharPtr text(g_strdup_printf(fmt, args...));
    return text.get();
}

// Decimals kept in the JSON output.
constexpr int hz_decimals = 3, db_decimals = 2, cents_decimals = 2, seconds_decimals = 4;

// Rounded to `decimals` places, and a value a hair below 0 to 0, which
// would otherwise print as "-0.0".
double rounded(double v, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    const double r = std::round(v * scale) / scale;
    return r == 0.0 ? 0.0 : r; // no "-0"
}

void add_number(JsonBuilder *b, const char *name, std::optional<double> v, int decimals)
{
    json_builder_set_member_name(b, name);
    if (v && std::isfinite(*v))
        json_builder_add_double_value(b, decimals >= 0 ? rounded(*v, decimals) : *v);
    else
        json_builder_add_null_value(b);
}

// A partial as "440.00 Hz (A4 +0.0 cents)" in the user's locale.
std::string partial_text(double freq_hz, double a4_hz)
{
    return format(_("%.2f Hz (%s)"), freq_hz, note_text(freq_hz, a4_hz).c_str());
}

// A partial as "440.0 Hz A4 +0 ct": the window's line has little room.
std::string short_partial_text(double freq_hz, double a4_hz)
{
    const NearestNote n = nearest_note(freq_hz, a4_hz);
    return format(_("%.1f Hz %s %+.0f ct"), freq_hz, n.name.c_str(), rounded(n.cents, 0));
}

// Columns right-aligned to the widest cell, counted in characters.
std::string table(const std::vector<std::vector<std::string>> &rows)
{
    std::vector<long> widths;
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size(); ++c) {
            if (widths.size() <= c)
                widths.push_back(0);
            widths[c] = std::max(widths[c], g_utf8_strlen(row[c].c_str(), -1));
        }
    std::string out;
    for (const auto &row : rows) {
        out += ' ';
        for (size_t c = 0; c < row.size(); ++c) {
            out += "  ";
            out.append(static_cast<size_t>(widths[c] - g_utf8_strlen(row[c].c_str(), -1)), ' ');
            out += row[c];
        }
        out += '\n';
    }
    return out;
}

} // namespace

std::string note_text(double freq_hz, double a4_hz)
{
    const NearestNote n = nearest_note(freq_hz, a4_hz);
    return format(_("%s %+.1f cents"), n.name.c_str(), rounded(n.cents, 1));
}

std::string analysis_json(const SoundAnalysis &a, const std::optional<std::string> &file)
{
    const GObjectPtr<JsonBuilder> owner(json_builder_new());
    JsonBuilder *b = owner.get();
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "file");
    if (file)
        json_builder_add_string_value(b, file->c_str());
    else
        json_builder_add_null_value(b);
    json_builder_set_member_name(b, "rate");
    json_builder_add_int_value(b, a.rate_hz);
    add_number(b, "length_s", a.length_s, -1);
    add_number(b, "peak_dbfs", a.peak_dbfs, db_decimals);
    add_number(b, "t60_s", a.t60_s, seconds_decimals);
    add_number(b, "lowest_hz", a.lowest_hz, hz_decimals);
    add_number(b, "strongest_hz", a.strongest_hz, hz_decimals);
    json_builder_set_member_name(b, "partials");
    json_builder_begin_array(b);
    for (const Partial &p : a.partials) {
        json_builder_begin_object(b);
        add_number(b, "freq_hz", p.freq_hz, hz_decimals);
        add_number(b, "onset_hz", p.onset_hz, hz_decimals);
        add_number(b, "glide_cents", p.glide_cents, cents_decimals);
        json_builder_set_member_name(b, "steady");
        json_builder_add_boolean_value(b, p.steady);
        add_number(b, "level_db", p.level_db, db_decimals);
        add_number(b, "body_db", p.body_db, db_decimals);
        json_builder_set_member_name(b, "note");
        json_builder_add_string_value(b, p.note.c_str());
        add_number(b, "cents", p.cents, cents_decimals);
        add_number(b, "t60_s", p.t60_s, seconds_decimals);
        json_builder_end_object(b);
    }
    json_builder_end_array(b);
    json_builder_end_object(b);

    const JsonNodePtr root(json_builder_get_root(b));
    const GObjectPtr<JsonGenerator> generator(json_generator_new());
    json_generator_set_root(generator.get(), root.get());
    const GCharPtr text(json_generator_to_data(generator.get(), nullptr));
    return text.get();
}

std::string analysis_text(const SoundAnalysis &a, const std::string &title)
{
    std::string out = format(_("%s: %d Hz, %.3f s, peak %.1f dBFS"), title.c_str(), a.rate_hz,
                             a.length_s, rounded(a.peak_dbfs, 1));
    out += ", " + (a.t60_s ? format(_("T60 %.2f s"), *a.t60_s) : std::string(_("T60 unknown")));
    out += '\n';
    if (a.partials.empty()) {
        out += std::string("  ") + _("No partials found.") + '\n';
        return out;
    }
    out += std::string("  ") +
           format(_("Lowest partial: %s"), partial_text(*a.lowest_hz, a.a4_hz).c_str()) + '\n';
    out += std::string("  ") +
           format(_("Strongest partial: %s"), partial_text(*a.strongest_hz, a.a4_hz).c_str()) +
           '\n';

    std::vector<std::vector<std::string>> rows = {
        {_("Frequency (Hz)"), _("Level (dB)"), _("Note"), _("Cents"), _("Glide (cents)"),
         _("T60 (s)")}};
    for (const Partial &p : a.partials)
        rows.push_back({format("%.2f", p.freq_hz), format("%.1f", rounded(p.level_db, 1)), p.note,
                        format("%+.1f", rounded(p.cents, 1)),
                        // A partial that does not hold its pitch is marked as wandering.
                        p.steady ? format("%+.1f", rounded(p.glide_cents, 1))
                                 : format(_("%+.1f, wanders"), rounded(p.glide_cents, 1)),
                        p.t60_s ? format("%.3f", *p.t60_s) : std::string("-")});
    return out + table(rows);
}

std::string analysis_summary(const SoundAnalysis &a)
{
    if (a.peak == 0)
        return _("Silence");
    std::string line;
    if (a.partials.empty()) {
        line = _("No partials");
    } else {
        line = format(_("Lowest %s"), short_partial_text(*a.lowest_hz, a.a4_hz).c_str()) + " · " +
               format(_("Strongest %s"), short_partial_text(*a.strongest_hz, a.a4_hz).c_str());
    }
    line += " · " + (a.t60_s ? format(_("T60 %.2f s"), *a.t60_s) : std::string(_("T60 unknown")));
    line += " · " + format(_("Peak %.1f dBFS"), rounded(a.peak_dbfs, 1));
    return line;
}
