#!/bin/sh
# Installs what is needed, builds, and runs every test: the whole suite on
# the plain build (unit tests, the real speech decoder, a private PulseAudio
# server, the program end to end), then what ships: the Debian package,
# checked by lintian and run, once installed, through the example host; then
# the unit tests again under AddressSanitizer with
# UndefinedBehaviorSanitizer and under ThreadSanitizer. Exits non-zero on
# any failure.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

status=0
run() {
  echo "== $*"
  "$@" || status=1
}

scripts/build.sh plain
run ctest --test-dir build --output-on-failure --timeout 900
echo "== the package"
if deb=$(scripts/package.sh --lint); then
  run tests/installed_test.sh "$deb"
else
  status=1
fi

if [ "${DICTATE_SKIP_SANITIZERS:-0}" != 1 ]; then
  scripts/build.sh asan
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run ctest --test-dir build-asan -L unit --output-on-failure --timeout 900
  scripts/build.sh tsan
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run ctest --test-dir build-tsan -L unit --output-on-failure --timeout 900
fi

if [ "$status" -ne 0 ]; then
  echo "Some tests failed." >&2
fi
exit "$status"
