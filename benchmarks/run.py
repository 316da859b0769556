"""Run every benchmark and print one table of ratios.

    python benchmarks/run.py [--quick] [--only NAME ...] [--record FILE]
    python benchmarks/run.py --versions-table FILE ...

Each row pairs our measurement with its reference, both taken in the same
run, repeated, with medians.  The benchmarks need the package installed in
the running interpreter (./dev bench does both).  --record also writes the
rows and the interpreter's description to FILE; --versions-table prints
the dump rows of such records, one line per interpreter (./dev
bench-versions runs the dump benchmark under each version and does that)."""
import argparse
import datetime
import importlib
import json
import os
import platform
import sys
import sysconfig

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

BENCHMARKS = ["bench_binding", "bench_dump", "bench_gil_overhead", "bench_gil_scale", "bench_gil_churn",
              "bench_gil_wait", "bench_import", "bench_stuck_dump",
              "bench_trace_exit", "bench_loop_block", "bench_asyncio_tasks",
              "bench_gil_profile"]


def interpreter_description():
    """This interpreter's version and build: how libpython is linked, and
    whether it is a debug or free-threaded build."""
    # Debian's executables have libpython linked in although their
    # sysconfig says Py_ENABLE_SHARED: ask the loader instead.
    with open("/proc/self/maps") as maps:
        kinds = ["shared" if "/libpython3" in maps.read() else "static"]
    if hasattr(sys, "gettotalrefcount"):
        kinds.append("debug")
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        kinds.append("free-threaded")
    return f"{platform.python_version()} ({', '.join(kinds)})"


# Rows of bench_dump, as --versions-table shows them: label -> columns.
DUMP_ROWS = (("dump 100 threads", "100 × 50: agent", "faulthandler", "ratio (≤ 0.01)"),
             ("dump 1000 threads", "1000 × 50: agent", "`_current_frames`+format",
              "ratio (≤ 0.02)"))


def print_versions_table(paths):
    """Print one line per recorded interpreter: the dump's figures."""
    header = ["CPython"]
    for _, agent, reference, ratio in DUMP_ROWS:
        header += [agent, reference, ratio]
    header.append("100 × 50: agent after as long asleep")
    print("| " + " | ".join(header) + " |")
    print("|---|" + "---:|" * (len(header) - 1))
    for path in paths:
        with open(path) as stream:
            record = json.load(stream)
        cells = [record["python"]]
        for prefix, *_ in DUMP_ROWS:
            row = next(r for r in record["rows"] if r[0].startswith(prefix))
            cells += [f"{row[1]:.4g}", f"{row[2]:.4g}", f"{row[3]:.4f}"]
        asleep = next((r for r in record["rows"] if r[0].startswith("dump 100 threads x 50 "
                                                                      "frames after")), None)
        cells.append(f"{asleep[1]:.4g}" if asleep else "-")
        print("| " + " | ".join(cells) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, for a smoke run")
    parser.add_argument("--only", nargs="*", default=None, help="benchmark names to run")
    parser.add_argument("--record", metavar="FILE",
                        help="also write the rows and this interpreter's description to FILE")
    parser.add_argument("--versions-table", nargs="+", metavar="FILE",
                        help="print the dump rows of recorded runs, one line per interpreter")
    args = parser.parse_args()
    if args.versions_table:
        print_versions_table(args.versions_table)
        return
    names = [n for n in BENCHMARKS if args.only is None or n in args.only]

    rows = []
    for name in names:
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as exc:
            if exc.name != name:
                raise
            print(f"# {name}: not present, skipped", file=sys.stderr)
            continue
        print(f"# running {name} ...", file=sys.stderr, flush=True)
        rows.extend(module.run(quick=args.quick))

    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, "
          f"Python {platform.python_version()}, {datetime.date.today().isoformat()}")
    print()
    print("| measurement | ours | reference | ratio | target |")
    print("|---|---:|---:|---:|---|")
    for label, ours, base, ratio, target in rows:
        print(f"| {label} | {ours:.4g} | {base:.4g} | {ratio:.4f} | {target} |")
    if args.record:
        with open(args.record, "w") as stream:
            json.dump({"python": interpreter_description(), "rows": rows}, stream)


if __name__ == "__main__":
    main()
