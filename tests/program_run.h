// Runs one of the built programs as a person would from a shell, with the C
// locale, and keeps what it printed and its exit status.
#pragma once

#include <glib.h>
#include <sys/wait.h>

#include <string>
#include <vector>

struct ProgramRun {
    int status = -1; // -1: it did not start or did not exit normally
    std::string out, err;
};

inline ProgramRun run_program(const std::string &program, const std::vector<std::string> &args,
                              const std::string &cwd)
{
    std::vector<gchar *> argv{const_cast<gchar *>(program.c_str())};
    for (const std::string &a : args)
        argv.push_back(const_cast<gchar *>(a.c_str()));
    argv.push_back(nullptr);
    gchar **env = g_environ_setenv(g_get_environ(), "LC_ALL", "C", TRUE);
    gchar *out = nullptr, *err = nullptr;
    gint wait_status = 0;
    ProgramRun r;
    if (g_spawn_sync(cwd.c_str(), argv.data(), env, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err,
                     &wait_status, nullptr)) {
        r.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
        r.out = out;
        r.err = err;
    }
    g_free(out);
    g_free(err);
    g_strfreev(env);
    return r;
}
