"""from_qiskit on NumPy arrays: exact float64 ndarrays are read from memory,
everything else by iteration, with the same bits either way. Peak memory of
both directions on a large state."""

import os
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import numpy as np

import pytest

import kyr
from statevector_stand_ins import bits, parts


def flattening_to(array):
    """A Statevector stand-in whose data.flatten() returns `array` itself."""
    return SimpleNamespace(data=SimpleNamespace(flatten=lambda: array))


class Iterated(np.ndarray):
    """A subclass, so from_qiskit reads it through the iterator protocol."""


def iterated(array):
    return array.view(Iterated)


def awkward_doubles(count, seed):
    """Random bit patterns (NaN payloads, subnormals) led by the values whose
    bits are easiest to lose: signed zeros, infinities, quiet and signalling
    NaNs of both signs."""
    patterns = np.random.default_rng(seed).integers(0, 2**64, count, dtype=np.uint64)
    patterns[:8] = [
        0x8000000000000000, 0x0000000000000000, 0x7FF0000000000000, 0xFFF0000000000000,
        0x7FF8000000000000, 0xFFF8000000000001, 0x7FF0000000000001, 0x0000000000000001,
    ]
    return patterns.view(np.float64)


def complex_of(count, seed):
    pairs = np.empty(2 * count)
    pairs[0::2] = awkward_doubles(count, seed)
    pairs[1::2] = awkward_doubles(count, seed + 1)
    return pairs.view(np.complex128)


def assert_state_bits(state, real, imag):
    assert np.array_equal(bits(state.amplitudes_real), bits(real))
    assert np.array_equal(bits(state.amplitudes_imag), bits(imag))


# ----- the same bits on every path ---------------------------------------------


def unaligned(values):
    raw = bytearray(values.nbytes + 1)
    raw[1:] = values.tobytes()
    return np.frombuffer(raw, dtype=np.float64, offset=1)


N = 64
BASE = awkward_doubles(3 * N, 10)
PART_LAYOUTS = {
    "complex views": lambda: (lambda c: (c.real, c.imag))(complex_of(N, 20)),
    "contiguous": lambda: (BASE[:N], BASE[N:2 * N]),
    "every third": lambda: (BASE[::3], BASE[1::3]),
    "reversed": lambda: (BASE[N - 1::-1], BASE[:N - 1:-1][:N]),
    "zero stride": lambda: (np.broadcast_to(BASE[0], (N,)), np.broadcast_to(BASE[5], (N,))),
    "unaligned": lambda: (unaligned(BASE[:N]), unaligned(BASE[N:2 * N])),
}


@pytest.mark.parametrize("layout", PART_LAYOUTS.values(), ids=PART_LAYOUTS.keys())
def test_parts_read_from_memory_match_iteration(layout):
    real, imag = layout()
    assert type(real) is np.ndarray and real.shape == imag.shape == (N,)
    from_memory = kyr.from_qiskit(parts(real, imag))
    by_iteration = kyr.from_qiskit(parts(iterated(real), iterated(imag)))
    assert_state_bits(from_memory, real, imag)
    assert_state_bits(by_iteration, real, imag)


COMPLEX = complex_of(4 * N, 30)
DATA = {
    "1-D": lambda: SimpleNamespace(data=COMPLEX[:N]),
    "2-D C order": lambda: SimpleNamespace(data=COMPLEX[:N].reshape(8, 8)),
    "2-D Fortran order": lambda: SimpleNamespace(data=np.asfortranarray(COMPLEX[:N].reshape(8, 8))),
    "strided flatten()": lambda: flattening_to(COMPLEX[::4]),
    "reversed flatten()": lambda: flattening_to(COMPLEX[N - 1::-1]),
    "unaligned flatten()": lambda: flattening_to(
        np.frombuffer(bytearray(b"\0") + COMPLEX[:N].tobytes(), np.complex128, offset=1)),
}


@pytest.mark.parametrize("make", DATA.values(), ids=DATA.keys())
def test_complex_arrays_read_in_one_pass_match_iteration(make):
    source = make()
    flat = source.data.flatten()
    by_iteration = kyr.from_qiskit(parts(iterated(flat.real), iterated(flat.imag)))
    state = kyr.from_qiskit(source)
    assert state.num_qubits == 6
    assert_state_bits(state, flat.real, flat.imag)
    assert_state_bits(by_iteration, flat.real, flat.imag)


