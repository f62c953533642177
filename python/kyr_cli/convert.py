"""kyr convert: .kyr to .npy and back, chunk by chunk, values bit for bit."""

import kyr

from .arguments import FORMATTER, add_progress_option
from .errors import FileError, read_error, report, write_error
from .layout import AMPLITUDE_BYTES, HEADER_SIZE, MAX_QUBITS, read_header
from .progress import progress_bar

DTYPES = {"complex128": "<c16", "float64": "<f8"}

DESCRIPTION = """\
Convert IN to OUT, in the direction their extensions give:

  .kyr -> .npy   a one-dimensional array of 2^n complex128 values, or with
                 --dtype float64 of 2*2^n interleaved values re0, im0, re1, ...
                 (the layout of KyrFile.amplitudes and kyr.from_numpy)
  .npy -> .kyr   from such an array, complex128 or float64, little- or
                 big-endian; the file gets bond dimension 64 and Golay on,
                 as kyr.from_numpy gives a state

Every value comes through bit for bit (NaN payloads and -0.0 included):
both formats hold binary64 (re, im) pairs, so converting is copying, with
a byte swap for a big-endian .npy.

A .kyr OUT is saved by KyrFile.save, with its rules: a symbolic link is
followed and kept, the replaced file's permissions and owner are kept, and a
failed or interrupted save leaves any earlier OUT as it was. The state is
held in memory for that (16 bytes per amplitude; twice that for a
big-endian .npy). A .npy OUT is written through a 16 MiB buffer, so memory
use stays small whatever the size, to a hidden temporary file beside it
(beside the file a symbolic link names) that is renamed into place at the
end, so a failed or interrupted conversion leaves any earlier OUT as it
was. A progress bar shows on a terminal when the work takes more than a
second."""

EPILOG = """\
examples:
  kyr convert state.kyr state.npy
  kyr convert --dtype float64 state.kyr interleaved.npy
  kyr convert simulated.npy state.kyr

exit status: 0 on success, 1 if IN cannot be read or is not a valid state,
or OUT cannot be written, 2 for a usage error (including extensions that
name no direction)."""


def add_parser(commands):
    parser = commands.add_parser("convert", help="convert between .kyr and .npy",
                                 description=DESCRIPTION, epilog=EPILOG,
                                 formatter_class=FORMATTER)
    parser.add_argument("input", metavar="IN", help="file to read (.kyr or .npy)")
    parser.add_argument("output", metavar="OUT", help="file to write (.npy or .kyr)")
    parser.add_argument("--dtype", choices=DTYPES,
                        help="element type of a .npy OUT (default: complex128)")
    add_progress_option(parser)
    parser.set_defaults(run=run, usage_error=parser.error)


def run(args):
    source, target = args.input.lower(), args.output.lower()
    if source.endswith(".kyr") and target.endswith(".npy"):
        dtype = DTYPES[args.dtype or "complex128"]
        convert = lambda: kyr_to_npy(args.input, args.output, dtype, args.progress)
    elif source.endswith(".npy") and target.endswith(".kyr"):
        if args.dtype is not None:
            args.usage_error("--dtype applies only when OUT is a .npy file")
        convert = lambda: npy_to_kyr(args.input, args.output, args.progress)
    else:
        args.usage_error("IN and OUT must be a .kyr and a .npy file, in either order")
    try:
        convert()
    except FileError as error:
        report("convert", error)
        return 1
    return 0


def kyr_to_npy(source, target, dtype, show_progress):
    import numpy as np  # imported only when needed, as in every command

    from .output import replacing
    from .streaming import AMPLITUDE, read_amplitudes

    header = read_header(source)
    dtype = np.dtype(dtype)
    length = header.dimension * AMPLITUDE.itemsize // dtype.itemsize
    description = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False,
                   "shape": (length,)}
    state_bytes = header.dimension * AMPLITUDE_BYTES
    try:
        with (progress_bar(f"convert {source}", 2 * state_bytes, show_progress),
              replacing(target) as temporary, open(temporary, "wb") as file):
            np.lib.format.write_array_header_1_0(file, description)
            copy_chunks(read_amplitudes(source, header), file)
    except OSError as error:
        raise write_error(target, error) from None


def copy_chunks(chunks, file):
    for _, values in chunks:
        file.write(values.data)  # .kyr and .npy hold the same little-endian pairs


def npy_to_kyr(source, target, show_progress):
    """Saves the amplitudes of the .npy file `source` to `target` by KyrFile.save."""
    import numpy as np

    array, count = npy_amplitudes(source)
    with progress_bar(f"convert {source}", HEADER_SIZE + count * AMPLITUDE_BYTES,
                      show_progress):
        try:
            # from_numpy copies the values out of the mapped file (or out of the
            # little-endian copy a big-endian file needs).
            state = kyr.from_numpy(array.astype("<c16", copy=False).view(np.float64))
        except MemoryError:
            raise FileError(source, "not enough memory to hold the state") from None
        try:
            state.save(target)
        except OSError as error:
            raise FileError(target, str(error)) from None  # worded "Write error: ..." by kyr


def npy_amplitudes(path):
    """(complex array, count) of a .npy file holding 2^n amplitudes, 1 <= n <= 30, as
    complex128 or interleaved float64, in either byte order; the array maps the file."""
    import numpy as np

    try:
        # NumPy parses the header and maps the data without reading it.
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except OSError as error:
        raise read_error(path, error) from None
    except ValueError as error:
        raise FileError(path, f"not a readable .npy file ({error})") from None
    kind = array.dtype
    if kind.kind == "f" and kind.itemsize == 8:
        interleaved = True
    elif kind.kind == "c" and kind.itemsize == 16:
        interleaved = False
    else:
        raise FileError(path, f"dtype {kind} is neither complex128 nor float64")
    if array.ndim != 1:
        raise FileError(path, f"expected a one-dimensional array, got shape {array.shape}")
    count = len(array)
    if interleaved:
        if count % 2:
            raise FileError(path, f"float64 length {count} is odd: expected interleaved "
                                  "(re, im) pairs")
        array, count = array.view(kind.str.replace("f8", "c16")), count // 2  # same byte order
    if count < 2 or count & (count - 1) or count > 1 << MAX_QUBITS:
        raise FileError(path, f"{count} amplitudes: a .kyr file holds 2^n of them, n from 1 to "
                              f"{MAX_QUBITS}")
    return array, count
