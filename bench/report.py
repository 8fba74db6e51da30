"""Turns the JSON figures of one scripts/bench run into bench/README.md's
table and a chart of the ratios (gnuplot). With --check, only checks that
the run left every figure (the smoke run)."""
import datetime
import glob
import json
import os
import platform
import subprocess
import sys
import tempfile

BEGIN = "<!-- scripts/bench: begin -->"
END = "<!-- scripts/bench: end -->"

FIELDS = {
    "big-file": ["varo_s", "varo_default_s", "curl_s", "curl_durable_s", "ratio",
                 "ratio_durable", "ratio_default", "peak_rss_kib", "floor_rss_kib",
                 "max_tick_gap_ms"],
    "small-files": ["curl_s", "curl_durable_s", "varo_off_s", "varo_on_s", "ratio_on",
                    "ratio_durable_on", "per_file_extra_ms_on", "fixed_s", "ticks_s_off"],
    "large-list": ["load_ms", "floor_ms", "ratio", "max_tick_gap_ms"],
}


def load(folder):
    figures = {}
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        name = os.path.basename(path)[:-5]
        kind, _, size = name.rpartition("-")
        with open(path) as f:
            data = json.load(f)
        missing = [k for k in FIELDS.get(kind, []) if k not in data]
        if kind not in FIELDS or missing:
            raise SystemExit(f"report: {path}: unknown figures or missing {missing}")
        figures.setdefault(kind, {})[int(size)] = data
    for kind in FIELDS:
        if kind not in figures:
            raise SystemExit(f"report: no {kind} figures in {folder}")
    return figures


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    return (f"{os.cpu_count()} cores ({model}), {mem_kib / 1024 / 1024:.0f} GiB, "
            f"Linux {platform.release()}")


def verdict(value, goal, below=True):
    ok = value <= goal if below else value >= goal
    return "meets" if ok else "**misses**"


def table(figures):
    big = figures["big-file"]
    small = figures["small-files"]
    lists = figures["large-list"]
    rows = []
    for size, d in sorted(big.items()):
        label = f"{size} MiB" if size < 1024 else f"{size // 1024} GiB"
        goal = " (goal ≤ 1.15×)" if size >= 1024 else ""
        rows.append(f"| one {label} file, StartNextAtOnce=1, start to client start | "
                    f"curl -o: {d['curl_s']:.3f} s | {d['varo_s']:.3f} s | "
                    f"{d['ratio']:.2f}×{goal} | "
                    f"{verdict(d['ratio'], 1.15) if size >= 1024 else '—'} |")
        rows.append(f"| the same against curl -o and an fsync of the file (the durability "
                    f"the updater gives) | curl -o + fsync: {d['curl_durable_s']:.3f} s | "
                    f"{d['varo_s']:.3f} s | {d['ratio_durable']:.2f}× | — |")
        rows.append(f"| one {label} file, default (the list and the file each wait for a tick) | "
                    f"curl -o: {d['curl_s']:.3f} s | {d['varo_default_s']:.3f} s | "
                    f"{d['ratio_default']:.2f}× | — |")
    for size, d in sorted(big.items()):
        label = f"{size} MiB" if size < 1024 else f"{size // 1024} GiB"
        mib = d["peak_rss_kib"] / 1024
        floor = d["floor_rss_kib"] / 1024
        rows.append(f"| peak resident memory, {label} file | a bare GTK window (GTK's default "
                    f"theme) with the same texts in the same font, libcurl and libxml2 set up: "
                    f"{floor:.1f} MiB | {mib:.1f} MiB | "
                    f"{mib / floor:.2f}× that window (goal < 40 MiB) | {verdict(mib, 40)} |")
        rows.append(f"| longest gap between ticks, {label} file | 200 ms tick | "
                    f"{d['max_tick_gap_ms']:.0f} ms | goal < 250 ms | "
                    f"{verdict(d['max_tick_gap_ms'], 250)} |")
    for count, d in sorted(small.items()):
        rows.append(f"| {count} files of 8 KiB, StartNextAtOnce=1 | one curl process: "
                    f"{d['curl_s']:.3f} s | {d['varo_on_s']:.3f} s | {d['ratio_on']:.2f}× "
                    f"(goal ≤ 3×) | {verdict(d['ratio_on'], 3)} |")
        rows.append(f"| the same against curl and an fsync of each file (the durability the "
                    f"updater gives) | curl + fsyncs: {d['curl_durable_s']:.3f} s | "
                    f"{d['varo_on_s']:.3f} s | {d['ratio_durable_on']:.2f}× | — |")
        rows.append(f"| the same, time per file beyond curl's (start and end, {d['fixed_s']:.2f} s, "
                    f"taken out) | — | {d['per_file_extra_ms_on']:.2f} ms | goal < 2 ms | "
                    f"{verdict(d['per_file_extra_ms_on'], 2)} |")
        share = d["ticks_s_off"] / d["varo_off_s"] * 100 if d["varo_off_s"] else 0
        rows.append(f"| {count} files of 8 KiB, default (next file on the next tick) | "
                    f"{count} ticks: {d['ticks_s_off']:.1f} s | {d['varo_off_s']:.2f} s | "
                    f"ticks are {share:.0f} % of it | — |")
    for entries, d in sorted(lists.items()):
        rows.append(f"| load and compare a 20,000-entry list, 20,000 files (half stale) | "
                    f"floor: {d['floor_ms']:.1f} ms | {d['load_ms']:.1f} ms | {d['ratio']:.2f}× "
                    f"(goal ≤ 1.3×) | {verdict(d['ratio'], 1.3)} |")
        rows.append(f"| longest gap between ticks while the window loads {entries:,} entries | "
                    f"200 ms tick | {d['max_tick_gap_ms']:.0f} ms | goal < 250 ms | "
                    f"{verdict(d['max_tick_gap_ms'], 250)} |")
    head = ("| work | reference | varo-update | ratio / goal | |\n"
            "|---|---|---|---|---|")
    return head + "\n" + "\n".join(rows)


