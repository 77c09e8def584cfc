#include "install_paths.h"
#include "intl.h"

#include <glib.h>

#include <clocale>
#include <memory>

namespace {

struct GFree {
    void operator()(gchar *text) const { g_free(text); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

std::string running_program_prefix()
{
    const GCharPtr exe(g_file_read_link("/proc/self/exe", nullptr));
    if (!exe)
        return {};
    const GCharPtr bin_dir(g_path_get_dirname(exe.get()));
    const GCharPtr bin_name(g_path_get_basename(bin_dir.get()));
    if (g_strcmp0(bin_name.get(), CW_INSTALL_BINDIR) != 0)
        return {};
    const GCharPtr prefix(g_path_get_dirname(bin_dir.get()));
    return prefix.get();
}

} // namespace

std::string cw_install_prefix()
{
    static const std::string prefix = [] {
        std::string found = running_program_prefix();
        return found.empty() ? std::string(CW_INSTALL_PREFIX) : found;
    }();
    return prefix;
}

std::string cw_install_path(const char *relative)
{
    std::string prefix = cw_install_prefix();
    if (prefix.empty() || prefix.back() != '/')
        prefix += '/';
    return prefix + relative;
}

void start_command_line_program(const char *name)
{
    std::setlocale(LC_ALL, "");
    bindtextdomain(CW_TEXT_DOMAIN, cw_install_path("share/locale").c_str());
    bind_textdomain_codeset(CW_TEXT_DOMAIN, "UTF-8");
    g_set_prgname(name);
}
