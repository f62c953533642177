"""Exchange of states with Qiskit's Statevector (from_qiskit, to_qiskit)."""

import builtins
import math
import subprocess
import sys
import textwrap
import tracemalloc
from types import SimpleNamespace

import numpy as np
import pytest

import kyr
from statevector_stand_ins import bits, parts

qiskit = pytest.importorskip("qiskit")
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit.library import QFTGate  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.quantum_info import Statevector  # noqa: E402
import qiskit.quantum_info  # noqa: E402

POWER_OF_TWO = "Statevector dimension must be a power of 2"
STR_SEQUENCE = "Can't extract `str` to `Vec`"


def amplitudes_of(state):
    return [state.get_amplitude(i) for i in range(state.dimension)]


class Recorder:
    """Replaces Statevector: keeps each call and returns a marker object."""

    calls = []
    result = object()

    def __new__(cls, *args, **kwargs):
        cls.calls.append((args, kwargs))
        return cls.result


@pytest.fixture
def recorder(monkeypatch):
    monkeypatch.setattr(Recorder, "calls", [])
    monkeypatch.setattr(qiskit.quantum_info, "Statevector", Recorder)
    return Recorder


# ----- round trips of states Qiskit makes -----------------------------------


def bell():
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.cx(0, 1)
    return qc


def ghz(n):
    qc = QuantumCircuit(n)
    qc.h(0)
    for k in range(n - 1):
        qc.cx(k, k + 1)
    return qc


def qft(n):
    # A basis state first, so the output carries non-trivial phases.
    qc = QuantumCircuit(n)
    qc.x(range(0, n, 2))
    qc.append(QFTGate(n), range(n))
    return qc


def rotated(n):
    qc = ghz(n)
    for k in range(n):
        qc.ry(0.3 * (k + 1), k)
        qc.rz(-0.7 * (k + 1), k)
    return qc


CIRCUITS = [
    pytest.param(bell, id="bell"),
    *(pytest.param(lambda n=n: ghz(n), id=f"ghz{n}") for n in (3, 12)),
    *(pytest.param(lambda n=n: qft(n), id=f"qft{n}") for n in (1, 5, 10)),
    pytest.param(lambda: rotated(7), id="rotated7"),
    *(pytest.param(lambda n=n, s=s: random_circuit(n, 5, seed=s), id=f"random{n}-{s}")
      for n, s in ((2, 1), (6, 7), (9, 11), (12, 3))),
]


@pytest.mark.parametrize("make", CIRCUITS)
def test_round_trip_through_a_file(make, tmp_path):
    original = Statevector.from_instruction(make())
    state = kyr.from_qiskit(original)
    assert state.num_qubits == original.num_qubits
    kyr.save(state, str(tmp_path / "state.kyr"))
    loaded = kyr.load(str(tmp_path / "state.kyr"))
    back = kyr.to_qiskit(loaded)

    assert isinstance(back, Statevector)
    assert back.data.dtype == np.complex128
    assert np.array_equal(back.data, original.data)
    # Bit for bit, apart from the sign of zeros (NumPy's re + im*1j makes
    # every zero part positive).
    assert np.array_equal(bits(back.data + 0.0), bits(original.data + 0.0))
    assert back.equiv(original)
    assert back.inner(original) == original.inner(original)
    assert loaded.fidelity(state) == pytest.approx(1.0, abs=1e-12)


def test_state_read_from_qiskit_keeps_every_bit(tmp_path):
    original = Statevector.from_instruction(random_circuit(8, 6, seed=5))
    state = kyr.from_qiskit(original)
    assert np.array_equal(bits(state.amplitudes_real), bits(original.data.real))
    assert np.array_equal(bits(state.amplitudes_imag), bits(original.data.imag))


# ----- from_qiskit on objects of the same shape -----------------------------


def test_reads_a_plain_complex_array_with_defaults():
    state = kyr.from_qiskit(SimpleNamespace(data=np.array([1, 0, 0, 0], dtype=np.complex128)))
    assert state.num_qubits == 2
    assert amplitudes_of(state) == [(1.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0)]
    assert (state.bond_dimension, state.golay_enabled, state.source_path) == (64, True, None)
    assert state.metadata_dict() == {}


