#!/usr/bin/env python3
"""Time to die of the crash handler's example, rendered in and out of process.

    bench/crash_time.py BUILD_DIR [--repetitions N] [--cases segv,heap,...]

Each case of examples/crash_handler.cpp runs N times in each mode,
interleaved. For each it prints the median time from start to death, whether
every run died of a signal, and in how many runs the rendered part named the
program's own frames with their lines (a `N# name at file:line` line in the
example's source).
"""
import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def run_once(program, case, renderer):
    arguments = [program, case] + ([renderer] if renderer else [])
    with tempfile.TemporaryDirectory() as directory:
        # The core is left where nobody keeps it.
        start = time.perf_counter()
        done = subprocess.run(arguments, cwd=directory, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              timeout=60)
        elapsed = time.perf_counter() - start
    report = done.stderr.decode(errors="replace")
    named = any(" at " in line and "crash_handler.cpp:" in line and "# " in line
                for line in report.splitlines())
    return elapsed * 1000, done.returncode < 0, named


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--repetitions", type=int, default=10)
    parser.add_argument("--cases", default="segv,abort,overflow,nested,heap")
    options = parser.parse_args()
    options.build = os.path.abspath(options.build)
    program = os.path.join(options.build, "examples", "calltrail_crash_handler")
    renderer = os.path.join(options.build, "symbolizer", "calltrail-symbolize")
    for needed in (program, renderer):
        if not os.access(needed, os.X_OK):
            sys.exit(f"{needed} is not built")
    print(f"time to die, median of {options.repetitions}, in and out of process interleaved "
          f"(load {os.getloadavg()[0]:.1f})")
    print("| crash | rendered in the process | rendered by calltrail-symbolize |")
    print("|---|---|---|")
    for case in options.cases.split(","):
        results = {None: [], renderer: []}
        for _ in range(options.repetitions):
            for mode in results:
                results[mode].append(run_once(program, case, mode))
        cells = []
        for mode in results:
            runs = results[mode]
            median = statistics.median(r[0] for r in runs)
            died = sum(r[1] for r in runs)
            named = sum(r[2] for r in runs)
            cells.append(f"{median:,.1f} ms; died of a signal {died}/{len(runs)}, names and lines {named}/{len(runs)}")
        print(f"| {case} | {cells[0]} | {cells[1]} |")


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    main()
