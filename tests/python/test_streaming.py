import math
import operator
import random
import struct

import pytest

import kyr
from kyr import Encoding, StreamingConverter

MEMBERS = [("Amplitude", 0), ("BasisState", 1), ("Qram", 2), ("Angle", 3), ("Block", 4)]
MiB = 1 << 20


def bits(values):
    return struct.pack(f"<{len(values)}d", *values)


def parts(state):
    pairs = [state.get_amplitude(i) for i in range(state.dimension)]
    return [re for re, _ in pairs], [im for _, im in pairs]


def reference_real(data, dimension):
    """The conversion rule written out plainly: two divisions, in this order."""
    scale = math.sqrt(len(data))
    real = [(byte / 255.0) / scale for byte in data[:dimension]]
    return real + [0.0] * (dimension - len(real))


# ----- chunk conversion ------------------------------------------------------

@pytest.mark.parametrize("length", [0, 1, 2, 3, 4, 5, 1000, MiB, MiB + 1])
def test_chunk_amplitudes_match_the_reference_bit_for_bit(length):
    data = random.Random(length).randbytes(length)
    converter = StreamingConverter(length)
    state = converter.process_chunk(data)
    real, imag = parts(state)
    assert bits(real) == bits(reference_real(data, state.dimension))
    assert bits(imag) == bits([0.0] * state.dimension)
    # The whole length is counted, including bytes beyond 2^20 left unconverted.
    assert converter.is_complete and converter.progress == 1.0


@pytest.mark.parametrize("data, real", [
    (b"\xff", [1.0, 0.0]),
    (b"\xff\xff", [(255 / 255.0) / math.sqrt(2.0)] * 2),
    (b"\x00" * 7, [0.0] * 8),
    (b"\xff" * MiB, [1.0 / 1024.0] * MiB),
])
def test_edge_chunks(data, real):
    state = StreamingConverter(1).process_chunk(data)
    assert bits(parts(state)[0]) == bits(real)


@pytest.mark.parametrize("length, qubits", [
    (0, 1), (1, 1), (2, 1), (3, 2), (4, 2), (5, 3), (8, 3), (9, 4), (1000, 10),
    (524288, 19), (524289, 20), (MiB, 20), (MiB + 1, 20), (3 * MiB, 20),
])
def test_qubit_count(length, qubits):
    state = StreamingConverter(1).process_chunk(bytes(length))
    assert (state.num_qubits, state.dimension) == (qubits, 2 ** qubits)


def test_chunk_state_carries_the_defaults():
    state = StreamingConverter(1).process_chunk(b"")
    assert isinstance(state, kyr.KyrFile)
    assert state.bond_dimension == 64
    assert state.golay_enabled is True
    assert state.source_path is None
    assert state.metadata_dict() == {}
    assert parts(state) == ([0.0, 0.0], [0.0, 0.0])


def test_each_chunk_gives_a_new_independent_state():
    converter = StreamingConverter(4)
    first = converter.process_chunk(b"ab")
    second = converter.process_chunk(b"ab")
    assert first is not second
    first.set_amplitude(0, 5.0, 0.0)
    assert second.get_amplitude(0) == ((ord("a") / 255.0) / math.sqrt(2.0), 0.0)


@pytest.mark.parametrize("encoding", [member for member, _ in MEMBERS])
def test_encoding_does_not_change_the_states(encoding):
    data = random.Random(7).randbytes(300)
    chosen = StreamingConverter(10, encoding=getattr(Encoding, encoding))
    default = StreamingConverter(10)
    assert [bits(p) for p in parts(chosen.process_chunk(data))] == \
        [bits(p) for p in parts(default.process_chunk(data))]
    assert chosen.progress == default.progress


# ----- counters ----------------------------------------------------------------

@pytest.mark.parametrize("total, chunks, progress, complete", [
    (0, [], 1.0, True),
    (0, [5], 1.0, True),
    (10, [], 0.0, False),
    (10, [0], 0.0, False),
    (10, [6], 0.6, False),
    (10, [6, 6], 1.2, True),
    (10, [10], 1.0, True),
    (10, [9], 0.9, False),
    # Both counts are rounded to doubles before dividing: 2^53 + 1 becomes 2^53.
    (2 ** 53 + 1, [1], 2.0 ** -53, False),
    (2 ** 64 - 1, [3], 3 / 2.0 ** 64, False),
])
def test_progress_and_completion(total, chunks, progress, complete):
    converter = StreamingConverter(total)
    for length in chunks:
        converter.process_chunk(bytes(length))
    assert converter.progress == progress
    assert type(converter.progress) is float
    assert converter.is_complete is complete


@pytest.mark.parametrize("arguments, chunk_size", [
    ((10,), 1048576), ((10, 4096), 4096), ((10, 0), 0), ((10, 2 ** 64 - 1), 2 ** 64 - 1),
])
def test_chunk_size_is_reported_back(arguments, chunk_size):
    assert StreamingConverter(*arguments).chunk_size == chunk_size


