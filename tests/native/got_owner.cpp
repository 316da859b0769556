/* Test helper: which loaded object the interpreter's import slots for a
 * symbol lead to, found with the agent's own slot finder. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "import_slots.h"

/* Write the file names of the objects that the interpreter's slots for
 * `symbol` point into, one per line, into buffer.  Returns the number of
 * slots, or -1 when they cannot be found. */
extern "C" int slot_owners(const char *symbol, char *buffer, size_t size)
{
    void *anchor = dlsym(RTLD_DEFAULT, "PyEval_SaveThread");
    vandrel::got_slot slots[8];
    int count = vandrel::find_got_slots(anchor, symbol, slots, 8);
    buffer[0] = '\0';
    for (int i = 0; i < count; i++) {
        Dl_info info;
        const char *name = dladdr(*slots[i].address, &info) != 0 && info.dli_fname != nullptr
                               ? info.dli_fname : "?";
        size_t used = strlen(buffer);
        snprintf(buffer + used, size - used, "%s\n", name);
    }
    return count;
}
