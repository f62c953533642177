"""Exchange of amplitudes with NumPy float64 arrays."""

import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import kyr

NOT_ARRAY = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"
NOT_CONTIGUOUS = "The given array is not contiguous"
POWER_OF_TWO = "Number of amplitudes must be a power of 2"


def arr(*values):
    return np.array(values, dtype=np.float64)


def bits(array):
    return np.ascontiguousarray(array).view(np.uint64)


def random_bits(count, seed):
    """float64 values from random bit patterns: NaN payloads, infinities,
    subnormals and signed zeros all occur or are forced in."""
    values = np.random.default_rng(seed).integers(0, 2**64, count, dtype=np.uint64)
    forced = np.array([0x8000000000000000, 0x7FF0000000000000, 0xFFF0000000000000,
                        0x7FF0000000000001, 0xFFF8DEADBEEF0001, 0x0000000000000001],
                       dtype=np.uint64)
    values[: min(count, forced.size)] = forced[:count]
    return values.view(np.float64)


def amplitudes_of(state):
    return [state.get_amplitude(i) for i in range(state.dimension)]


def unaligned(values):
    """A writeable float64 array holding `values` at an odd address."""
    raw = bytearray(values.nbytes + 1)
    out = np.frombuffer(raw, dtype=np.float64, offset=1, count=values.size)
    out[:] = values
    assert not out.flags.aligned
    return out


# Each caller of the accept rule, with the argument under test in `bad` and
# well-formed arrays of length 4 in the other positions.
CALLERS = [
    ("amplitudes", lambda bad: kyr.from_numpy(bad)),
    ("real", lambda bad: kyr.from_arrays(bad, arr(1, 0, 0, 0))),
    ("imag", lambda bad: kyr.from_arrays(arr(1, 0, 0, 0), bad)),
    ("real", lambda bad: kyr.KyrFile(2).set_amplitudes(bad, arr(0, 0, 0, 0))),
    ("imag", lambda bad: kyr.KyrFile(2).set_amplitudes(arr(1, 0, 0, 0), bad)),
]
REFUSED = [
    (np.zeros(4, dtype=np.complex128), "ndarray"),
    (np.zeros(4, dtype=np.int64), "ndarray"),
    (np.zeros(4, dtype=np.float32), "ndarray"),
    (np.zeros((1, 4)), "ndarray"),
    (np.array(1.0), "ndarray"),
    (np.zeros(4, dtype=">f8"), "ndarray"),
    ([1.0, 0.0, 0.0, 0.0], "list"),
    ((1.0, 0.0, 0.0, 0.0), "tuple"),
    (1.0, "float"),
    (memoryview(bytes(32)).cast("d"), "memoryview"),
]


@pytest.mark.parametrize("name, call", CALLERS)
@pytest.mark.parametrize("bad, type_name", REFUSED)
def test_refused_array_kinds(name, call, bad, type_name):
    with pytest.raises(TypeError) as info:
        call(bad)
    assert str(info.value) == NOT_ARRAY.format(name, type_name)
    assert isinstance(info.value.__cause__, TypeError)


@pytest.mark.parametrize("name, call", CALLERS)
@pytest.mark.parametrize("view", [lambda a: a[::2], lambda a: a[::-1]])
def test_stepped_views_refused(name, call, view):
    base = np.zeros(8) if name != "amplitudes" else np.zeros(16)
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        call(view(base))


@pytest.mark.parametrize("name, call", CALLERS)
def test_readonly_unaligned_and_subclass_inputs_accepted(name, call):
    class Sub(np.ndarray):
        pass

    values = arr(0, 0, 0, 0) if name != "amplitudes" else arr(*range(8))
    readonly = values.copy()
    readonly.flags.writeable = False
    for accepted in (readonly, unaligned(values), values.view(Sub),
                     np.concatenate(([9.0], values))[1:]):
        call(accepted)


