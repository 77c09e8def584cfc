// libsmf's complaints, caught instead of printed.
#pragma once

#include <glib.h>

#include <string>

//! libsmf reports problems through GLib logging, as criticals and warnings
//! in its "libsmf" domain (the default domain too, for a build without its
//! own). While a trap is armed, messages of those domains from level message
//! up to critical are recorded instead of printed, and warnings and criticals
//! are not fatal, even under G_DEBUG=fatal-warnings: GLib decides fatality
//! from its process-wide always-fatal levels before it calls a handler, so
//! those are lowered to errors only. The old handlers and fatal levels come
//! back when the trap goes out of scope. Main thread only, one trap at a
//! time, and no other thread logging meanwhile (its warnings would not be
//! fatal either).
class SmfLogTrap {
public:
    SmfLogTrap()
        : previous_fatal_(g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK))),
          library_handler_(g_log_set_handler(library_domain, caught_levels, &record, this)),
          default_handler_(g_log_set_handler(nullptr, caught_levels, &record, this))
    {
    }
    SmfLogTrap(const SmfLogTrap &) = delete;
    SmfLogTrap &operator=(const SmfLogTrap &) = delete;
    ~SmfLogTrap()
    {
        g_log_remove_handler(nullptr, default_handler_);
        g_log_remove_handler(library_domain, library_handler_);
        g_log_set_always_fatal(previous_fatal_);
    }

    //! Whether anything was caught.
    bool caught() const { return caught_; }
    //! The first message caught, as libsmf wrote it; empty when none was.
    const std::string &first_message() const { return first_message_; }

private:
    static constexpr const char *library_domain = "libsmf";
    // The fatal and recursion flags too: GLib looks for a handler of the
    // message's level with its flags.
    static constexpr GLogLevelFlags caught_levels =
        static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING |
                                    G_LOG_LEVEL_MESSAGE | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);

    static void record(const gchar *, GLogLevelFlags, const gchar *message, gpointer data)
    {
        auto *trap = static_cast<SmfLogTrap *>(data);
        if (!trap->caught_) {
            trap->caught_ = true;
            trap->first_message_ = message != nullptr ? message : "";
        }
    }

    GLogLevelFlags previous_fatal_;
    guint library_handler_, default_handler_;
    bool caught_ = false;
    std::string first_message_;
};
