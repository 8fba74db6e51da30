#!/usr/bin/env bash
# Many small files: COUNT files of 8 KiB from a local nginx, fetched by the
# Linux program with [Update] StartNextAtOnce off and on, and by one curl
# process fetching the same URLs one after the other over one connection.
# Five runs of each, interleaved, then the medians as JSON:
#
#   bench/small-files.sh BUILD OUT COUNT    e.g. bench/small-files.sh build/release OUT 300
#
# writes OUT/small-files-COUNT.json with
#   count                  files in the list
#   curl_s                 one curl process fetching the COUNT files
#   curl_durable_s         the same, then an fsync of each file (sync FILE...): the
#                          durability the program gives every file it installs
#   ratio_durable_on       varo_on_s / curl_durable_s
#   varo_off_s             the program, from its start to its client's start, setting off
#   varo_on_s              the same with StartNextAtOnce=1
#   ratio_on               varo_on_s / curl_s
#   fixed_s                the program with the setting on and a list of one file: its
#                          fixed cost (start-up, window, list, one file, end) per run
#   curl_fixed_s           curl fetching that one file
#   per_file_ms_on         (varo_on_s - fixed_s) / (COUNT - 1) * 1000: what each further
#                          file costs the program
#   curl_per_file_ms       (curl_s - curl_fixed_s) / (COUNT - 1) * 1000: the same for curl
#   per_file_extra_ms_on   per_file_ms_on - curl_per_file_ms: the program's cost per file
#                          beyond curl's, with both fixed costs taken out
#   ticks_s_off            COUNT * 0.2: the share of varo_off_s that waiting for the
#                          200 ms tick before each file accounts for
#   runs                   5
# Every run installs afresh, so that every file is downloaded, and starts
# after a sync, so that none pays for the writes of the one before; the
# installed files are compared with the served ones after each run.
set -euo pipefail

