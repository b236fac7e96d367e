#!/usr/bin/env bash
# Content search over 500 generated PDFs (1-50 pages each): findlark-cli --pdf beside pdftotext
# run on each file one after the other, and beside ripgrep with pdftotext as its preprocessor
# (the way ripgrep-all reads PDFs, without a sandbox or a time limit). Warm cache, medians.
#
#   RUNS=5 bench/pdf.sh                  runs per command (default 3)
#   FINDLARK_BENCH_DIR=dir               where the PDFs go (/tmp/findlark-pdf)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-3}
work=${FINDLARK_BENCH_DIR:-/tmp/findlark-pdf}
tree=$work/tree
mkdir -p "$work"
for tool in hyperfine rg python3 pdftotext; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINDLARK_GUI=OFF \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build build/bench -j2 --target findlark-cli findlark-pdf-sandbox >/dev/null
cli=$(realpath build/bench/src/cli/findlark-cli)
python3 bench/make_pdfs.py "$tree"

cat >"$work/one-by-one.sh" <<'SH'
#!/usr/bin/env bash
find "$1" -name '*.pdf' -print0 | sort -z | while IFS= read -r -d '' f; do
  pdftotext -q "$f" - | grep -qiF kingfisher && printf '%s\n' "$f"
done
true
SH
cat >"$work/pre.sh" <<'SH'
#!/bin/sh
exec pdftotext -q - -
SH
chmod +x "$work/one-by-one.sh" "$work/pre.sh"

echo "$(nproc) cores, $(find "$tree" -name '*.pdf' | wc -l) PDFs, $(du -sh "$tree" | cut -f1); $runs runs"
hyperfine -N -i --warmup 1 --runs "$runs" --style basic \
  -n "findlark-cli --pdf" "$cli --pdf kingfisher $tree" \
  -n "pdftotext one by one" "$work/one-by-one.sh $tree" \
  -n "rg --pre pdftotext" "rg -u -i -F -l --pre $work/pre.sh --pre-glob *.pdf kingfisher $tree"
echo "hits: findlark $("$cli" --pdf kingfisher "$tree" 2>/dev/null | wc -l)," \
  "one by one $("$work/one-by-one.sh" "$tree" | wc -l)," \
  "rg $(rg -u -i -F -l --pre "$work/pre.sh" --pre-glob '*.pdf' kingfisher "$tree" | wc -l)"
