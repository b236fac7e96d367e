#!/bin/bash
# The window recording generated hits while one core is kept busy, as on a machine half as fast.
# On a virtual machine the host now and then stops a CPU, or all of them, for tens of
# milliseconds; no thread on it answers then, and the guest counts the time as spent by
# whichever thread was on it. perf records the scheduler meanwhile: a CPU running a task ticks
# every 4 ms, so a stretch over 5 ms in which a CPU with a task on it recorded nothing is a pause
# of that CPU, and one in which no CPU recorded anything is a pause of the whole machine. Each
# gap of the window over 16 ms is held against the pauses of the CPU the window thread was on
# (running, waiting for it, or asleep there) and of the whole machine; so is the wait for a core
# that follows a pause in which the window thread was running, up to the pause's length, as the
# scheduler makes a thread charged with a pause wait about as long to even things out. What is
# left once they are taken out is the window's own. Needs root (or perf_event_paranoid <= -1)
# and linux-perf.
#
# A second account, which needs no reading of the scheduler's records: bench/stall_witness.c
# runs beside each run, a real-time thread on every CPU waking every 2 ms, which no ordinary
# thread can keep waiting. A gap counts as the machine's by it when, once the stretches in which
# every CPU's witness was late are taken out, no more than 16 ms are left.
#
#   bench/window_busy.sh [RUNS] [HITS]      5 runs of 10,000,000 hits unless given
#
# The last line reads:
#   window, one core busy, R runs of N hits: gaps over 16 ms G, of them the machine's M, the
#   window's W; longest gap X ms, longest left of a gap once the pauses are out Y ms; every CPU
#   stood still by the witness through S of the gaps
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
cc -O2 -pthread bench/stall_witness.c -o "$tmp/stall_witness"
# In a session of its own, as another program would be: the scheduler shares a core between
# sessions first, and only then among a session's threads.
setsid taskset -c "$(($(nproc) - 1))" sh -c 'while :; do :; done' &
busy=$!
witness=
trap 'kill $busy $witness 2>/dev/null; rm -rf "$tmp"' EXIT

for i in $(seq 1 "$runs"); do
  "$tmp/stall_witness" >"$tmp/stalls.$i" &
  witness=$!
  perf record -q -k mono -e sched:sched_switch -e sched:sched_stat_runtime -a -o "$tmp/sched.$i" \
    -- "$build/bench/window_million_bench" --hits "$hits" --gap-log "$tmp/gaps.$i" 2>/dev/null |
    tail -1 >"$tmp/window.$i"
  kill $witness 2>/dev/null || true  # it has ended already if it could not run as real-time
  witness=
  perf script -i "$tmp/sched.$i" -F comm,pid,tid,cpu,time,event,trace 2>/dev/null \
    >"$tmp/events.$i"
  # Events perf dropped would read as pauses: such a run's gaps all count as the window's.
  if perf report -i "$tmp/sched.$i" --stats 2>/dev/null | grep -q LOST; then : >"$tmp/events.$i"; fi
done

python3 - "$tmp" "$runs" "$hits" "$(nproc)" <<'PY'
import bisect
import re
import sys

tmp, runs, hits, cpus = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
EVENT = re.compile(r"\s*(.*?)\s+(\d+)/(\d+)\s+\[(\d+)\]\s+([\d.]+):\s+(\S+):(.*)")  # names may hold spaces
PAUSE = 5_000_000  # ns without a tick on a CPU that has a task on it


