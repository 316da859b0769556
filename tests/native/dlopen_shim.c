/* LD_PRELOAD shim that watches, and on request fails, the modules' lazy
 * global re-open of the agent library.
 *
 * SHIM_FAIL_AGENT_OPEN=with-text  fail with a real loader error text
 * SHIM_FAIL_AGENT_OPEN=silent     fail and leave dlerror() empty
 * shim_agent_opens counts the RTLD_LAZY|RTLD_GLOBAL opens of the agent. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#define MISSING_LIBRARY "/nonexistent/vandrel-shim-forced-failure.so"

int shim_agent_opens;

void *dlopen(const char *file, int mode)
{
    static void *(*real_dlopen)(const char *, int);
    if (real_dlopen == NULL) {
        real_dlopen = (void *(*)(const char *, int))dlsym(RTLD_NEXT, "dlopen");
    }
    if (file != NULL && strstr(file, "vandrel_agent.") != NULL
        && mode == (RTLD_LAZY | RTLD_GLOBAL)) {
        shim_agent_opens++;
        const char *fail = getenv("SHIM_FAIL_AGENT_OPEN");
        if (fail != NULL && strcmp(fail, "with-text") == 0) {
            return real_dlopen(MISSING_LIBRARY, RTLD_LAZY); /* sets the error text */
        }
        if (fail != NULL && strcmp(fail, "silent") == 0) {
            real_dlopen(MISSING_LIBRARY, RTLD_LAZY);
            dlerror(); /* consume it: the caller finds no text */
            return NULL;
        }
    }
    return real_dlopen(file, mode);
}
