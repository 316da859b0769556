#!/usr/bin/env bash
# Hardening checks beyond the plain test run, each a stage of its own:
#
#   tools/hardening.sh asan      ASan+UBSan build of the modules and the agent
#                                in .venv/asan-<ver>, whole test suite
#   tools/hardening.sh valgrind  memcheck over a representative subset, every
#                                test child run under valgrind
#   tools/hardening.sh tidy      clang-tidy (config: .clang-tidy) over the C++
#   tools/hardening.sh all       the three in turn, with the time of each
#   tools/hardening.sh deps      install valgrind and clang-tidy if missing
#
# asan and valgrind run the tests in two phases, as ./dev test does
# (tools/run_tests.sh).  Extra arguments of asan and valgrind go to pytest;
# test paths given to valgrind replace its subset.  CMAKE_ARGS and PYTHON
# are honoured as by ./dev.  Exits non-zero as soon as a stage fails.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

# Same rule as ./dev: PYTHON wins, else the first CPython 3.13 that runs.
source tools/find_python.sh
PY=${PYTHON:-$(find_python 3.13)}
# With the ABI flags: a free-threaded 3.13 gets venvs of its own (asan-3.13t).
VER=$("$PY" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}{sys.abiflags}")')
# Python's allocator as plain malloc, so that the tools see object memory;
# a free-threaded build knows no other allocator than its own mimalloc.
PLAIN_MALLOC=malloc
if [[ $VER == *t* ]]; then
    PLAIN_MALLOC=
fi
PIP_FLAGS=(-q --disable-pip-version-check)

# make_venv DIR: a virtualenv at DIR with the test requirements.
make_venv() {
    if [[ ! -x "$1/bin/python" ]]; then
        # Debian's ensurepip wants the system's own wheels (tools/pythons.sh
        # interpreters): then the interpreter's own pip installs pip, as in ./dev.
        "$PY" -m venv "$1" 2>/dev/null || {
            rm -rf "$1"
            "$PY" -m venv --without-pip "$1"
            "$PY" -m pip "${PIP_FLAGS[@]}" --python "$1/bin/python" install pip
        }
    fi
    # shellcheck disable=SC2046  # test_requirements prints separate words
    "$1/bin/python" -m pip install "${PIP_FLAGS[@]}" $(test_requirements "$1/bin/python")
}

