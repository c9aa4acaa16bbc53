#!/usr/bin/env python3
"""Turns bench/run's results into tables, a plot and a verdict on corvexd's targets.

    report.py RESULTS.tsv SAMPLES-DIR PLOT.png
"""
import math
import os
import subprocess
import sys
import tempfile

BRIDGES = ["corvexd", "socat", "ser2net-tuned", "ser2net-default"]
SIZES = [6, 100, 400]
WIRE_US_PER_BYTE = 10 / 230400 * 1e6  # start, 8 data and stop bit


def load(path):
    rows = []
    for line in open(path):
        fields = line.rstrip("\n").split("\t")
        rows.append(fields)
    return rows


SAMPLES = None


def percentile(values, percent):
    """The nearest-rank percentile, as corvex-bench and corvex-client take it."""
    values = sorted(values)
    rank = math.ceil(percent / 100 * len(values))
    return values[min(max(rank, 1), len(values)) - 1]


def pick(rows, mode, bridge, kind, size):
    found = [r[4:] for r in rows if r[0] == mode and r[1] == bridge and r[2] == kind and int(r[3]) == size]
    if not found:
        return None
    if kind != "rtt":
        return found[-1]
    # Round trips come in rounds: add the counts up, and summarise the times
    # of all rounds together.
    count = sum(int(f[0]) for f in found)
    whole = sum(int(f[3]) for f in found)
    lost = sum(int(f[4]) for f in found)
    cpu = sum(float(f[5]) * int(f[0]) for f in found) / max(1, count)
    med, p99 = "-1", "-1"
    path = os.path.join(SAMPLES, f"{mode}-{bridge}-{size}")
    if os.path.exists(path):
        values = [float(v) for v in open(path) if v.strip()]
        if values:
            med, p99 = f"{percentile(values, 50):.1f}", f"{percentile(values, 99):.1f}"
    return [str(count), med, p99, str(whole), str(lost), f"{cpu:.2f}"]


def rtt_results(rows, mode):
    """Each bridge's round trips of each size, with "—" for times where none came back."""
    for b in BRIDGES:
        for s in SIZES:
            r = pick(rows, mode, b, "rtt", s)
            if r:
                count, med, p99, whole, lost, cpu = r
                med, p99 = (t if float(t) >= 0 else "—" for t in (med, p99))
                yield b, s, count, med, p99, whole, lost, cpu


def rtt_table(rows, mode):
    out = ["| bridge | size | median µs | p99 µs | came back whole | lost | bridge CPU µs/frame |",
           "|---|---|---|---|---|---|---|"]
    for b, s, count, med, p99, whole, lost, cpu in rtt_results(rows, mode):
        out.append(f"| {b} | {s} | {med} | {p99} | {whole} of {count} | {lost} | {cpu} |")
    return "\n".join(out)


def paced_table(rows):
    out = ["| bridge | size | wire time µs (one way) | median µs | added over the wire µs | p99 µs | whole | lost |",
           "|---|---|---|---|---|---|---|---|"]
    for b, s, count, med, p99, whole, lost, _ in rtt_results(rows, "paced"):
        wire = s * WIRE_US_PER_BYTE
        added = f"{float(med) - wire:.0f}" if med != "—" else "—"
        out.append(f"| {b} | {s} | {wire:.0f} | {med} | {added} | {p99} | {whole} of {count} | {lost} |")
    return "\n".join(out)


def window_table(rows):
    out = ["| bridge | size | frames sent | came back whole, per s | whole | recovered | bridge CPU µs/frame | RSS KiB |",
           "|---|---|---|---|---|---|---|---|"]
    for b in BRIDGES:
        for s in (6, 100):
            r = pick(rows, "fast", b, "window", s)
            if r:
                sent, rate, whole, recovered, cpu, rss = r
                out.append(f"| {b} | {s} | {sent} | {rate} | {whole} | {recovered} | {cpu} | {rss} |")
    return "\n".join(out)


def syscall_table(rows):
    out = ["| bridge | system calls per round trip (6 bytes) | most frequent, per round trip |",
           "|---|---|---|"]
    for b in BRIDGES:
        r = pick(rows, "fast", b, "syscalls", 6)
        if r:
            out.append(f"| {b} | {r[1]} | {r[2].replace(',', ', ') if len(r) > 2 else ''} |")
    return "\n".join(out)


DUPLEX = {"duplex-a": "(a) 80 % of the line each way, 100-byte frames",
          "duplex-b": "(b) client at twice the line (400-byte frames), board 500 frames/s of 20 bytes"}


def duplex_size(case, direction):
    return 100 if case == "duplex-a" else 400 if direction == "to-board" else 20


def duplex_table(rows):
    out = ["| case | bridge | direction | frame bytes | sent | arrived whole | age median ms | age p99 ms |",
           "|---|---|---|---|---|---|---|---|"]
    for case in DUPLEX:
        for b in BRIDGES:
            for direction in ("to-board", "from-board"):
                size = duplex_size(case, direction)
                r = pick(rows, case, b, direction, size)
                if r:
                    sent, whole, med, p99 = r
                    med, p99 = (t if float(t) >= 0 else "—" for t in (med, p99))
                    out.append(f"| {case[-1]} | {b} | {direction} | {size} | {sent} | {whole} | {med} | {p99} |")
    return "\n".join(out)


