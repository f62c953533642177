"""Compact binary files (.kyr) for pure quantum states of up to 30 qubits.

A state holds 2**n complex amplitudes as two float64 arrays (real and
imaginary parts). Arrays handed to kyr must be one-dimensional, contiguous
NumPy arrays of native float64; lists, other dtypes and strided views are
refused at run time. Paths must be ``str``: ``pathlib.Path`` and ``bytes``
are refused.
"""

from typing import Any, Final, Protocol, SupportsFloat, SupportsIndex, final, type_check_only

import numpy as np
from numpy.typing import NDArray

# Qiskit is optional: without it (or while it ships no type information),
# to_qiskit's result is Any to a type checker.
from qiskit.quantum_info import Statevector  # type: ignore[import-untyped, import-not-found, unused-ignore]

__all__ = [
    "KyrFile",
    "StreamingConverter",
    "Encoding",
    "load",
    "save",
    "from_numpy",
    "from_arrays",
    "verify",
    "version",
    "from_qiskit",
    "to_qiskit",
]

# What the run-time float conversion accepts: float, int, and any object with
# __float__ or __index__ (NumPy scalars among them). complex is refused.
_Real = SupportsFloat | SupportsIndex
# bool or NumPy's bool scalar; int, including 0 and 1, is refused.
_Flag = bool | np.bool

@type_check_only
class _StatevectorLike(Protocol):
    """Anything shaped like qiskit.quantum_info.Statevector."""

    @property
    def data(self) -> NDArray[Any]: ...

@final
class KyrFile:
    """One pure quantum state of ``num_qubits`` qubits, held in memory.

    ``KyrFile(n)`` is the basis state |0...0> (amplitude 0 is 1 + 0j, all
    others 0) of n qubits, 1 <= n <= 30, with bond dimension 64, Golay flag
    on, no source path and no metadata. ``str()`` gives a one-line summary
    (qubits, dimension, norm, metadata count), ``repr()`` a constructor-like
    form. Instances take no new attributes and the class cannot be
    subclassed.

    Raises ValueError if ``num_qubits`` is outside 1-30.
    """

    def __new__(cls, num_qubits: SupportsIndex = 1) -> KyrFile: ...
    @property
    def num_qubits(self) -> int:
        """Number of qubits, n."""

    @property
    def dimension(self) -> int:
        """Number of amplitudes, 2**n."""

    @property
    def bond_dimension(self) -> int:
        """Bond dimension recorded in the file header (default 64).

        Setting it accepts 1-1024 (ValueError otherwise); the header stores
        at most 255.
        """

    @bond_dimension.setter
    def bond_dimension(self, value: SupportsIndex) -> None: ...
    @property
    def golay_enabled(self) -> bool:
        """Golay flag recorded in the file header (default True).

        Setting it accepts only bool or numpy.bool; int is refused.
        """

    @golay_enabled.setter
    def golay_enabled(self, value: _Flag) -> None: ...
    @property
    def source_path(self) -> str | None:
        """Path this state was last loaded from or saved to, exactly as given; None if neither."""

    @property
    def amplitudes(self) -> NDArray[np.float64]:
        """All amplitudes as one interleaved float64 array: re0, im0, re1, im1, ...

        Its length is 2 * 2**n (not a complex array). Each access returns a
        fresh copy: writing to it does not change the state.
        """

    @property
    def amplitudes_real(self) -> NDArray[np.float64]:
        """Real parts as a float64 array of length 2**n; a fresh copy on each access."""

    @property
    def amplitudes_imag(self) -> NDArray[np.float64]:
        """Imaginary parts as a float64 array of length 2**n; a fresh copy on each access."""

    def set_amplitudes(self, real: NDArray[np.float64], imag: NDArray[np.float64]) -> None:
        """Replace every amplitude with copies of ``real`` and ``imag``.

        Both must be one-dimensional contiguous float64 arrays of exactly
        ``dimension`` elements (TypeError for another kind of object or a
        strided view, ValueError for another length). Nothing is normalised.
        """

    def get_amplitude(self, index: SupportsIndex) -> tuple[float, float]:
        """Return amplitude ``index`` (0 to 2**n - 1) as (real, imag).

        Raises ValueError for an index past the end, OverflowError for a
        negative one.
        """

    def set_amplitude(self, index: SupportsIndex, real: _Real, imag: _Real) -> None:
        """Set amplitude ``index`` to real + imag*1j, stored bit for bit, not normalised.

        Raises ValueError for an index past the end; the state is unchanged
        on every error.
        """

    def is_normalized(self, tolerance: _Real = 1e-10) -> bool:
        """Whether |norm_squared() - 1| < ``tolerance``."""

    def normalize(self) -> None:
        """Divide every amplitude by the norm, in place.

        Raises ValueError ("Cannot normalize zero state") when the squared
        norm is below 1e-15.
        """

    def norm_squared(self) -> float:
        """Sum of re**2 + im**2 over all amplitudes, added in index order."""

    def fidelity(self, other: KyrFile) -> float:
        """|<self|other>|**2, summed in index order.

        Raises ValueError if the two states have different numbers of qubits.
        """

    def set_metadata(self, key: str, value: str) -> None:
        """Set metadata ``key`` to ``value``, replacing an earlier value.

        Metadata lives in memory only: files do not store it, so save() drops
        it and load() gives none.
        """

    def get_metadata(self, key: str) -> str | None:
        """The value stored under ``key``, or None."""

    def metadata_dict(self) -> dict[str, str]:
        """A new dict holding a copy of all metadata."""

    def save(self, path: str) -> None:
        """Write the state to the .kyr file ``path`` and record it as ``source_path``.

        The state goes to a temporary file beside the target that is then
        renamed over it, so the target holds the old state or the new one
        whole. Metadata is not written. Raises OSError ("Write error: ...")
        when the file cannot be written.
        """

    def to_bytes(self) -> bytes:
        """The state encoded exactly as save() writes it: a 16-byte header,
        then each amplitude as little-endian float64 (re, im)."""

