#!/usr/bin/env python3
"""Generates the voice families that the speech benchmark reports on.

    bench/make_voice_families.py DIR

Each family is a kind of voice, kept whole: settings are chosen without the
family that they are then reported on.

  espeak  formant synthesis: bench/make_speech_corpus.sh's 80 clips (its 40
          sentences in six espeak-ng voices over pink-noise floors)
  flite   voices built from recordings of people: flite's slt (a woman),
          rms, awb and kal16 (men), 40 sentences of bench/more_sentences.txt
          that no other family speaks, over the same noise floors
  human   Debian's recordings of people (pocketsphinx-testdata), as they are
          and changed the way microphones and rooms change speech: tempo and
          pitch, reverberation, the band of a headset or laptop microphone,
          fan, hiss and babble noise at 10-30 dB SNR, levels from -40 to
          -6 dBFS

DIR/index.tsv gets one line per clip: family, voice, file (relative to DIR),
transcript. DIR/enrol/index.tsv has the same columns for the enrolment that
bench/adapt_bench.cpp adapts each voice with: every voice of the espeak and
flite families reads data/enrolment_sentences.txt (the enrolment program's
own sentences, none of them among the families'), made the way its family's
clips are. The human family's speakers read too few sentences for that; the
benchmark enrols them on some of their own sentences instead. Clips are 16 kHz mono 16-bit raw with half a second of their own
background before and after. Deterministic: fixed seeds, no dither. Needs
espeak-ng, flite and sox; takes a few minutes.
"""
import array
import math
import os
import random
import re
import subprocess
import sys

RATE = 16000
TESTDATA = "/usr/share/pocketsphinx/test/data"
HERE = os.path.dirname(os.path.abspath(__file__))
RAW = ["-t", "raw", "-r", str(RATE), "-c", "1", "-b", "16", "-e", "signed"]


def sox(inputs, output, effects=()):
    subprocess.run(["sox", "-D", "-R", *inputs, *output, *effects], check=True)


def read_raw(path):
    samples = array.array("h")
    with open(path, "rb") as f:
        samples.frombytes(f.read())
    return samples


def write_raw(path, samples):
    clipped = array.array("h", (max(-32768, min(32767, int(round(s)))) for s in samples))
    with open(path, "wb") as f:
        f.write(clipped.tobytes())


def to_raw(source, output, effects=(), source_format=()):
    sox([*source_format, source], [*RAW, output], ["rate", str(RATE), "channels", "1", *effects])


def rms(samples):
    return math.sqrt(sum(float(s) * s for s in samples) / max(1, len(samples)))


