# Link against glibc so that the result loads on glibc 2.17 (manylinux2014)
# as well as on the glibc this is built on.
#
# glibc 2.34 moved libdl, libpthread and librt into libc.so.6 and gave the
# moved functions new default versions (dlopen@@GLIBC_2.34).  Linking on a
# newer glibc therefore binds versions that glibc 2.17 does not have.
#
# Pinning the old version with `.symver dlopen,dlopen@GLIBC_2.2.5` alone is
# not enough: the linker then records that version as needed from libc.so.6,
# where the old function does not live.  Before glibc 2.34 the loader, while
# walking the search scope, gives up with "symbol dlopen, version GLIBC_2.2.5
# not defined in file libc.so.6 with link time reference" as soon as it meets
# the object the version was recorded against without finding the symbol
# there (elf/dl-lookup.c, do_lookup_x).  That is the case whenever libc.so.6
# precedes libdl.so.2 in the global scope, as in a python executable linked
# against a shared libpython (libdl.so.2 arrives as libpython's dependency,
# after the executable's own libc.so.6): the import would fail.
#
# So each library links against tiny link-time stand-ins named libdl.so.2,
# libpthread.so.0 and librt.so.1 that define the moved functions under their
# pre-2.34 versions.  The result is exactly what a build on an old glibc
# records: NEEDED libdl.so.2 etc., and "dlopen, GLIBC_2.2.5, from libdl.so.2".
#   - glibc < 2.34 resolves each function in the real libdl.so.2 etc.
#   - glibc >= 2.34 keeps those files as empty shells that still define the
#     old version nodes (so the load-time version check passes), and libc.so.6
#     exports the old versions as aliases of the very same functions; the
#     loader finds them there, as it does for every binary linked before 2.34.
# Only functions whose old and new versions are one implementation belong in
# the lists, so that today's headers describe what is called.  The one
# exception is pthread_kill: its old version differs only in returning ESRCH
# for a thread that exited unjoined, which is what glibc < 2.34 always did.
# tests/package/test_packaging.py checks that against the host's libc.so.6 and checks
# that no library needs more than GLIBC_2.17.
#
# The stand-ins are never installed, and RPATH is skipped so that nothing can
# ever find them at run time.

set(CMAKE_SKIP_RPATH ON)

# name:VERSION pairs of what each stand-in defines.
set(_vandrel_glibc_stub_libdl.so.2
  dlopen:GLIBC_2.2.5 dlsym:GLIBC_2.2.5 dlerror:GLIBC_2.2.5 dlclose:GLIBC_2.2.5
  dladdr:GLIBC_2.2.5 dlvsym:GLIBC_2.2.5 dladdr1:GLIBC_2.3.3 dlinfo:GLIBC_2.3.3
  dlmopen:GLIBC_2.3.4)