@final
class Encoding:
    """Names of conversion strategies, given to StreamingConverter.

    Not an enum.Enum: the five members are class attributes, compare equal
    to their int values (Amplitude == 0 ... Block == 4), convert with int()
    and are not hashable. The class has no constructor.
    """

    Amplitude: Final[Encoding]
    BasisState: Final[Encoding]
    Qram: Final[Encoding]
    Angle: Final[Encoding]
    Block: Final[Encoding]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class StreamingConverter:
    """Turns chunks of bytes into states, counting progress towards ``total_size`` bytes.

    ``chunk_size`` is only reported back, never enforced. ``encoding`` is
    checked to be an Encoding and has no further effect: every strategy
    converts by the same rule.
    """

    def __new__(
        cls, total_size: SupportsIndex, chunk_size: SupportsIndex = 1048576, encoding: Encoding = ...
    ) -> StreamingConverter: ...
    def process_chunk(self, data: bytes) -> KyrFile:
        """Convert one chunk into a new state and count its length as processed.

        Byte k of the first 2**20 becomes the real part (byte / 255) /
        sqrt(len(data)) of amplitude k; the state has the fewest qubits
        (at least 1, at most 20) whose dimension holds the converted bytes,
        zero elsewhere. ``data`` must be ``bytes`` (bytearray and memoryview
        are refused).
        """

    @property
    def progress(self) -> float:
        """Bytes processed / total_size (1.0 when total_size is 0); may exceed 1.0."""

    @property
    def is_complete(self) -> bool:
        """Whether at least total_size bytes have been processed."""

    @property
    def chunk_size(self) -> int:
        """The chunk size given to the constructor."""

def load(path: str) -> KyrFile:
    """Read the .kyr file at ``path``; its ``source_path`` is ``path`` as given.

    Raises OSError ("Read error: ...") when the file cannot be read and
    ValueError when it is not a valid .kyr file.
    """

def save(state: KyrFile, path: str, bond_dim: SupportsIndex = 64, golay: _Flag = True) -> None:
    """Set ``state``'s bond dimension and Golay flag to ``bond_dim`` and ``golay``, then save it to ``path``.

    The defaults are applied too: saving without them resets the state to
    64 and True. ``bond_dim`` is not range-checked (the header stores at
    most 255). The settings stay in the state even when the write fails.
    """

def verify(path: str) -> bool:
    """Whether ``path`` holds a readable .kyr file whose squared norm is within 1e-6 of 1.

    Never raises for a bad or missing file: it returns False.
    """

def version() -> str:
    """The library version, "1.0.0"."""

def from_numpy(amplitudes: NDArray[np.float64]) -> KyrFile:
    """A new state from one interleaved float64 array: re0, im0, re1, im1, ...

    The array must be one-dimensional and contiguous, of float64 (a complex128
    array is refused: pass ``z.view(np.float64)``), with a length of twice a
    power of two; two elements give a 0-qubit state. The inverse of
    ``KyrFile.amplitudes``, bit for bit.
    """

def from_arrays(real: NDArray[np.float64], imag: NDArray[np.float64]) -> KyrFile:
    """A new state from real and imaginary parts: one-dimensional contiguous float64 arrays
    of the same power-of-two length."""

def from_qiskit(statevector: _StatevectorLike) -> KyrFile:
    """A new state from a qiskit.quantum_info.Statevector, or any object whose
    ``data`` array flattens to a power-of-two number of amplitudes.

    Works without Qiskit installed; amplitudes are stored as given, not
    normalised.
    """

def to_qiskit(kyr_file: KyrFile) -> Statevector:
    """A new qiskit.quantum_info.Statevector holding a copy of the amplitudes.

    Raises ModuleNotFoundError when Qiskit is not installed.
    """
