"""Run every benchmark and print one table of ratios.

    python benchmarks/run.py [--quick] [--only NAME ...]

Each row pairs our measurement with its reference, both taken in the same
run, repeated, with medians.  The benchmarks need the package installed in
the running interpreter (./dev bench does both)."""
import argparse
import datetime
import importlib
import os
import platform
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

BENCHMARKS = ["bench_binding", "bench_dump", "bench_gil_overhead", "bench_gil_scale", "bench_gil_churn",
              "bench_import"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, for a smoke run")
    parser.add_argument("--only", nargs="*", default=None, help="benchmark names to run")
    args = parser.parse_args()
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


if __name__ == "__main__":
    main()