def test_from_numpy_builds_state_with_defaults():
    f = kyr.from_numpy(arr(0.6, 0.0, 0.0, 0.8))
    assert (f.num_qubits, f.dimension) == (1, 2)
    assert amplitudes_of(f) == [(0.6, 0.0), (0.0, 0.8)]
    assert (f.bond_dimension, f.golay_enabled, f.source_path) == (64, True, None)
    assert f.metadata_dict() == {}
    zero = kyr.from_numpy(arr(1.0, 0.0))
    assert (zero.num_qubits, zero.dimension, amplitudes_of(zero)) == (0, 1, [(1.0, 0.0)])
    assert kyr.from_numpy(arr(2.0, 0, 0, 0)).norm_squared() == 4.0


def test_from_arrays_builds_state():
    f = kyr.from_arrays(real=arr(1, 2, 3, 4), imag=arr(5, 6, 7, 8))
    assert f.num_qubits == 2
    assert amplitudes_of(f) == [(1, 5), (2, 6), (3, 7), (4, 8)]
    assert kyr.from_arrays(arr(1.0), arr(0.0)).num_qubits == 0
    same = arr(1, 2)
    assert amplitudes_of(kyr.from_arrays(same, same)) == [(1, 1), (2, 2)]


@pytest.mark.parametrize("length, message", [
    (3, "Array length must be even (interleaved real/imag)"),
    (6, POWER_OF_TWO),
    (0, POWER_OF_TWO),
])
def test_from_numpy_length_checks(length, message):
    with pytest.raises(ValueError) as info:
        kyr.from_numpy(np.zeros(length))
    assert str(info.value) == message


@pytest.mark.parametrize("real, imag, message", [
    (4, 2, "Arrays must have same length"),
    (3, 3, POWER_OF_TWO),
    (0, 0, POWER_OF_TWO),
])
def test_from_arrays_length_checks(real, imag, message):
    with pytest.raises(ValueError) as info:
        kyr.from_arrays(np.zeros(real), np.zeros(imag))
    assert str(info.value) == message


def test_complex_view_gives_same_amplitudes():
    z = np.array([0.5 + 0.25j, -1j, 3.0, 0.0])
    with pytest.raises(TypeError, match="'ndarray'"):
        kyr.from_numpy(z)
    f = kyr.from_numpy(z.view(np.float64))
    assert amplitudes_of(f) == [(v.real, v.imag) for v in z]


@pytest.mark.parametrize("count", [1, 2, 4, 8, 32, 1024, 4096])
def test_round_trips_are_bit_exact(count):
    pairs = random_bits(2 * count, count)
    f = kyr.from_numpy(pairs)
    assert bits(f.amplitudes).tobytes() == bits(pairs).tobytes()
    assert bits(f.amplitudes_real).tobytes() == bits(pairs[0::2]).tobytes()
    assert bits(f.amplitudes_imag).tobytes() == bits(pairs[1::2]).tobytes()
    for source in (pairs, unaligned(pairs)):
        again = kyr.from_numpy(kyr.from_numpy(source).amplitudes)
        assert bits(again.amplitudes).tobytes() == bits(pairs).tobytes()
    re, im = unaligned(pairs[0::2]), unaligned(pairs[1::2])
    g = kyr.from_arrays(re, im)
    assert bits(g.amplitudes).tobytes() == bits(pairs).tobytes()
    h = kyr.from_numpy(np.zeros(2 * count))
    h.set_amplitudes(re, im)
    assert bits(h.amplitudes).tobytes() == bits(pairs).tobytes()


@pytest.mark.parametrize("member", ["amplitudes", "amplitudes_real", "amplitudes_imag"])
def test_output_arrays_are_fresh_and_owned(member):
    f = kyr.KyrFile(1)
    expected = {"amplitudes": [1.0, 0.0, 0.0, 0.0], "amplitudes_real": [1.0, 0.0],
                "amplitudes_imag": [0.0, 0.0]}[member]
    first, second = getattr(f, member), getattr(f, member)
    assert first is not second
    for out in (first, second):
        assert out.dtype == np.dtype("=f8") and out.shape == (len(expected),)
        assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
        assert out.base is None
        assert out.tolist() == expected
    only = getattr(f, member)
    assert sys.getrefcount(only) == 2  # nothing else holds the new array
    first[:] = 7.0
    assert second.tolist() == expected and getattr(f, member).tolist() == expected
    f.set_amplitude(1, 0.5, 0.5)
    assert second.tolist() == expected
    with pytest.raises(AttributeError):
        setattr(f, member, second)


