/* Finding and rewriting an object's own import slots (GOT entries).
 *
 * A dynamically linked object calls an imported function through a slot
 * the dynamic loader fills with its address.  Rewriting one object's slots
 * redirects that object's calls, and only those: nothing is exported and
 * no other library is affected. */
#ifndef VANDREL_IMPORT_SLOTS_H
#define VANDREL_IMPORT_SLOTS_H

#include <stddef.h>

namespace vandrel {

struct got_slot {
    void **address;  /* where the slot lives in the object's data */
    void *original;  /* its value before we wrote it */
    bool relro;      /* inside the object's read-only-after-relocation range */
};

/* Find the import slots for `symbol` in the loaded object whose mapped
 * segments contain `code_address`.
 *
 * On success return the number of slots found (0 when the object imports
 * `symbol` through no slot, e.g. a static build) and fill slots[] with
 * their addresses and current values.  Return -1 when no loaded object
 * contains `code_address`, its dynamic section is unusable, it has more
 * than `capacity` slots for `symbol`, or this architecture is not
 * supported. */
int find_got_slots(const void *code_address, const char *symbol, got_slot *slots,
                   int capacity);

/* Store `value` in the slot, lifting and restoring the page protection when
 * the slot lies in a read-only range.  On success return true.  On error
 * (mprotect refused) return false with the slot unchanged. */
bool write_got_slot(const got_slot *slot, void *value);

/* True when `address` lies inside a mapped segment of the object that
 * contains `code_address` (used to recognise a lazy-binding stub). */
bool same_object(const void *code_address, const void *address);

}  // namespace vandrel

#endif /* VANDREL_IMPORT_SLOTS_H */