# ----- what is still iterated ----------------------------------------------------


class Doubling(np.ndarray):
    """Its own __iter__ changes the values, so skipping it would show."""

    def __iter__(self):
        return (2 * item for item in super().__iter__())


FOUR = np.array([1 + 4j, 2 + 5j, 3 + 6j, 0.5 - 1j])


@pytest.mark.parametrize("source, real_factor, imag_factor", [
    (parts(FOUR.real.view(Doubling), FOUR.imag), 2, 1),
    (parts(FOUR.real, FOUR.imag.view(Doubling)), 1, 2),
    (SimpleNamespace(data=FOUR.view(Doubling)), 2, 2),
], ids=["real", "imag", "data"])
def test_subclass_with_its_own_iteration_is_iterated(source, real_factor, imag_factor):
    state = kyr.from_qiskit(source)
    assert state.amplitudes_real.tolist() == (real_factor * FOUR.real).tolist()
    assert state.amplitudes_imag.tolist() == (imag_factor * FOUR.imag).tolist()


def split_as(dtype):
    return parts(FOUR.real.astype(dtype), FOUR.imag.astype(dtype))


@pytest.mark.parametrize("source", [
    split_as(">f8"), SimpleNamespace(data=FOUR.astype(">c16")),
    split_as(np.float32), split_as(np.longdouble), split_as(object),
], ids=["big-endian float64", "big-endian complex128", "float32", "longdouble", "object"])
def test_other_dtypes_convert_item_by_item(source):
    state = kyr.from_qiskit(source)
    assert state.amplitudes_real.tolist() == FOUR.real.tolist()
    assert state.amplitudes_imag.tolist() == FOUR.imag.tolist()


def test_two_dimensional_part_is_iterated_by_rows():
    rows = np.zeros((2, 2))
    with pytest.raises(TypeError) as caught:
        kyr.from_qiskit(parts(rows, np.zeros(2)))
    with pytest.raises(TypeError) as expected:
        float(rows[0])
    assert str(caught.value) == str(expected.value)


# ----- order of outside calls and checks ------------------------------------------


def test_imag_is_read_when_looked_up_after_the_real_parts():
    log = []
    data = np.array([1 + 2j, 3 + 4j])

    class Flat:
        @property
        def real(self):
            log.append("real")
            return data.real

        @property
        def imag(self):
            log.append("imag")
            data[:] = [10 + 20j, 30 + 40j]  # the real parts are already taken
            return data.imag

    state = kyr.from_qiskit(flattening_to(Flat()))
    assert log == ["real", "imag"]
    assert [state.get_amplitude(k) for k in range(2)] == [(1.0, 20.0), (3.0, 40.0)]


POWER_OF_TWO = "Statevector dimension must be a power of 2"


@pytest.mark.parametrize("source, message", [
    (parts(np.zeros(3), np.zeros(3)), POWER_OF_TWO),
    (parts(np.zeros(0), np.zeros(0)), POWER_OF_TWO),
    (parts(np.zeros(3), np.zeros(4)), POWER_OF_TWO),
    (parts(np.zeros(4), np.zeros(2)),
     "Statevector real and imaginary parts differ in length: 4 vs 2"),
    (parts(np.zeros(8)[::4], iterated(np.zeros(4))),
     "Statevector real and imaginary parts differ in length: 2 vs 4"),
    *((SimpleNamespace(data=np.zeros(count, np.complex128)), POWER_OF_TWO) for count in (0, 3, 6)),
])
def test_length_rules_for_arrays(source, message):
    with pytest.raises(ValueError) as caught:
        kyr.from_qiskit(source)
    assert str(caught.value) == message


def test_arrays_keep_no_references():
    data = COMPLEX[:N].copy()
    real, imag = BASE[:N].copy(), BASE[N:2 * N].copy()
    one_pass, per_part = SimpleNamespace(data=data), parts(real, imag)
    unequal = parts(real, imag[:2])
    watched = [data, real, imag, one_pass, per_part]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(1000):
        kyr.from_qiskit(one_pass)
        kyr.from_qiskit(per_part)
        with pytest.raises(ValueError):
            kyr.from_qiskit(unequal)
    assert [sys.getrefcount(o) for o in watched] == before


