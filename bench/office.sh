#!/usr/bin/env bash
# Content search over generated office documents and over /usr/share/doc: this checkout's
# findlark-cli beside one built from BASE_REF (before documents were read through their text)
# and ripgrep, warm cache, in one run. Prints medians, ratios and hit counts.
#
#   BASE_REF=<commit> bench/office.sh    the commit to compare with (default: where this branch
#                                        left main)
#   OFFICE=0 bench/office.sh             only /usr/share/doc (plain text, the speed to keep)
#   RUNS=10 bench/office.sh              runs per command (default 5)
#   FINDLARK_BENCH_DIR=dir               where the documents go (/tmp/findlark-office)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
base_ref=${BASE_REF:-$(git merge-base HEAD main)}
work=${FINDLARK_BENCH_DIR:-/tmp/findlark-office}
tree=$work/tree
out=$work/results
mkdir -p "$out"
rm -f "$out"/*.json

for tool in hyperfine rg python3 git; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

build() {  # source dir, build dir
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINDLARK_GUI=OFF \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$2" -j2 --target findlark-cli >/dev/null
}
# One folder per base commit: archived files carry the commit's date, so a build folder shared
# between commits would take old objects for current.
base_id=$(git rev-parse --short "$base_ref")
base_src=$work/base-$base_id
if [ ! -x "$base_src/build/src/cli/findlark-cli" ]; then
  rm -rf "$base_src"
  mkdir -p "$base_src"
  git archive "$base_ref" | tar -x -C "$base_src"
  build "$base_src" "$base_src/build"
fi
build . build/bench
base=$base_src/build/src/cli/findlark-cli
new=$(realpath build/bench/src/cli/findlark-cli)

[ "${OFFICE:-1}" = 0 ] || python3 bench/make_office.py "$tree"

count() { { "$@" 2>/dev/null || true; } | tr -cd '\0' | wc -c; }

echo
echo "$(nproc) cores, load average now: $(cut -d' ' -f1-3 /proc/loadavg); $runs runs per command, warm cache"
echo "base: $base_ref ($(git rev-parse --short "$base_ref"))   new: $(git rev-parse --short HEAD)"
# Wall medians, and the mean CPU time (user + system), which a busy machine disturbs less.
printf '%-12s %8s %8s %8s %8s %9s %9s %8s  %s\n' workload base-s new-s rg-s new/base \
  base-cpu new-cpu new/base "hits base/new/rg"
# name|folder|query
workloads=("doc-many|/usr/share/doc|copyright" "doc-none|/usr/share/doc|zqxjkvw")
[ "${OFFICE:-1}" = 0 ] || workloads+=("office-many|$tree|budget" "office-none|$tree|zqxjkvw")
for w in "${workloads[@]}"; do
  IFS='|' read -r name folder query <<<"$w"
  hyperfine -N -i --output=pipe --warmup 1 --runs "$runs" --style none \
    --export-json "$out/$name.json" \
    -n base "$base --contents -- $query $folder" -n new "$new --contents -- $query $folder" \
    -n rg "rg -u -i -F -l -- $query $folder" >/dev/null
  hits="$(count "$base" --contents -0 -- "$query" "$folder")/$(count "$new" --contents -0 -- "$query" "$folder")/$(count rg -u -i -F -l --null -- "$query" "$folder")"
  python3 - "$out/$name.json" "$name" "$hits" <<'PY'
import json, sys
res = json.load(open(sys.argv[1]))["results"]
r = {x["command"]: x["median"] for x in res}
c = {x["command"]: x["user"] + x["system"] for x in res}
print(f'{sys.argv[2]:<12} {r["base"]:8.3f} {r["new"]:8.3f} {r["rg"]:8.3f} {r["new"] / r["base"]:8.2f} '
      f'{c["base"]:9.3f} {c["new"]:9.3f} {c["new"] / c["base"]:8.2f}  {sys.argv[3]}')
PY
done
