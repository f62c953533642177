import math
import random
import struct

import pytest

import kyr
from kyr import KyrFile


def bits(value):
    return struct.pack("<d", value)


def state_with(amplitudes):
    """A state holding the given complex amplitudes (a power-of-two count >= 2)."""
    state = KyrFile(len(amplitudes).bit_length() - 1)
    for index, amplitude in enumerate(amplitudes):
        state.set_amplitude(index, amplitude.real, amplitude.imag)
    return state


def snapshot(state):
    return ([bits(part) for i in range(state.dimension) for part in state.get_amplitude(i)],
            state.bond_dimension, state.golay_enabled, state.metadata_dict(), state.source_path)


# ----- construction --------------------------------------------------------

def test_default_state():
    state = KyrFile()
    assert (state.num_qubits, state.dimension) == (1, 2)
    assert state.get_amplitude(0) == (1.0, 0.0)
    assert state.get_amplitude(1) == (0.0, 0.0)
    assert (state.bond_dimension, state.golay_enabled, state.source_path) == (64, True, None)
    assert state.metadata_dict() == {}


@pytest.mark.parametrize("argument, qubits", [(3, 3), (True, 1), (30, 30)])
def test_constructor_accepts_integers(argument, qubits):
    state = KyrFile(num_qubits=argument)
    assert state.num_qubits == qubits
    assert state.dimension == 2**qubits
    assert state.get_amplitude(0) == (1.0, 0.0)


def test_constructor_accepts_index_objects():
    class Three:
        def __index__(self):
            return 3
    assert KyrFile(Three()).num_qubits == 3


@pytest.mark.parametrize("argument, error, message", [
    (0, ValueError, "num_qubits must be 1-30, got 0"),
    (31, ValueError, "num_qubits must be 1-30, got 31"),
    (2**64 - 1, ValueError, "num_qubits must be 1-30, got 18446744073709551615"),
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, None),
    (2.0, TypeError, "argument 'num_qubits': 'float' object cannot be interpreted as an integer"),
    (None, TypeError, "argument 'num_qubits': 'NoneType' object cannot be interpreted as an integer"),
    ("2", TypeError, "argument 'num_qubits': 'str' object cannot be interpreted as an integer"),
])
def test_constructor_errors(argument, error, message):
    with pytest.raises(error) as raised:
        KyrFile(argument)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message


def test_conversion_error_keeps_the_original_as_cause():
    with pytest.raises(TypeError) as raised:
        KyrFile(2.0)
    cause = raised.value.__cause__
    assert type(cause) is TypeError
    assert str(cause) == "'float' object cannot be interpreted as an integer"


def test_other_exceptions_from_conversion_pass_unchanged():
    class Broken:
        def __index__(self):
            raise KeyError("boom")
    with pytest.raises(KeyError):
        KyrFile(Broken())


