// Helpers shared by the settings tests: a private temporary folder and whole
// files read and written as bytes.
#pragma once

#include <clocale>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <glib.h>

//! A fresh folder below the system's temporary folder, removed with its
//! contents at the end of the test.
class TempDir {
public:
    TempDir()
    {
        gchar *made = g_dir_make_tmp("cw-settings-XXXXXX", nullptr);
        path_ = made ? made : "";
        g_free(made);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }
    //! Number of entries in the folder.
    std::size_t entries() const
    {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(path_))
            ++n;
        return n;
    }

private:
    std::string path_;
};

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

//! Switches the whole process to a locale with a decimal comma for the scope;
//! `active()` is false when the machine does not have it.
class CommaLocale {
public:
    CommaLocale() : active_(std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) {}
    CommaLocale(const CommaLocale &) = delete;
    CommaLocale &operator=(const CommaLocale &) = delete;
    ~CommaLocale() { std::setlocale(LC_ALL, "C"); }
    bool active() const { return active_; }

private:
    bool active_;
};
