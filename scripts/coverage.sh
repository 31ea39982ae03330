#!/bin/sh
# Line and branch coverage of the product (app/, engine/, audio/, output/,
# runtime/, platform/) by the whole test suite, with gcovr. Builds an
# instrumented flavour in build-coverage/, runs every CTest entry (unit and
# real) and prints gcovr's summary for the whole and for each folder; the
# full reports are left in build-coverage/coverage*.txt. (gcovr replaces
# its output file rather than writing into it: never point it at /dev/null.)
# Usage: scripts/coverage.sh [ctest label, default: all]
set -eu
cd "$(dirname "$0")/.."
dir=build-coverage
# Atomic counters: the capture, worker and loop threads run the same code.
flags="--coverage -O0 -fprofile-update=atomic"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DDICTATE_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  -DCMAKE_MODULE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$dir" -j "$(nproc)" >/dev/null
find "$dir" -name '*.gcda' -delete
if [ -n "${1:-}" ]; then
  ctest --test-dir "$dir" -L "$1" --timeout 900 || true
else
  ctest --test-dir "$dir" --timeout 900 || true
fi
filters="--filter app/ --filter engine/ --filter audio/ --filter output/ --filter runtime/ --filter platform/"
# Branches the compiler adds for exceptions are left out: they are not
# choices the code makes.
# shellcheck disable=SC2086
gcovr -r . $filters --gcov-ignore-parse-errors --exclude-throw-branches --exclude-unreachable-branches \
  --print-summary "$dir" -o "$dir/coverage.txt"
for folder in app engine audio output runtime platform; do
  # shellcheck disable=SC2086
  gcovr -r . --filter "$folder/" --gcov-ignore-parse-errors --exclude-throw-branches --exclude-unreachable-branches \
    --print-summary "$dir" -o "$dir/coverage-$folder.txt" | sed "s|^|$folder/ |"
done
