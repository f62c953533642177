"""A progress bar on standard error when it is a terminal: tqdm if installed, else plain text."""

import contextlib
import sys


@contextlib.contextmanager
def progress_bar(total_bytes, enabled=True):
    """Yields advance(byte_count); draws nothing unless enabled and stderr is a terminal."""
    if not enabled or not sys.stderr.isatty():
        yield lambda count: None
        return
    try:
        from tqdm import tqdm
    except ImportError:
        with plain_bar(total_bytes) as advance:
            yield advance
        return
    with tqdm(total=total_bytes, unit="B", unit_scale=True, unit_divisor=1024,
              file=sys.stderr, leave=True) as bar:
        yield bar.update


@contextlib.contextmanager
def plain_bar(total_bytes, width=40):
    done = 0
    shown = None

    def draw():
        nonlocal shown
        fraction = done / total_bytes if total_bytes else 1.0
        percent = int(fraction * 100)
        if percent != shown:  # redraw only when the figure changes
            filled = int(width * fraction)
            print(f"\r[{'#' * filled}{'.' * (width - filled)}] {percent:3d}%",
                  end="", file=sys.stderr, flush=True)
            shown = percent

    def advance(count):
        nonlocal done
        done += count
        draw()

    draw()
    try:
        yield advance
    finally:
        print(file=sys.stderr)