apt_install() {
    if [[ $(id -u) -ne 0 ]]; then
        echo "hardening: $* missing and not root; install it" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

stage_asan() {
    local venv=".venv/asan-$VER"
    make_venv "$venv"
    # Own build tree, so the plain build in build/ is left alone.
    CMAKE_ARGS="${CMAKE_ARGS:-} -DVANDREL_SANITIZE=ON" \
        "$venv/bin/python" -m pip install "${PIP_FLAGS[@]}" --no-build-isolation \
        --config-settings=build-dir="build/asan/{wheel_tag}" .

    # The interpreter is not instrumented: the ASan runtime must be the
    # first object in every child (tests/child.py puts VANDREL_CHILD_PRELOAD first
    # in LD_PRELOAD), and Python's own allocator must be plain malloc for
    # ASan to see object memory.  Any finding ends the child with a
    # distinctive status and is caught by child.run_python (tests/child.py).
    local runtime
    runtime=$(realpath "$(${CXX:-g++} -print-file-name=libasan.so)")
    VANDREL_SANITIZED=1 \
    VANDREL_CHILD_PRELOAD="$runtime" \
    PYTHONMALLOC=$PLAIN_MALLOC \
    ASAN_OPTIONS="halt_on_error=1:exitcode=86:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1" \
    LSAN_OPTIONS="suppressions=$ROOT/tools/sanitizer/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87" \
        tools/run_tests.sh "$venv/bin/pytest" "$@"
}

# Subset for valgrind: forwarding with every argument shape, discovery
# (lookups, re-open, reference keeping), a short fuzz against the recording
# agent, a scaled-down dump churn with the reference agent, and the
# self-check.  The interceptor churn stays with ASan: valgrind runs one
# thread at a time, and with threads spinning for the GIL each switch-over
# then takes tens of seconds.
VALGRIND_SUBSET=(tests/contract/test_forwarding.py tests/contract/test_agent_discovery.py
                 tests/agent/test_fuzz.py::test_fuzz_with_recording_agent
                 tests/agent/test_churn.py::test_dumps_while_threads_start_and_finish
                 tests/tools/test_hardening_setup.py)

stage_valgrind() {
    command -v valgrind >/dev/null || apt_install valgrind
    # ./dev's own virtualenv of this interpreter: on CI, test-all made it.
    local venv=".venv/$(venv_tag "$PY")"
    PYTHON="$PY" ./dev setup
    # Test paths among the arguments replace the subset; other arguments
    # are pytest options added to it.
    local args=("$@") arg
    for arg in "$@"; do
        [[ $arg == tests/* ]] && break
    done
    [[ ${arg:-} == tests/* ]] || args=("${VALGRIND_SUBSET[@]}" "$@")
    # Every child interpreter runs under memcheck; an error ends it with 99
    # and leaves "==pid==" lines that tests/child.py turns into a failure.
    # Only definite leaks count: the agent library is deliberately kept
    # open, and the interpreter keeps much reachable memory at exit.
    VANDREL_CHILD_WRAPPER="valgrind -q --tool=memcheck --error-exitcode=99 \
--leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite \
--track-origins=yes --suppressions=$ROOT/tools/sanitizer/valgrind.supp" \
    VANDREL_TIMEOUT_FACTOR=10 \
    VANDREL_FUZZ_EXAMPLES="${VANDREL_FUZZ_EXAMPLES:-300}" \
    VANDREL_CHURN_SCALE="${VANDREL_CHURN_SCALE:-0.02}" \
    PYTHONMALLOC=$PLAIN_MALLOC \
        tools/run_tests.sh "$venv/bin/pytest" "${args[@]}"
}

stage_tidy() {
    command -v clang-tidy >/dev/null || apt_install clang-tidy
    # ./dev's own virtualenv of this interpreter: on CI, test-all made it.
    local venv=".venv/$(venv_tag "$PY")"
    make_venv "$venv"
    # Configure only: compile_commands.json is all clang-tidy needs.
    local build=build/tidy cmake=cmake
    if ! command -v cmake >/dev/null; then
        "$venv/bin/python" -m pip install "${PIP_FLAGS[@]}" cmake
        cmake="$venv/bin/cmake"
    fi
    "$cmake" -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        -DSKBUILD_PROJECT_NAME=lockgauge -DSKBUILD_PROJECT_VERSION=0.0 \
        -DPython_EXECUTABLE="$ROOT/$venv/bin/python" >/dev/null
    local sources
    mapfile -t sources < <(git ls-files 'symbol/*.cpp' 'lockgauge/*.cpp' 'threadsnap/*.cpp' \
        'agent/*.cpp')
    # clang-tidy exits 0 when it cannot read its config (it falls back to
    # its defaults), so any diagnostic line at all fails the stage too.
    local out status=0
    # One file a process, two at a time: each file is parsed on its own anyway.
    out=$(printf '%s\n' "${sources[@]}" |
        xargs -P 2 -n 1 clang-tidy --quiet -p "$build" 2>&1) || status=$?
    out=$(grep -v '^[0-9]* warnings\? generated\.$' <<<"$out" || true)
    if [[ $status -ne 0 || -n $out ]]; then
        printf '%s\n' "$out" >&2
        echo "hardening: clang-tidy found problems (status $status)" >&2
        return 1
    fi
    echo "clang-tidy: ${#sources[@]} files clean"
}

timed() {
    local name=$1 start=$SECONDS
    shift
    echo "=== hardening: $name"
    "$@"
    echo "=== hardening: $name passed in $((SECONDS - start)) s"
}

# Install the tools the stages need and lack (valgrind, clang-tidy);
# .ci/run does this in the background while the test stages run.
stage_deps() {
    local missing=() tool
    for tool in valgrind clang-tidy; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    [[ ${#missing[@]} -eq 0 ]] || apt_install "${missing[@]}"
}

stage=${1:-}
[[ $# -gt 0 ]] && shift
case "$stage" in
    deps) stage_deps ;;
    asan) timed asan stage_asan "$@" ;;
    valgrind) timed valgrind stage_valgrind "$@" ;;
    tidy) timed tidy stage_tidy ;;
    all)
        timed tidy stage_tidy
        timed asan stage_asan
        timed valgrind stage_valgrind
        ;;
    *)
        sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
esac
