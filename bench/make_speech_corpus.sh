#!/bin/sh
# Generates the formant-synthesis family of the speech benchmark's voice
# families (bench/make_voice_families.py runs it): dictation sentences
# spoken by espeak-ng in several voices and speeds over pink-noise floors of
# several levels, as 16 kHz mono 16-bit raw files, plus an index.
#
#   bench/make_speech_corpus.sh DIR
#
# DIR/index.tsv gets one line per clip: half (tune or report, alternating by
# sentence), file name, transcript. Each sentence is spoken twice, with
# different voices, speeds and noise. Deterministic: the same files on every
# run (sox with a fixed seed, no dither). Needs espeak-ng and sox; takes
# about a minute.
set -eu
dir=${1:?usage: $0 DIR}
mkdir -p "$dir"
: >"$dir/index.tsv"

voices="en-us+m3 en-us+f2 en-us en-us+f4 en-us+m7 en-us+f3"
speeds="150 175 195"
# Noise floor amplitudes: about -58, -52 and -44 dBFS.
noises="0.006 0.012 0.03"

pick() { # pick N LIST: the N-th word of LIST, counting from 0, cyclically
  n=$1; shift
  set -- $*
  shift $((n % $#))
  echo "$1"
}

i=0
while IFS= read -r sentence; do
  [ -n "$sentence" ] || continue
  if [ $((i % 2)) -eq 0 ]; then half=tune; else half=report; fi
  for take in 0 1; do
    k=$((i * 2 + take))
    voice=$(pick $k $voices)
    speed=$(pick $((k / 2 + take)) $speeds)
    noise=$(pick $((k / 3 + take)) $noises)
    name=$(printf 's%02d-%d' "$i" "$take")
    espeak-ng -v "$voice" -s "$speed" -w "$dir/$name.wav" "$sentence"
    # Half a second before and after, as a person pauses around a sentence.
    sox -D "$dir/$name.wav" -r 16000 -c 1 -b 16 -e signed -t raw "$dir/$name.speech" pad 0.5 0.5
    seconds=$(sox -t raw -r 16000 -c 1 -b 16 -e signed "$dir/$name.speech" -n stat 2>&1 |
      awk '/Length/ {print $3 + 0.1}')
    sox -R -n -r 16000 -c 1 -b 16 -e signed -t raw "$dir/$name.noise" \
      synth "$seconds" pinknoise vol "$noise"
    sox -D -m -t raw -r 16000 -c 1 -b 16 -e signed "$dir/$name.speech" \
      -t raw -r 16000 -c 1 -b 16 -e signed "$dir/$name.noise" \
      -t raw "$dir/$name.raw" trim 0 "$seconds"
    rm -f "$dir/$name.wav" "$dir/$name.speech" "$dir/$name.noise"
    printf '%s\t%s\t%s\n' "$half" "$name.raw" "$sentence" >>"$dir/index.tsv"
  done
  i=$((i + 1))
done <<'EOF'
please send the report to the team before the meeting on friday morning
the weather today is cold and windy with a chance of rain in the evening
we need to buy milk bread eggs and coffee on the way home
remind me to call my mother at six o'clock tonight
the quick brown fox jumps over the lazy dog near the river bank
our new office is on the third floor of the building next to the station
i would like to book a table for four people at eight tonight
the train to the city leaves every twenty minutes during the day
can you check whether the printer in the hall has enough paper
she finished reading the book and wrote a short summary for the class
the project deadline has been moved to the end of next month
turn left at the second light and the shop is on your right
my flight to chicago leaves on tuesday afternoon
let us meet at the coffee shop across the street at noon
the children played in the garden until it was dark
please remember to water the plants while i am away
he bought a new car last week and drove it to the coast
the doctor said i should get more sleep and drink more water
we will discuss the budget at the next board meeting
could you send me the address of the hotel in boston
the museum is closed on mondays but open late on thursdays
i think we should leave early to avoid the traffic
the price of the tickets went up again this year
she has been learning to play the piano for three years
write down the phone number before you forget it
the kitchen needs a new light above the sink
our team won the game by two points in the last minute
the library opens at nine and closes at five on weekdays
please call me back when you get this message
the new software update fixed most of the problems
i left my keys on the table next to the door
the meeting was moved to wednesday at ten in the morning
they are planning a trip to the mountains in july
it is important to back up your files every day
the dog barked at the mail carrier again this morning
we ordered pizza and watched a movie on saturday night
the store is out of bread so we will have to wait until tomorrow
tell me the time of the last bus from the station
my sister lives in a small town near the lake
the hospital is looking for more nurses this winter
EOF
echo "$(wc -l <"$dir/index.tsv") clips in $dir"
