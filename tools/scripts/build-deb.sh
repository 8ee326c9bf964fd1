#!/usr/bin/env bash
# Builds the Debian packages brindle and brindle-data with dpkg-buildpackage (debian/), in a
# temporary clean copy of the source, and leaves the .debs, .buildinfo and .changes in <out-dir>.
# Needs no network and no root; the build dependencies must be installed (tools/scripts/deps.sh deb).
#
# Usage: tools/scripts/build-deb.sh [--head] [<out-dir>]     (default out-dir: dist)
#   --head   build the last commit (a git clone of HEAD) instead of the working tree's files
# BRINDLE_DEB_WORKDIR=<folder> builds in that folder (emptied before, removed after) instead of a
# temporary one: a fixed path lets a compiler cache (CMAKE_CXX_COMPILER_LAUNCHER=ccache) find a
# repeated build.
# Install with: sudo apt install ./dist/brindle_<version>_<arch>.deb ./dist/brindle-data_<version>_all.deb
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
HEAD=0
if [ "${1:-}" = --head ]; then
  HEAD=1
  shift
fi
OUT=${1:-$ROOT/dist}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

(cd "$ROOT" && dpkg-checkbuilddeps) ||
  { echo "build-deb: install the build dependencies first: tools/scripts/deps.sh deb" >&2; exit 1; }

if [ -n "${BRINDLE_DEB_WORKDIR:-}" ]; then
  rm -rf "$BRINDLE_DEB_WORKDIR"
  mkdir -p "$BRINDLE_DEB_WORKDIR"
  WORK=$(cd "$BRINDLE_DEB_WORKDIR" && pwd)
else
  WORK=$(mktemp -d)
fi
trap 'rm -rf "$WORK"' EXIT
SRC="$WORK/brindle"
if [ "$HEAD" = 1 ]; then
  git clone -q --no-hardlinks "$ROOT" "$SRC"
else
  # The files git knows or would add (a deleted one left out): no build folders, no dist/.
  mkdir "$SRC"
  cd "$ROOT"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ ! -e "$f" ] || printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$SRC"
fi

export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=$(nproc)}
(cd "$SRC" && dpkg-buildpackage -us -uc -b)
version=$(cd "$SRC" && dpkg-parsechangelog -S Version)
for f in "$WORK"/*_"$version"_*; do
  cp "$f" "$OUT/"
  echo "$OUT/$(basename "$f")"
done
