#!/usr/bin/env python3
"""The offline symbolizer's figures, against its peers in one run.

    bench/symbolize.py BUILD_DIR [--frames N] [--repetitions N] [--callgrind]

Frame sets: N return addresses (the byte before each, as a crash report gives
them) spread over a large -O2 -g program (calltrail_bench_symbolize_target)
and over libc with its debug file. For each set it prints
  - the share of frames that calltrail-symbolize names exactly as the
    in-process renderer does (the target renders them in-process);
  - time to first output and total time, median of the repetitions, of
    calltrail-symbolize, llvm-symbolizer-14, eu-addr2line and addr2line, all
    reading the addresses on standard input, without and with inline frames;
  - how many inline chains calltrail-symbolize --inlines lists as
    llvm-symbolizer --inlining does, and each kind of difference;
  - with --callgrind, the instructions each symbolizer runs.
"""
import argparse
import collections
import ctypes
import json
import os
import random
import re
import statistics
import subprocess
import sys
import time

LLVM = "llvm-symbolizer-14"


def return_addresses(path):
    """Addresses just after call instructions, as objdump sees them."""
    text = subprocess.run(["objdump", "-d", "--no-show-raw-insn", path], capture_output=True, text=True,
                          check=True).stdout.splitlines()
    found = []
    for i, line in enumerate(text[:-1]):
        if "\tcall" in line:
            following = re.match(r"^\s*([0-9a-f]+):", text[i + 1])
            if following:
                found.append(int(following.group(1), 16))
    return found


def spread(items, count):
    if len(items) <= count:
        return items
    step = len(items) / count
    return [items[int(i * step)] for i in range(count)]


def timed(command, input_path):
    """Seconds to the first byte of output, and to the end."""
    with open(input_path, "rb") as source:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdin=source, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        first = None
        while True:
            chunk = os.read(process.stdout.fileno(), 65536)
            if first is None:
                first = time.perf_counter() - start
            if not chunk:
                break
        process.wait()
        return first, time.perf_counter() - start


def run(command, input_path):
    with open(input_path, "rb") as source:
        return subprocess.run(command, stdin=source, capture_output=True, check=True).stdout.decode(
            "utf-8", "replace")


def instructions(command, input_path, scratch):
    out = os.path.join(scratch, "callgrind.out")
    with open(input_path, "rb") as source:
        log = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + command, stdin=source,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True).stderr.decode()
    return int(re.search(r"Collected : (\d+)", log).group(1))


# GCC's clones and cold parts, as each demangler spells them: "f(int) [clone
# .constprop.0]" and "f(int) (.constprop.0.cold)"; for C names the symbol's
# own "f.isra.0".
CLONE = re.compile(r"( \[clone [^\]]*\])+| \((\.[a-z_]+(\.\d+)?)+\)|(\.(cold|isra|part|constprop|lto_priv)(\.\d+)?)+$")
# Lambdas: "{lambda(int)#1}" against "'lambda'(int)", numbered or not.
LAMBDA = re.compile(r"\{lambda\(([^{}]*)\)#\d+\}|'lambda\d*'\(([^()]*)\)")


def demangled(names):
    """Linkage names as the engine's demangler (libstdc++'s __cxa_demangle)
    shows them."""
    library = ctypes.CDLL("libstdc++.so.6")
    library.__cxa_demangle.restype = ctypes.c_void_p
    library.__cxa_demangle.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p,
                                       ctypes.POINTER(ctypes.c_int)]
    free = ctypes.CDLL(None).free
    free.argtypes = [ctypes.c_void_p]
    plain = {}
    for name in {n for n in names if n.startswith("_Z")}:
        # The engine demangles a symbol without its clone suffix (".cold").
        base = CLONE.sub("", name)
        status = ctypes.c_int(0)
        text = library.__cxa_demangle(base.encode(), None, None, ctypes.byref(status))
        if text:
            plain[name] = ctypes.string_at(text).decode("utf-8", "replace")
            free(text)
    return plain


def spelled_alike(name, plain):
    name = plain.get(name, name)
    name = CLONE.sub("", name).replace("decltype(nullptr)", "std::nullptr_t")
    name = LAMBDA.sub(lambda m: "lambda(%s)" % (m.group(1) or m.group(2) or ""), name)
    # "operator<< <char>" against "operator<<<char>".
    name = re.sub(r"(operator[^ (]+) <", r"\1<", name)
    return name.replace("> >", ">>")


def same_path(ours, theirs):
    """llvm-symbolizer puts a relative compilation directory before a file of
    directory 0 once more ("./csu/./csu/f.c"); the engine takes directory 0 to
    be the compilation directory itself ("./csu/f.c")."""
    if ours == theirs:
        return True
    a, b = os.path.normpath(ours), os.path.normpath(theirs)
    return a == b or (b.endswith("/" + a) and b[:-len(a) - 1] == a.split("/")[0])


