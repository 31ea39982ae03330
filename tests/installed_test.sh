#!/bin/bash
# The Debian package as a host gets it: its dependencies resolve in this
# machine's archive, and, unpacked into a throwaway root (a prefix the
# build never saw), the program dictates through the example host on a
# private PulseAudio server whose microphone plays spoken sentences, and a
# start without an audio server fails as the host expects.
#
#   installed_test.sh PACKAGE.deb
set -eu
[ $# -eq 1 ] || { echo "usage: $0 PACKAGE.deb" >&2; exit 2; }
deb=$(realpath "$1")
cd "$(dirname "$0")/.."
work=$(mktemp -d)
cleanup() {
  scripts/pulse-server.sh stop "$work/server" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "installed_test: $*" >&2
  for f in out err; do [ -f "$work/$f" ] && sed "s/^/  $f: /" "$work/$f" >&2; done
  exit 1
}

# What apt-get would install with it, without installing anything.
apt-get install --simulate --no-install-recommends "$deb" >"$work/apt" 2>&1 ||
  { cat "$work/apt" >&2; fail "its dependencies do not resolve"; }
dpkg-deb -x "$deb" "$work/root"
program=$work/root/usr/bin/quillmarsh-dictate
host() {  # arguments of the host; a fresh user's home, the installed model
  env -u XDG_DATA_HOME -u XDG_CACHE_HOME -u XDG_STATE_HOME -u XDG_DATA_DIRS -u XDG_RUNTIME_DIR \
    HOME="$work/home" python3 examples/host.py --program "$program" "$@" >"$work/out" 2>"$work/err"
}

mkdir -p "$work/home" "$work/server"
scripts/spoken-sample.sh "$work/sample.wav" \
  "we need to buy milk bread eggs and coffee on the way home" \
  "please send the report to the team before the meeting on friday morning"
eval "export $(scripts/pulse-server.sh start "$work/server")"
export PULSE_COOKIE=$work/server/client-cookie

# The host's input ends once the sample has been played into the microphone
# that the program records: it quits the program and waits for its last words.
status=0
{
  for _ in $(seq 300); do
    pactl list short source-outputs | cut -f3 | grep -qvx -- - && break
    sleep 0.1
  done
  paplay --device=feed "$work/sample.wav"
} | host || status=$?
[ "$status" -eq 0 ] || fail "the host ended with status $status"
grep -q "morning$" "$work/out" || fail "the dictation's last word is missing"

# The host's input stays open (this shell holds the other end): the program's
# failure alone has to end it.
mkfifo "$work/input"
exec 4<>"$work/input"
status=0
PULSE_SERVER=unix:$work/nothing host <&4 || status=$?
exec 4>&-
[ "$status" -eq 1 ] || fail "a start without an audio server: the host ended with status $status"
grep -q "^\[host\] error: start failed: no audio server" "$work/err" ||
  fail "a start without an audio server: no such error"
echo "installed_test: passed"
