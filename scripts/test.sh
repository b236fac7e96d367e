#!/usr/bin/env bash
# Sets up, builds and runs every test: a normal build, then AddressSanitizer with
# UndefinedBehaviorSanitizer, then ThreadSanitizer on the threaded tests, then (with clang) a
# short, fixed run of each fuzzer under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
}
run_ctest() {
  ctest --test-dir "$1" --output-on-failure -j "$jobs" --timeout 600 "${@:2}"
}

echo "== normal build"
configure_and_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_ctest build/release

echo "== Debian package"
rm -f build/release/findlark_*.deb
(cd build/release && cpack -G DEB)
scripts/check-package.sh build/release/findlark_*_amd64.deb

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug -DFINDLARK_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build/asan -LE desktop

echo "== ThreadSanitizer (threaded tests)"
configure_and_build build/tsan -DCMAKE_BUILD_TYPE=Debug -DFINDLARK_SANITIZE=thread -DFINDLARK_GUI=OFF
TSAN_OPTIONS=halt_on_error=1 run_ctest build/tsan -L threaded

if command -v clang++ >/dev/null 2>&1; then
  echo "== fuzzers (clang, AddressSanitizer + UndefinedBehaviorSanitizer)"
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DFINDLARK_GUI=OFF -DFINDLARK_FUZZ=ON \
    -DFINDLARK_SANITIZE=address,undefined
  cmake --build build/fuzz -j "$jobs" --target fuzz_document_text fuzz_line_matcher fuzz_seeds
  seeds=build/fuzz/tests/fuzz/seeds
  # name|runs: a fixed seed and run count, so a run takes the same path every time.
  for fuzzer in document_text\|5000 line_matcher\|200000; do
    IFS='|' read -r name runs <<<"$fuzzer"
    corpus=build/fuzz/corpus-$name
    rm -rf "$corpus"
    mkdir -p "$corpus"
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "build/fuzz/tests/fuzz/fuzz_$name" -seed=1 -runs="$runs" -max_len=8192 -rss_limit_mb=1024 \
      -timeout=60 "$corpus" "$seeds/$name"
  done
fi
