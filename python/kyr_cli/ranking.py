"""The most probable basis states of a file, found chunk by chunk."""

import numpy as np


def most_probable(chunks, count):
    """The `count` largest positive probabilities as (index, probability), largest
    first, ties in index order, from (start, amplitudes) chunks."""
    best_index = np.empty(0, dtype=np.int64)
    best_probability = np.empty(0)
    for start, block in chunks:
        probability = block.real * block.real + block.imag * block.imag
        index = largest_positive(probability, count)
        best_index = np.concatenate([best_index, index + start])
        best_probability = np.concatenate([best_probability, probability[index]])
        order = np.lexsort((best_index, -best_probability))[:count]
        best_index, best_probability = best_index[order], best_probability[order]
    return [(int(i), float(p)) for i, p in zip(best_index, best_probability)]


def largest_positive(probability, count):
    """Indices of the `count` largest positive values, preferring lower indices among ties."""
    candidates = np.flatnonzero(probability > 0)  # drops zeros and NaN
    if len(candidates) <= count:
        return candidates
    values = probability[candidates]
    threshold = np.partition(values, len(values) - count)[len(values) - count]
    above = candidates[values > threshold]
    tied = candidates[values == threshold][:count - len(above)]
    return np.sort(np.concatenate([above, tied]))