def test_set_amplitudes_replaces_only_the_amplitudes():
    f = kyr.KyrFile(2)
    f.bond_dimension = 7
    f.golay_enabled = False
    f.set_metadata("k", "v")
    real, imag = arr(1, 2, 3, 4), arr(5, 6, 7, 8)
    assert f.set_amplitudes(real, imag=imag) is None
    real[:] = 0
    imag[:] = 0
    assert amplitudes_of(f) == [(1, 5), (2, 6), (3, 7), (4, 8)]
    assert (f.num_qubits, f.bond_dimension, f.golay_enabled) == (2, 7, False)
    assert f.metadata_dict() == {"k": "v"}


@pytest.mark.parametrize("real, imag, error, message", [
    (arr(1, 0, 0, 0), np.zeros(8), ValueError, "Expected 4 amplitudes, got 4 real and 8 imag"),
    (np.zeros(2), np.zeros(2), ValueError, "Expected 4 amplitudes, got 2 real and 2 imag"),
    (np.zeros(4, dtype=np.int64), arr(0, 0, 0, 0), TypeError, NOT_ARRAY.format("real", "ndarray")),
    (np.zeros(8)[::2], [0.0], TypeError, NOT_ARRAY.format("imag", "list")),
    (np.zeros(16)[::2], np.zeros(3), TypeError, NOT_CONTIGUOUS),
    (np.zeros(4), np.zeros(16)[::2], TypeError, NOT_CONTIGUOUS),
])
def test_set_amplitudes_failures_leave_state_unchanged(real, imag, error, message):
    f = kyr.from_arrays(arr(1, 2, 3, 4), arr(5, 6, 7, 8))
    before = f.amplitudes
    with pytest.raises(error) as info:
        f.set_amplitudes(real, imag)
    assert str(info.value) == message
    assert bits(f.amplitudes).tobytes() == bits(before).tobytes()


def test_type_errors_precede_contiguity_and_keep_argument_order():
    stepped = np.zeros(8)[::2]
    with pytest.raises(TypeError, match="argument 'imag': 'list'"):
        kyr.from_arrays(stepped, [0.0])
    with pytest.raises(TypeError, match="argument 'real': 'list'"):
        kyr.from_arrays([0.0], [0.0])
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        kyr.from_arrays(stepped, np.zeros(3))


class CallsDuring:
    """An index whose __index__ runs `action` while kyr holds a borrow."""

    def __init__(self, action):
        self.action = action
        self.error = None

    def __index__(self):
        try:
            self.action()
        except RuntimeError as error:
            self.error = error
        return 0


def test_borrow_conflicts():
    f = kyr.KyrFile(1)
    # set_amplitudes takes its exclusive borrow before looking at the arrays.
    probe = CallsDuring(lambda: f.set_amplitudes([], None))
    f.get_amplitude(probe)
    assert str(probe.error) == "Already borrowed"
    for member in ("amplitudes", "amplitudes_real", "amplitudes_imag"):
        probe = CallsDuring(lambda: getattr(f, member))
        f.set_amplitude(probe, 1.0, 0.0)
        assert str(probe.error) == "Already mutably borrowed"
    f.set_amplitudes(arr(0, 1), arr(0, 0))
    assert amplitudes_of(f) == [(0, 0), (1, 0)]


