"""test_faulthandler's test_dump_ext_modules (3.15), without the agent.

The second half of the test makes a child crash with faulthandler on and
only standard-library modules loaded, and wants no "Extension modules:"
line in the report.  faulthandler lists every extension module a process
has loaded that is not in sys.stdlib_module_names; a process that uses the
agent holds two, lockgauge and threadsnap, so the line is there.  Any
extension module from outside the standard library does the same: this
runs the test's child once as it is and once after importing CPython's own
example of one, xxlimited (not in sys.stdlib_module_names).

Run: python tools/regrtest_repro/faulthandler_outside_extension.py
Exit status 0 when the effect shows: no line plainly, a line naming the
outside module with it.
"""
import subprocess
import sys

CHILD = r"""
import faulthandler, sys
if sys.argv[1] == "outside":
    import xxlimited
faulthandler.enable()
faulthandler._sigsegv()
"""


def report(mode):
    """Return the "Extension modules:" line of the child's crash report, or
    "" when there is none."""
    done = subprocess.run([sys.executable, "-c", CHILD, mode], capture_output=True, text=True,
                          timeout=60)
    lines = [line for line in done.stderr.splitlines() if line.startswith("Extension modules:")]
    return lines[0] if lines else ""


def main():
    plain, outside = report("plain"), report("outside")
    print(f"standard library only: {plain or 'no Extension modules line'}")
    print(f"with xxlimited: {outside or 'no Extension modules line'}")
    shown = not plain and "xxlimited" in outside
    print("effect shown" if shown else "effect NOT shown")
    return 0 if shown else 1


if __name__ == "__main__":
    sys.exit(main())