# ----- memory ------------------------------------------------------------------------


def run_child(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


PEAK_CASES = {
    # flatten() copies the 64 MiB of amplitudes and the state holds them
    # again; a second copy of a part or a grown buffer would show.
    "from_qiskit": ("source = SimpleNamespace(data=np.full(1 << 22, 0.5 - 0.25j))",
                    "kyr.from_qiskit(source)", 2.0),
    # At most a part's copy, re + im * 1j's product and the sum at a time;
    # keeping every intermediate array to the end would be 4x.
    "to_qiskit": ("source = kyr.from_numpy(np.full(2 << 22, 0.5))",
                  "kyr.to_qiskit(source)", 2.5),
}


@pytest.mark.parametrize("setup, operation, states", PEAK_CASES.values(), ids=PEAK_CASES.keys())
def test_peak_memory_of_a_22_qubit_conversion(setup, operation, states):
    pytest.importorskip("qiskit")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's own allocations count in the resident peak")
    [grown_mib] = run_child(f"""
        from types import SimpleNamespace
        import numpy as np
        import kyr

        def peak_rss():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) for line in status
                            if line.startswith("VmHWM:")) / 1024

        {setup}
        result = {operation}  # imports and NumPy's array API first
        del result
        try:
            with open("/proc/self/clear_refs", "w") as refs:
                refs.write("5")  # peak := current
        except OSError:
            print("unsupported")
            raise SystemExit
        before = peak_rss()
        result = {operation}
        print(peak_rss() - before)
    """)
    if grown_mib == "unsupported":
        pytest.skip("the resident peak cannot be reset here")
    assert float(grown_mib) <= states * 64 + 8


def test_imaginary_parts_of_a_complex_array_are_not_read_twice():
    # The imaginary parts come from the pass that reads the real ones. With
    # transparent huge pages off, the new state's two 64 MiB arrays fault in
    # two arrays' worth of pages; reading the imaginary parts again would
    # fault a third (their first copy, too large to keep, is unmapped).
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer maps memory of its own")
    [arrays] = run_child("""
        import ctypes
        import resource
        from types import SimpleNamespace
        import numpy as np
        import kyr

        if ctypes.CDLL(None).prctl(41, 1, 0, 0, 0) != 0:  # PR_SET_THP_DISABLE
            print("unsupported")
            raise SystemExit
        flat = np.full(1 << 23, 0.5 - 0.25j)
        source = SimpleNamespace(data=SimpleNamespace(flatten=lambda: flat))
        kyr.from_qiskit(source)  # imports and NumPy's array API first
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        state = kyr.from_qiskit(source)
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
        print(faults / (flat.size * 8 / 4096))
    """)
    if arrays == "unsupported":
        pytest.skip("transparent huge pages cannot be turned off here")
    assert float(arrays) < 2.5


def test_lying_length_under_an_address_space_limit():
    # The length hint only sizes the first buffer: 2**30 claimed items would
    # be 16 GiB; the 2**21 real ones must arrive, growing the buffer.
    assert run_child("""
        import resource
        import kyr

        with open("/proc/self/status") as status:
            size_kib = next(int(line.split()[1]) for line in status
                            if line.startswith("VmSize:"))
        limit = size_kib * 1024 + (512 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        class Claims:
            def __init__(self, count, sign):
                self.count, self.sign = count, sign

            def __len__(self):
                return 1 << 30

            def __getitem__(self, index):
                raise IndexError(index)

            def __iter__(self):
                return (self.sign * float(k) for k in range(self.count))

        class Flat:
            real = Claims(1 << 21, 1.0)
            imag = Claims(1 << 21, -1.0)

        class Data:
            def flatten(self):
                return Flat()

        class Vector:
            data = Data()

        state = kyr.from_qiskit(Vector())
        last = (1 << 21) - 1
        print(state.num_qubits, *state.get_amplitude(last), *state.get_amplitude(1))
    """) == ["21", f"{float((1 << 21) - 1)}", f"{-float((1 << 21) - 1)}", "1.0", "-1.0"]
