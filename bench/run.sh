#!/usr/bin/env bash
# Times findlark-cli beside fd, ripgrep and GNU find/grep on the same trees, warm cache, in one
# run, and prints medians, ratios, hit counts and findlark's peak memory.
#
#   bench/run.sh                 build findlark-cli (RelWithDebInfo) into build/bench and run
#   FINDLARK_CLI=path bench/run.sh   use that binary instead
#   RUNS=10 bench/run.sh         more runs per command (default 5)
#   FINDLARK_BENCH_DIR=dir       where the generated tree and the results go (/tmp/findlark-bench)
#   WINDOW=0 bench/run.sh        skip the window benchmark (built into build/bench-gui, or
#                                FINDLARK_WINDOW_BENCH=path; QT_QPA_PLATFORM defaults to offscreen;
#                                as root with perf, also with one core busy: bench/window_busy.sh)
#   FINDLARK_CLI_BEFORE=path     also time that binary (an older build) in the same runs
#   COLD=0 bench/run.sh          skip the cold-cache rows (run as root only, as they empty the
#                                page cache before every run; COLD_RUNS, default 5, per command)
#
# Rows ending in "-1cpu" run every command on CPU 0 alone (taskset). Name rows also time
# bench/min_walker.cpp on two threads: a walk that only lists and counts, the limit in sight.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
work=${FINDLARK_BENCH_DIR:-/tmp/findlark-bench}
tree=$work/tree
flat=$work/flat
russian=$work/russian
out=$work/results
mkdir -p "$out"
rm -f "$out"/*.json "$out"/*.count

for tool in hyperfine fdfind rg find grep python3 /usr/bin/time taskset c++; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

cli=${FINDLARK_CLI:-}
if [ -z "$cli" ]; then
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINDLARK_GUI=OFF \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build build/bench -j2 --target findlark-cli >/dev/null
  cli=build/bench/src/cli/findlark-cli
fi
cli=$(realpath "$cli")
before=${FINDLARK_CLI_BEFORE:+$(realpath "$FINDLARK_CLI_BEFORE")}
limit=$work/min_walker
c++ -O2 -std=c++20 -pthread bench/min_walker.cpp -o "$limit"

python3 bench/make_tree.py "$tree"
python3 bench/make_tree.py --flat "$flat"
python3 bench/make_tree.py --russian "$russian"

# name|kind|folder|query
workloads=(
  "usr-many|name|/usr|python"
  "usr-none|name|/usr|zqxjkvw"
  "tree-many|name|$tree|report"
  "tree-none|name|$tree|zqxjkvw"
  "doc-many|content|/usr/share/doc|copyright"
  "doc-none|content|/usr/share/doc|zqxjkvw"
  "include-many|content|/usr/include|copyright"
  "include-none|content|/usr/include|zqxjkvw"
  "flat-many|content|$flat|copyright"
  "flat-none|content|$flat|zqxjkvw"
  "russian-many|content|$russian|ошибка"
  "russian-none|content|$russian|щука"
  "doc-accent|content|/usr/share/doc|été"
  "usr-none-1cpu|name|/usr|zqxjkvw"
  "doc-none-1cpu|content|/usr/share/doc|zqxjkvw"
)

count_nul() { tr -cd '\0' | wc -c; }

# interleaved NAME ROUNDS WARMUP HYPERFINE-OPTION... -- LABEL COMMAND [LABEL COMMAND]...
# Runs every command once per round, in turn, each round starting one command further on, and
# keeps each round in NAME.roundN.json; WARMUP rounds first are not kept. Runs of one command
# in a row would each meet the machine at another speed, which on a shared machine drifts by
# more than the differences looked for.
interleaved() {
  local name=$1 rounds=$2 warmup=$3
  shift 3
  local options=()
  while [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  local pairs=("$@") n=$(($# / 2)) r k i
  for ((r = -warmup; r < rounds; r++)); do
    local order=() keep=()
    for ((k = 0; k < n; k++)); do
      i=$(((k + r + n * warmup) % n))
      order+=(-n "${pairs[2 * i]}" "${pairs[2 * i + 1]}")
    done
    [ "$r" -ge 0 ] && keep=(--export-json "$out/$name.round$r.json")
    hyperfine -N -i --output=pipe --runs 1 --style none "${options[@]}" "${keep[@]}" \
      "${order[@]}" >/dev/null
  done
}

for w in "${workloads[@]}"; do
  IFS='|' read -r name kind folder query <<<"$w"
  if [ "$kind" = name ]; then
    ours=("$cli" -- "$query" "$folder")
    peer=(fdfind -u -i -F -- "$query" "$folder")
    gnu=(find "$folder" -mindepth 1 -iname "*$query*")
    "$cli" -0 -- "$query" "$folder" 2>/dev/null | count_nul >"$out/$name.findlark.count" || true
    fdfind -u -i -F -0 -- "$query" "$folder" | count_nul >"$out/$name.peer.count" || true
    "${gnu[@]}" -print0 | count_nul >"$out/$name.gnu.count" || true
  else
    ours=("$cli" --contents -- "$query" "$folder")
    peer=(rg -u -i -F -l -- "$query" "$folder")
    gnu=(grep -r -i -F -l -- "$query" "$folder")
    "$cli" --contents -0 -- "$query" "$folder" 2>/dev/null | count_nul >"$out/$name.findlark.count" || true
    rg -u -i -F -l --null -- "$query" "$folder" | count_nul >"$out/$name.peer.count" || true
    grep -r -i -F -l -Z -- "$query" "$folder" | count_nul >"$out/$name.gnu.count" || true
  fi
  mine=("${ours[@]:1}")  # our arguments, for the older build too
  pin=""
  if [[ $name == *-1cpu ]]; then
    pin="taskset -c 0 "
    ours=(taskset -c 0 "${ours[@]}")
    peer=(taskset -c 0 "${peer[@]}")
    gnu=(taskset -c 0 "${gnu[@]}")
  fi
  extra=()
  if [ -n "$before" ]; then
    extra+=(before "$pin${before@Q} ${mine[*]@Q}")
  fi
  [ "$kind" = name ] && extra+=(limit "$pin${limit@Q} 2 ${query@Q} ${folder@Q}")
  echo "== $name" >&2
  # --output=pipe: ripgrep and grep take shortcuts when stdout is /dev/null.
  interleaved "$name" "$runs" 1 -- \
    findlark "${ours[*]@Q}" peer "${peer[*]@Q}" gnu "${gnu[*]@Q}" "${extra[@]}"
done

entries() { find "$1" | wc -l; }
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }

echo
echo "$(nproc) cores, load average now: $(cut -d' ' -f1-3 /proc/loadavg); $runs runs per command, warm cache, taken in turn"
python3 bench/table.py "$out" "${workloads[@]}"
echo
echo "peak RSS (KiB), findlark-cli paths output:"
printf '  %-28s %9s entries  %7s KiB\n' "/usr, 'python'" "$(entries /usr)" \
  "$(rss "$cli" -- python /usr)"
printf '  %-28s %9s entries  %7s KiB\n' "tree, 'report'" "$(entries "$tree")" \
  "$(rss "$cli" -- report "$tree")"
printf '  %-28s %9s entries  %7s KiB\n' "tree, 'report', fd" "" \
  "$(rss fdfind -u -i -F -- report "$tree")"

echo
echo "CPU time, same runs:"
python3 bench/table.py --cpu "$out" "${workloads[@]}"

# Cold cache: the page cache is emptied before every run, so that each run waits on the disk
# the way the first search after a boot does. Only root may do that. Name rows time
# bench/min_walker.cpp on eight threads beside: requests in flight, not cores, set the pace.
cold=()
if [ "${COLD:-1}" != 0 ] && [ -w /proc/sys/vm/drop_caches ]; then
  cold=(
    "usr-none-cold|name|/usr|zqxjkvw"
    "include-none-cold|content|/usr/include|zqxjkvw"
    "include-many-cold|content|/usr/include|copyright"
  )
fi
drop='sh -c "sync; echo 3 > /proc/sys/vm/drop_caches"'
for w in "${cold[@]}"; do
  IFS='|' read -r name kind folder query <<<"$w"
  if [ "$kind" = name ]; then
    mine=(-- "$query" "$folder")
    peer=(fdfind -u -i -F -- "$query" "$folder")
    "$cli" -0 -- "$query" "$folder" 2>/dev/null | count_nul >"$out/$name.findlark.count" || true
    fdfind -u -i -F -0 -- "$query" "$folder" | count_nul >"$out/$name.peer.count" || true
  else
    mine=(--contents -- "$query" "$folder")
    peer=(rg -u -i -F -l -- "$query" "$folder")
    "$cli" --contents -0 -- "$query" "$folder" 2>/dev/null |
      count_nul >"$out/$name.findlark.count" || true
    rg -u -i -F -l --null -- "$query" "$folder" | count_nul >"$out/$name.peer.count" || true
  fi
  extra=()
  [ -n "$before" ] && extra+=(before "${before@Q} ${mine[*]@Q}")
  [ "$kind" = name ] && extra+=(limit "${limit@Q} 8 ${query@Q} ${folder@Q}")
  echo "== $name" >&2
  interleaved "$name" "${COLD_RUNS:-5}" 0 --prepare "$drop" -- \
    findlark "${cli@Q} ${mine[*]@Q}" peer "${peer[*]@Q}" "${extra[@]}"
done
if [ ${#cold[@]} -gt 0 ]; then
  echo
  echo "cold cache (emptied before each run), ${COLD_RUNS:-5} runs per command, load average" \
    "now: $(cut -d' ' -f1-3 /proc/loadavg)"
  python3 bench/table.py --cold "$out" "${cold[@]}"
fi

# The window recording every hit: its longest event-loop stall, bytes per hit and total time,
# beside findlark-cli --format=tsv (which reads every size and date too) on the same tree.
# There is no ten-million-file tree on disk unless FINDLARK_BENCH_TREE10M names one; without
# it the 10M run feeds generated hits, and the CLI figure beside it is the 1M tree's times ten.
if [ "${WINDOW:-1}" != 0 ]; then
  win=${FINDLARK_WINDOW_BENCH:-}
  if [ -z "$win" ]; then
    cmake -S . -B build/bench-gui -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
      >/dev/null
    cmake --build build/bench-gui -j2 --target window_million_bench >/dev/null
    win=build/bench-gui/bench/window_million_bench
  fi
  export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
  window() { "$win" "$@" 2>/dev/null | tail -1 || echo "window benchmark failed"; }
  cli_tsv() { /usr/bin/time -f %e "$cli" --format=tsv -- - "$1" 2>&1 >/dev/null | tail -1; }
  # The cold rows emptied the cache: warm it again, with every file's details as the window reads
  # them (a walk by name alone leaves the files' inodes out, and the row twice as slow).
  "$cli" --format=tsv -- - "$tree" >/dev/null 2>&1 || true
  echo
  echo "window, every file a hit ('-'); last line of window_million_bench, then the CLI:"
  echo "  1M tree:         $(window --tree "$tree")"
  echo "                   findlark-cli --format=tsv, same tree: total $(cli_tsv "$tree") s"
  echo "  1M generated:    $(window --hits 1000000)"
  tree10m=${FINDLARK_BENCH_TREE10M:-}
  if [ -n "$tree10m" ]; then
    echo "  10M tree:        $(window --tree "$tree10m")"
    echo "                   findlark-cli --format=tsv, same tree: total $(cli_tsv "$tree10m") s"
  else
    echo "  10M generated:   $(window --hits 10000000)"
    echo "                   findlark-cli --format=tsv, the 1M tree times ten: total" \
      "$(python3 -c "print(round(10 * $(cli_tsv "$tree"), 2))") s"
  fi
  # As on a machine half as fast, with the virtual machine's own pauses told apart (needs perf).
  if [ -z "${FINDLARK_WINDOW_BENCH:-}" ] && command -v perf >/dev/null && [ "$(id -u)" = 0 ]; then
    # The last line, after the runs that left a gap of the window's own, with its breakdown.
    bench/window_busy.sh 5 | awk '/^run / { run = $0 } /own: [0-9]/ { print "  " run; print "  " $0 }
      { last = $0 } END { print "  " last }' || true
  fi
fi
