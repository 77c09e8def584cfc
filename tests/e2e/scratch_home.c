/* Preloaded into the program under test: the user database answers with a
 * scratch home directory, so that a test never touches the real home of
 * whoever runs it.
 *   CW_TEST_HOME=DIR   the home directory getpwuid() reports
 *   CW_TEST_NO_HOME=1  getpwuid() finds no entry at all
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/types.h>

struct passwd *getpwuid(uid_t uid)
{
    static struct passwd entry;
    struct passwd *(*real)(uid_t) = (struct passwd * (*)(uid_t)) dlsym(RTLD_NEXT, "getpwuid");
    if (getenv("CW_TEST_NO_HOME"))
        return NULL;
    struct passwd *found = real ? real(uid) : NULL;
    const char *home = getenv("CW_TEST_HOME");
    if (!found || !home)
        return found;
    entry = *found;
    entry.pw_dir = (char *)home;
    return &entry;
}
