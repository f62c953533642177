"""Convert a file of any size into quantum states, one chunk at a time.

Each chunk becomes one state, saved as OUTPUT_DIR/chunk_000000.kyr,
chunk_000001.kyr and so on. Only one chunk is held in memory at a time.

    python convert_file.py INPUT OUTPUT_DIR [--chunk-size BYTES]
"""

import argparse
import contextlib
import pathlib
import sys

import kyr


@contextlib.contextmanager
def progress_bar():
    """Yields a function that shows a fraction done: tqdm if installed, else text."""
    try:
        from tqdm import tqdm
    except ImportError:
        def show(fraction, width=40):
            filled = round(width * min(fraction, 1.0))
            print(f"\r[{'#' * filled}{'.' * (width - filled)}] {fraction:7.1%}",
                  end="", file=sys.stderr, flush=True)

        try:
            yield show
        finally:
            print(file=sys.stderr)
        return
    with tqdm(total=1.0, bar_format="{percentage:5.1f}%|{bar}| {elapsed}<{remaining}") as bar:
        def show(fraction):
            bar.n = fraction
            bar.refresh()

        yield show


def positive(text):
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be a positive number of bytes")
    return value


def main():
    parser = argparse.ArgumentParser(description="Convert a file into .kyr states chunk by chunk.")
    parser.add_argument("input", type=pathlib.Path, help="file to convert")
    parser.add_argument("output_dir", type=pathlib.Path, help="directory for the .kyr files")
    parser.add_argument("--chunk-size", type=positive, default=1 << 20,
                        help="bytes per state (default: 1 MiB; a state holds at most "
                             "the first 1 MiB of its chunk)")
    args = parser.parse_args()

    converter = kyr.StreamingConverter(args.input.stat().st_size, args.chunk_size)
    args.output_dir.mkdir(parents=True, exist_ok=True)
    count = 0
    with args.input.open("rb") as source, progress_bar() as show:
        show(converter.progress)
        while chunk := source.read(converter.chunk_size):
            state = converter.process_chunk(chunk)
            kyr.save(state, str(args.output_dir / f"chunk_{count:06d}.kyr"))
            count += 1
            show(converter.progress)
    print(f"{count} states written to {args.output_dir}")


if __name__ == "__main__":
    main()