if [ $# -ne 3 ] || ! [ "$3" -ge 2 ] 2>/dev/null; then
  echo "usage: $0 BUILD OUT COUNT   (COUNT at least 2)" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
count=$3
runs=${BENCH_RUNS:-5}
[ -x "$build/bin/varo-update" ] || { echo "bench: no $build/bin/varo-update" >&2; exit 1; }

# shellcheck source=bench/lib.sh
source "$here/lib.sh"

work=$(mktemp -d /tmp/varo-bench-small.XXXXXX)
chmod 755 "$work" # nginx's worker runs as another user
cleanup() {
  bench_nginx_stop
  bench_display_stop
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/site/files"
names=()
for i in $(seq -f '%05g' 1 "$count"); do
  names+=("f$i.bin")
  head -c 8192 /dev/urandom >"$work/site/files/f$i.bin"
done

bench_nginx_start "$work/site"
bench_display_start

# The update lists: all the files, and the first one alone.
write_list() {
  local file=$1
  shift
  {
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<UpdateList>'
    for name in "$@"; do
      echo "<File><FileName>$name</FileName><Length>8192</Length><URL>$BENCH_BASE/files/$name</URL></File>"
    done
    echo '</UpdateList>'
  } >"$file"
}
write_list "$work/site/Update.xml" "${names[@]}"
write_list "$work/site/One.xml" "${names[0]}"
# A list the program cannot fetch would hold it at an error box.
for list in Update.xml One.xml; do
  curl -sf -o /dev/null "$BENCH_BASE/$list" || { echo "bench: nginx does not serve $list" >&2; exit 1; }
done

# curl's configuration: each URL with its output file, in list order.
write_curl_config() {
  local file=$1 dir=$2
  shift 2
  : >"$file"
  for name in "$@"; do
    printf 'url = "%s/files/%s"\noutput = "%s/%s"\n' "$BENCH_BASE" "$name" "$dir" "$name" >>"$file"
  done
}
write_curl_config "$work/all.curl" "$work/curl-out" "${names[@]}"
write_curl_config "$work/one.curl" "$work/curl-out" "${names[0]}"

# Fails the benchmark when DIR does not hold the served files named.
check_files() {
  local dir=$1
  shift
  for name in "$@"; do
    cmp -s "$dir/$name" "$work/site/files/$name" || { echo "bench: $dir/$name differs" >&2; exit 1; }
  done
}

run_varo() {  # LIST EXTRA NAMES...: seconds of one run
  local list=$1 extra=$2
  shift 2
  bench_install "$work/inst" "$build" "$BENCH_BASE/$list" "$extra"
  sync  # no run pays for the writes of the one before
  local seconds
  seconds=$(bench_run_updater "$work/inst")
  check_files "$work/inst" "$@"
  echo "$seconds"
}

run_curl() {  # CONFIG [durable] NAMES...: seconds of one run, with an fsync of each file when asked
  local config=$1 durable=""
  shift
  if [ "${1:-}" = durable ]; then
    durable=1
    shift
  fi
  rm -rf "$work/curl-out"
  mkdir -p "$work/curl-out"
  sync
  local seconds
  if [ -n "$durable" ]; then
    seconds=$(cd "$work/curl-out" && bench_time sh -c 'curl -s --fail -K "$1" && shift && sync "$@" .' \
      sh "$config" "$@")
  else
    seconds=$(bench_time curl -s --fail -K "$config")
  fi
  check_files "$work/curl-out" "$@"
  echo "$seconds"
}

on=$'[Update]\nStartNextAtOnce=1'
off_times=() on_times=() curl_times=() durable_times=() fixed_times=() curl_fixed_times=()
for run in $(seq "$runs"); do
  off_times+=("$(run_varo Update.xml "" "${names[@]}")")
  on_times+=("$(run_varo Update.xml "$on" "${names[@]}")")
  curl_times+=("$(run_curl "$work/all.curl" "${names[@]}")")
  durable_times+=("$(run_curl "$work/all.curl" durable "${names[@]}")")
  fixed_times+=("$(run_varo One.xml "$on" "${names[0]}")")
  curl_fixed_times+=("$(run_curl "$work/one.curl" "${names[0]}")")
  echo "run $run: off ${off_times[-1]} s, on ${on_times[-1]} s, curl ${curl_times[-1]} s" \
    "(with fsyncs ${durable_times[-1]} s)," \
    "one file: on ${fixed_times[-1]} s, curl ${curl_fixed_times[-1]} s" >&2
done

python3 - "$out/small-files-$count.json" "$count" "$runs" \
  "$(bench_median "${curl_times[@]}")" "$(bench_median "${off_times[@]}")" \
  "$(bench_median "${on_times[@]}")" "$(bench_median "${fixed_times[@]}")" \
  "$(bench_median "${curl_fixed_times[@]}")" "$(bench_median "${durable_times[@]}")" <<'PY'
import json, sys
path, count, runs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
curl, off, on, fixed, curl_fixed, durable = map(float, sys.argv[4:10])
per_file_on = (on - fixed) / (count - 1) * 1000
curl_per_file = (curl - curl_fixed) / (count - 1) * 1000
result = {
    "count": count,
    "runs": runs,
    "curl_s": curl,
    "varo_off_s": off,
    "varo_on_s": on,
    "ratio_on": round(on / curl, 2),
    "curl_durable_s": durable,
    "ratio_durable_on": round(on / durable, 2),
    "fixed_s": fixed,
    "curl_fixed_s": curl_fixed,
    "per_file_ms_on": round(per_file_on, 3),
    "curl_per_file_ms": round(curl_per_file, 3),
    "per_file_extra_ms_on": round(per_file_on - curl_per_file, 3),
    "ticks_s_off": round(count * 0.2, 1),
}
with open(path, "w") as f:
    json.dump(result, f, indent=2)
    f.write("\n")
print(json.dumps(result, indent=2))
PY