def symbol_places(obj):
    """Where each function symbol of the object and of its debug file (found
    by build-id) lies: name -> {(address, size)} and (address, size) ->
    {names}, without symbol versions."""
    files = [obj]
    notes = subprocess.run(["readelf", "-n", obj], capture_output=True, text=True).stdout
    found = re.search(r"Build ID: ([0-9a-f]+)", notes)
    if found:
        debug = "/usr/lib/debug/.build-id/%s/%s.debug" % (found.group(1)[:2], found.group(1)[2:])
        if os.path.exists(debug):
            files.append(debug)
    places, names = collections.defaultdict(set), collections.defaultdict(set)
    for path in files:
        table = subprocess.run(["readelf", "-W", "-s", path], capture_output=True, text=True).stdout
        for line in table.splitlines():
            fields = line.split()
            if len(fields) < 8 or fields[3] not in ("FUNC", "IFUNC") or fields[6] == "UND":
                continue
            name = fields[7].split("@")[0]
            place = (int(fields[1], 16), int(fields[2], 0))
            places[name].add(place)
            names[place].add(name)
    return places, names


def aliases_of(symbols, plain, ours, theirs):
    """Whether two names of a frame's own function are symbols at one address
    with one size: the same code, named by another of its aliases."""
    if symbols is None:
        return False
    places, names = symbols
    spelled = spelled_alike(ours, plain)
    for place in places.get(theirs, ()):
        for name in names[place]:
            if spelled_alike(name, plain) == spelled or spelled_alike(demangled_one(name), plain) == spelled:
                return True
    return False


def demangled_one(name):
    return demangled([name]).get(name, name) if name.startswith("_Z") else name


