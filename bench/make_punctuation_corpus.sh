#!/bin/sh
# Generates the punctuation benchmark's audio: the sentences of
# bench/punctuation_sentences.txt, with their marks said, each spoken by three
# of seven voices (espeak-ng's en-us, +f3 and +m7, flite's slt, rms, awb and
# kal16), and as plain sentences the 70 of bench/more_sentences.txt, each by
# one of flite's voices; over pink-noise floors of three levels, as 16 kHz
# mono 16-bit raw files, plus an index.
#
#   bench/make_punctuation_corpus.sh DIR
#
# DIR/index.tsv gets one line per clip: set (marks or plain), file name, the
# text as written (line breaks as \n). A "|" in what is said becomes a pause
# of a second. Deterministic (sox with a fixed seed, no dither). Needs
# espeak-ng, flite and sox; takes about a minute.
set -eu
dir=${1:?usage: $0 DIR}
here=$(dirname "$0")
mkdir -p "$dir"
: >"$dir/index.tsv"

voices="espeak:en-us flite:slt espeak:en-us+f3 flite:rms espeak:en-us+m7 flite:awb flite:kal16"
flites="flite:slt flite:rms flite:awb flite:kal16"
speeds="150 175"
# Noise floor amplitudes: about -58, -52 and -44 dBFS.
noises="0.006 0.012 0.03"
raw="-r 16000 -c 1 -b 16 -e signed -t raw"

pick() { # pick N LIST: the N-th word of LIST, counting from 0, cyclically
  n=$1; shift
  set -- $*
  shift $((n % $#))
  echo "$1"
}

# say VOICE SPEED TEXT OUT: TEXT spoken as 16 kHz raw samples, without padding.
say() {
  case "$1" in
    espeak:*) espeak-ng -v "${1#espeak:}" -s "$2" -w "$dir/say.wav" "$3" ;;
    flite:*) flite -voice "${1#flite:}" -t "$3" -o "$dir/say.wav" ;;
  esac
  sox -D "$dir/say.wav" $raw "$4"
}

# clip NAME VOICE SPEED NOISE SAID: the parts of SAID (split at "|") with
# half a second before and after and a second between, over the noise.
clip() {
  name=$1 voice=$2 speed=$3 noise=$4 said=$5
  sox -n $raw "$dir/$name.speech" trim 0 0.5
  rest=$said
  while :; do
    part=${rest%%|*}
    say "$voice" "$speed" "$part" "$dir/part.raw"
    cat "$dir/part.raw" >>"$dir/$name.speech"
    [ "$part" != "$rest" ] || break
    rest=${rest#*|}
    sox -n $raw - trim 0 1.0 >>"$dir/$name.speech"
  done
  sox -n $raw - trim 0 0.5 >>"$dir/$name.speech"
  seconds=$(sox $raw "$dir/$name.speech" -n stat 2>&1 | awk '/Length/ {print $3}')
  sox -R -n $raw "$dir/$name.noise" synth "$seconds" pinknoise vol "$noise"
  sox -D -m $raw "$dir/$name.speech" $raw "$dir/$name.noise" -t raw "$dir/$name.raw"
  rm -f "$dir/$name.speech" "$dir/$name.noise" "$dir/part.raw" "$dir/say.wav"
}

i=0
grep -v '^#' "$here/punctuation_sentences.txt" | while IFS="$(printf '\t')" read -r said written; do
  for take in 0 1 2; do
    k=$((i * 3 + take))
    name=$(printf 'm%02d-%d' "$i" "$take")
    clip "$name" "$(pick $k $voices)" "$(pick $k $speeds)" "$(pick $((k + i)) $noises)" "$said"
    printf 'marks\t%s\t%s\n' "$name.raw" "$written" >>"$dir/index.tsv"
  done
  i=$((i + 1))
done

i=0
grep -v '^#' "$here/more_sentences.txt" | while IFS= read -r sentence; do
  name=$(printf 'p%02d' "$i")
  clip "$name" "$(pick $i $flites)" 175 "$(pick $((i / 4)) $noises)" "$sentence"
  printf 'plain\t%s\t%s\n' "$name.raw" "$sentence" >>"$dir/index.tsv"
  i=$((i + 1))
done
echo "$(wc -l <"$dir/index.tsv") clips in $dir"
