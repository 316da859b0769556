#!/usr/bin/env bash
# Builds the documentation site (docs/, mkdocs.yml) with MkDocs in strict
# mode: a warning, such as a link to a page or heading that does not exist,
# fails the build.  `./dev docs` and CI's docs stage run this.
#
#   tools/docs.sh [SITE_DIR]   build into SITE_DIR (default build/site)
#
# MkDocs lives in a virtualenv of its own, .venv/docs, made on first use and
# reused afterwards; docs/requirements.txt pins it.  The interpreter is the
# one ./dev uses (CPython 3.13, or PYTHON=/path/to/python), else python3.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/find_python.sh
PY=${PYTHON:-$(find_python 3.13 2>/dev/null || command -v python3)}
VENV=.venv/docs
SITE=${1:-build/site}

if [[ ! -x "$VENV/bin/python" ]]; then
    "$PY" -m venv "$VENV"
fi
# A stamp of the requirements skips pip when they have not changed.
stamp="$VENV/.docs-requirements"
if ! cmp -s docs/requirements.txt "$stamp"; then
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r docs/requirements.txt
    cp docs/requirements.txt "$stamp"
fi
exec "$VENV/bin/mkdocs" build --strict --clean --site-dir "$SITE"
