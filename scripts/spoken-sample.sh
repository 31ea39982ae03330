#!/bin/sh
# Writes a spoken sample for the demo and the tests: the sentences given,
# spoken by espeak-ng, with a pause before, between and after them, over a
# quiet noise floor as a real microphone has, as 16 kHz mono WAV.
#
#   spoken-sample.sh OUT.wav SENTENCE...
set -eu
[ $# -ge 2 ] || { echo "usage: $0 OUT.wav SENTENCE..." >&2; exit 2; }
out=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
parts=""
i=0
for sentence in "$@"; do
  i=$((i + 1))
  espeak-ng -v en-us -w "$work/$i.wav" "$sentence"
  sox "$work/$i.wav" -r 16000 -c 1 "$work/padded$i.wav" pad 0.8 1.2
  parts="$parts $work/padded$i.wav"
done
# shellcheck disable=SC2086
sox $parts "$work/speech.wav" pad 0 0.3
duration=$(soxi -D "$work/speech.wav")
sox -R -n -r 16000 -c 1 "$work/noise.wav" synth "$duration" pinknoise vol 0.012
sox -m "$work/speech.wav" "$work/noise.wav" "$out"
