// Numbers given to the command-line programs.
#include "option_values.h"

#include <glib.h>

#include <cmath>
#include <memory>

#include "intl.h"

namespace {

struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

struct ErrorDeleter {
    void operator()(GError *e) const { g_error_free(e); }
};

template <typename... Args> std::string format(const char *fmt, Args... args)
{
    const GCharPtr text(g_strdup_printf(fmt, args...));
    return text.get();
}

std::string not_a_number(const char *option, const char *text, const std::string &valid)
{
    return format(_("%s: '%s' is not a number (valid: %s)"), option, text, valid.c_str());
}

std::string out_of_range(const char *option, const char *text, const std::string &valid)
{
    return format(_("%s: %s is out of range (valid: %s)"), option, text, valid.c_str());
}

} // namespace

std::string number_text(double v)
{
    char buf[G_ASCII_DTOSTR_BUF_SIZE];
    g_ascii_formatd(buf, sizeof buf, "%g", v);
    return buf;
}

std::string range_text(double lo, double hi)
{
    return format(_("%s to %s"), number_text(lo).c_str(), number_text(hi).c_str());
}

bool parse_int(const char *option, const char *text, int32_t lo, int32_t hi, int32_t &out,
               std::string &error)
{
    gint64 v = 0;
    GError *raw = nullptr;
    const bool parsed =
        g_ascii_string_to_signed(text, 10, G_MININT64, G_MAXINT64, &v, &raw) != FALSE;
    const std::unique_ptr<GError, ErrorDeleter> err(raw);
    const std::string valid = range_text(lo, hi);
    if (!parsed) {
        const bool too_large = err && err->domain == G_NUMBER_PARSER_ERROR &&
                               err->code == G_NUMBER_PARSER_ERROR_OUT_OF_BOUNDS;
        error = too_large ? out_of_range(option, text, valid) : not_a_number(option, text, valid);
        return false;
    }
    if (v < lo || v > hi) {
        error = out_of_range(option, text, valid);
        return false;
    }
    out = static_cast<int32_t>(v);
    return true;
}

bool parse_real(const char *option, const char *text, double lo, double hi, double &out,
                std::string &error)
{
    char *end = nullptr;
    const double v = g_ascii_strtod(text, &end);
    const std::string valid = range_text(lo, hi);
    if (end == text || *end != '\0' || std::isnan(v)) {
        error = not_a_number(option, text, valid);
        return false;
    }
    if (!(v >= lo && v <= hi)) {
        error = out_of_range(option, text, valid);
        return false;
    }
    out = v;
    return true;
}
