#!/usr/bin/env bash
# Sets up, builds and starts Findlark.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/release --target findlark findlark-cli
program=$(pwd)/build/release/src/app/findlark
# Like the desktop launcher: settings.ini lives in the user's configuration folder.
config=${XDG_CONFIG_HOME:-$HOME/.config}/findlark
mkdir -p "$config"
cd "$config"
exec "$program" "$@"
