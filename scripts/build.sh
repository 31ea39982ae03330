#!/bin/sh
# Configures and builds one flavour of the project.
# Usage: scripts/build.sh [plain|asan|tsan]   (default plain, into build/;
# the sanitizer flavours go to build-asan/ and build-tsan/ and skip benchmarks)
set -eu
cd "$(dirname "$0")/.."
flavour=${1:-plain}
jobs=$(nproc 2>/dev/null || echo 2)
case "$flavour" in
  plain) dir=build; flags="" ;;
  asan)  dir=build-asan; flags="-DDICTATE_ASAN=ON -DDICTATE_BENCH=OFF" ;;
  tsan)  dir=build-tsan; flags="-DDICTATE_TSAN=ON -DDICTATE_BENCH=OFF" ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac
# A compiler cache, where one is installed, makes rebuilds of other flavours
# and checkouts cheap.
if command -v ccache >/dev/null 2>&1; then
  flags="$flags -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
# shellcheck disable=SC2086
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDICTATE_WERROR=${DICTATE_WERROR:-ON} $flags >/dev/null
cmake --build "$dir" -j "$jobs"
