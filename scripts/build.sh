#!/bin/sh
# Configures and builds one flavour of the project, all of it or only the
# targets named.
# Usage: scripts/build.sh [plain|asan|tsan] [TARGET...]   (default plain, into
# build/; the sanitizer flavours go to build-asan/ and build-tsan/ and skip
# benchmarks). The program is the target quillmarsh-dictate; it brings its
# services module with it.
set -eu
cd "$(dirname "$0")/.."
flavour=${1:-plain}
[ $# -gt 0 ] && shift
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
targets=""
for target in "$@"; do targets="$targets --target $target"; done
# shellcheck disable=SC2086
cmake --build "$dir" -j "$jobs" $targets