def speech_rms(samples):
    # Over the loudest half of the 10 ms frames, so that pauses do not count.
    frames = [samples[i:i + 160] for i in range(0, len(samples) - 159, 160)]
    energies = sorted((sum(float(s) * s for s in f) / 160 for f in frames), reverse=True)
    top = energies[:max(1, len(energies) // 2)]
    return math.sqrt(sum(top) / len(top))


def noise(kind, count, rng, babble_sources):
    if kind == "babble":
        # Three other people talking at once, from other recordings, reversed
        # so that no word of theirs is recognisable.
        out = [0.0] * count
        for source in rng.sample(babble_sources, 3):
            start = rng.randrange(max(1, len(source) - count))
            piece = source[start:start + count][::-1]
            for i, s in enumerate(piece):
                out[i] += s
        return out
    # White, pink (hiss) or brown (fan rumble), generated in Python so that
    # the seed fixes it.
    out, b = [], [0.0] * 7
    last = 0.0
    for _ in range(count):
        w = rng.gauss(0, 1)
        if kind == "white":
            out.append(w)
        elif kind == "brown":
            last = 0.98 * last + w
            out.append(last)
        else:  # pink, Paul Kellet's economical filter
            b[0] = 0.99886 * b[0] + w * 0.0555179
            b[1] = 0.99332 * b[1] + w * 0.0750759
            b[2] = 0.96900 * b[2] + w * 0.1538520
            b[3] = 0.86650 * b[3] + w * 0.3104856
            b[4] = 0.55000 * b[4] + w * 0.5329522
            b[5] = -0.7616 * b[5] - w * 0.0168980
            out.append(sum(b[:6]) + b[6] + w * 0.5362)
            b[6] = w * 0.115926
    return out


def mix(speech, kind, snr_db, rng, babble_sources):
    n = noise(kind, len(speech), rng, babble_sources)
    scale = speech_rms(speech) / (10 ** (snr_db / 20)) / max(1e-9, rms(n))
    return [s + scale * x for s, x in zip(speech, n)]


def at_level(samples, peak_dbfs):
    peak = max(1, max(abs(s) for s in samples))
    gain = 32767 * 10 ** (peak_dbfs / 20) / peak
    return [s * gain for s in samples]


def floor(samples, amplitude, rng):
    # A faint pink-noise floor of a given peak amplitude (fraction of full
    # scale), as the speech corpus's synthetic clips have.
    n = noise("pink", len(samples), rng, [])
    peak = max(1e-9, max(abs(x) for x in n))
    return [s + x * amplitude * 32767 / peak for s, x in zip(samples, n)]


def human_recordings():
    clips = [("goforward", os.path.join(TESTDATA, "goforward.raw"), "go forward ten meters"),
             ("tidigits", os.path.join(TESTDATA, "tidigits/dhd.2934z.raw"), "two nine three four zero")]
    for folder, listing in (("librivox", "transcription"), ("cards", "cards.transcription")):
        with open(os.path.join(TESTDATA, folder, listing)) as f:
            for line in f:
                m = re.match(r"<s>(.*)</s>\s*\((.*)\)", line.strip())
                if m:
                    words = " ".join(m.group(1).split())
                    clips.append((folder, os.path.join(TESTDATA, folder, m.group(2) + ".wav"), words))
    return clips


# How microphones and rooms change a recording: each variant is a sox effect
# chain and what is mixed in afterwards (noise kind and SNR, then the peak
# level in dBFS).
HUMAN_VARIANTS = [
    ("slow-quiet", ["tempo", "-s", "0.88"], None, -30),
    ("fast-fan", ["tempo", "-s", "1.12"], ("brown", 20), -12),
    ("higher", ["pitch", "400"], ("pink", 30), -18),
    ("higher-room", ["pitch", "250", "reverb", "40", "50", "60"], None, -15),
    ("lower-headset", ["pitch", "-200", "sinc", "300-3400"], ("white", 25), -10),
    ("room-fan", ["reverb", "50", "50", "80"], ("brown", 15), -20),
    ("laptop-babble", ["sinc", "200-6000"], ("babble", 15), -24),
    ("far-hiss", [], ("pink", 10), -40),
    ("loud-babble", [], ("babble", 20), -6),
]


def make_human(dir, index, rng):
    os.makedirs(os.path.join(dir, "human"), exist_ok=True)
    clips = human_recordings()
    tmp = os.path.join(dir, "human", "tmp.raw")
    sources = []
    for name, path, words in clips:
        fmt = RAW if path.endswith(".raw") else []
        to_raw(path, tmp, ["pad", "0.5", "0.5"], fmt)
        sources.append((name, os.path.basename(path).split(".")[0], read_raw(tmp), words))
    babble = [(stem, list(s)) for n, stem, s, _ in sources if n == "librivox"]
    for name, stem, samples, words in sources:
        file = f"human/{name}-{stem}.raw"
        write_raw(os.path.join(dir, file), samples)
        index.append(("human", name, file, words))
        for variant, effects, added, level in HUMAN_VARIANTS:
            changed = samples
            if effects:
                write_raw(tmp, samples)
                out = tmp + ".out"
                sox([*RAW, tmp], [*RAW, out], effects)
                changed = read_raw(out)
            mixed = [float(s) for s in changed]
            if added:
                kind, snr = added
                # Babble from other recordings than this one.
                others = [s for other, s in babble if other != stem]
                mixed = mix(mixed, kind, snr, rng, others)
            mixed = floor(at_level(mixed, level), 0.0005, rng)
            file = f"human/{name}-{stem}-{variant}.raw"
            write_raw(os.path.join(dir, file), mixed)
            index.append(("human", f"{name}-{variant}", file, words))
    for t in (tmp, tmp + ".out"):
        if os.path.exists(t):
            os.remove(t)


def sentences(path, count):
    with open(path) as f:
        lines = [l.strip() for l in f if l.strip() and not l.startswith("#")]
    return lines[:count]


def make_flite(dir, index, rng):
    os.makedirs(os.path.join(dir, "flite"), exist_ok=True)
    voices = ["slt", "rms", "awb", "kal16"]
    floors = [0.002, 0.004, 0.01]  # about -54, -48 and -40 dBFS peaks
    levels = [-6, -14, -22]
    wav = os.path.join(dir, "flite", "tmp.wav")
    tmp = os.path.join(dir, "flite", "tmp.raw")
    for i, text in enumerate(sentences(os.path.join(HERE, "more_sentences.txt"), 40)):
        voice = voices[i % len(voices)]
        subprocess.run(["flite", "-voice", voice, "-t", text, "-o", wav], check=True)
        to_raw(wav, tmp, ["pad", "0.5", "0.5"])
        samples = at_level([float(s) for s in read_raw(tmp)], levels[i % 3])
        samples = floor(samples, floors[(i // 3) % 3], rng)
        file = f"flite/{i:02d}-{voice}.raw"
        write_raw(os.path.join(dir, file), samples)
        index.append(("flite", voice, file, text))
    os.remove(wav)
    os.remove(tmp)


def make_espeak(dir, index):
    sub = os.path.join(dir, "espeak")
    subprocess.run(["sh", os.path.join(HERE, "make_speech_corpus.sh"), sub], check=True,
                   stdout=subprocess.DEVNULL)
    voices = "en-us+m3 en-us+f2 en-us en-us+f4 en-us+m7 en-us+f3".split()
    with open(os.path.join(sub, "index.tsv")) as f:
        for k, line in enumerate(f):
            _, file, text = line.rstrip("\n").split("\t")
            index.append(("espeak", voices[k % len(voices)], "espeak/" + file, text))


def make_enrolment(dir, rng):
    """Each espeak and flite voice reading the enrolment sentences."""
    sub = os.path.join(dir, "enrol")
    os.makedirs(sub, exist_ok=True)
    texts = sentences(os.path.join(HERE, "..", "data", "enrolment_sentences.txt"), 1000)
    wav, tmp = os.path.join(sub, "tmp.wav"), os.path.join(sub, "tmp.raw")
    index = []
    espeak = "en-us+m3 en-us+f2 en-us en-us+f4 en-us+m7 en-us+f3".split()
    speeds, floors = [150, 175, 195], [0.006, 0.012, 0.03]
    for v, voice in enumerate(espeak):
        for i, text in enumerate(texts):
            subprocess.run(["espeak-ng", "-v", voice, "-s", str(speeds[(i + v) % 3]), "-w", wav,
                            text], check=True)
            to_raw(wav, tmp, ["pad", "0.5", "0.5"])
            samples = floor([float(s) for s in read_raw(tmp)], floors[(i // 3 + v) % 3], rng)
            file = f"enrol/espeak-{v}-{i:02d}.raw"
            write_raw(os.path.join(dir, file), samples)
            index.append(("espeak", voice, file, text))
    for voice in ["slt", "rms", "awb", "kal16"]:
        for i, text in enumerate(texts):
            subprocess.run(["flite", "-voice", voice, "-t", text, "-o", wav], check=True)
            to_raw(wav, tmp, ["pad", "0.5", "0.5"])
            samples = at_level([float(s) for s in read_raw(tmp)], [-6, -14, -22][i % 3])
            samples = floor(samples, [0.002, 0.004, 0.01][(i // 3) % 3], rng)
            file = f"enrol/flite-{voice}-{i:02d}.raw"
            write_raw(os.path.join(dir, file), samples)
            index.append(("flite", voice, file, text))
    for t in (wav, tmp):
        if os.path.exists(t):
            os.remove(t)
    with open(os.path.join(sub, "index.tsv"), "w") as f:
        for row in index:
            f.write("\t".join(row) + "\n")
    print(f"enrol: {len(index)} clips")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--enrol-only":
        make_enrolment(sys.argv[2], random.Random(20261209))
        return
    if len(sys.argv) != 2:
        sys.exit("usage: make_voice_families.py [--enrol-only] DIR")
    dir = sys.argv[1]
    os.makedirs(dir, exist_ok=True)
    rng = random.Random(20261208)
    index = []
    make_espeak(dir, index)
    make_flite(dir, index, rng)
    make_human(dir, index, rng)
    with open(os.path.join(dir, "index.tsv"), "w") as f:
        for row in index:
            f.write("\t".join(row) + "\n")
    for family in ("espeak", "flite", "human"):
        rows = [r for r in index if r[0] == family]
        print(f"{family}: {len(rows)} clips, {sum(len(r[3].split()) for r in rows)} words")
    make_enrolment(dir, random.Random(20261209))


if __name__ == "__main__":
    main()
