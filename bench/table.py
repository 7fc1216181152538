#!/usr/bin/env python3
"""Prints the benchmark table from the JSON files that run.sh collects.

usage: table.py CAPTURE.json RENDER.json PROCESS.json [TEXTS.txt]
"""

import json
import sys


def load(path):
    """Benchmark name -> result, the median where repetitions were run."""
    with open(path) as f:
        data = json.load(f)
    results = {}
    for b in data.get("benchmarks", []):
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                results[name] = b
        elif name not in results:
            results[name] = b
        elif b.get("error_occurred"):
            results[name] = b
    return data.get("context", {}), results


SCALE_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def seconds(b, field):
    return b[field] * SCALE_NS[b.get("time_unit", "ns")] / 1e9


class Figure:
    """One measured quantity, or why there is none."""

    def __init__(self, value=None, why=None):
        self.value = value
        self.why = why


def figure(results, name, pick):
    b = results.get(name)
    if b is None:
        return Figure(why="not run")
    if b.get("error_occurred"):
        return Figure(why=b.get("error_message", "failed"))
    return Figure(pick(b))


def per_frame_cpu(b):
    return seconds(b, "cpu_time") / b["frames"]


def cpu(b):
    return seconds(b, "cpu_time")


def real(b):
    return seconds(b, "real_time")


def rss(b):
    return b["peak_rss_kib"] * 1024.0


def rate(b):
    return b["items_per_second"]


def per_item(b):
    return 1.0 / b["items_per_second"]


def added(total, floor):
    """What `total` costs beyond `floor`, both of one run."""
    if total.value is None or floor.value is None:
        return Figure(why=(total if total.value is None else floor).why)
    return Figure(total.value - floor.value)


def show_time(s):
    if s >= 1e-3:
        return "%.1f ms" % (s * 1e3)
    if s >= 1e-6:
        return "%.2f us" % (s * 1e6)
    return "%.2f ns" % (s * 1e9)


def show_bytes(n):
    return "%.1f MB" % (n / 1e6)


def show_scaling(x):
    return "%.2fx" % x


def scaling(results, name, threads):
    """Throughput on `threads` threads over that on one."""
    many = figure(results, "%s/real_time/threads:%d" % (name, threads), rate)
    one = figure(results, "%s/real_time/threads:1" % name, rate)
    if many.value is None or one.value is None:
        return Figure(why=(many if many.value is None else one).why)
    return Figure(many.value / one.value)


def cell(f, show):
    return show(f.value) if f.value is not None else "-"