def test_two_dimensional_data_is_flattened_row_major():
    # Fortran order in memory, so reading memory order would give a, c, b, d.
    data = np.asfortranarray(np.array([[1 + 2j, 3 + 4j], [5 + 6j, 7 + 8j]]))
    state = kyr.from_qiskit(SimpleNamespace(data=data))
    assert amplitudes_of(state) == [(1.0, 2.0), (3.0, 4.0), (5.0, 6.0), (7.0, 8.0)]


@pytest.mark.parametrize("real, imag, qubits", [
    ([0.5], [-0.25], 0),
    ([2.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 3.0], 2),  # stored as read, not normalised
    ((1, True, np.float64(0.5), np.int8(4)), [0.0] * 4, 2),
    (np.arange(64.0), np.arange(64.0)[::-1], 6),
])
def test_duck_typed_parts_are_read_as_given(real, imag, qubits):
    state = kyr.from_qiskit(parts(real, imag))
    assert state.num_qubits == qubits
    assert amplitudes_of(state) == [(float(r), float(i)) for r, i in zip(real, imag)]


class Index:
    def __index__(self):
        return 3


class Float:
    def __float__(self):
        return -1.5


class FloatSubclass(float):
    pass


@pytest.mark.parametrize("item, value", [
    (Index(), 3.0), (Float(), -1.5), (FloatSubclass(2.5), 2.5),
    (-1.0, -1.0),  # -1.0 is also the C API's error value
    (math.inf, math.inf),
])
def test_items_convert_through_float_protocols(item, value):
    state = kyr.from_qiskit(parts([item, 0.0], [0.0, item]))
    assert state.get_amplitude(0) == (value, 0.0)
    assert state.get_amplitude(1) == (0.0, value)


def test_keyword_argument():
    assert kyr.from_qiskit(statevector=parts([1.0], [0.0])).num_qubits == 0


class Sequence:
    """A sequence whose __len__ may lie or fail; only iteration is trusted."""

    def __init__(self, values, length):
        self.values, self.length = values, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.values[index]

    def __iter__(self):
        return iter(self.values)


@pytest.mark.parametrize("length", [0, 3, 100, 2**40, 2**62, ValueError("no length")])
def test_length_is_only_a_hint(length):
    values = [float(k) for k in range(128)]
    state = kyr.from_qiskit(parts(Sequence(values, length), Sequence(values[::-1], length)))
    assert state.num_qubits == 7
    assert list(state.amplitudes_real) == values
    assert list(state.amplitudes_imag) == values[::-1]


