#!/usr/bin/env python3
"""Composes the program's background music and writes it as a WAV file.

A slow piece in F major, about two and a half minutes long: soft pads, a low bass, a gentle
arpeggio and a plain melody, with a light echo. It begins and ends in silence, so that a player
that starts it again from the beginning does not click. Only the standard library is used, and the
result is the same on every run.

Usage: compose.py OUTPUT.wav
"""

import array
import math
import os
import sys
import wave

RATE = 22050  # samples per second, mono
TEMPO = 72  # beats per minute
BEAT = 60.0 / TEMPO
BAR = 4 * BEAT
PEAK = 0.7  # the loudest sample, as a fraction of full scale: headroom for any player

# Chords as MIDI note numbers: bass root, then the pad's voicing around middle C.
CHORDS = {
    "F": (41, [53, 57, 60, 65]),
    "Dm": (38, [50, 57, 62, 65]),
    "Am": (45, [52, 57, 60, 64]),
    "Bb": (46, [50, 53, 58, 62]),
    "C": (36, [52, 55, 60, 64]),
    "Gm": (43, [50, 55, 58, 62]),
    "Csus": (36, [53, 55, 60, 65]),
}

# Each section: its chords, one a bar, and which voices play over them.
INTRO = ["F", "Bb", "F", "C"]
VERSE = ["F", "Dm", "Bb", "C", "F", "Am", "Bb", "C"]
BRIDGE = ["Dm", "Bb", "F", "C", "Gm", "Bb", "Csus", "C"]
OUTRO = ["F", "Bb", "F", "F"]
FORM = [
    (INTRO, {"pad"}),
    (VERSE, {"pad", "bass", "arp"}),
    (BRIDGE, {"pad", "bass", "arp", "melody"}),
    (VERSE, {"pad", "bass", "arp", "melody"}),
    (BRIDGE, {"pad", "bass", "arp"}),
    (VERSE, {"pad", "bass", "melody"}),
    (OUTRO, {"pad", "bass"}),
]

# The melody, a phrase for every eight bars: (MIDI note or None for a rest, length in beats).
PHRASES = {
    "bridge": [(69, 2), (72, 1), (74, 1), (72, 3), (None, 1), (70, 2), (69, 1), (67, 1), (65, 4),
               (67, 2), (69, 1), (70, 1), (72, 4), (74, 2), (72, 2), (67, 4), (None, 4)],
    "verse": [(72, 3), (69, 1), (65, 4), (74, 2), (72, 2), (69, 4), (70, 2), (69, 1), (67, 1),
              (65, 2), (62, 2), (64, 4), (67, 2), (None, 2)],
}

# Arpeggio pattern over the pad's four notes, one entry an eighth note, with an octave leap.
ARP = [0, 1, 2, 3, 2 + 12, 3, 2, 1]


def frequency(note):
    return 440.0 * 2.0 ** ((note - 69) / 12.0)


def samples(seconds):
    return int(round(seconds * RATE))


_cache = {}


def rendered(voice, note, length):
    """One note of a voice, `length` seconds long before its release, as a list of samples."""
    key = (voice, note, length)
    if key in _cache:
        return _cache[key]
    w = 2.0 * math.pi * frequency(note) / RATE
    sin = math.sin
    out = []
    if voice == "pad":
        # Two slightly detuned partials for warmth; slow attack, long release.
        attack, release = samples(0.9), samples(1.4)
        hold = max(samples(length) - attack, 0)
        n = attack + hold + release
        w2 = w * 1.003
        for i in range(n):
            if i < attack:
                env = 0.5 - 0.5 * math.cos(math.pi * i / attack)
            elif i < attack + hold:
                env = 1.0
            else:
                env = 0.5 + 0.5 * math.cos(math.pi * (i - attack - hold) / release)
            t = i * w
            out.append(env * (sin(t) + 0.6 * sin(i * w2) + 0.15 * sin(2 * t)))
    elif voice == "bass":
        n = samples(length + 0.6)
        attack = samples(0.04)
        decay = math.exp(-1.0 / samples(2.5))
        env = 1.0
        for i in range(n):
            env *= decay
            a = env * min(1.0, i / attack) * min(1.0, (n - i) / samples(0.3))
            t = i * w
            out.append(a * (sin(t) + 0.2 * sin(2 * t)))
    elif voice == "arp":
        # A soft bell: quick onset, exponential decay.
        n = samples(length)
        attack = samples(0.01)
        decay = math.exp(-1.0 / samples(0.45))
        env = 1.0
        for i in range(n):
            env *= decay
            a = env * min(1.0, i / attack) * min(1.0, (n - i) / samples(0.1))
            t = i * w
            out.append(a * (sin(t) + 0.12 * sin(3 * t)))
    else:  # melody: a flute-like sine with a slow, gentle vibrato
        n = samples(length + 0.3)
        attack, release = samples(0.12), samples(0.35)
        vib = 2.0 * math.pi * 4.5 / RATE
        phase = 0.0
        for i in range(n):
            env = min(1.0, i / attack) * min(1.0, (n - i) / release)
            phase += w * (1.0 + 0.003 * sin(i * vib) * min(1.0, i / samples(0.5)))
            out.append(env * (sin(phase) + 0.1 * sin(2 * phase)))
    _cache[key] = out
    return out


def compose():
    events = []  # (start sample, samples, gain)
    bar = 0
    for chords, voices in FORM:
        if "melody" in voices:
            phrase = PHRASES["bridge" if chords is BRIDGE else "verse"]
            beat = bar * 4
            for note, beats in phrase:
                if note is not None:
                    events.append((samples(beat * BEAT), rendered("melody", note, beats * BEAT * 0.95), 0.16))
                beat += beats
        for name in chords:
            root, voicing = CHORDS[name]
            start = bar * BAR
            if "pad" in voices:
                for note in voicing:
                    events.append((samples(start), rendered("pad", note, BAR), 0.055))
            if "bass" in voices:
                events.append((samples(start), rendered("bass", root, BAR), 0.2))
            if "arp" in voices:
                for step, index in enumerate(ARP):
                    note = voicing[index % 12] + 12 * (index // 12) + 12
                    gain = 0.07 if step % 2 == 0 else 0.05
                    events.append((samples(start + step * BEAT / 2), rendered("arp", note, 1.6), gain))
            bar += 1

    length = samples(bar * BAR + 4.0)  # room for the last release and the echo to die away
    mix = [0.0] * length
    for start, sound, gain in events:
        end = min(start + len(sound), length)
        mix[start:end] = [m + gain * s for m, s in zip(mix[start:end], sound)]

    # A light echo: each block adds a fraction of the block one delay earlier, already echoed.
    delay, feedback = samples(BEAT * 0.75), 0.28
    for k in range(delay, length, delay):
        block = mix[k:k + delay]
        mix[k:k + len(block)] = [a + feedback * b for a, b in zip(block, mix[k - delay:k - delay + len(block)])]

    # No offset, a fixed peak, and a fade over the last bars into silence.
    mean = sum(mix) / length
    top = max(abs(x - mean) for x in mix)
    scale = PEAK / top
    fade = samples(2 * BAR)
    pcm = array.array("h", bytes(2 * length))
    for i, x in enumerate(mix):
        g = scale * min(1.0, (length - i) / fade)
        pcm[i] = int(round((x - mean) * g * 32767))
    if sys.byteorder != "little":
        pcm.byteswap()
    return pcm


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    target = sys.argv[1]
    pcm = compose()
    partial = target + ".part"
    with wave.open(partial, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())
    os.replace(partial, target)


if __name__ == "__main__":
    main()
