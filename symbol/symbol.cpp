/* Agent locator: find the agent library among the loaded objects when the
 * module is loaded, and resolve its entry points when the module is
 * initialised. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* dl_iterate_phdr */
#endif
#include "symbol.h"

#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <string.h>

namespace {

/* Path of the agent library exactly as the loader reports it (dlpi_name).
 * The loader owns the string; it stays valid while the agent stays loaded,
 * which every successful get_symbol_addr() guarantees by never closing. */
const char *shared_lib_name = nullptr;

/* Called by dl_iterate_phdr() once per loaded object, in load order.
 * Records every object whose path contains "vandrel_agent.", so the one
 * reported last wins.  Always returns 0 so the walk visits every object. */
int dl_callback(struct dl_phdr_info *info, size_t /*size*/, void * /*data*/)
{
    const char *name = info->dlpi_name;
    if (name != nullptr && strstr(name, "vandrel_agent.") != nullptr) {
        shared_lib_name = name;
    }
    return 0;
}

/* Load-time scan: runs once, while the loader maps this module and before
 * the host calls the module's init entry. */
__attribute__((constructor)) void init()
{
    (void)dl_iterate_phdr(dl_callback, nullptr);
}

}  // namespace

extern "C" void *get_symbol_addr(const char *name)
{
    if (shared_lib_name == nullptr) {
        static const char not_found[] = "cpython module can not found vandrel_agent.so loaded\n";
        fwrite(not_found, 1, sizeof not_found - 1, stderr);
        return nullptr;
    }

    /* Already loaded, so this takes one more reference on the existing
     * handle and promotes its symbols to the global scope.  The handle is
     * deliberately never closed: it keeps the resolved addresses valid. */
    void *handle = dlopen(shared_lib_name, RTLD_LAZY | RTLD_GLOBAL);
    if (handle == nullptr) {
        const char *error = dlerror();
        if (error != nullptr) {
            fprintf(stderr, "dlopen failed when init cpython module, error message: %s\n", error);
        }
        return nullptr;
    }

    void *address = dlsym(handle, name);
    if (address != nullptr) {
        return address;
    }
    const char *error = dlerror();
    if (error != nullptr) {
        fprintf(stderr, "dlsym find %s function failed, error message: %s\n", name, error);
    }
    return nullptr;
}
