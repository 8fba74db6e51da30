#!/usr/bin/env bash
# bench/large-list.sh BUILD OUT ENTRIES
# The cost of a large update list: Core_bench's load-and-compare of 20,000
# entries against its floor (the XML library alone plus a stat per file),
# and the real window's longest tick gap while it loads a list of ENTRIES
# entries, all up to date, against an installation of as many files.
# Writes OUT/large-list-ENTRIES.json.
set -euo pipefail
build=$1 out=$2 entries=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
runs=${BENCH_RUNS:-5}

work=$(mktemp -d /tmp/varo-bench-list.XXXXXX)
chmod 755 "$work"  # nginx workers read it as another user
trap 'bench_nginx_stop; bench_display_stop; rm -rf "$work"' EXIT

# Core_bench: medians of the repetitions.
"$build/bench/Core_bench" --benchmark_filter='^(LoadAndCompareList|ListFloor)/20000$' \
  --benchmark_repetitions="$runs" --benchmark_format=json >"$work/core.json"

# The installation's files, 100 to a folder, and a list naming each with a
# time older than its file's, so nothing is downloaded.
mkdir -p "$work/site"
bench_nginx_start "$work/site"
bench_install "$work/inst" "$build" "$BENCH_BASE/Update.xml"
python3 - "$work/inst" "$work/site/Update.xml" "$entries" "$BENCH_BASE" <<'PYEOF'
import os, sys
inst, listfile, count, base = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
with open(listfile, "w", encoding="utf-8") as xml:
    xml.write('<?xml version="1.0" encoding="utf-8"?>\n<UpdateList>\n')
    for i in range(count):
        folder = f"data{i // 100:03d}"
        os.makedirs(os.path.join(inst, folder), exist_ok=True)
        name = f"file{i:05d}.dat"
        with open(os.path.join(inst, folder, name), "wb") as f:
            f.write(b"x" * 16)
        xml.write(f"  <File><FileName>{name}</FileName><LocalPath>{folder}</LocalPath>"
                  f"<Length>16</Length><FileDateLow>0</FileDateLow><FileDateHigh>0</FileDateHigh>"
                  f"<URL>{base}/missing/{name}</URL></File>\n")
    xml.write("</UpdateList>\n")
PYEOF
bench_display_start
gaps=() times=()
for _ in $(seq "$runs"); do
  rm -f "$work/ticks"
  times+=("$(VARO_TICK_LOG=$work/ticks bench_run_updater "$work/inst")")
  gaps+=("$(python3 "$here/tick_gap.py" "$work/ticks")")
done

python3 - "$work/core.json" "$out/large-list-$entries.json" "$entries" \
  "$(bench_median "${times[@]}")" "$(bench_median "${gaps[@]}")" \
  "$(printf '%s\n' "${gaps[@]}" | sort -g | tail -1)" <<'PYEOF'
import json, sys
core, target, entries, run_s, gap_median, gap_max = sys.argv[1:7]
with open(core) as f:
    report = json.load(f)
def median(name):
    for b in report["benchmarks"]:
        if b["name"] == name + "_median" or (b["name"] == name and b.get("run_type") != "aggregate"):
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
            return b["real_time"] * scale
    raise SystemExit(f"large-list: {name} missing from Core_bench")
load = median("LoadAndCompareList/20000")
floor = median("ListFloor/20000")
result = {"entries_bench": 20000, "load_ms": round(load, 2), "floor_ms": round(floor, 2),
          "ratio": round(load / floor, 3), "window_entries": int(entries),
          "window_run_s": float(run_s), "max_tick_gap_ms": float(gap_max),
          "median_max_tick_gap_ms": float(gap_median)}
with open(target, "w") as f:
    json.dump(result, f, indent=1)
print(json.dumps(result))
PYEOF
