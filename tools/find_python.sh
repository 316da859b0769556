# Sourced by ./dev and tools/hardening.sh (from the checkout's root):
# locating a CPython of a given version, and its test requirements.

# find_python VERSION [path|testsuite]: print the path of a CPython of
# VERSION (3.13, or a tools/pythons.sh name such as 3.15 or debian-3.13), or
# fail.  pyenv's and the system's interpreters come first; a version they
# lack, and Debian's own builds, are made by tools/pythons.sh, with CPython's
# regression tests added when the second argument is testsuite.
find_python() {
    local version=$1 what=${2:-path} candidate
    if [[ $version != 3.[0-9]* || $version == *-* ]]; then
        tools/pythons.sh "$what" "$version"
        return
    fi
    # A pyenv shim exists even when its version is not active, so only
    # accept a candidate that actually runs.
    for candidate in "python$version" \
        "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/"$version".*/bin/"python$version" \
        "/usr/local/bin/python$version" "/usr/bin/python$version"; do
        if "$candidate" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$version'" \
            >/dev/null 2>&1; then
            command -v "$candidate" || echo "$candidate"
            return
        fi
    done
    if tools/pythons.sh list | grep -qw -- "$version"; then
        tools/pythons.sh "$what" "$version"
        return
    fi
    echo "find_python: CPython $version not found; set PYTHON=/path/to/python$version" >&2
    return 1
}

# venv_tag PYTHON: print the name of PYTHON's own virtualenv under .venv/,
# the one `./dev` builds and tests in.  Two builds of one version (pyenv's
# and Debian's 3.13, say) differ in the executable's real path.
venv_tag() {
    "$1" -c 'import hashlib, os, sys
real = os.path.realpath(getattr(sys, "_base_executable", sys.executable))
print(f"{sys.implementation.name}-{sys.version_info[0]}.{sys.version_info[1]}{sys.abiflags}"
      f"-{hashlib.sha1(real.encode()).hexdigest()[:8]}")'
}

# test_requirements PYTHON: print pip's arguments that install the test
# requirements into PYTHON, with the constraints a free-threaded build needs
# (tests/constraints-free-threaded.txt: tools without cp313t wheels).
test_requirements() {
    echo -r tests/requirements.txt
    if "$1" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))'; then
        echo -c tests/constraints-free-threaded.txt
    fi
}
