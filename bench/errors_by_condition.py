#!/usr/bin/env python3
"""Word errors of each voice and recording condition of the voice families.

    speech_bench --families DIR --texts FILE ...
    bench/errors_by_condition.py DIR FILE

FILE holds, for each family speech_bench ran, its clips' words and what a
decoder ("ours" or "bare") heard in the family's stream. The stream's words
are aligned with the clips' words as the benchmark counts its errors; an
error is charged to the clip of the word it falls on (an inserted word to
the clip of the word before it). Printed: errors / words by voice or
condition (the human family's copies by the change made to them, and by the
recording they were made from), one column per decoder.
"""
import collections
import sys


def align(reference, heard):
    """For each reference word's position, the errors charged to it."""
    n, m = len(reference), len(heard)
    cost = [[0] * (m + 1) for _ in range(n + 1)]
    for j in range(m + 1):
        cost[0][j] = j
    for i in range(1, n + 1):
        cost[i][0] = i
        for j in range(1, m + 1):
            cost[i][j] = min(cost[i - 1][j] + 1, cost[i][j - 1] + 1,
                             cost[i - 1][j - 1] + (reference[i - 1] != heard[j - 1]))
    errors = [0] * max(n, 1)
    i, j = n, m
    while i > 0 or j > 0:
        if i > 0 and j > 0 and cost[i][j] == cost[i - 1][j - 1] + (reference[i - 1] != heard[j - 1]):
            errors[i - 1] += reference[i - 1] != heard[j - 1]
            i, j = i - 1, j - 1
        elif i > 0 and cost[i][j] == cost[i - 1][j] + 1:
            errors[i - 1] += 1
            i -= 1
        else:
            errors[max(i - 1, 0)] += 1
            j -= 1
    return errors


def groups(family, voice):
    if family != 'human':
        return [f'{family}: {voice}']
    source, _, change = voice.partition('-')
    return ['human, change: ' + (change or 'none'), 'human, from: ' + source]


def main():
    family_dir, texts = sys.argv[1], sys.argv[2]
    voice_of = {}
    with open(f'{family_dir}/index.tsv') as index:
        for line in index:
            family, voice, path, _ = line.rstrip('\n').split('\t')
            voice_of[path] = (family, voice)
    table = collections.defaultdict(lambda: collections.defaultdict(lambda: [0, 0]))
    clips = []
    with open(texts) as lines:
        for line in lines:
            kind, name, words = line.rstrip('\n').split('\t')
            if kind == 'clip':
                clips.append((name, words.split()))
                continue
            reference, labels = [], []
            for clip, clip_words in clips:
                reference += clip_words
                labels += [voice_of[clip]] * len(clip_words)
            for position, errors in enumerate(align(reference, words.split())):
                for group in groups(*labels[position]) if labels else []:
                    table[group][kind][0] += errors
                    table[group][kind][1] += 1
            clips = []
    decoders = sorted({kind for row in table.values() for kind in row})
    print(f'{"voice or condition":32}' + ''.join(f'{d:>20}' for d in decoders))
    for group in sorted(table):
        cells = ''
        for d in decoders:
            errors, words = table[group][d]
            cells += f'{errors:>8}/{words:<5} {100 * errors / max(words, 1):5.1f}%'
        print(f'{group:32}{cells}')


if __name__ == '__main__':
    main()