@pytest.mark.parametrize("call, message", [
    (lambda: kyr.from_numpy(), "from_numpy() missing 1 required positional argument: 'amplitudes'"),
    (lambda: kyr.from_numpy(arr(1, 0), arr(1, 0)),
     "from_numpy() takes 1 positional arguments but 2 were given"),
    (lambda: kyr.from_numpy(values=[1]),
     "from_numpy() got an unexpected keyword argument 'values'"),
    (lambda: kyr.from_arrays(), "from_arrays() missing 2 required positional arguments: "
     "'real' and 'imag'"),
    (lambda: kyr.from_arrays([1]), "from_arrays() missing 1 required positional argument: 'imag'"),
    (lambda: kyr.from_arrays([1], real=[1]),
     "from_arrays() got multiple values for argument 'real'"),
    (lambda: kyr.KyrFile(1).set_amplitudes(arr(1, 0)),
     "KyrFile.set_amplitudes() missing 1 required positional argument: 'imag'"),
    (lambda: kyr.KyrFile(1).set_amplitudes(1, 2, 3),
     "KyrFile.set_amplitudes() takes 2 positional arguments but 3 were given"),
])
def test_argument_binding(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_docstrings():
    assert kyr.from_numpy.__doc__ == (
        "Create a KYR file from a NumPy array.\n\nParameters\n----------\n"
        "amplitudes : numpy.ndarray\n    Complex amplitudes as interleaved real/imag pairs\n"
        "    Shape should be (2 * 2^n,) where n is number of qubits\n\n"
        "Returns\n-------\nKyrFile\n    New quantum state")
    assert kyr.from_numpy.__text_signature__ == "(amplitudes)"
    assert kyr.from_arrays.__doc__ == (
        "Create a KYR file from separate real and imaginary arrays.\n\nParameters\n----------\n"
        "real : numpy.ndarray\n    Real parts of amplitudes\n"
        "imag : numpy.ndarray\n    Imaginary parts of amplitudes\n\n"
        "Returns\n-------\nKyrFile\n    New quantum state")
    assert kyr.from_arrays.__text_signature__ == "(real, imag)"
    assert kyr.from_numpy.__module__ == kyr.from_arrays.__module__ == "kyr"
    assert kyr.KyrFile.amplitudes.__doc__ == (
        "Get the state amplitudes as a complex NumPy array.\n\n"
        "Returns\n-------\nnumpy.ndarray\n    Complex128 array of shape (2^num_qubits,)")
    assert kyr.KyrFile.amplitudes_real.__doc__ == "Get the real parts of amplitudes."
    assert kyr.KyrFile.amplitudes_imag.__doc__ == "Get the imaginary parts of amplitudes."
    assert kyr.KyrFile.set_amplitudes.__doc__ == (
        "Set amplitudes from separate real and imaginary arrays.")
    assert kyr.KyrFile.set_amplitudes.__text_signature__ == "($self, real, imag)"


def test_exhausted_memory_raises_memory_error():
    # Claims petabytes without owning them; refused before anything is read.
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**51,), strides=(8,))
    with pytest.raises(MemoryError):
        kyr.from_numpy(huge)
    with pytest.raises(MemoryError):
        kyr.from_arrays(huge, huge)


def test_no_references_or_memory_kept():
    pairs, re, im = np.zeros(2048), np.zeros(1024), np.zeros(1024)
    f = kyr.KyrFile(10)
    counts = [sys.getrefcount(a) for a in (pairs, re, im)]
    for _ in range(3):
        kyr.from_numpy(pairs)
        kyr.from_arrays(re, im)
        f.set_amplitudes(re, im)
        with pytest.raises(ValueError):
            f.set_amplitudes(re, pairs)
    assert [sys.getrefcount(a) for a in (pairs, re, im)] == counts

    f.amplitudes  # warm up any lazy state before measuring
    tracemalloc.start()
    try:
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(50):
            f.amplitudes, f.amplitudes_real, f.amplitudes_imag
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert end - start < 16 * 1024  # less than one amplitudes array


def run_fresh(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)


def test_import_does_not_import_numpy():
    run_fresh("import sys, kyr; kyr.KyrFile(2); assert 'numpy' not in sys.modules")


def test_unreachable_numpy_raises_import_error():
    result = run_fresh(
        "import sys, kyr\n"
        "sys.modules['numpy'] = None\n"
        "for call in (lambda: kyr.from_numpy([1.0, 0.0]), lambda: kyr.KyrFile(1).amplitudes):\n"
        "    try:\n"
        "        call()\n"
        "    except ImportError as error:\n"
        "        print(str(error).startswith('Failed to access NumPy array API capsule'),\n"
        "              type(error.__cause__).__name__)\n")
    assert result.stdout.split("\n")[:2] == ["True ModuleNotFoundError"] * 2
