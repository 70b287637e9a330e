"""Turns a tarvik_bench JSON run into the ratio report and the README table.

Usage: report.py RESULTS.json
Each benchmark ran as several repetitions, interleaved at random with the
others; a time here is the median of its repetitions, and a ratio is the
ratio of two such medians.
"""
import json
import os
import platform
import statistics
import sys

BAUD_BYTE = 1 / 960  # seconds per byte at 9600 baud 8N1: ten bits a byte
SIZES = ("20", "10000", "100000")
# Targets: library over floor per size, peer over library, share of wire.
FLOOR_LIMIT = {"20": 1.1, "10000": 1.25}
PEER_FACTOR = 3.0
WIRE_SHARE = 0.01


def machine(context):
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores, Linux %s" % (model, context.get("num_cpus", os.cpu_count()),
                                        platform.release())


def us(seconds):
    return "%.1f µs" % (seconds * 1e6) if seconds < 1e-3 else "%.2f ms" % (seconds * 1e3)


ORDER = ("tarvlf(3)", "tarvtxt", "tarvaut", "tarvversotxt", "tarvcheque", "serial_open+close")


def main():
    with open(sys.argv[1]) as f:
        run = json.load(f)
    # From each repetition of an interleaved benchmark: the medians of the
    # library, the floor and the peer within it, in seconds.
    reps = {}
    counts = {}
    for b in run["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        parts = b["run_name"].split("/")
        if len(parts) < 3 or parts[2] != "interleaved":
            continue
        command, size = parts[0], parts[1]
        for kind in ("library", "floor", "peer"):
            if kind + "_ns" in b:
                reps.setdefault((command, size, kind), []).append(b[kind + "_ns"] * 1e-9)
        counts[command] = int(b.get("bytes", 0))
    if not reps:
        sys.exit("no interleaved results in " + sys.argv[1])
    med = {k: statistics.median(v) for k, v in reps.items()}
    commands = [c for c in ORDER if (c, "20", "library") in med]
    nreps = max(len(v) for v in reps.values())

    ctx = run["context"]
    print("Machine: %s" % machine(ctx))
    print("Run: %s, %d repetitions of each command, library, floor and peer in turns "
          "within each; load average %s"
          % (ctx.get("date", "?"), nreps,
             ", ".join("%.2f" % x for x in ctx.get("load_avg", []))))
    print()

    missed = []
    print("Median times and ratios by tarvik.ini size (entries last)")
    print("%-18s %7s %11s %11s %7s %11s %8s" % ("command", "lines", "library", "floor",
                                                  "lib/fl", "peer", "peer/lib"))
    for size in SIZES:
        for c in commands:
            lib, flo = med.get((c, size, "library")), med.get((c, size, "floor"))
            peer = med.get((c, size, "peer"))
            if lib is None or flo is None:
                continue
            ratio = lib / flo
            line = "%-18s %7s %11s %11s %7.3f" % (c, size, us(lib), us(flo), ratio)
            if peer is not None:
                line += " %11s %8.1f" % (us(peer), peer / lib)
                if size == "20" and peer / lib < PEER_FACTOR:
                    missed.append("%s: peer only %.1fx slower at %s lines" % (c, peer / lib, size))
            print(line)
            if size in FLOOR_LIMIT and ratio > FLOOR_LIMIT[size]:
                missed.append("%s: %.3fx floor at %s lines (limit %.2f)"
                              % (c, ratio, size, FLOOR_LIMIT[size]))
        print()

    print("Growth of the library's time with the file (x its 20-line time)")
    for c in commands:
        base = med.get((c, "20", "library"))
        print("%-18s " % c + "  ".join(
            "%s: %s (%.0fx)" % (s, us(med[(c, s, "library")]), med[(c, s, "library")] / base)
            for s in SIZES if (c, s, "library") in med))
    print()

    print("README table")
    print()
    print("Measured on %s, %s, load average %s; %d repetitions, medians." % (
        machine(ctx), ctx.get("date", "?")[:10],
        ", ".join("%.2f" % x for x in ctx.get("load_avg", [])), nreps))
    print()
    print("With a 20-line `tarvik.ini`, entries last:")
    print()
    print("| Command | Bytes | Wire at 9600 baud | Library | Library / floor | "
          "Library / wire | Scripted peer |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for c in commands:
        lib, flo = med.get((c, "20", "library")), med.get((c, "20", "floor"))
        if lib is None or flo is None:
            continue
        n = counts.get(c, 0)
        wire = n * BAUD_BYTE
        peer = med.get((c, "20", "peer"))
        share = "%.2f %%" % (100 * lib / wire) if n else "–"
        if n and lib / wire >= WIRE_SHARE:
            missed.append("%s: %.2f %% of its wire time" % (c, 100 * lib / wire))
        print("| `%s` | %d | %s | %s | %.2f | %s | %s |" % (
            c, n, "%.1f ms" % (wire * 1e3) if n else "–", us(lib), lib / flo, share,
            us(peer) if peer is not None else "–"))
    print()
    print("Longer files, entries last (library time, then its ratio to the floor):")
    print()
    print("| Command | 10,000 lines | 100,000 lines |")
    print("|---|---:|---:|")
    for c in commands:
        cells = []
        for s in ("10000", "100000"):
            lib, flo = med.get((c, s, "library")), med.get((c, s, "floor"))
            cells.append("%s, %.2f" % (us(lib), lib / flo) if lib and flo else "–")
        print("| `%s` | %s | %s |" % (c, cells[0], cells[1]))
    print()
    if missed:
        print("Targets missed:")
        for m in missed:
            print("  " + m)
    else:
        print("All targets met: library/floor <= 1.1 (20 lines) and <= 1.25 (10,000 lines), "
              "peer >= 3x slower, library < 1% of wire time.")


if __name__ == "__main__":
    main()
