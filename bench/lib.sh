# Shell functions the benchmark scripts share: a reference server (nginx),
# a virtual display, a sample installation of the Linux program, and
# medians. Source it; every function fails loudly.

# bench_nginx_start ROOT: serves ROOT over http on 127.0.0.1 with sendfile
# and keep-alive; sets BENCH_BASE (http://127.0.0.1:PORT).
bench_nginx_start() {
  local root=$1
  BENCH_NGINX_DIR=$(mktemp -d /tmp/varo-bench-nginx.XXXXXX)
  local port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mkdir -p "$BENCH_NGINX_DIR/tmp"
  cat >"$BENCH_NGINX_DIR/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $BENCH_NGINX_DIR/nginx.pid;
error_log $BENCH_NGINX_DIR/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 65;
  keepalive_requests 100000;
  client_body_temp_path $BENCH_NGINX_DIR/tmp;
  proxy_temp_path $BENCH_NGINX_DIR/tmp;
  fastcgi_temp_path $BENCH_NGINX_DIR/tmp;
  uwsgi_temp_path $BENCH_NGINX_DIR/tmp;
  scgi_temp_path $BENCH_NGINX_DIR/tmp;
  types { application/octet-stream bin; text/xml xml; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $root;
  }
}
CONF
  nginx -c "$BENCH_NGINX_DIR/nginx.conf" -e "$BENCH_NGINX_DIR/error.log" &
  BENCH_NGINX_PID=$!
  BENCH_BASE="http://127.0.0.1:$port"
  for _ in $(seq 100); do
    curl -s -o /dev/null "$BENCH_BASE/" && return 0
    sleep 0.05
  done
  echo "bench: nginx did not start ($BENCH_NGINX_DIR/error.log)" >&2
  return 1
}

bench_nginx_stop() {
  if [ -n "${BENCH_NGINX_PID:-}" ]; then
    kill "$BENCH_NGINX_PID" 2>/dev/null || true
    wait "$BENCH_NGINX_PID" 2>/dev/null || true
    BENCH_NGINX_PID=""
  fi
  [ -n "${BENCH_NGINX_DIR:-}" ] && rm -rf "$BENCH_NGINX_DIR"
  BENCH_NGINX_DIR=""
}

# bench_display_start: a virtual display of our own, with a session bus as
# a desktop has; sets DISPLAY and DBUS_SESSION_BUS_ADDRESS. Without a bus,
# GLib starts one for every run of the program (for the tray and
# accessibility) from the window's thread, reading files of the system on
# the way: a cost that no desktop session pays, which under heavy disk
# traffic held the window's thread for most of a second, and buses that
# outlived the runs.
bench_display_start() {
  local file bus
  file=$(mktemp)
  exec 8>"$file"
  Xvfb -displayfd 8 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  BENCH_XVFB_PID=$!
  exec 8>&-
  for _ in $(seq 100); do [ -s "$file" ] && break; sleep 0.05; done
  [ -s "$file" ] || { echo "bench: no virtual display" >&2; return 1; }
  export DISPLAY=":$(cat "$file")"
  rm -f "$file"
  # Started on the display, as the services it starts need it.
  bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=${bus%%$'\n'*}
  BENCH_DBUS_PID=${bus##*$'\n'}
}

bench_display_stop() {
  [ -n "${BENCH_XVFB_PID:-}" ] && kill "$BENCH_XVFB_PID" 2>/dev/null || true
  BENCH_XVFB_PID=""
  [ -n "${BENCH_DBUS_PID:-}" ] && kill "$BENCH_DBUS_PID" 2>/dev/null || true
  BENCH_DBUS_PID=""
}

# bench_install DIR BUILD LIST_URL [CONFIG_EXTRA]: a fresh installation of
# the Linux program from BUILD (a build folder) in DIR, whose configuration
# names LIST_URL as server1 and holds CONFIG_EXTRA (INI lines) after it.
# Its stand-in client writes the time it started to DIR/client-started.
bench_install() {
  local dir=$1 build=$2 url=$3 extra=${4:-}
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$build/bin/varo-update" "$dir/"
  cp -r "$build/bin/ADImage" "$dir/"
  printf '[UpdateServer]\nserver1=%s\n%s\n' "$url" "$extra" >"$dir/ADImage/xxxxx_system.ini"
  cat >"$dir/Tandrel.exe" <<'CLIENT'
#!/bin/sh
date +%s.%N >client-started
CLIENT
  chmod +x "$dir/Tandrel.exe"
}

# bench_run_updater DIR [MEMORY_FILE]: runs the installed program until it
# has started its client and ended; prints the seconds from its start to the
# client's start. With MEMORY_FILE, its peak resident size in KiB goes there.
bench_run_updater() {
  local dir=$1 memory=${2:-}
  rm -f "$dir/client-started"
  local start peak
  peak=$(mktemp)
  start=$(date +%s.%N)
  # An error box would wait for ever: a run gets ten minutes.
  if ! (cd "$dir" && timeout 600 /usr/bin/time -f %M -o "$peak" ./varo-update >/dev/null 2>&1); then
    rm -f "$peak"
    echo "bench: varo-update failed in $dir (see $dir/ADImage/update.log)" >&2
    return 1
  fi
  if [ -n "$memory" ]; then mv "$peak" "$memory"; else rm -f "$peak"; fi
  [ -s "$dir/client-started" ] || { echo "bench: no client start in $dir" >&2; return 1; }
  python3 -c "print(f'{$(cat "$dir/client-started") - $start:.4f}')"
}

# bench_time COMMAND...: seconds COMMAND takes.
bench_time() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  python3 -c "print(f'{$end - $start:.4f}')"
}

# bench_median VALUE...: the median.
bench_median() {
  python3 -c 'import statistics, sys; print(f"{statistics.median(map(float, sys.argv[1:])):.4f}")' "$@"
}
