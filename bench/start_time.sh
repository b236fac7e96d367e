#!/usr/bin/env bash
# The window's start as a user sees it, warm cache: exec to the first painted frame, and the
# resident memory of the idle window before any preview. Runs on a private Xvfb with openbox.
#
#   bench/start_time.sh PATH/TO/findlark [PATH/TO/start_probe]
#   RUNS=15 bench/start_time.sh ...      runs after one warm-up run (default 10)
set -euo pipefail
findlark=$(realpath -e "${1:?usage: $0 path/to/findlark [path/to/start_probe]}")
probe=$(realpath -e "${2:-$(dirname "$findlark")/../../bench/start_probe}")
runs=${RUNS:-10}

work=$(mktemp -d /tmp/findlark-start.XXXXXX)
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
export XDG_RUNTIME_DIR=$work/runtime XDG_CACHE_HOME=$work/cache
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$work/start"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER
export QT_QPA_PLATFORM=xcb

exec {fd}<> <(:)
Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
pids+=("$!")
read -r -t 20 -u "$fd" n || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$n
openbox >"$work/openbox.log" 2>&1 &
pids+=("$!")
for _ in $(seq 100); do wmctrl -m >/dev/null 2>&1 && break; sleep 0.1; done

cd "$work/start"
"$probe" 1 -- "$findlark" >/dev/null  # warm-up: caches and font cache
: >"$work/runs"
for _ in $(seq "$runs"); do "$probe" 2 -- "$findlark" >>"$work/runs"; done
sort -n -k1 "$work/runs" | awk '{ ms[NR] = $1 } END { printf "painted: median %.0f ms, min %.0f, max %.0f (%d runs)\n", ms[int((NR + 1) / 2)], ms[1], ms[NR], NR }'
sort -n -k2 "$work/runs" | awk '{ kb[NR] = $2 } END { printf "idle RSS: median %.1f MB\n", kb[int((NR + 1) / 2)] / 1024 }'
