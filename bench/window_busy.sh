#!/bin/bash
# The window recording generated hits while one core is kept busy, as on a machine half as fast.
# On a virtual machine the host now and then stops every CPU at once for tens of milliseconds;
# no program answers then. perf records the scheduler meanwhile: a busy CPU ticks every few
# milliseconds, so a stretch over 5 ms in which no CPU recorded anything is such a pause. Each
# gap of the window over 16 ms is held against the pauses; what is left of it once they are
# taken out is the window's own. Needs root (or perf_event_paranoid <= -1) and linux-perf.
#
#   bench/window_busy.sh [RUNS] [HITS]      5 runs of 10,000,000 hits unless given
#
# The last line reads:
#   window, one core busy, R runs of N hits: gaps over 16 ms G, of them the machine's M, the
#   window's W; longest gap X ms, longest left of a gap once the pauses are out Y ms
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
hits=${2:-10000000}
command -v perf >/dev/null || { echo "window_busy.sh: needs perf (Debian: linux-perf)" >&2; exit 2; }
build=${FINDLARK_BENCH_GUI_BUILD:-build/bench-gui}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target window_million_bench >/dev/null
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
tmp=$(mktemp -d)
# In a session of its own, as another program would be: the scheduler shares a core between
# sessions first, and only then among a session's threads.
setsid taskset -c "$(($(nproc) - 1))" sh -c 'while :; do :; done' &
busy=$!
trap 'kill $busy; rm -rf "$tmp"' EXIT

for i in $(seq 1 "$runs"); do
  perf record -q -k mono -e sched:sched_switch -e sched:sched_stat_runtime -a -o "$tmp/sched.$i" \
    -- "$build/bench/window_million_bench" --hits "$hits" --gap-log "$tmp/gaps.$i" 2>/dev/null |
    tail -1 >"$tmp/window.$i"
  perf script -i "$tmp/sched.$i" -F time 2>/dev/null >"$tmp/times.$i"
done

python3 - "$tmp" "$runs" "$hits" <<'PY'
import sys

tmp, runs, hits = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def pauses(path):  # stretches over 5 ms with no scheduler event on any CPU, in ns
    times = sorted(int(round(float(line.strip().rstrip(":")) * 1e9))
                   for line in open(path) if line.strip())
    return [(a, b) for a, b in zip(times, times[1:]) if b - a > 5_000_000]

total = machine = own = 0
longest = longest_own = 0.0
for i in range(1, runs + 1):
    still = pauses(f"{tmp}/times.{i}")
    gaps = [[int(v) for v in line.split()[1:]] for line in open(f"{tmp}/gaps.{i}")]
    mine = []  # the window's own gaps: what is left, its CPU, its wait for a core (ms)
    for start, end, cpu, wait in gaps:
        paused = sum(max(0, min(end, b) - max(start, a)) for a, b in still)
        left = (end - start - paused) / 1e6
        longest = max(longest, (end - start) / 1e6)
        longest_own = max(longest_own, left)
        if left > 16:
            mine.append((left, cpu / 1e6, wait / 1e6))
    total += len(gaps)
    own += len(mine)
    machine += len(gaps) - len(mine)
    window = open(f"{tmp}/window.{i}").read().strip() or "window benchmark failed"
    print(f"run {i}: {window}")
    print(f"  the machine stood still in {len(gaps) - len(mine)} of those gaps; the window's own:"
          + ("".join(f" {left:.1f} ms ({cpu:.1f} on the CPU, {wait:.1f} waiting for a core)"
                     for left, cpu, wait in mine) or " none"))
print(f"window, one core busy, {runs} runs of {hits} hits: gaps over 16 ms {total}, of them the "
      f"machine's {machine}, the window's {own}; longest gap {longest:.1f} ms, longest left "
      f"of a gap once the pauses are out {longest_own:.1f} ms")
PY
