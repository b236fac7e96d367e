#!/usr/bin/env bash
# Sets up, builds and starts Findlark.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
cmake --build build/release
exec build/release/src/app/findlark "$@"