def main(argv):
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    context, capture = load(argv[1])
    _, render = load(argv[2])
    _, process = load(argv[3])

    rows = []

    def row(work, ours, peer_name, peer, show, target=None, at_most=True, absolute=None):
        """target: a ratio against the peer; absolute: a limit on ours alone."""
        ratio = None
        if ours.value is not None and peer is not None and peer.value:
            ratio = ours.value / peer.value
        if target is not None:
            limit = ("<= %.2fx" if at_most else ">= %.2fx") % target
            measured = ratio
        elif absolute is not None:
            limit = "<= " + show(absolute)
            measured = ours.value
            target = absolute
        else:
            limit, measured = "-", None
        if limit == "-":
            verdict = ""
        elif measured is None:
            missing = ours if ours.value is None else peer
            verdict = "no figure: " + (missing.why or "missing")
        else:
            verdict = "met" if (measured <= target if at_most else measured >= target) else "MISSED"
        rows.append(
            [
                work,
                cell(ours, show),
                peer_name,
                cell(peer, show) if peer is not None else "-",
                "%.3gx" % ratio if ratio is not None else "-",
                limit,
                verdict,
            ]
        )

    collect = figure(capture, "collect_64", per_frame_cpu)
    unw = figure(capture, "unw_backtrace_64", per_frame_cpu)
    glibc = figure(capture, "glibc_backtrace_64", per_frame_cpu)
    gcc = figure(capture, "unwind_backtrace_64", per_frame_cpu)
    fp = figure(capture, "frame_pointer_64", per_frame_cpu)
    row("collect, 64 frames (per frame)", collect, "libunwind unw_backtrace", unw, show_time, 1.0)
    row("collect, 64 frames (per frame)", collect, "glibc backtrace()", glibc, show_time, 0.05)
    row("collect, 64 frames (per frame)", collect, "frame-pointer walk (reference)", fp, show_time)

    ours_render = figure(render, "to_string_32", cpu)
    row("warm detail::to_string, 32 frames", ours_render, "backtrace_symbols", figure(render, "backtrace_symbols_32", cpu),
        show_time, 0.35)
    row("warm detail::to_string, 32 frames", ours_render, "(absolute)", None, show_time, absolute=35e-6)
    row("warm detail::to_string, 32 frames", ours_render, "plain libdwfl", figure(render, "libdwfl_32", cpu), show_time)
    row("warm detail::to_string, 32 frames", ours_render, "backward-cpp (libdw)", figure(render, "backward_32", cpu),
        show_time)
    # Eight threads on the machine's cores: the wall-clock time per trace of
    # all of them together.
    row("warm detail::to_string, 32 frames, 8 threads (per trace)",
        figure(render, "to_string_32_threads/real_time/threads:8", per_item),
        "backtrace_symbols, 8 threads", figure(render, "backtrace_symbols_32_threads/real_time/threads:8", per_item),
        show_time)
    row("frame::name(), one frame", figure(render, "frame_name", cpu), "(absolute)", None, show_time, absolute=150e-9)

    fresh = {k: figure(process, "fresh_%s/manual_time" % k, real) for k in
             ("ours_libc", "libdwfl_libc", "backward_libc", "bare", "bare_cxx", "ours_exe", "libdwfl_exe",
              "backward_exe")}
    work = "fresh process, 32 frames into libc"
    row(work, fresh["ours_libc"], "plain libdwfl", fresh["libdwfl_libc"], show_time, 0.10)
    row(work, fresh["ours_libc"], "backward-cpp (libdw)", fresh["backward_libc"], show_time)
    row(work, fresh["ours_libc"], "process start alone", fresh["bare"], show_time)
    row(work + ": added over the C++ start", added(fresh["ours_libc"], fresh["bare_cxx"]),
        "plain libdwfl's added", added(fresh["libdwfl_libc"], fresh["bare_cxx"]), show_time)
    work = "fresh process, 32 frames in the executable"
    row(work, fresh["ours_exe"], "plain libdwfl", fresh["libdwfl_exe"], show_time)
    row(work, fresh["ours_exe"], "backward-cpp (libdw)", fresh["backward_exe"], show_time)
    row(work, fresh["ours_exe"], "process start alone", fresh["bare"], show_time)
    row(work, fresh["ours_exe"], "C++ process start alone (reference)", fresh["bare_cxx"], show_time)
    # What a C++ program pays for its runtime before it calls anything is
    # neither ours nor libdwfl's.
    row(work + ": added over the C++ start", added(fresh["ours_exe"], fresh["bare_cxx"]),
        "plain libdwfl's added", added(fresh["libdwfl_exe"], fresh["bare_cxx"]), show_time, 0.3)
    peak = {k: figure(process, "fresh_%s/manual_time" % k, rss) for k in ("ours_libc", "libdwfl_libc", "ours_exe",
                                                                          "libdwfl_exe", "bare", "bare_cxx")}
    row("peak RSS, fresh process into libc", peak["ours_libc"], "plain libdwfl", peak["libdwfl_libc"], show_bytes, 0.20)
    row("peak RSS, fresh process in the executable", peak["ours_exe"], "plain libdwfl", peak["libdwfl_exe"],
        show_bytes)
    row("peak RSS, fresh process into libc", peak["ours_libc"], "process start alone", peak["bare"], show_bytes)
    row("peak RSS, fresh process into libc", peak["ours_libc"], "C++ process start alone", peak["bare_cxx"],
        show_bytes)
    # Threads: what rendering gains from N threads, read against what work
    # that shares nothing gains on the machine at the same moment.
    for n in (2, 8):
        ours_scaling = scaling(render, "to_string_32_threads", n)
        machine = scaling(render, "shared_nothing", n)
        row("detail::to_string, %d threads: throughput over 1 thread's" % n, ours_scaling,
            "shared-nothing loop, the same", machine, show_scaling, 0.8, at_most=False)

    header = ["work", "ours", "peer", "peer's figure", "ratio", "target", "result"]
    print_table(header, rows)

    print()
    print("Unwinder choice, per frame of a 64-frame walk (CPU time):")
    choice = [
        ["libunwind unw_backtrace", cell(unw, show_time)],
        ["libgcc _Unwind_Backtrace", cell(gcc, show_time)],
        ["glibc backtrace()", cell(glibc, show_time)],
        ["frame-pointer walk", cell(fp, show_time)],
        ["collect (ours)", cell(collect, show_time)],
    ]
    print_table(["unwinder", "per frame"], choice)

    if len(argv) > 4:
        print()
        print_texts_check(argv[4])

    print()
    print("Machine: %s CPUs at %s MHz, load average %s at start; in-process rows are CPU time; medians of %s runs,"
          % (context.get("num_cpus", "?"), context.get("mhz_per_cpu", "?"),
             " ".join("%.2f" % x for x in context.get("load_avg", [])), repetitions(capture)))
    print("interleaved at random; fresh-process and thread rows are wall-clock time; a fresh process's peak RSS is its")
    print("own, started by a launcher that loads only the C library.")
    return 0


def repetitions(results):
    for b in results.values():
        if "repetitions" in b:
            return b["repetitions"]
    return 1


def print_texts_check(path):
    """How many frames each renderer found a file and line for: the rows do the same work only if these agree."""
    counts = {}
    current = None
    with open(path) as f:
        for line in f:
            if line.startswith("== "):
                current = line[3:].strip()
                counts[current] = [0, 0]
            elif current is not None and line.strip() and line.strip() != "(empty)":
                counts[current][0] += 1
                if " at " in line:
                    counts[current][1] += 1
    print("What each renderer produced for the 32-frame trace (texts in %s):" % path)
    print_table(["renderer", "lines", "with file:line"], [[k, str(v[0]), str(v[1])] for k, v in counts.items()])


def print_table(header, rows):
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
