// libaudiofile's errors, caught instead of printed.
#pragma once

#include <audiofile.h>

#include <cerrno>

//! libaudiofile reports its errors through one global handler whose default
//! prints to stderr. While a trap is armed the first error, its code and the
//! system error number at that moment are recorded instead; the old handler
//! comes back when the trap goes out of scope. Main thread only, one trap at
//! a time.
struct AfErrorTrap {
    bool failed = false;
    long code = 0;
    int error_number = 0;
    AFerrfunc previous;

    AfErrorTrap() : previous(afSetErrorHandler(&record)) { active = this; }
    AfErrorTrap(const AfErrorTrap &) = delete;
    AfErrorTrap &operator=(const AfErrorTrap &) = delete;
    ~AfErrorTrap()
    {
        active = nullptr;
        afSetErrorHandler(previous);
    }

    //! The error number to report: the one seen with the first library error,
    //! else `fallback`, else -1 (no error number known).
    int result(int fallback = 0) const
    {
        if (error_number != 0)
            return error_number;
        return fallback != 0 ? fallback : -1;
    }

    static inline AfErrorTrap *active = nullptr;
    static void record(long error_code, const char *)
    {
        const int saved = errno;
        if (active && !active->failed) {
            active->failed = true;
            active->code = error_code;
            active->error_number = saved;
        }
    }
};
