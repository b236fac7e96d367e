#!/usr/bin/env bash
# Builds the Debian package from a release build and checks it; prints where it is.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/release
rm -f build/release/findlark_*.deb
(cd build/release && cpack -G DEB)
deb=$(ls build/release/findlark_*_amd64.deb)
scripts/check-package.sh "$deb"
echo "Install it with: sudo apt install ./$deb"
