#!/usr/bin/env bash
# bench/big-file.sh BUILD OUT SIZE_MIB
#
# One big file over loopback: five runs of varo-update (from BUILD, under a
# virtual display) and five of curl -o, taken in turn, against nginx. Writes
# OUT/big-file-SIZE_MIB.json with the medians:
#   varo_s           seconds from the program's start to its client's start
#   curl_s           seconds curl -o takes for the same file
#   ratio            varo_s / curl_s
#   peak_rss_kib     the program's peak resident size
#   max_tick_gap_ms  the longest time between two 200 ms ticks of the window
#                    (read from the file VARO_TICK_LOG names)
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

varo=() curl=() rss=() gaps=()
for run in $(seq "$runs"); do
  inst="$work/inst"
  bench_install "$inst" "$build" "$BENCH_BASE/Update.xml"
  export VARO_TICK_LOG="$work/ticks"
  rm -f "$VARO_TICK_LOG"
  varo+=("$(bench_run_updater "$inst" "$work/rss")")
  unset VARO_TICK_LOG
  rss+=("$(cat "$work/rss")")
  gaps+=("$(max_gap_ms "$work/ticks")")
  cmp -s "$inst/big.bin" "$work/site/files/big.bin" ||
    { echo "bench: run $run of varo-update did not deliver the file" >&2; exit 1; }
  rm -rf "$inst"
  curl+=("$(bench_time curl -sf -o "$work/curl.bin" "$BENCH_BASE/files/big.bin")")
  rm -f "$work/curl.bin"
  echo "run $run: varo ${varo[-1]} s, curl ${curl[-1]} s, peak ${rss[-1]} KiB," \
    "longest tick gap ${gaps[-1]} ms" >&2
done

varo_s=$(bench_median "${varo[@]}")
curl_s=$(bench_median "${curl[@]}")
python3 - "$out/big-file-$size.json" "$varo_s" "$curl_s" "$(bench_median "${rss[@]}")" \
  "$(bench_median "${gaps[@]}")" <<'PY'
import json, sys
path, varo, curl, rss, gap = sys.argv[1:]
result = {
    "varo_s": float(varo),
    "curl_s": float(curl),
    "ratio": round(float(varo) / float(curl), 4),
    "peak_rss_kib": int(float(rss)),
    "max_tick_gap_ms": float(gap),
}
with open(path, "w") as file:
    json.dump(result, file, indent=2)
    file.write("\n")
print(json.dumps(result))
PY