def test_chunk_size_is_not_enforced():
    converter = StreamingConverter(10, 4096)
    state = converter.process_chunk(bytes(10000))
    assert state.num_qubits == 14
    assert converter.progress == 1000.0


def test_only_the_documented_properties_exist():
    converter = StreamingConverter(10, 20, Encoding.Qram)
    for name in ["total_size", "encoding", "bytes_processed"]:
        assert not hasattr(converter, name)
    with pytest.raises(AttributeError):
        converter.chunk_size = 5


# ----- constructor ---------------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("args, kwargs, chunk_size, complete", [
    ((3,), {}, MiB, False),
    ((), {"total_size": 0}, MiB, True),
    ((Index(4), Index(8)), {}, 8, False),
    ((True,), {"chunk_size": False}, 0, False),
    ((5,), {"encoding": Encoding.Block, "chunk_size": 7}, 7, False),
    ((5, 7, Encoding.Angle), {}, 7, False),
])
def test_constructor_accepts(args, kwargs, chunk_size, complete):
    converter = StreamingConverter(*args, **kwargs)
    assert converter.chunk_size == chunk_size
    assert converter.is_complete is complete


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError,
     "StreamingConverter.__new__() missing 1 required positional argument: 'total_size'"),
    ((1, 2, Encoding.Qram, 4), {}, TypeError,
     "StreamingConverter.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    ((1,), {"size": 2}, TypeError,
     "StreamingConverter.__new__() got an unexpected keyword argument 'size'"),
    ((1,), {"total_size": 2}, TypeError,
     "StreamingConverter.__new__() got multiple values for argument 'total_size'"),
    ((10.0,), {}, TypeError,
     "argument 'total_size': 'float' object cannot be interpreted as an integer"),
    (("10",), {}, TypeError,
     "argument 'total_size': 'str' object cannot be interpreted as an integer"),
    # The interpreter's own message names the full type name.
    ((Encoding.Qram,), {}, TypeError,
     "argument 'total_size': 'builtins.Encoding' object cannot be interpreted as an integer"),
    ((10, None), {}, TypeError,
     "argument 'chunk_size': 'NoneType' object cannot be interpreted as an integer"),
    ((-1,), {}, OverflowError, "can't convert negative int to unsigned"),
    ((2 ** 64,), {}, OverflowError, "int too big to convert"),
    ((10, -1), {}, OverflowError, "can't convert negative int to unsigned"),
    ((10,), {"encoding": None}, TypeError,
     "argument 'encoding': 'NoneType' object cannot be converted to 'Encoding'"),
    ((10,), {"encoding": 0}, TypeError,
     "argument 'encoding': 'int' object cannot be converted to 'Encoding'"),
    ((10, 1, "Amplitude"), {}, TypeError,
     "argument 'encoding': 'str' object cannot be converted to 'Encoding'"),
    ((10,), {"encoding": Encoding}, TypeError,
     "argument 'encoding': 'type' object cannot be converted to 'Encoding'"),
    # Order of checks: binding, then total_size, chunk_size, encoding.
    ((10.0, -1, None, 4), {}, TypeError,
     "StreamingConverter.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    ((10.0, -1, None), {}, TypeError,
     "argument 'total_size': 'float' object cannot be interpreted as an integer"),
    ((-1, "x"), {"encoding": None}, OverflowError, "can't convert negative int to unsigned"),
    ((10, "x"), {"encoding": None}, TypeError,
     "argument 'chunk_size': 'str' object cannot be interpreted as an integer"),
    ((10, 2 ** 64), {"encoding": None}, OverflowError, "int too big to convert"),
])
def test_constructor_errors(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        StreamingConverter(*args, **kwargs)
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_constructor_type_error_keeps_the_original_as_cause():
    with pytest.raises(TypeError) as raised:
        StreamingConverter(10, encoding=None)
    cause = raised.value.__cause__
    assert type(cause) is TypeError
    assert str(cause) == "'NoneType' object cannot be converted to 'Encoding'"


def test_other_exceptions_from_index_pass_unchanged():
    class Failing:
        def __index__(self):
            raise ValueError("no index")

    with pytest.raises(ValueError, match="^no index$"):
        StreamingConverter(Failing())


# ----- process_chunk arguments ---------------------------------------------------

class Bytes(bytes):
    pass


def test_process_chunk_accepts_bytes_subclasses_and_keyword():
    converter = StreamingConverter(4)
    first = converter.process_chunk(Bytes(b"\xff\x00"))
    second = converter.process_chunk(data=b"\xff\x00")
    assert parts(first) == parts(second)
    assert converter.progress == 1.0


@pytest.mark.parametrize("call, message", [
    (lambda c: c.process_chunk(bytearray(b"ab")),
     "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda c: c.process_chunk(memoryview(b"ab")),
     "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    (lambda c: c.process_chunk("ab"),
     "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    (lambda c: c.process_chunk(None),
     "argument 'data': 'NoneType' object cannot be converted to 'PyBytes'"),
    (lambda c: c.process_chunk(data=Index(3)),
     "argument 'data': 'Index' object cannot be converted to 'PyBytes'"),
    (lambda c: c.process_chunk(),
     "StreamingConverter.process_chunk() missing 1 required positional argument: 'data'"),
    (lambda c: c.process_chunk(b"a", b"b"),
     "StreamingConverter.process_chunk() takes 1 positional arguments but 2 were given"),
    (lambda c: c.process_chunk(chunk=b"a"),
     "StreamingConverter.process_chunk() got an unexpected keyword argument 'chunk'"),
    (lambda c: c.process_chunk(b"a", data=b"a"),
     "StreamingConverter.process_chunk() got multiple values for argument 'data'"),
])
def test_process_chunk_errors_add_nothing(call, message):
    converter = StreamingConverter(4)
    converter.process_chunk(b"ab")
    with pytest.raises(TypeError) as raised:
        call(converter)
    assert str(raised.value) == message
    assert converter.progress == 0.5
    assert not converter.is_complete


# ----- documentation and representation ------------------------------------------

def test_streaming_converter_documentation():
    assert StreamingConverter.__text_signature__ == \
        "(total_size, chunk_size=1048576, encoding=...)"
    assert StreamingConverter.__doc__ == (
        "Streaming converter for large files.\n\n"
        "Use this when converting files too large to fit in memory.")
    assert StreamingConverter.process_chunk.__text_signature__ == "($self, data)"
    assert StreamingConverter.process_chunk.__doc__ == (
        "Process a chunk of data.\n\nParameters\n----------\ndata : bytes\n"
        "    Chunk of input data\n\nReturns\n-------\nKyrFile\n"
        "    Quantum state for this chunk")
    docs = {name: getattr(StreamingConverter, name).__doc__
            for name in ["progress", "is_complete", "chunk_size"]}
    assert docs == {
        "progress": "Get conversion progress (0.0 to 1.0).",
        "is_complete": "Check if conversion is complete.",
        "chunk_size": "Get recommended chunk size.",
    }


def test_streaming_converter_has_the_default_repr():
    converter = StreamingConverter(1)
    assert repr(converter).startswith("<builtins.StreamingConverter object at ")
    assert str(converter) == repr(converter)


# ----- Encoding ------------------------------------------------------------------

@pytest.mark.parametrize("name, value", MEMBERS)
def test_encoding_members(name, value):
    member = getattr(Encoding, name)
    assert type(member) is Encoding
    assert member is getattr(Encoding, name)
    assert int(member) == value and type(int(member)) is int
    assert repr(member) == str(member) == f"Encoding.{name}"


class Equal:
    """An object that converts to 2 through __index__."""

    def __index__(self):
        return 2


class Refusing:
    def __index__(self):
        raise ValueError("discarded")


@pytest.mark.parametrize("left, right, equal", [
    (Encoding.Qram, 2, True),
    (2, Encoding.Qram, True),
    (Encoding.Qram, Encoding.Qram, True),
    (Encoding.Angle, Encoding.Block, False),
    (Encoding.Amplitude, 0, True),
    (Encoding.Amplitude, 256, False),
    (Encoding.Qram, 258, False),
    (Encoding.Qram, 2 ** 64 + 2, False),
    (Encoding.Qram, 2 ** 70, False),
    (Encoding.Amplitude, -(2 ** 64), False),
    (Encoding.Block, -4, False),
    (Encoding.BasisState, True, True),
    (Encoding.Amplitude, False, True),
    (Encoding.Qram, Equal(), True),
    (Encoding.Qram, Refusing(), False),
    (Encoding.Qram, 2.0, False),
    (Encoding.Qram, "Qram", False),
    (Encoding.Qram, None, False),
])
def test_encoding_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


@pytest.mark.parametrize("compare", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [Encoding.Block, 4])
def test_encoding_has_no_ordering(compare, other):
    with pytest.raises(TypeError):
        compare(Encoding.Amplitude, other)


@pytest.mark.parametrize("use", [hash, lambda m: {m}, lambda m: {m: 1}])
def test_encoding_members_are_unhashable(use):
    with pytest.raises(TypeError, match="unhashable"):
        use(Encoding.Angle)


@pytest.mark.parametrize("use", [operator.index, lambda m: [0, 1, 2][m], float])
def test_encoding_is_not_an_index(use):
    with pytest.raises(TypeError):
        use(Encoding.BasisState)


def test_encoding_class():
    assert Encoding.__doc__ == "Encoding strategies for file conversion."
    assert Encoding.__text_signature__ is None
    with pytest.raises(TypeError) as raised:
        Encoding()
    assert str(raised.value) == "No constructor defined for Encoding"
    with pytest.raises(TypeError, match="^No constructor defined for Encoding$"):
        Encoding(2)