def chart(figures, png):
    bars = []
    for size, d in sorted(figures["big-file"].items()):
        label = f"{size}MiB file" if size < 1024 else f"{size // 1024}GiB file"
        bars.append((label, d["ratio"], 1.15 if size >= 1024 else "NaN"))
    for count, d in sorted(figures["small-files"].items()):
        bars.append((f"{count} small files", d["ratio_on"], 3))
    for _, d in sorted(figures["large-list"].items()):
        bars.append(("20k-entry list", d["ratio"], 1.3))
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "ratios.dat")
        with open(data, "w") as f:
            for i, (label, ratio, goal) in enumerate(bars):
                f.write(f'{i} "{label}" {ratio} {goal}\n')
        script = f"""
set terminal pngcairo size 800,420 font "sans,10"
set output "{png}"
set title "varo-update against its reference (ratio, lower is better; line: goal)"
set style fill solid 0.7
set boxwidth 0.6
set yrange [0:*]
set offsets 0, 0, graph 0.15, 0
set xrange [-0.6:{len(bars) - 0.4}]
set ylabel "time / reference time"
set grid ytics
unset key
plot "{data}" using 1:3:xtic(2) with boxes lc rgb "#4a7ab5", \\
     "{data}" using 1:4:(0.3) with xerrorbars lc rgb "#c0392b" pt -1 lw 2, \\
     "{data}" using 1:3:(sprintf("%.2f", $3)) with labels offset 0,0.7
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    if sys.argv[1] == "--check":
        load(sys.argv[2])
        return
    folder, readme, png = sys.argv[1:4]
    figures = load(folder)
    chart(figures, os.path.abspath(png))
    section = (f"{BEGIN}\n## Against the references (`scripts/bench`)\n\n"
               f"Measured {datetime.date.today().isoformat()} on {machine()}: release build, "
               f"nginx on 127.0.0.1 (sendfile, keep-alive), the real window under Xvfb, "
               f"medians of {os.environ.get('BENCH_RUNS', '5')} runs taken side by side.\n\n"
               f"{table(figures)}\n\n![ratios](ratios.png)\n{END}")
    with open(readme) as f:
        text = f.read()
    if BEGIN in text:
        text = text[:text.index(BEGIN)] + section + text[text.index(END) + len(END):]
    else:
        text = text.rstrip("\n") + "\n\n" + section + "\n"
    with open(readme, "w") as f:
        f.write(text)


main()