def stills(path):
    """Pauses of each CPU and of the whole machine, and where the window thread was (ns)."""
    last, current, cpu_still, machine_still, window_at = {}, {}, {}, [], []
    window, previous = None, None
    for line in open(path):
        m = EVENT.match(line)
        if not m:
            continue
        comm, pid, tid, cpu, t = m[1], int(m[2]), int(m[3]), int(m[4]), int(float(m[5]) * 1e9)
        if window is None and comm.startswith("window_million") and pid == tid:
            window = pid
        if previous is not None and t - previous > PAUSE:
            machine_still.append((previous, t))
        previous = t
        if cpu in last and t - last[cpu] > PAUSE and current.get(cpu, 0) != 0:
            cpu_still.setdefault(cpu, []).append((last[cpu], t))
        last[cpu] = t
        if m[6] == "sched:sched_switch":
            before = int(re.search(r"prev_pid=(\d+)", m[7])[1])
            after = int(re.search(r"next_pid=(\d+)", m[7])[1])
            current[cpu] = after
            if after == window:
                window_at.append((t, cpu, "running"))
            elif before == window:
                preempted = re.search(r"prev_state=(\S+)", m[7])[1].startswith("R")
                window_at.append((t, cpu, "waiting" if preempted else "asleep"))
    return cpu_still, machine_still, window_at


def paused(start, end, cpu_still, machine_still, window_at):
    """How much of [start, end] the machine, or the window thread's CPU, stood still (ns).

    The scheduler counts a pause as time run by the thread that was on the CPU, and then makes
    it wait about as long for its next turn to even things out; so when the window thread was
    the one running, the wait for a core that follows it, up to the pause's length, is the
    machine's too."""
    times = [t for t, _, _ in window_at]
    step, total, owed = 100_000, 0, 0
    for t in range(start, end, step):
        i = bisect.bisect_right(times, t) - 1
        cpu, state = (window_at[i][1], window_at[i][2]) if i >= 0 else (None, "asleep")
        if any(a <= t < b for a, b in machine_still) or any(
                a <= t < b for a, b in cpu_still.get(cpu, [])):
            total += step
            if state == "running":
                owed += step
        elif state == "waiting" and owed > 0:
            total += step
            owed -= step
    return min(total, end - start)


def all_stood_still(path):
    """Stretches in which the witness on every CPU was late (ns)."""
    late = {}
    for line in open(path):
        _, cpu, start, end = line.split()
        late.setdefault(int(cpu), []).append((int(start), int(end)))
    if len(late) < cpus:
        return []
    common = late.popitem()[1]
    for stretches in late.values():
        common = [(max(a, c), min(b, d)) for a, b in common for c, d in stretches
                  if max(a, c) < min(b, d)]
    return common


total = machine = own = witnessed = 0
longest = longest_own = 0.0
for i in range(1, runs + 1):
    cpu_still, machine_still, window_at = stills(f"{tmp}/events.{i}")
    gaps = [[int(v) for v in line.split()[1:]] for line in open(f"{tmp}/gaps.{i}")]
    stood_still = all_stood_still(f"{tmp}/stalls.{i}")
    seen = 0  # gaps the witness accounts for
    mine = []  # the window's own gaps: what is left, its CPU, its wait for a core (ms)
    for start, end, cpu, wait in gaps:
        stood = sum(max(0, min(end, b) - max(start, a)) for a, b in stood_still)
        seen += end - start - stood <= 16_000_000
        still = paused(start, end, cpu_still, machine_still, window_at)
        left = (end - start - still) / 1e6
        longest = max(longest, (end - start) / 1e6)
        longest_own = max(longest_own, left)
        if left > 16:
            mine.append((left, cpu / 1e6, wait / 1e6))
    total += len(gaps)
    witnessed += seen
    own += len(mine)
    machine += len(gaps) - len(mine)
    window = open(f"{tmp}/window.{i}").read().strip() or "window benchmark failed"
    print(f"run {i}: {window}")
    print(f"  the machine stood still in {len(gaps) - len(mine)} of those gaps; the window's own:"
          + ("".join(f" {left:.1f} ms ({cpu:.1f} on the CPU, {wait:.1f} waiting for a core)"
                     for left, cpu, wait in mine) or " none")
          + f"; every CPU stood still by the witness through {seen}")
print(f"window, one core busy, {runs} runs of {hits} hits: gaps over 16 ms {total}, of them the "
      f"machine's {machine}, the window's {own}; longest gap {longest:.1f} ms, longest left "
      f"of a gap once the pauses are out {longest_own:.1f} ms; every CPU stood still by the "
      f"witness through {witnessed} of the gaps")
PY