def compare_inlines(ours_lines, llvm_lines, symbols=None):
    """Chains that agree to the letter once llvm's linkage names are
    demangled, those that agree but for how a clone or a relative path is
    spelled, those that name the frame's own function by another alias of it,
    and the kinds of the other differences."""
    ours = [json.loads(line) for line in ours_lines]
    llvm = [json.loads(line) for line in llvm_lines]
    plain = demangled([s["FunctionName"] for l in llvm for s in l["Symbol"]])
    exact = spelling = alias = 0
    kinds = collections.Counter()
    examples = {}
    for o, l in zip(ours, llvm):
        mine = o.get("inlined") or [{"function": o.get("function", ""), "file": o.get("file", ""),
                                     "line": o.get("line", 0)}]
        theirs = [{"function": s["FunctionName"], "file": s["FileName"], "line": s["Line"]} for s in l["Symbol"]]
        # No line is no line, however each says so.
        for level in theirs:
            if level["line"] == 0 or level["file"] in ("", "??"):
                level["file"], level["line"] = "", 0
        for level in mine:
            level.setdefault("file", "")
            level.setdefault("line", 0)
            if level["function"] == "":
                level["function"] = "??"
        for level in theirs:
            level["function"] = plain.get(level["function"], level["function"])
        if mine == theirs:
            exact += 1
            continue
        if len(mine) != len(theirs):
            kind = "depth"
        elif any(a["line"] != b["line"] for a, b in zip(mine, theirs)):
            kind = "line"
        elif any(not same_path(a["file"], b["file"]) for a, b in zip(mine, theirs)):
            kind = "path"
        elif all(spelled_alike(a["function"], plain) == spelled_alike(b["function"], plain)
                 for a, b in zip(mine, theirs)):
            spelling += 1
            continue
        elif all(spelled_alike(a["function"], plain) == spelled_alike(b["function"], plain)
                 for a, b in zip(mine[:-1], theirs[:-1])):
            # Ours is the symbol the engine ranks first among those at the
            # address; llvm's, whichever of them its sort leaves first.
            if aliases_of(symbols, plain, mine[-1]["function"], l["Symbol"][-1]["FunctionName"]):
                alias += 1
                examples.setdefault("alias", []).append((l["Address"], mine, theirs))
                continue
            kind = "the frame's own function under another name"
        else:
            kind = "name of an inlined function"
        kinds[kind] += 1
        examples.setdefault(kind, []).append((l["Address"], mine, theirs))
    return len(ours), exact, spelling, alias, kinds, examples


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--frames", type=int, default=3000)
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("--examples", type=int, default=0, help="this many differences of each kind")
    args = parser.parse_args()
    ours = os.path.join(args.build, "symbolizer", "calltrail-symbolize")
    target = os.path.join(args.build, "bench", "calltrail_bench_symbolize_target")
    libc = os.path.realpath("/lib/x86_64-linux-gnu/libc.so.6")
    scratch = os.path.join(args.build, "bench-results", "symbolize")
    os.makedirs(scratch, exist_ok=True)
    print("== load average at start: " + open("/proc/loadavg").read().split(" ", 3)[0])
    for name, obj in (("large -O2 -g program", target), ("libc.so.6 with libc6-dbg", libc)):
        offsets = [a - 1 for a in spread(return_addresses(obj), args.frames)]
        ours_in = os.path.join(scratch, "ours.in")
        plain_in = os.path.join(scratch, "addresses.in")
        with open(ours_in, "w") as f:
            f.writelines("%s 0x%x\n" % (obj, o) for o in offsets)
        with open(plain_in, "w") as f:
            f.writelines("0x%x\n" % o for o in offsets)
        print("\n== %s: %d frames (%s)" % (name, len(offsets), obj))

        expected = run([target], ours_in).splitlines()
        got = run([ours], ours_in).splitlines()
        same = sum(1 for a, b in zip(expected, got) if a == b)
        print("same text as the in-process renderer: %d of %d frames (%.2f%%)" % (same, len(expected),
                                                                                  100.0 * same / len(expected)))
        for a, b in [(a, b) for a, b in zip(expected, got) if a != b][:5]:
            print("  in-process: " + a + "\n  offline:    " + b)

        tools = {
            "calltrail-symbolize": ([ours], [ours, "--inlines"], ours_in),
            "llvm-symbolizer": ([LLVM, "--inlining=false", "--obj=" + obj], [LLVM, "--inlining", "--obj=" + obj],
                                plain_in),
            "eu-addr2line": (["eu-addr2line", "-f", "-C", "-e", obj], ["eu-addr2line", "-f", "-C", "-i", "-e", obj],
                             plain_in),
            "addr2line": (["addr2line", "-f", "-C", "-e", obj], ["addr2line", "-f", "-C", "-i", "-e", obj], plain_in),
        }
        samples = collections.defaultdict(list)
        for _ in range(args.repetitions):
            order = [(tool, mode) for tool in tools for mode in (0, 1)]
            random.shuffle(order)
            for tool, mode in order:
                samples[(tool, mode)].append(timed(tools[tool][mode], tools[tool][2]))
        print("%-22s %-9s %12s %12s %10s" % ("", "", "first output", "total", "vs llvm"))
        for mode, label in ((0, "frames"), (1, "inlines")) if args.repetitions > 0 else ():
            base = statistics.median(t for _, t in samples[("llvm-symbolizer", mode)])
            base_first = statistics.median(f for f, _ in samples[("llvm-symbolizer", mode)])
            for tool in tools:
                first = statistics.median(f for f, _ in samples[(tool, mode)])
                total = statistics.median(t for _, t in samples[(tool, mode)])
                print("%-22s %-9s %9.1f ms %9.1f ms %5.2fx %5.2fx" % (tool, label, first * 1000, total * 1000,
                                                                   first / base_first, total / base))

        ours_chains = run([ours, "--inlines", "--json"], ours_in).splitlines()
        # Linkage names, demangled here as the engine's demangler does: the
        # two demanglers spell some names differently.
        llvm_chains = run([LLVM, "--inlining", "--no-demangle", "--output-style=JSON", "--obj=" + obj],
                          plain_in).splitlines()
        total, exact, spelling, alias, kinds, examples = compare_inlines(ours_chains, llvm_chains,
                                                                          symbol_places(obj))
        print("inline chains as llvm-symbolizer --inlining gives them (every level's function, file and line; its "
              "linkage names demangled as ours are): %d of %d (%.2f%%), %d of them but for clone suffixes or a "
              "relative directory 0" % (exact + spelling, total, 100.0 * (exact + spelling) / total, spelling))
        print("  and with the frame's own function named by another symbol at its address and size: %d of %d "
              "(%.2f%%)" % (exact + spelling + alias, total, 100.0 * (exact + spelling + alias) / total))
        if alias:
            aliased = collections.Counter((m[-1]["function"], t[-1]["function"]) for _, m, t in examples["alias"])
            print("  those aliases, ours / llvm's, most frequent: " +
                  ", ".join("%s / %s (%d)" % (a, b, n) for (a, b), n in aliased.most_common(4)))
        for kind, count in kinds.most_common():
            address, mine, theirs = examples[kind][0]
            print("  %s: %d, e.g. at %s\n    ours: %s\n    llvm: %s" % (kind, count, address, mine, theirs))
        if args.examples:
            for kind, found in examples.items():
                for address, mine, theirs in found[:args.examples]:
                    print("  %s at %s\n    ours: %s\n    llvm: %s" % (kind, address, mine, theirs))
        if args.callgrind:
            a = instructions([ours], ours_in, scratch)
            b = instructions(tools["llvm-symbolizer"][0], plain_in, scratch)
            print("instructions: calltrail-symbolize %d, llvm-symbolizer %d (%.2fx)" % (a, b, a / b))


if __name__ == "__main__":
    sys.exit(main())
