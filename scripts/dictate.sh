#!/bin/sh
# Installs what is missing, builds the program (nothing else), and dictates:
# runs it with --once on this machine's audio server and microphone and shows
# the words as they come. Speak, then press Ctrl-D or Ctrl-C: either ends the
# program's input, so it stops and the last words are still shown. Without an
# audio server or a microphone it says so and runs the same program on a
# private PulseAudio server whose virtual microphone plays a spoken sample,
# so the events are real either way.
#
#   scripts/dictate.sh [--json]
#     --json   the program's event lines as they are, as a host reads them
#
# Only the words (or with --json the event lines) go to standard output:
# what apt-get, the build and the audio tools write goes to standard error
# with this script's own messages, so that a pipe gets the text alone.
#
# Run it as yourself: only installing packages needs root, and apt-get is
# run through sudo for that (not at all when everything is installed). Run
# through sudo, it installs as root and then builds and dictates as the user
# who ran sudo, on that user's audio server.
set -eu
cd "$(dirname "$0")/.."
# Standard output stays on descriptor 3, for the words; everything else
# writes to standard error.
exec 3>&1 1>&2
json=no
case "${1:-}" in
  "") ;;
  --json) json=yes ;;
  *) echo "usage: $0 [--json]" >&2; exit 2 ;;
esac

# Root has no desktop audio session: the audio server and the microphone
# belong to the user who logged in, and their server listens in that user's
# runtime folder.
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  scripts/install-deps.sh demo
  user_id=$(id -u "$SUDO_USER")
  echo "packages are installed; building and dictating as $SUDO_USER, on $SUDO_USER's audio server" >&2
  exec sudo -H -u "$SUDO_USER" env XDG_RUNTIME_DIR="/run/user/$user_id" \
    ${PULSE_SERVER:+PULSE_SERVER="$PULSE_SERVER"} ${PULSE_SOURCE:+PULSE_SOURCE="$PULSE_SOURCE"} \
    sh scripts/dictate.sh "$@" >&3 3>&-
fi

scripts/install-deps.sh demo
echo "building the program" >&2
scripts/build.sh plain quillmarsh-dictate
program=build/quillmarsh-dictate

show() {
  if [ "$json" = yes ]; then cat; else python3 -u scripts/show-words.py; fi
}

# Ctrl-C goes to every process in the terminal's foreground group. The
# program, the reader of its events and the shell that waits for them ignore
# it (an ignored signal stays ignored across exec); only what feeds the
# program's input ends, so the program sees the end of its input and stops
# as after Ctrl-D. This shell only notes it.
trap : INT
run_program() {
  trap '' INT
  "$program" --once 3>&- | show >&3 3>&-
}

# Never let a probe start an audio server of its own.
probe_conf=$(mktemp)
echo "autospawn = no" >"$probe_conf"
source_name=$(PULSE_CLIENTCONFIG=$probe_conf pactl get-default-source 2>/dev/null || true)
rm -f "$probe_conf"
# A source named in PULSE_SOURCE is the user's choice, even a monitor; the
# server's default must be a microphone.
microphone=""
if [ -n "$source_name" ] && [ -n "${PULSE_SOURCE:-}" ]; then
  microphone=$PULSE_SOURCE
else
  case "$source_name" in ""|*.monitor) ;; *) microphone=$source_name ;; esac
fi
if [ -n "$microphone" ]; then
  echo "dictating from $microphone: speak, then press Ctrl-D or Ctrl-C to stop" >&2
  cat | run_program
  exit 0
fi

if [ -n "${PULSE_SERVER:-}" ]; then
  where="at $PULSE_SERVER"
elif [ -n "${XDG_RUNTIME_DIR:-}" ]; then
  where="at unix:$XDG_RUNTIME_DIR/pulse/native"
else
  where="(XDG_RUNTIME_DIR is not set: no login session)"
fi
if [ -z "$source_name" ]; then
  echo "no audio server answers $where" >&2
  if [ "$(id -u)" -eq 0 ]; then
    echo "(running as root: a desktop's audio server belongs to the user who logged in; run this script as that user)" >&2
  fi
else
  echo "the audio server has no microphone (its default source is $source_name)" >&2
fi
echo "so instead: a private audio server's virtual microphone plays a spoken sample" >&2
scripts/install-deps.sh sample
work=$(mktemp -d)
cleanup() {
  scripts/pulse-server.sh stop "$work/server" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap : INT
mkdir -p "$work/server"
eval "export $(scripts/pulse-server.sh start "$work/server" 3>&-)"

scripts/spoken-sample.sh "$work/sample.wav" \
  "please send the report to the team before the meeting on friday morning"

# The program reads its standard input from this block; when the sample has
# been played (or Ctrl-C ends the block), input ends, and the program stops
# and exits.
{
  tries=0
  # The program's record stream, not the virtual microphone's own (no client).
  until pactl list short source-outputs 2>/dev/null | awk '$3 != "-"' | grep -q .; do
    tries=$((tries + 1))
    [ "$tries" -lt 300 ] || break
    sleep 0.1
  done
  paplay --device=feed "$work/sample.wav"
  sleep 0.5
} | run_program