set(_vandrel_glibc_stub_libpthread.so.0
  pthread_create:GLIBC_2.2.5 pthread_join:GLIBC_2.2.5 pthread_detach:GLIBC_2.2.5
  pthread_cancel:GLIBC_2.2.5 pthread_kill:GLIBC_2.2.5 pthread_tryjoin_np:GLIBC_2.3.3
  pthread_timedjoin_np:GLIBC_2.3.3 pthread_once:GLIBC_2.2.5
  pthread_key_create:GLIBC_2.2.5 __pthread_key_create:GLIBC_2.2.5
  pthread_key_delete:GLIBC_2.2.5 pthread_getspecific:GLIBC_2.2.5
  pthread_setspecific:GLIBC_2.2.5 pthread_mutex_trylock:GLIBC_2.2.5
  pthread_mutex_timedlock:GLIBC_2.2.5 pthread_mutexattr_init:GLIBC_2.2.5
  pthread_mutexattr_destroy:GLIBC_2.2.5 pthread_mutexattr_settype:GLIBC_2.2.5
  pthread_rwlock_init:GLIBC_2.2.5 pthread_rwlock_destroy:GLIBC_2.2.5
  pthread_rwlock_rdlock:GLIBC_2.2.5 pthread_rwlock_wrlock:GLIBC_2.2.5
  pthread_rwlock_tryrdlock:GLIBC_2.2.5 pthread_rwlock_trywrlock:GLIBC_2.2.5
  pthread_rwlock_unlock:GLIBC_2.2.5 pthread_attr_getstack:GLIBC_2.2.5
  pthread_attr_getstacksize:GLIBC_2.2.5 pthread_attr_setstacksize:GLIBC_2.2.5
  pthread_getattr_np:GLIBC_2.2.5 pthread_sigmask:GLIBC_2.2.5
  pthread_getcpuclockid:GLIBC_2.2.5 pthread_setname_np:GLIBC_2.12
  pthread_getname_np:GLIBC_2.12 sem_init:GLIBC_2.2.5 sem_destroy:GLIBC_2.2.5
  sem_post:GLIBC_2.2.5 sem_wait:GLIBC_2.2.5 sem_trywait:GLIBC_2.2.5
  sem_timedwait:GLIBC_2.2.5)
set(_vandrel_glibc_stub_librt.so.1
  timer_create:GLIBC_2.3.3 timer_delete:GLIBC_2.3.3 timer_settime:GLIBC_2.3.3
  timer_gettime:GLIBC_2.3.3 timer_getoverrun:GLIBC_2.3.3 shm_open:GLIBC_2.2.5
  shm_unlink:GLIBC_2.2.5)

# Build the stand-in `soname` from its list: a source with one empty C
# function per name and a version script with one node per version.
function(_vandrel_glibc_stub soname)
  string(MAKE_C_IDENTIFIER "glibc_stub_${soname}" target)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/glibc_stubs")
  set(source "// Link-time stand-in for ${soname}; never loaded.\n")
  set(versions "")
  foreach(entry IN LISTS _vandrel_glibc_stub_${soname})
    string(REPLACE ":" ";" pair "${entry}")
    list(GET pair 0 name)
    list(GET pair 1 version)
    string(APPEND source "extern \"C\" void ${name}() {}\n")
    list(APPEND versions ${version})
    list(APPEND names_${version} ${name})
  endforeach()
  list(REMOVE_DUPLICATES versions)
  set(script "")
  set(local "local: *; ")
  foreach(version IN LISTS versions)
    list(JOIN names_${version} "; " names)
    string(APPEND script "${version} { global: ${names}; ${local}};\n")
    set(local "")
  endforeach()
  file(WRITE "${dir}/${target}.cpp" "${source}")
  file(WRITE "${dir}/${target}.map" "${script}")

  add_library(${target} SHARED "${dir}/${target}.cpp")
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET default
    LIBRARY_OUTPUT_DIRECTORY "${dir}"
    OUTPUT_NAME "${soname}" PREFIX "" SUFFIX "" NO_SONAME ON)
  target_link_options(${target} PRIVATE
    "LINKER:-soname,${soname}" "LINKER:--version-script=${dir}/${target}.map")
endfunction()

foreach(soname libdl.so.2 libpthread.so.0 librt.so.1)
  _vandrel_glibc_stub(${soname})
endforeach()

# Make `target` loadable on glibc 2.17: link the stand-ins (after the
# objects, so --as-needed keeps only those actually used) and no C++ runtime
# library dynamically.
function(vandrel_link_glibc_2_17 target)
  foreach(soname libdl.so.2 libpthread.so.0 librt.so.1)
    string(MAKE_C_IDENTIFIER "glibc_stub_${soname}" stub)
    add_dependencies(${target} ${stub})
    # Passed through to ld as an input file: CMake would turn a plain path
    # without SONAME metadata into -L/-l, which finds the system archive.
    target_link_libraries(${target} PRIVATE "-Wl,$<TARGET_FILE:${stub}>")
  endforeach()
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
endfunction()
