#include "file_names.h"

#include <glib.h>

#include <filesystem>
#include <memory>
#include <system_error>

std::string complete_extension(const std::string &file_name, const char *ext)
{
    const std::string::size_type slash = file_name.rfind('/');
    const std::string base =
        slash == std::string::npos ? file_name : file_name.substr(slash + 1);
    // A dot in first place marks a hidden file, not an extension.
    if (base.size() > 1 && base.find('.', 1) != std::string::npos)
        return file_name;
    return file_name + "." + ext;
}

std::string folder_of(const std::string &file_name)
{
    gchar *dir = g_path_get_dirname(file_name.c_str());
    std::string folder(dir);
    g_free(dir);
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

std::string chooser_start_folder(const std::optional<std::string> &remembered)
{
    if (remembered && !remembered->empty() &&
        g_file_test(remembered->c_str(), G_FILE_TEST_IS_DIR))
        return *remembered;
    std::error_code error;
    const std::filesystem::path working = std::filesystem::current_path(error);
    if (!error && std::filesystem::is_directory(working, error))
        return working.string();
    return g_get_home_dir();
}
