#!/usr/bin/env bash
# Builds the Debian package dist/brindle_<version>_amd64.deb: a release build installed for the
# whole system under /usr, its dependencies found from the libraries it links.
# Install it with: sudo apt install ./dist/brindle_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/../.."
tools/scripts/deps.sh deb
cmake -S . -B build/deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRINDLE_TESTS=OFF -DBRINDLE_BENCH=OFF \
      -DBRINDLE_PORTABLE=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build/deb -j "$(nproc)"
(cd build/deb && cpack -G DEB >/dev/null)
mkdir -p dist
cp build/deb/brindle_*_amd64.deb dist/
ls dist/brindle_*_amd64.deb
