"""A user's program, fully annotated: mypy --strict must accept it as it is,
and it must run. assert_type pins what the stubs say each call returns."""

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import kyr


def bell_state() -> kyr.KyrFile:
    state = kyr.KyrFile(2)
    real = np.array([1.0, 0.0, 0.0, 1.0]) / np.sqrt(2.0)
    state.set_amplitudes(real, np.zeros(4))
    state.set_metadata("circuit", "H(0); CX(0, 1)")
    return state


def inspect(state: kyr.KyrFile) -> None:
    assert_type(state.num_qubits, int)
    assert_type(state.dimension, int)
    assert_type(state.source_path, str | None)
    assert_type(state.get_amplitude(0), tuple[float, float])
    assert_type(state.get_metadata("circuit"), str | None)
    assert_type(state.metadata_dict(), dict[str, str])
    assert_type(state.norm_squared(), float)
    assert_type(state.is_normalized(tolerance=1e-12), bool)
    assert_type(state.to_bytes(), bytes)
    assert_type(state.amplitudes, NDArray[np.float64])
    assert_type(state.amplitudes_real, NDArray[np.float64])
    assert_type(state.amplitudes_imag, NDArray[np.float64])


def change(state: kyr.KyrFile) -> None:
    state.bond_dimension = np.int64(16)
    state.golay_enabled = np.True_
    state.set_amplitude(np.uint8(3), np.float32(0.5), 0)
    state.normalize()


def round_trip(state: kyr.KyrFile, path: str) -> kyr.KyrFile:
    kyr.save(state, path, bond_dim=32, golay=False)
    assert kyr.verify(path)
    loaded = kyr.load(path)
    assert loaded.fidelity(state) > 0.999
    return loaded


def from_arrays(pairs: NDArray[np.complex128]) -> kyr.KyrFile:
    interleaved = kyr.from_numpy(pairs.view(np.float64))
    parts = kyr.from_arrays(np.ascontiguousarray(pairs.real), np.ascontiguousarray(pairs.imag))
    assert interleaved.to_bytes() == parts.to_bytes()
    return parts


def convert(chunks: list[bytes]) -> list[kyr.KyrFile]:
    converter = kyr.StreamingConverter(sum(map(len, chunks)), encoding=kyr.Encoding.Amplitude)
    states = [converter.process_chunk(chunk) for chunk in chunks]
    assert_type(converter.progress, float)
    assert_type(converter.is_complete, bool)
    assert_type(converter.chunk_size, int)
    return states


class FakeStatevector:
    """Shaped like qiskit.quantum_info.Statevector, which from_qiskit accepts without Qiskit."""

    def __init__(self, data: NDArray[np.complex128]) -> None:
        self.data = data


def main() -> None:
    assert_type(kyr.version(), str)
    state = bell_state()
    inspect(state)
    loaded = round_trip(state, "bell.kyr")
    assert loaded.source_path == "bell.kyr"
    change(loaded)
    from_arrays(np.array([0.6, 0.8j]))
    assert len(convert([b"abc", b"defg"])) == 2
    assert int(kyr.Encoding.Block) == 4 and kyr.Encoding.Qram == 2
    copied = kyr.from_qiskit(FakeStatevector(np.array([1.0 + 0.0j, 0.0])))
    assert copied.num_qubits == 1


if __name__ == "__main__":
    main()