@pytest.mark.parametrize("real, imag, error, message", [
    ([0.0] * 3, [0.0] * 3, ValueError, POWER_OF_TWO),
    ([], [], ValueError, POWER_OF_TWO),
    ([0.0] * 3, [0.0] * 4, ValueError, POWER_OF_TWO),  # the real count is tested first
    ([0.0] * 4, [0.0] * 2,
     ValueError, "Statevector real and imaginary parts differ in length: 4 vs 2"),
    ([0.0] * 2, [0.0] * 8,
     ValueError, "Statevector real and imaginary parts differ in length: 2 vs 8"),
    ("abc", [0.0], TypeError, STR_SEQUENCE),
    ([0.0], type("S", (str,), {})("ab"), TypeError, STR_SEQUENCE),
    (1.0, [0.0], TypeError, "'float' object cannot be converted to 'Sequence'"),
    ([0.0], {0: 1.0}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ([0.0], {1.0}, TypeError, "'set' object cannot be converted to 'Sequence'"),
])
def test_refused_parts(real, imag, error, message):
    with pytest.raises(error) as caught:
        kyr.from_qiskit(parts(real, imag))
    assert str(caught.value) == message


def test_complex_item_fails_with_the_float_conversion_error():
    with pytest.raises(TypeError) as caught:
        kyr.from_qiskit(parts([1.0, 1j], [0.0, 0.0]))
    with pytest.raises(TypeError) as expected:
        math.fsum([1j])  # PyFloat_AsDouble's own message
    assert str(caught.value) == str(expected.value)


class Boom(Exception):
    pass


class Raising:
    def __float__(self):
        raise Boom("item")


class FailingIteration(Sequence):
    def __iter__(self):
        yield 1.0
        raise Boom("iteration")


class NoIterator(Sequence):
    def __iter__(self):
        raise Boom("iterator")


def raise_boom():
    raise Boom("flatten")


@pytest.mark.parametrize("statevector", [
    SimpleNamespace(data=SimpleNamespace(flatten=raise_boom)),
    parts([Raising()], [0.0]),
    parts([0.0], [Raising()]),
    parts(FailingIteration([], 2), [0.0, 0.0]),
    parts(NoIterator([], 1), [0.0]),
], ids=["flatten", "real item", "imag item", "iteration", "iterator"])
def test_outside_errors_pass_unchanged(statevector):
    with pytest.raises(Boom):
        kyr.from_qiskit(statevector)


@pytest.mark.parametrize("statevector, missing", [
    (5, "data"),
    (SimpleNamespace(data=np.zeros((2,)).tolist()), "flatten"),
    (SimpleNamespace(data=SimpleNamespace(flatten=lambda: SimpleNamespace(imag=[0.0]))), "real"),
    (SimpleNamespace(data=SimpleNamespace(flatten=lambda: SimpleNamespace(real=[0.0]))), "imag"),
])
def test_missing_attributes_raise_attribute_error(statevector, missing):
    with pytest.raises(AttributeError, match=missing):
        kyr.from_qiskit(statevector)


class Logged:
    """Logs every attribute lookup, call and iteration step."""

    def __init__(self, log, name, value):
        self._log, self._name, self._value = log, name, value

    def __getattr__(self, attribute):
        self._log.append(f"{self._name}.{attribute}")
        return Logged(self._log, f"{self._name}.{attribute}", getattr(self._value, attribute))

    def __call__(self, *args, **kwargs):
        self._log.append(f"{self._name}({len(args)}, {len(kwargs)})")
        return Logged(self._log, f"{self._name}()", self._value(*args, **kwargs))

    def __len__(self):
        self._log.append(f"len {self._name}")
        return len(self._value)

    def __getitem__(self, index):
        return self._value[index]

    def __iter__(self):
        self._log.append(f"iter {self._name}")
        for item in self._value:
            self._log.append(f"item {self._name}")
            yield item
        self._log.append(f"end {self._name}")


def test_python_calls_in_order():
    log = []
    source = SimpleNamespace(data=np.array([[0.5 + 1j], [2 - 0.25j]]))
    state = kyr.from_qiskit(Logged(log, "sv", source))
    assert amplitudes_of(state) == [(0.5, 1.0), (2.0, -0.25)]
    real, imag = "sv.data.flatten().real", "sv.data.flatten().imag"
    assert log == [
        "sv.data", "sv.data.flatten", "sv.data.flatten(0, 0)",
        "sv.data.flatten().real", f"len {real}", f"iter {real}",
        f"item {real}", f"item {real}", f"end {real}",
        "sv.data.flatten().imag", f"len {imag}", f"iter {imag}",
        f"item {imag}", f"item {imag}", f"end {imag}",
    ]


def test_imag_is_not_looked_up_after_a_bad_real():
    log = []
    source = SimpleNamespace(data=SimpleNamespace(
        flatten=lambda: SimpleNamespace(real=[1.0, "x"], imag=[0.0, 0.0])))
    with pytest.raises(TypeError):
        kyr.from_qiskit(Logged(log, "sv", source))
    assert not any(entry.endswith("imag") for entry in log)


# ----- to_qiskit -------------------------------------------------------------


def test_calls_statevector_once_with_a_complex_array(recorder):
    assert kyr.to_qiskit(kyr.KyrFile(2)) is Recorder.result
    [(args, kwargs)] = recorder.calls
    assert kwargs == {}
    [array] = args
    assert type(array) is np.ndarray
    assert array.dtype == np.complex128 and array.shape == (4,)
    assert array.tolist() == [1, 0, 0, 0]


def test_keyword_argument_and_fresh_array_per_call(recorder):
    state = kyr.from_arrays(np.array([0.6, 0.0]), np.array([0.0, 0.8]))
    kyr.to_qiskit(kyr_file=state)
    kyr.to_qiskit(state)
    (first,), _ = recorder.calls[0]
    (second,), _ = recorder.calls[1]
    assert first is not second
    assert first.tolist() == [0.6, 0.8j]
    first[0] = 5.0  # the state does not share the array
    assert state.get_amplitude(0) == (0.6, 0.0)


def random_finite(count, seed):
    """Finite float64 values from random bit patterns, subnormals included."""
    values = np.random.default_rng(seed).integers(0, 2**64, count, dtype=np.uint64)
    values = values.view(np.float64)
    return np.where(np.isfinite(values), values, 1.0)


def test_finite_amplitudes_are_exact(recorder):
    real, imag = random_finite(1024, 1), random_finite(1024, 2)
    kyr.to_qiskit(kyr.from_arrays(real, imag))
    (array,), _ = recorder.calls[0]
    assert np.array_equal(bits(array.real + 0.0), bits(real + 0.0))
    assert np.array_equal(bits(array.imag + 0.0), bits(imag + 0.0))


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
@pytest.mark.parametrize("imag", [math.inf, -math.inf, math.nan])
def test_non_finite_imaginary_part_follows_numpy(recorder, imag):
    kyr.to_qiskit(kyr.from_arrays(np.array([0.5, 0.25]), np.array([0.0, imag])))
    (array,), _ = recorder.calls[0]
    assert array[0] == 0.5
    assert math.isnan(array[1].real)
    assert array[1].imag == imag or (math.isnan(imag) and math.isnan(array[1].imag))


@pytest.fixture
def imports(monkeypatch):
    """Names passed to __import__, which PyImport_Import goes through."""
    names = []
    real_import = builtins.__import__

    def spy(name, *args, **kwargs):
        names.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", spy)
    return names


@pytest.mark.parametrize("argument", [5, None, "state.kyr", np.zeros(4)])
def test_refuses_non_kyr_file_before_any_import(argument, imports):
    with pytest.raises(TypeError) as caught:
        kyr.to_qiskit(argument)
    assert imports == []
    name = type(argument).__qualname__
    assert str(caught.value) == (
        f"argument 'kyr_file': '{name}' object cannot be converted to 'KyrFile'")
    assert isinstance(caught.value.__cause__, TypeError)


def test_imports_qiskit_before_numpy(recorder, imports):
    kyr.to_qiskit(kyr.KyrFile(1))
    assert [n for n in imports if n in ("qiskit.quantum_info", "numpy")] == [
        "qiskit.quantum_info", "numpy"]


def test_binding_errors():
    with pytest.raises(TypeError, match=r"^to_qiskit\(\) missing 1 required positional "
                                        r"argument: 'kyr_file'$"):
        kyr.to_qiskit()
    with pytest.raises(TypeError, match=r"^from_qiskit\(\) got an unexpected keyword "
                                        r"argument 'state'$"):
        kyr.from_qiskit(state=None)


def test_state_is_under_shared_access_during_the_call(monkeypatch):
    state = kyr.KyrFile(1)
    seen = []

    def statevector(array):
        seen.append(state.get_amplitude(0))
        seen.append(state.amplitudes_real.tolist())
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            state.set_amplitude(0, 0.0, 1.0)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            state.bond_dimension = 8
        return "made"

    monkeypatch.setattr(qiskit.quantum_info, "Statevector", statevector)
    assert kyr.to_qiskit(state) == "made"
    assert seen == [(1.0, 0.0), [1.0, 0.0]]
    state.set_amplitude(0, 0.0, 1.0)  # released on return


def test_access_is_released_when_statevector_fails(monkeypatch):
    def statevector(array):
        raise Boom("statevector")

    monkeypatch.setattr(qiskit.quantum_info, "Statevector", statevector)
    state = kyr.KyrFile(1)
    with pytest.raises(Boom):
        kyr.to_qiskit(state)
    state.set_amplitude(1, 0.5, 0.5)
    assert state.get_amplitude(1) == (0.5, 0.5)


def test_refused_while_the_state_is_being_changed(recorder):
    state = kyr.KyrFile(1)
    errors = []

    class Reentrant:
        def __float__(self):
            # Runs inside set_amplitude, which holds exclusive access.
            try:
                kyr.to_qiskit(state)
            except RuntimeError as error:
                errors.append(str(error))
            return 0.25

    state.set_amplitude(1, Reentrant(), 0.0)
    assert errors == ["Already mutably borrowed"]
    assert recorder.calls == []
    assert state.get_amplitude(1) == (0.25, 0.0)


def test_state_is_unchanged():
    state = kyr.from_arrays(np.array([0.6, 0.0]), np.array([0.0, 0.8]))
    state.set_metadata("k", "v")
    before = (repr(state), amplitudes_of(state), state.metadata_dict())
    kyr.to_qiskit(state)
    assert (repr(state), amplitudes_of(state), state.metadata_dict()) == before


# ----- without Qiskit --------------------------------------------------------


def test_without_qiskit():
    code = textwrap.dedent("""
        import sys

        class NoQiskit:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] == "qiskit":
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)

        sys.meta_path.insert(0, NoQiskit())
        import kyr

        try:
            kyr.to_qiskit(kyr.KyrFile(2))
        except ModuleNotFoundError as error:
            print(type(error).__name__, error.name)
        print("numpy" in sys.modules)

        class Flat:
            real = [0.0, 1.0]
            imag = [0.5, 0.0]

        class Data:
            def flatten(self):
                return Flat()

        class Vector:
            data = Data()

        state = kyr.from_qiskit(Vector())
        print(state.num_qubits, state.get_amplitude(0), state.get_amplitude(1))
        print("numpy" in sys.modules)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ModuleNotFoundError qiskit", "False", "1 (0.0, 0.5) (1.0, 0.0)", "False"]


# ----- references and memory -------------------------------------------------


def test_from_qiskit_keeps_no_references():
    real, imag = [0.5, 0.5], [0.0, -0.5]
    flat = SimpleNamespace(real=real, imag=imag)
    data = SimpleNamespace(flatten=lambda: flat)
    good = SimpleNamespace(data=data)
    bad = SimpleNamespace(data=SimpleNamespace(
        flatten=lambda: SimpleNamespace(real=real, imag=[0.0])))
    watched = [good, bad, data, flat, real, imag]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(1000):
        kyr.from_qiskit(good)
        with pytest.raises(ValueError):
            kyr.from_qiskit(bad)
    assert [sys.getrefcount(o) for o in watched] == before


def test_to_qiskit_keeps_no_references_or_arrays(recorder):
    state = kyr.from_arrays(np.linspace(0, 1, 1024), np.linspace(1, 0, 1024))
    before = (sys.getrefcount(state), sys.getrefcount(Recorder.result))
    kyr.to_qiskit(state)
    recorder.calls.clear()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(300):
            kyr.to_qiskit(state)
            recorder.calls.clear()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    # Each call makes five arrays of 8-16 KiB; a leaked one would add megabytes.
    assert grown < 256 * 1024
    assert (sys.getrefcount(state), sys.getrefcount(Recorder.result)) == before


# ----- docstrings -------------------------------------------------------------


@pytest.mark.parametrize("function, signature, summary, parameter, returns", [
    (kyr.from_qiskit, "(statevector)", "Convert a Qiskit Statevector to KyrFile.",
     "statevector : qiskit.quantum_info.Statevector\n    Qiskit statevector object",
     "KyrFile\n    Converted quantum state"),
    (kyr.to_qiskit, "(kyr_file)", "Convert KyrFile to Qiskit Statevector.",
     "kyr_file : KyrFile\n    KYR file to convert",
     "qiskit.quantum_info.Statevector\n    Qiskit statevector"),
])
def test_docstrings(function, signature, summary, parameter, returns):
    assert function.__text_signature__ == signature
    assert function.__doc__ == (
        f"{summary}\n\nParameters\n----------\n{parameter}\n\n"
        f"Returns\n-------\n{returns}\n\nNote\n----\nRequires qiskit to be installed.")
    assert function.__module__ == "kyr"