@pytest.mark.parametrize("call, message", [
    (lambda: KyrFile(1, 2), "KyrFile.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: KyrFile(qubits=1), "KyrFile.__new__() got an unexpected keyword argument 'qubits'"),
    (lambda: KyrFile(1, num_qubits=1), "KyrFile.__new__() got multiple values for argument 'num_qubits'"),
    (lambda: KyrFile().get_amplitude(), "KyrFile.get_amplitude() missing 1 required positional argument: 'index'"),
    (lambda: KyrFile().get_amplitude(0, 1), "KyrFile.get_amplitude() takes 1 positional arguments but 2 were given"),
    (lambda: KyrFile().set_amplitude(), "KyrFile.set_amplitude() missing 3 required positional arguments: 'index', 'real', and 'imag'"),
    (lambda: KyrFile().set_amplitude(0), "KyrFile.set_amplitude() missing 2 required positional arguments: 'real' and 'imag'"),
    (lambda: KyrFile().set_amplitude(0, imag=1), "KyrFile.set_amplitude() missing 1 required positional argument: 'real'"),
    (lambda: KyrFile().set_amplitude(0, 1, 2, 3), "KyrFile.set_amplitude() takes 3 positional arguments but 4 were given"),
    (lambda: KyrFile().is_normalized(1, 2), "KyrFile.is_normalized() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: KyrFile().fidelity(KyrFile(), other=KyrFile()), "KyrFile.fidelity() got multiple values for argument 'other'"),
])
def test_argument_binding_messages(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


@pytest.mark.parametrize("method", ["normalize", "norm_squared", "metadata_dict"])
def test_methods_without_arguments_refuse_arguments(method):
    with pytest.raises(TypeError):
        getattr(KyrFile(), method)(1)


# ----- text forms ----------------------------------------------------------

@pytest.mark.parametrize("amplitudes, norm", [
    ([1, 0, 0, 0], "1.000000"),
    ([math.sqrt(0.5), 0, 0, 0], "0.707107"),
    ([0, 0, 0, 0], "0.000000"),
    ([float("nan"), 0, 0, 0], "NaN"),
    ([float("inf"), 0, 0, 0], "inf"),
    ([3, 4j, 0, 0], "5.000000"),
])
def test_summary_form(amplitudes, norm):
    state = state_with(amplitudes)
    assert str(state) == f"KyrFile: 2 qubits, dim=4, norm={norm}, 0 metadata entries"


def test_summary_counts_metadata_without_singular():
    state = KyrFile(2)
    state.set_metadata("a", "1")
    assert str(state).endswith(", 1 metadata entries")


@pytest.mark.parametrize("bond, golay, text", [
    (64, True, "KyrFile(num_qubits=3, dimension=8, bond_dim=64, golay=true)"),
    (1024, False, "KyrFile(num_qubits=3, dimension=8, bond_dim=1024, golay=false)"),
])
def test_constructor_like_form(bond, golay, text):
    state = KyrFile(3)
    state.bond_dimension = bond
    state.golay_enabled = golay
    assert repr(state) == text


# ----- amplitudes ----------------------------------------------------------

def test_amplitude_index_range():
    state = KyrFile(2)
    assert state.get_amplitude(3) == (0.0, 0.0)
    assert state.get_amplitude(index=0) == (1.0, 0.0)
    for index in (4, 2**64 - 1):
        with pytest.raises(ValueError) as raised:
            state.get_amplitude(index)
        assert str(raised.value) == f"Index {index} out of range for 2 qubits"
    with pytest.raises(OverflowError):
        state.get_amplitude(-1)


def test_amplitude_values_are_stored_unchanged():
    state = KyrFile(1)
    nan = struct.unpack("<d", bytes.fromhex("0100000000f8ff7f"))[0]
    for real, imag in [(-0.0, float("inf")), (nan, -float("inf")), (5e-324, 1.7976931348623157e308)]:
        state.set_amplitude(1, real, imag)
        assert [bits(part) for part in state.get_amplitude(1)] == [bits(real), bits(imag)]


def test_set_amplitude_converts_numbers():
    class Half:
        def __float__(self):
            return 0.5
    state = KyrFile(1)
    state.set_amplitude(0, 1, 0)
    assert state.get_amplitude(0) == (1.0, 0.0)
    state.set_amplitude(index=1, real=Half(), imag=True)
    assert state.get_amplitude(1) == (0.5, 1.0)


@pytest.mark.parametrize("arguments, error, message", [
    ((99, "x", 0), TypeError, "argument 'real': must be real number, not str"),
    ((99, 0, None), TypeError, "argument 'imag': must be real number, not NoneType"),
    ((1.0, 0, 0), TypeError, "argument 'index': 'float' object cannot be interpreted as an integer"),
    ((-1, 0, 0), OverflowError, None),
    ((4, 1, 1), ValueError, "Index 4 out of range for 2 qubits"),
])
def test_set_amplitude_failures_leave_the_state_unchanged(arguments, error, message):
    state = KyrFile(2)
    before = snapshot(state)
    with pytest.raises(error) as raised:
        state.set_amplitude(*arguments)
    if message is not None:
        assert str(raised.value) == message
    assert snapshot(state) == before


# ----- arithmetic ----------------------------------------------------------

def reference_norm_squared(amplitudes):
    total = -0.0
    for a in amplitudes:
        total += a.real * a.real + a.imag * a.imag
    return total


def reference_fidelity(a, b):
    re = im = 0.0
    for x, y in zip(a, b):
        re += x.real * y.real + x.imag * y.imag
        im += x.real * y.imag - x.imag * y.real
    return re * re + im * im


def random_amplitudes(rng, count):
    return [complex(rng.uniform(-1, 1), rng.uniform(-1, 1)) * 10.0 ** rng.randint(-8, 8)
            for _ in range(count)]


@pytest.mark.parametrize("seed", range(5))
def test_norm_and_fidelity_match_the_sequential_reference_bit_for_bit(seed):
    rng = random.Random(seed)
    a, b = random_amplitudes(rng, 32), random_amplitudes(rng, 32)
    first, second = state_with(a), state_with(b)
    assert bits(first.norm_squared()) == bits(reference_norm_squared(a))
    assert bits(first.fidelity(second)) == bits(reference_fidelity(a, b))
    assert bits(second.fidelity(first)) == bits(first.fidelity(second))


@pytest.mark.parametrize("seed", range(3))
def test_normalize_divides_each_part_by_the_norm(seed):
    amplitudes = random_amplitudes(random.Random(seed), 16)
    state = state_with(amplitudes)
    state.normalize()
    norm = math.sqrt(reference_norm_squared(amplitudes))
    for index, amplitude in enumerate(amplitudes):
        expected = (amplitude.real / norm, amplitude.imag / norm)
        assert [bits(p) for p in state.get_amplitude(index)] == [bits(p) for p in expected]


def test_normalize_example():
    state = state_with([3, 4j])
    assert state.normalize() is None
    assert state.get_amplitude(0) == (0.6, 0.0)
    assert state.get_amplitude(1) == (0.0, 0.8)


@pytest.mark.parametrize("amplitude", [0.0, 1e-8, 3e-8])
def test_normalize_refuses_squared_norms_below_threshold(amplitude):
    state = state_with([amplitude, 0])
    before = snapshot(state)
    with pytest.raises(ValueError) as raised:
        state.normalize()
    assert str(raised.value) == "Cannot normalize zero state"
    assert snapshot(state) == before


def test_normalize_accepts_squared_norm_just_above_threshold():
    state = state_with([4e-8, 0])
    state.normalize()
    assert state.get_amplitude(0) == (1.0, 0.0)


def test_zero_state_norm_is_positive_zero():
    state = KyrFile(1)
    state.set_amplitude(0, 0.0, 0.0)
    assert bits(state.norm_squared()) == bits(0.0)


@pytest.mark.parametrize("amplitude, tolerance, expected", [
    (1.0, None, True),
    (1.0, 0.0, False),
    (1.0, -1.0, False),
    (1.0, float("nan"), False),
    (math.sqrt(1 + 4e-10), None, False),
    (math.sqrt(1 + 4e-10), 1e-9, True),
    (float("nan"), 1.0, False),
])
def test_is_normalized(amplitude, tolerance, expected):
    state = state_with([amplitude, 0])
    result = state.is_normalized() if tolerance is None else state.is_normalized(tolerance=tolerance)
    assert result is expected


def test_is_normalized_tolerance_must_be_a_number():
    with pytest.raises(TypeError) as raised:
        KyrFile().is_normalized("x")
    assert str(raised.value) == "argument 'tolerance': must be real number, not str"


def test_fidelity_examples():
    zero, one = KyrFile(1), state_with([0, 1])
    assert zero.fidelity(zero) == 1.0
    assert zero.fidelity(other=one) == 0.0
    scaled = state_with([2, 0])
    assert scaled.fidelity(scaled) == 16.0


def test_fidelity_errors():
    with pytest.raises(ValueError) as raised:
        KyrFile(2).fidelity(KyrFile(3))
    assert str(raised.value) == "Dimension mismatch: 2 vs 3 qubits"
    with pytest.raises(TypeError) as raised:
        KyrFile().fidelity(5)
    assert str(raised.value) == "argument 'other': 'int' object cannot be converted to 'KyrFile'"


# ----- metadata ------------------------------------------------------------

def test_metadata_replaces_and_copies():
    state = KyrFile()
    state.set_metadata("a", "1")
    state.set_metadata(key="a", value="2")
    assert state.get_metadata("a") == "2"
    assert state.get_metadata("b") is None
    table = state.metadata_dict()
    assert table == {"a": "2"}
    table["c"] = "3"
    assert state.metadata_dict() == {"a": "2"}
    assert state.metadata_dict() is not state.metadata_dict()


def test_metadata_accepts_str_subclasses_and_unicode():
    class Name(str):
        pass
    state = KyrFile()
    state.set_metadata(Name("ψ"), "⟨0|1⟩")
    assert state.get_metadata("ψ") == "⟨0|1⟩"


@pytest.mark.parametrize("arguments, error, message", [
    ((1, "v"), TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"),
    (("k", b"v"), TypeError, "argument 'value': 'bytes' object cannot be converted to 'PyString'"),
    (("\ud800", "v"), UnicodeEncodeError, None),
])
def test_metadata_errors(arguments, error, message):
    state = KyrFile()
    with pytest.raises(error) as raised:
        state.set_metadata(*arguments)
    if message is not None:
        assert str(raised.value) == message
    assert state.metadata_dict() == {}


# ----- properties ----------------------------------------------------------

@pytest.mark.parametrize("value, error, message", [
    (1025, ValueError, "bond_dimension must be 1-1024"),
    (0, ValueError, "bond_dimension must be 1-1024"),
    (-5, OverflowError, None),
    (2.5, TypeError, None),
])
def test_bond_dimension_setter_errors_keep_the_old_value(value, error, message):
    state = KyrFile()
    state.bond_dimension = 16
    with pytest.raises(error) as raised:
        state.bond_dimension = value
    if message is not None:
        assert str(raised.value) == message
    assert state.bond_dimension == 16


@pytest.mark.parametrize("value", [1, 1024, True])
def test_bond_dimension_setter_accepts_range(value):
    state = KyrFile()
    state.bond_dimension = value
    assert state.bond_dimension == int(value)


def test_golay_setter_is_strict():
    np = pytest.importorskip("numpy")
    state = KyrFile()
    for value in (1, 0, None, "yes"):
        with pytest.raises(TypeError) as raised:
            state.golay_enabled = value
        assert str(raised.value) == (
            f"argument 'value': '{type(value).__qualname__}' object cannot be converted to 'PyBool'")
        assert state.golay_enabled is True
    state.golay_enabled = np.False_
    assert state.golay_enabled is False
    state.golay_enabled = np.True_
    assert state.golay_enabled is True


@pytest.mark.parametrize("name", ["bond_dimension", "golay_enabled"])
def test_settable_properties_cannot_be_deleted(name):
    with pytest.raises(AttributeError) as raised:
        delattr(KyrFile(), name)
    assert str(raised.value) == "can't delete attribute"


@pytest.mark.parametrize("name", ["num_qubits", "dimension", "source_path"])
def test_read_only_properties(name):
    state = KyrFile()
    with pytest.raises(AttributeError):
        setattr(state, name, 1)
    with pytest.raises(AttributeError):
        delattr(state, name)


# ----- borrows -------------------------------------------------------------

class Callback:
    """Runs `action` when converted to an integer or a float."""

    def __init__(self, action, value=0):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


def test_reader_cannot_be_interrupted_by_a_writer():
    state = KyrFile(2)
    with pytest.raises(RuntimeError) as raised:
        state.get_amplitude(Callback(lambda: state.set_amplitude(0, 5, 5)))
    assert str(raised.value) == "Already borrowed"
    assert state.get_amplitude(0) == (1.0, 0.0)


def test_writer_cannot_be_interrupted_by_a_reader():
    state = KyrFile(2)
    with pytest.raises(RuntimeError) as raised:
        state.set_amplitude(Callback(lambda: state.norm_squared()), 0, 0)
    assert str(raised.value) == "Already mutably borrowed"
    assert state.get_amplitude(0) == (1.0, 0.0)
    state.set_amplitude(0, 0.5, 0)  # the borrow was released
    assert state.get_amplitude(0) == (0.5, 0.0)


def test_readers_share():
    state = KyrFile(2)
    seen = []
    assert state.is_normalized(Callback(lambda: seen.append(str(state)), 1)) is True
    assert seen == [str(state)]
    assert state.fidelity(state) == 1.0


@pytest.mark.parametrize("attempt", [
    lambda s: s.normalize(),
    lambda s: setattr(s, "bond_dimension", 8),
    lambda s: setattr(s, "golay_enabled", False),
    lambda s: s.set_metadata("k", "v"),
])
def test_writers_are_refused_during_a_read(attempt):
    state = KyrFile(2)
    with pytest.raises(RuntimeError) as raised:
        state.is_normalized(Callback(lambda: attempt(state)))
    assert str(raised.value) == "Already borrowed"
    assert (state.bond_dimension, state.golay_enabled, state.metadata_dict()) == (64, True, {})


def test_binding_comes_before_the_borrow():
    state = KyrFile(2)
    with pytest.raises(TypeError) as raised:
        state.set_amplitude(Callback(lambda: state.get_amplitude()), 0, 0)
    assert "missing 1 required positional argument: 'index'" in str(raised.value)


def test_setter_converts_before_borrowing():
    state = KyrFile(2)
    state.bond_dimension = Callback(lambda: state.set_amplitude(0, 0.5, 0), 32)
    assert state.bond_dimension == 32
    assert state.get_amplitude(0) == (0.5, 0.0)


def test_fidelity_borrows_other_after_converting():
    first, second = KyrFile(1), KyrFile(1)
    assert first.fidelity(second) == 1.0
    with pytest.raises(RuntimeError) as raised:
        second.set_amplitude(Callback(lambda: first.fidelity(second)), 0, 0)
    assert str(raised.value) == "Already mutably borrowed"


# ----- docstrings ----------------------------------------------------------

CLASS_DOC = """A Kyr (.kyr) file handle.

This class provides the main interface for creating, loading, and saving
quantum states in the .kyr format.

Examples
--------
>>> import kyr
>>> # Create a new 4-qubit state
>>> f = kyr.KyrFile(4)
>>> f.num_qubits
4
>>> f.dimension
16
>>> # Save to disk
>>> f.save("state.kyr")"""

METHOD_DOCS = {
    "get_amplitude": ("($self, index)", "Get a single amplitude by basis state index.\n\nParameters\n----------\nindex : int\n    Basis state index (0 to 2^n - 1)\n\nReturns\n-------\ntuple[float, float]\n    (real, imag) parts of the amplitude"),
    "set_amplitude": ("($self, index, real, imag)", "Set a single amplitude by basis state index.\n\nParameters\n----------\nindex : int\n    Basis state index (0 to 2^n - 1)\nreal : float\n    Real part of amplitude\nimag : float\n    Imaginary part of amplitude"),
    "is_normalized": ("($self, tolerance=1e-10)", "Check if the state is normalized (sum of |amplitude|^2 ≈ 1).\n\nParameters\n----------\ntolerance : float, optional\n    Tolerance for normalization check (default: 1e-10)\n\nReturns\n-------\nbool\n    True if normalized within tolerance"),
    "normalize": ("($self)", "Normalize the state vector in place.\n\nRaises\n------\nValueError\n    If state has zero norm"),
    "norm_squared": ("($self)", "Calculate the norm squared (sum of |amplitude|^2)."),
    "fidelity": ("($self, other)", "Calculate fidelity with another state: |⟨self|other⟩|².\n\nParameters\n----------\nother : KyrFile\n    Another quantum state\n\nReturns\n-------\nfloat\n    Fidelity between 0 and 1\n\nRaises\n------\nValueError\n    If states have different dimensions"),
    "set_metadata": ("($self, key, value)", "Set metadata key-value pair.\n\nParameters\n----------\nkey : str\n    Metadata key\nvalue : str\n    Metadata value"),
    "get_metadata": ("($self, key)", "Get metadata value by key.\n\nParameters\n----------\nkey : str\n    Metadata key\n\nReturns\n-------\nstr or None\n    Metadata value or None if not found"),
    "metadata_dict": ("($self)", "Get all metadata as a dictionary."),
}

PROPERTY_DOCS = {
    "num_qubits": "Number of qubits in the quantum state.",
    "dimension": "Dimension of the state vector (2^num_qubits).",
    "bond_dimension": "Bond dimension for MPS compression.",
    "golay_enabled": "Whether Golay error correction is enabled.",
    "source_path": "Source file path if loaded from disk.",
}


def test_class_docstring_and_signature():
    assert KyrFile.__doc__ == CLASS_DOC
    assert KyrFile.__text_signature__ == "(num_qubits=1)"


@pytest.mark.parametrize("name", METHOD_DOCS)
def test_method_docstrings(name):
    signature, doc = METHOD_DOCS[name]
    method = getattr(KyrFile, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


@pytest.mark.parametrize("name", PROPERTY_DOCS)
def test_property_docstrings(name):
    assert getattr(KyrFile, name).__doc__ == PROPERTY_DOCS[name]
