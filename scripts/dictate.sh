#!/bin/sh
# Installs what is needed, builds, and dictates: runs the program with
# --once on this machine's audio server and microphone (speak, then press
# Ctrl-D). Without an audio server or a microphone it says so and runs the
# same program on a private PulseAudio server whose virtual microphone plays
# a spoken sample, so the events are real either way.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh plain >/dev/null
program=build/quillmarsh-dictate

# Never let a probe start an audio server of its own.
probe_conf=$(mktemp)
echo "autospawn = no" > "$probe_conf"
source_name=$(PULSE_CLIENTCONFIG=$probe_conf pactl get-default-source 2>/dev/null || true)
rm -f "$probe_conf"
case "$source_name" in
  ""|*.monitor) ;;
  *)
    echo "dictating from $source_name: speak, then press Ctrl-D" >&2
    exec "$program" --once
    ;;
esac

if [ -z "$source_name" ]; then
  echo "no audio server found: playing a spoken sample into a private server's virtual microphone" >&2
else
  echo "no microphone found: playing a spoken sample into a private server's virtual microphone" >&2
fi
work=$(mktemp -d)
cleanup() {
  scripts/pulse-server.sh stop "$work/server" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
mkdir -p "$work/server"
eval "export $(scripts/pulse-server.sh start "$work/server")"

espeak-ng -v en-us -w "$work/speech.wav" \
  "please send the report to the team before the meeting on friday morning"
# Pad with silence and add a quiet noise floor, as a real microphone has.
sox "$work/speech.wav" -r 16000 -c 1 "$work/padded.wav" pad 0.8 1.5
duration=$(soxi -D "$work/padded.wav")
sox -R -n -r 16000 -c 1 "$work/noise.wav" synth "$duration" pinknoise vol 0.012
sox -m "$work/padded.wav" "$work/noise.wav" "$work/sample.wav"

# The program reads its standard input from this block; when the sample has
# been played, the block ends, input ends, and the program stops and exits.
{
  tries=0
  until pactl list short source-outputs 2>/dev/null | grep -q .; do
    tries=$((tries + 1))
    [ "$tries" -lt 300 ] || break
    sleep 0.1
  done
  paplay --device=feed "$work/sample.wav"
  sleep 0.5
} | "$program" --once
