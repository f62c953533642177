"""kyr convert: .kyr to .npy and back, chunk by chunk, values bit for bit."""

import numpy as np

from .errors import FileError, os_reason, report
from .arguments import FORMATTER
from .layout import AMPLITUDE, MAX_QUBITS, encode_header, read_header
from .output import replacing
from .progress import progress_bar
from .streaming import read_amplitudes, read_values

DTYPES = {"complex128": np.dtype("<c16"), "float64": np.dtype("<f8")}

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
The values are copied through a 16 MiB buffer, so memory use stays small
whatever the size; a progress bar shows on a terminal (tqdm if it is
installed). OUT is written to a hidden temporary file beside it and renamed
into place at the end, so a failed or interrupted conversion leaves any
earlier OUT as it was."""

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
    parser.add_argument("--no-progress", action="store_true", help="never show a progress bar")
    parser.set_defaults(run=run, usage_error=parser.error)


def run(args):
    source, target = args.input.lower(), args.output.lower()
    if source.endswith(".kyr") and target.endswith(".npy"):
        dtype = DTYPES[args.dtype or "complex128"]
        convert = lambda: kyr_to_npy(args.input, args.output, dtype, not args.no_progress)
    elif source.endswith(".npy") and target.endswith(".kyr"):
        if args.dtype is not None:
            args.usage_error("--dtype applies only when OUT is a .npy file")
        convert = lambda: npy_to_kyr(args.input, args.output, not args.no_progress)
    else:
        args.usage_error("IN and OUT must be a .kyr and a .npy file, in either order")
    try:
        convert()
    except FileError as error:
        report("convert", error)
        return 1
    return 0


def kyr_to_npy(source, target, dtype, show_progress):
    header = read_header(source)
    length = header.dimension * AMPLITUDE.itemsize // dtype.itemsize
    description = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False,
                   "shape": (length,)}
    write(target, lambda file: np.lib.format.write_array_header_1_0(file, description),
          read_amplitudes(source, header), header.dimension, show_progress)


def npy_to_kyr(source, target, show_progress):
    offset, dtype, count = locate_npy_amplitudes(source)
    write(target, lambda file: file.write(encode_header(count.bit_length() - 1)),
          read_values(source, offset, dtype, count), count, show_progress)


def write(target, write_header, chunks, count, show_progress):
    """Writes `target` through replacing(): the header, then `count` amplitudes from
    (start, values) chunks as little-endian complex128."""
    try:
        with replacing(target) as temporary, open(temporary, "wb") as file:
            write_header(file)
            copy_chunks(chunks, file, count, show_progress)
    except OSError as error:
        raise FileError(target, os_reason(error)) from None


def copy_chunks(chunks, file, count, show_progress):
    with progress_bar(count * AMPLITUDE.itemsize, show_progress) as advance:
        for _, values in chunks:
            # A byte swap, for a big-endian input, is the only conversion.
            file.write(values.astype(AMPLITUDE, copy=False).data)
            advance(values.nbytes)


def locate_npy_amplitudes(path):
    """(offset, complex dtype, count) of the values of a .npy file holding 2^n amplitudes,
    1 <= n <= 30, as complex128 or interleaved float64, in either byte order."""
    try:
        # NumPy parses the header and maps the data without reading it.
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except OSError as error:
        raise FileError(path, os_reason(error)) from None
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
        kind, count = np.dtype(kind.str.replace("f8", "c16")), count // 2  # same byte order
    if count < 2 or count & (count - 1) or count > 1 << MAX_QUBITS:
        raise FileError(path, f"{count} amplitudes: a .kyr file holds 2^n of them, n from 1 to "
                              f"{MAX_QUBITS}")
    return array.offset, kind, count
