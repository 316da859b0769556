/* Agent locator shared by the lockgauge and threadsnap modules.
 *
 * Each module links its own copy of this unit: a load-time constructor
 * records the path of the already loaded agent library, and the module's
 * init entry resolves the agent's entry points with get_symbol_addr(). */
#ifndef VANDREL_SYMBOL_H
#define VANDREL_SYMBOL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Resolve `name` in the agent library found when this module was loaded.
 *
 * On success return the symbol's address; the agent library is re-opened
 * (lazy, global) and never closed, so the address stays valid for the life
 * of the process.  On failure return NULL after writing at most one
 * diagnostic line to libc's stderr. */
__attribute__((visibility("default"))) void *get_symbol_addr(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* VANDREL_SYMBOL_H */
