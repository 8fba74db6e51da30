#!/usr/bin/env bash
# bench/big-file.sh BUILD OUT SIZE_MIB
#
# One big file over loopback: a round not counted, then five rounds, each
# running in turn varo-update (from BUILD, under a virtual display) with
# [Update] StartNextAtOnce=1, curl -o, varo-update with the default
# configuration, and curl -o followed by an fsync of the file, against
# nginx. Every command starts after a sync, so that none pays for the writes
# of the one before. Writes
# OUT/big-file-SIZE_MIB.json with the medians:
#   varo_s           seconds from the program's start to its client's start,
#                    StartNextAtOnce=1 (the list and the file start at once)
#   varo_default_s   the same with the default configuration (the list
#                    waits for the first 200 ms tick, the file for the next)
#   curl_s           seconds curl -o takes for the same file
#   curl_durable_s   curl -o, then an fsync of the file (sync FILE): the
#                    durability the program gives every file it installs
#   ratio            varo_s / curl_s
#   ratio_durable    varo_s / curl_durable_s
#   ratio_default    varo_default_s / curl_s
#   peak_rss_kib     the program's peak resident size (default configuration)
#   floor_rss_kib    the peak resident size of BUILD/bench/memory_floor: a
#                    bare GTK window (GTK's default theme) showing the same
#                    texts in the same font,
#                    with libcurl and libxml2 set up
#   max_tick_gap_ms  the longest time between two 200 ms ticks of the window
#                    (default configuration; read from the file VARO_TICK_LOG
#                    names)
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 BUILD OUT SIZE_MIB" >&2
  exit 2
fi
build=$(realpath "$1")
out=$2
size=$3
runs=${BENCH_RUNS:-5}
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
# shellcheck source=bench/lib.sh
source "$here/lib.sh"

mkdir -p "$out"
work=$(mktemp -d /tmp/varo-big-file.XXXXXX)
chmod 755 "$work"  # nginx workers read it as another user
cleanup() {
  bench_nginx_stop
  bench_display_stop
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/site/files"
head -c $((size << 20)) /dev/urandom >"$work/site/files/big.bin"
length=$(stat -c %s "$work/site/files/big.bin")
bench_nginx_start "$work/site"
bench_display_start
cat >"$work/site/Update.xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<UpdateList><File><FileName>big.bin</FileName><Length>$length</Length><URL>$BENCH_BASE/files/big.bin</URL></File></UpdateList>
XML

# The longest gap between consecutive lines of a tick log, in milliseconds.
max_gap_ms() {
  python3 -c '
import sys
ticks = [int(line) for line in open(sys.argv[1]) if line.strip()]
gaps = [b - a for a, b in zip(ticks, ticks[1:])]
print(f"{max(gaps) / 1000:.1f}" if gaps else "0")' "$1"
}

at_once=$'[Update]\nStartNextAtOnce=1'
inst="$work/inst"

# run_varo CONFIG_EXTRA: seconds of one run; its peak resident size goes to
# $work/rss and its ticks to $work/ticks.
run_varo() {
  bench_install "$inst" "$build" "$BENCH_BASE/Update.xml" "$1"
  sync
  rm -f "$work/ticks"
  local seconds
  seconds=$(VARO_TICK_LOG="$work/ticks" bench_run_updater "$inst" "$work/rss")
  cmp -s "$inst/big.bin" "$work/site/files/big.bin" ||
    { echo "bench: varo-update did not deliver the file" >&2; exit 1; }
  rm -rf "$inst"
  echo "$seconds"
}

run_curl() {  # [durable]: seconds of one curl -o, with an fsync of the file when asked
  sync
  local seconds
  if [ "${1:-}" = durable ]; then
    seconds=$(bench_time sh -c 'curl -sf -o "$1" "$2" && sync "$1"' sh "$work/curl.bin" \
      "$BENCH_BASE/files/big.bin")
  else
    seconds=$(bench_time curl -sf -o "$work/curl.bin" "$BENCH_BASE/files/big.bin")
  fi
  cmp -s "$work/curl.bin" "$work/site/files/big.bin" ||
    { echo "bench: curl did not deliver the file" >&2; exit 1; }
  rm -f "$work/curl.bin"
  echo "$seconds"
}

run_floor() {  # the floor's peak resident size in KiB
  local peak
  peak=$(mktemp)
  /usr/bin/time -f %M -o "$peak" "$build/bench/memory_floor" "$build/bin/ADImage/Update" >/dev/null 2>&1 ||
    { echo "bench: memory_floor failed" >&2; rm -f "$peak"; exit 1; }
  cat "$peak"
  rm -f "$peak"
}

# One round of each command first, not counted: the first writes of a
# fresh gigabyte to this kind of disk run at a fraction of the later ones'
# speed (3.8 s and 2.5 s for the program's first rounds where the later
# ones took 1.0-1.4 s), whichever command happens to come first.
run_varo "$at_once" >/dev/null
run_curl >/dev/null
run_varo "" >/dev/null
run_curl durable >/dev/null

varo=() varo_default=() curl=() curl_durable=() rss=() gaps=() floor=()
for run in $(seq "$runs"); do
  varo+=("$(run_varo "$at_once")")
  curl+=("$(run_curl)")
  # The default run has the more ticks (the file starts on one): memory
  # and tick gaps are taken from it.
  varo_default+=("$(run_varo "")")
  rss+=("$(cat "$work/rss")")
  gaps+=("$(max_gap_ms "$work/ticks")")
  curl_durable+=("$(run_curl durable)")
  floor+=("$(run_floor)")
  echo "run $run: varo ${varo[-1]} s (default ${varo_default[-1]} s), curl ${curl[-1]} s" \
    "(with fsync ${curl_durable[-1]} s), peak ${rss[-1]} KiB (floor ${floor[-1]} KiB)," \
    "longest tick gap ${gaps[-1]} ms" >&2
done

python3 - "$out/big-file-$size.json" "$(bench_median "${varo[@]}")" \
  "$(bench_median "${varo_default[@]}")" "$(bench_median "${curl[@]}")" \
  "$(bench_median "${curl_durable[@]}")" "$(bench_median "${rss[@]}")" \
  "$(bench_median "${gaps[@]}")" "$(bench_median "${floor[@]}")" <<'PY'
import json, sys
path = sys.argv[1]
varo, default, curl, durable, rss, gap, floor = map(float, sys.argv[2:9])
result = {
    "varo_s": varo,
    "varo_default_s": default,
    "curl_s": curl,
    "curl_durable_s": durable,
    "ratio": round(varo / curl, 4),
    "ratio_durable": round(varo / durable, 4),
    "ratio_default": round(default / curl, 4),
    "peak_rss_kib": int(rss),
    "floor_rss_kib": int(floor),
    "max_tick_gap_ms": gap,
}
with open(path, "w") as file:
    json.dump(result, file, indent=2)
    file.write("\n")
print(json.dumps(result))
PY
