"""Writes the files and arithmetic results of a fixed set of states, so that
two builds (one per processor architecture) can be compared byte for byte.

Usage: python arch_results.py OUTPUT_DIR

The states come from Python's Mersenne Twister and exact scalings, which give
the same doubles on every platform. OUTPUT_DIR receives one .kyr file per
state as saved, one per state after normalize() and one per converted chunk,
and results.json with the raw bits (16 hex digits, little-endian order of
the double) of every norm_squared() and fidelity(), and the verdicts of
verify() and is_normalized().
"""

import json
import math
import pathlib
import platform
import random
import struct
import sys

import kyr
import numpy as np

# Sizes around the widths of the summing lanes (16 doubles), and states whose
# files span several read chunks.
QUBITS = [1, 2, 3, 4, 5, 9, 16, 18]


def bits(value):
    return struct.pack("<d", value).hex()


def uniform(generator, count):
    return [generator.uniform(-1.0, 1.0) for _ in range(count)]


def wide(generator, count):
    # Magnitudes over 2**-80 .. 2**40: any change of summation order shows.
    return [math.ldexp(generator.uniform(-1.0, 1.0), generator.randint(-80, 40)) for _ in range(count)]


def tiny(generator, count):
    # Subnormal squares and amplitudes; the norm underflows towards zero.
    return [math.ldexp(generator.uniform(-1.0, 1.0), generator.randint(-1074, -500)) for _ in range(count)]


def huge(generator, count):
    # Squares that overflow to infinity.
    return [math.ldexp(generator.uniform(-1.0, 1.0), generator.randint(500, 1023)) for _ in range(count)]


GENERATORS = {"uniform": uniform, "wide": wide, "tiny": tiny, "huge": huge}

# Special values placed over a uniform state, by index.
SPECIALS = {
    "negative-zero": {0: (-0.0, -0.0)},
    "infinity": {1: (math.inf, 0.0)},
    "nan": {0: (math.nan, 1.0)},
}


def make_states():
    """(name, KyrFile) for every case, always in the same order."""
    states = []
    for qubits in QUBITS:
        for kind, generate in GENERATORS.items():
            generator = random.Random(f"{kind}-{qubits}")
            dimension = 1 << qubits
            states.append((f"{kind}-{qubits}", kyr.from_arrays(
                np.array(generate(generator, dimension)), np.array(generate(generator, dimension)))))
    for special, values in SPECIALS.items():
        generator = random.Random(special)
        state = kyr.from_arrays(np.array(uniform(generator, 32)), np.array(uniform(generator, 32)))
        for index, (real, imag) in values.items():
            state.set_amplitude(index, real, imag)
        states.append((special, state))
    return states


def near_one(name, state, scale):
    """A normalized copy of `state` scaled so that its squared norm lands
    close to 1 +- 1e-6, where verify() must fall back on the defined sum."""
    copy = kyr.from_numpy(state.amplitudes * scale)
    return f"{name}-scaled-{scale!r}", copy


def write_results(directory):
    directory.mkdir(parents=True, exist_ok=True)
    results = {"machine": platform.machine()}
    states = make_states()
    edges = []
    for index, (name, state) in enumerate(states):
        entry = {"norm_squared": bits(state.norm_squared()),
                 "is_normalized": state.is_normalized()}
        following = states[(index + 1) % len(states)][1]
        if following.num_qubits == state.num_qubits:
            entry["fidelity_with_next"] = bits(state.fidelity(following))
        entry["fidelity_with_itself"] = bits(state.fidelity(state))
        kyr.save(state, str(directory / f"{name}.kyr"), bond_dim=7, golay=False)
        entry["verify"] = kyr.verify(str(directory / f"{name}.kyr"))
        try:
            state.normalize()
        except ValueError as error:
            entry["normalize"] = str(error)
        else:
            entry["normalize"] = "done"
            state.save(str(directory / f"{name}-normalized.kyr"))
            entry["verify_after_normalize"] = kyr.verify(str(directory / f"{name}-normalized.kyr"))
            entry["norm_squared_after_normalize"] = bits(state.norm_squared())
            if name.startswith("uniform") and state.num_qubits >= 16:
                edges += [near_one(name, state, scale) for scale in
                          (math.sqrt(1 + 1e-6), math.sqrt(1 - 1e-6), 1 + 5e-7, 1 - 5e-7, 1 + 4.9e-7)]
        results[name] = entry
    for name, state in edges:
        path = directory / f"{name}.kyr"
        state.save(str(path))
        results[name] = {"norm_squared": bits(state.norm_squared()), "verify": kyr.verify(str(path))}
    # Many one-qubit states: with so few terms, a fused multiply-add or another
    # order of the additions changes the last bit of most results.
    previous = None
    for index in range(256):
        generator = random.Random(f"pair-{index}")
        state = kyr.from_arrays(np.array(uniform(generator, 2)), np.array(uniform(generator, 2)))
        entry = {"norm_squared": bits(state.norm_squared())}
        if previous is not None:
            entry["fidelity_with_previous"] = bits(state.fidelity(previous))
        state.normalize()
        entry["normalized"] = state.to_bytes().hex()
        results[f"pair-{index}"] = entry
        previous = state
    for length in (1, 255, 4096, 70001):
        data = bytes(random.Random(length).randrange(256) for _ in range(length))
        chunk = kyr.StreamingConverter(length).process_chunk(data)
        chunk.save(str(directory / f"chunk-{length}.kyr"))
        results[f"chunk-{length}"] = {"norm_squared": bits(chunk.norm_squared())}
    (directory / "results.json").write_text(json.dumps(results, indent=1, sort_keys=True))


if __name__ == "__main__":
    write_results(pathlib.Path(sys.argv[1]))