def plot(rows, png):
    with tempfile.TemporaryDirectory() as tmp:
        files = {}
        for mode in ("fast", "paced"):
            files[mode] = os.path.join(tmp, f"{mode}.dat")
            with open(files[mode], "w") as f:
                f.write("size " + " ".join(BRIDGES) + "\n")
                for s in SIZES:
                    values = []
                    for b in BRIDGES:
                        r = pick(rows, mode, b, "rtt", s)
                        values.append(r[1] if r and float(r[1]) >= 0 else "NaN")
                    f.write(f"{s} " + " ".join(values) + "\n")
        columns = len(BRIDGES) + 1
        script = f"""
set terminal pngcairo size 1100,450 font ",10"
set output "{png}"
set multiplot layout 1,2
set style data histogram
set style histogram cluster gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set grid ytics
set key autotitle columnhead top left
set xlabel "frame size (bytes)"
set ylabel "median round trip (µs, log scale)"
set logscale y
set title "Board answers at once"
plot for [i=2:{columns}] "{files['fast']}" using i:xtic(1)
set title "Board paced at 230400 baud"
plot for [i=2:{columns}] "{files['paced']}" using i:xtic(1)
unset multiplot
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def verdict(rows):
    lines = []
    ok = True

    def check(name, good, detail):
        nonlocal ok
        ok = ok and good
        lines.append(f"- {'met' if good else 'MISSED'}: {name} ({detail})")

    for s in SIZES:
        own = pick(rows, "fast", "corvexd", "rtt", s)
        peers = [pick(rows, "fast", b, "rtt", s) for b in BRIDGES[1:]]
        peers = [p for p in peers if p and float(p[1]) >= 0 and int(p[4]) == 0]
        if own and peers:
            best_med = min(float(p[1]) for p in peers)
            best_p99 = min(float(p[2]) for p in peers)
            check(f"median round trip, {s} bytes, no worse than any peer that lost nothing",
                  float(own[1]) <= best_med, f"{own[1]} µs against {best_med} µs")
            check(f"99th percentile, {s} bytes, better than any peer that lost nothing",
                  float(own[2]) < best_p99, f"{own[2]} µs against {best_p99} µs")
    w = pick(rows, "fast", "corvexd", "window", 6)
    if w:
        check("at least 50,000 frames per second both ways, every frame whole",
              float(w[1]) >= 50000 and w[2] == w[3] and int(w[3]) > 0,
              f"{w[1]} whole frames/s; {w[2]} whole of {w[3]} recovered, {w[0]} sent")
    sc = pick(rows, "fast", "corvexd", "syscalls", 6)
    if sc:
        check("at most 8 system calls per round trip", float(sc[1]) <= 8.05, f"{sc[1]}")
    if w:
        check("resident memory under 2 MiB", 0 < int(w[5]) < 2048, f"{w[5]} KiB")
    for direction in ("to-board", "from-board"):
        a = pick(rows, "duplex-a", "corvexd", direction, duplex_size("duplex-a", direction))
        if a:
            check(f"full duplex (a), {direction}: nothing lost, 99th percentile of the age at most 20 ms",
                  a[0] == a[1] and 0 <= float(a[3]) <= 20, f"{a[1]} of {a[0]}, {a[3]} ms")
    b = pick(rows, "duplex-b", "corvexd", "from-board", 20)
    if b:
        check("full duplex (b), from the board: every frame whole, 99th percentile at most 20 ms",
              b[0] == b[1] and 0 <= float(b[3]) <= 20, f"{b[1]} of {b[0]}, {b[3]} ms")
    b = pick(rows, "duplex-b", "corvexd", "to-board", 400)
    if b:
        check("full duplex (b), to the board: no frame older than the queue and the kernel's buffer allow (about 1.5 s on a pseudo-terminal)",
              0 <= float(b[3]) <= 1800, f"{b[1]} of {b[0]} reached it, p99 {b[3]} ms")
    return ok, "\n".join(lines)


def main():
    global SAMPLES
    rows = load(sys.argv[1])
    SAMPLES = sys.argv[2]
    plot(rows, sys.argv[3])
    print("### Round trips, board answers at once\n")
    print(rtt_table(rows, "fast"))
    print("\n### Throughput, 32 frames in flight\n")
    print(window_table(rows))
    print("\n### System calls\n")
    print(syscall_table(rows))
    print("\n### Round trips, board paced at 230400 baud\n")
    print(paced_table(rows))
    print("\n### Full duplex at the line's pace\n")
    for case, text in DUPLEX.items():
        print(f"- {case[-1]}: {text}")
    print()
    print(duplex_table(rows))
    ok, text = verdict(rows)
    print("\n### corvexd's targets\n")
    print(text)
    print(f"\ncorvexd {'met all its targets' if ok else 'missed a target'} on this run.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
