// GLib's option parser driven by a table of OptionHelp rows.
#include "option_table.h"

#include <glib.h>

#include <cstring>
#include <memory>
#include <vector>

#include "intl.h"

namespace {

struct StrvDeleter {
    void operator()(gchar **v) const { g_strfreev(v); }
};
struct ContextDeleter {
    void operator()(GOptionContext *c) const { g_option_context_free(c); }
};
struct ErrorDeleter {
    void operator()(GError *e) const { g_error_free(e); }
};

struct ParseState {
    std::span<const OptionHelp> rows;
    const OptionHandler *handler;
};

// GLib hands over "--long-name" or "-s".
size_t find_row(std::span<const OptionHelp> rows, const char *option_name)
{
    for (size_t i = 0; i < rows.size(); ++i) {
        const OptionHelp &row = rows[i];
        if (option_name[0] == '-' && option_name[1] == '-' &&
            std::strcmp(option_name + 2, row.long_name) == 0)
            return i;
        if (row.short_name && option_name[0] == '-' && option_name[1] == row.short_name &&
            option_name[2] == '\0')
            return i;
    }
    return rows.size();
}

gboolean on_option(const gchar *option_name, const gchar *value, gpointer data, GError **error)
{
    auto *state = static_cast<ParseState *>(data);
    const size_t row = find_row(state->rows, option_name);
    std::string message;
    if (row == state->rows.size()) {
        gchar *text = g_strdup_printf(_("Unknown option %s"), option_name);
        message = text;
        g_free(text);
    } else {
        // The option as the user knows it, long form.
        const std::string name = std::string("--") + state->rows[row].long_name;
        if ((*state->handler)(row, name.c_str(), value ? value : "", message))
            return TRUE;
    }
    g_set_error_literal(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE, message.c_str());
    return FALSE;
}

} // namespace

bool parse_option_table(int argc, char **argv, std::span<const OptionHelp> rows,
                        const char *summary, const OptionHandler &handler, std::string &error)
{
    ParseState state{rows, &handler};

    std::vector<GOptionEntry> entries;
    for (const OptionHelp &row : rows) {
        GOptionEntry e{};
        e.long_name = row.long_name;
        e.short_name = row.short_name;
        e.flags = row.arg_description ? 0 : G_OPTION_FLAG_NO_ARG;
        e.arg = G_OPTION_ARG_CALLBACK;
        e.arg_data = reinterpret_cast<gpointer>(&on_option);
        e.description = row.description;
        e.arg_description = row.arg_description;
        entries.push_back(e);
    }
    entries.push_back(GOptionEntry{}); // end of the table

    const std::unique_ptr<GOptionContext, ContextDeleter> context(g_option_context_new(summary));
    g_option_context_set_translation_domain(context.get(), CW_TEXT_DOMAIN);
    GOptionGroup *group = g_option_group_new("options", "", "", &state, nullptr);
    g_option_group_add_entries(group, entries.data());
    g_option_group_set_translation_domain(group, CW_TEXT_DOMAIN);
    g_option_context_set_main_group(context.get(), group); // the context owns it

    // GLib takes options out of the vector it parses: give it a copy.
    std::vector<gchar *> copy;
    for (int i = 0; i < argc; ++i)
        copy.push_back(g_strdup(argv[i]));
    copy.push_back(nullptr);
    gchar **args = static_cast<gchar **>(g_memdup2(copy.data(), copy.size() * sizeof(gchar *)));
    GError *raw = nullptr;
    const bool parsed = g_option_context_parse_strv(context.get(), &args, &raw) != FALSE;
    const std::unique_ptr<gchar *, StrvDeleter> rest(args);
    const std::unique_ptr<GError, ErrorDeleter> err(raw);
    if (!parsed) {
        error = err ? err->message : _("invalid command line");
        return false;
    }
    if (rest && rest.get()[0] && rest.get()[1]) {
        gchar *text = g_strdup_printf(_("unexpected argument '%s'"), rest.get()[1]);
        error = text;
        g_free(text);
        return false;
    }
    return true;
}
