#include "import_slots.h"

#include <elf.h>
#include <link.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vandrel {

namespace {

#if defined(__x86_64__)
const uint32_t reloc_jump_slot = R_X86_64_JUMP_SLOT;
const uint32_t reloc_glob_dat = R_X86_64_GLOB_DAT;
#define VANDREL_GOT_SUPPORTED 1
#elif defined(__aarch64__)
const uint32_t reloc_jump_slot = R_AARCH64_JUMP_SLOT;
const uint32_t reloc_glob_dat = R_AARCH64_GLOB_DAT;
#define VANDREL_GOT_SUPPORTED 1
#else
#define VANDREL_GOT_SUPPORTED 0
#endif

struct object_search {
    uintptr_t wanted;        /* address that must fall in the object */
    bool found;
    ElfW(Addr) base;         /* load bias */
    const ElfW(Dyn) *dynamic;
    uintptr_t relro_start, relro_end;
};

/* dl_iterate_phdr callback: stop at the object mapping search->wanted and
 * note its load bias, dynamic section and RELRO range. */
int find_object(struct dl_phdr_info *info, size_t /*size*/, void *data)
{
    object_search *search = static_cast<object_search *>(data);
    bool contains = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *phdr = &info->dlpi_phdr[i];
        if (phdr->p_type != PT_LOAD) {
            continue;
        }
        uintptr_t start = info->dlpi_addr + phdr->p_vaddr;
        if (search->wanted >= start && search->wanted < start + phdr->p_memsz) {
            contains = true;
            break;
        }
    }
    if (!contains) {
        return 0;
    }
    search->found = true;
    search->base = info->dlpi_addr;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *phdr = &info->dlpi_phdr[i];
        if (phdr->p_type == PT_DYNAMIC) {
            search->dynamic = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + phdr->p_vaddr);
        }
        else if (phdr->p_type == PT_GNU_RELRO) {
            search->relro_start = info->dlpi_addr + phdr->p_vaddr;
            search->relro_end = search->relro_start + phdr->p_memsz;
        }
    }
    return 1;
}

/* Locate the object that maps `address`.  On success return true with
 * *search filled in; otherwise return false. */
bool locate(const void *address, object_search *search)
{
    memset(search, 0, sizeof(*search));
    search->wanted = reinterpret_cast<uintptr_t>(address);
    dl_iterate_phdr(find_object, search);
    return search->found;
}

/* The dynamic loader relocates the pointers of most objects' dynamic
 * sections in place, but not all of them: an entry still below the load
 * bias is an unrelocated offset. */
uintptr_t dynamic_pointer(ElfW(Addr) base, ElfW(Addr) value)
{
    if (base != 0 && value < base) {
        return base + value;
    }
    return value;
}

}  // namespace

int find_got_slots(const void *code_address, const char *symbol, got_slot *slots, int capacity)
{
#if !VANDREL_GOT_SUPPORTED
    (void)code_address; (void)symbol; (void)slots; (void)capacity;
    return -1;
#else
    object_search search;
    if (!locate(code_address, &search) || search.dynamic == nullptr) {
        return -1;
    }
    const ElfW(Sym) *symtab = nullptr;
    const char *strtab = nullptr;
    size_t strsz = 0;
    uintptr_t jmprel = 0, rela = 0;
    size_t jmprel_size = 0, rela_size = 0;
    bool plt_is_rela = true;
    for (const ElfW(Dyn) *dyn = search.dynamic; dyn->d_tag != DT_NULL; dyn++) {
        switch (dyn->d_tag) {
        case DT_SYMTAB:
            symtab = reinterpret_cast<const ElfW(Sym) *>(dynamic_pointer(search.base, dyn->d_un.d_ptr));
            break;
        case DT_STRTAB:
            strtab = reinterpret_cast<const char *>(dynamic_pointer(search.base, dyn->d_un.d_ptr));
            break;
        case DT_STRSZ:
            strsz = dyn->d_un.d_val;
            break;
        case DT_JMPREL:
            jmprel = dynamic_pointer(search.base, dyn->d_un.d_ptr);
            break;
        case DT_PLTRELSZ:
            jmprel_size = dyn->d_un.d_val;
            break;
        case DT_PLTREL:
            plt_is_rela = dyn->d_un.d_val == DT_RELA;
            break;
        case DT_RELA:
            rela = dynamic_pointer(search.base, dyn->d_un.d_ptr);
            break;
        case DT_RELASZ:
            rela_size = dyn->d_un.d_val;
            break;
        default:
            break;
        }
    }
    /* Both supported architectures use RELA relocations throughout. */
    if (symtab == nullptr || strtab == nullptr || !plt_is_rela) {
        return -1;
    }
    size_t symbol_length = strlen(symbol);
    int found = 0;
    const struct {
        uintptr_t table;
        size_t size;
    } tables[2] = {{jmprel, jmprel_size}, {rela, rela_size}};
    for (const auto &table : tables) {
        if (table.table == 0) {
            continue;
        }
        const ElfW(Rela) *relocs = reinterpret_cast<const ElfW(Rela) *>(table.table);
        size_t count = table.size / sizeof(ElfW(Rela));
        for (size_t i = 0; i < count; i++) {
            uint32_t type = ELF64_R_TYPE(relocs[i].r_info);
            uint32_t index = ELF64_R_SYM(relocs[i].r_info);
            if ((type != reloc_jump_slot && type != reloc_glob_dat) || index == 0) {
                continue;
            }
            const ElfW(Sym) *sym = &symtab[index];
            if (sym->st_shndx != SHN_UNDEF || sym->st_name >= strsz ||
                strsz - sym->st_name <= symbol_length) {
                continue;
            }
            if (memcmp(strtab + sym->st_name, symbol, symbol_length + 1) != 0) {
                continue;
            }
            if (found == capacity) {
                return -1; /* more slots than we could rewrite: some calls would escape */
            }
            got_slot *slot = &slots[found++];
            slot->address = reinterpret_cast<void **>(search.base + relocs[i].r_offset);
            slot->original = __atomic_load_n(slot->address, __ATOMIC_ACQUIRE);
            /* The loader write-protects only the whole pages of the RELRO
             * range; a partial last page stays writable. */
            uintptr_t where = reinterpret_cast<uintptr_t>(slot->address);
            uintptr_t page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
            uintptr_t protected_start = search.relro_start & ~(page_size - 1);
            uintptr_t protected_end = search.relro_end & ~(page_size - 1);
            slot->relro = where >= protected_start && where < protected_end;
        }
    }
    return found;
#endif
}

bool write_got_slot(const got_slot *slot, void *value)
{
    uintptr_t page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t where = reinterpret_cast<uintptr_t>(slot->address);
    void *page = reinterpret_cast<void *>(where & ~(page_size - 1));
    /* A slot outside RELRO sits in writable data already; lifting the
     * protection there changes nothing, so do it in both cases and only
     * put read-only back where it was. */
    if (mprotect(page, page_size, PROT_READ | PROT_WRITE) != 0) {
        return false;
    }
    __atomic_store_n(slot->address, value, __ATOMIC_RELEASE);
    if (slot->relro) {
        mprotect(page, page_size, PROT_READ);
    }
    return true;
}

bool same_object(const void *code_address, const void *address)
{
    object_search search;
    if (!locate(code_address, &search)) {
        return false;
    }
    object_search other;
    return locate(address, &other) && other.base == search.base &&
           other.dynamic == search.dynamic;
}

}  // namespace vandrel
