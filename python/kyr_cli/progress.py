"""A progress bar on standard error while a command works through large files.

Most of the work is calls into kyr (load, verify, save) that keep the
interpreter busy for seconds; kyr checks for signals between chunks, so a
timer signal draws the bar during those calls too. Progress is what the
process has read and written since the bar began (/proc/self/io) against
what the work will move. The bar shows only on a terminal and only once the
work has taken DELAY seconds, so short or piped runs print nothing, and it is
erased when the work ends, so the lines a command prints stay clean.
"""

import contextlib
import os
import signal
import time

DELAY = 1.0  # seconds of work before the bar appears
INTERVAL = 0.2  # seconds between redraws
WIDTH = 30  # cells of the bar itself
LABEL_WIDTH = 40
IO_COUNTERS = "/proc/self/io"


def bytes_moved():
    """The bytes this process has read and written so far (rchar + wchar)."""
    with open(IO_COUNTERS, "rb") as counters:
        fields = dict(line.split(b":", 1) for line in counters.read().splitlines())
    return int(fields[b"rchar"]) + int(fields[b"wchar"])


def can_draw():
    try:
        bytes_moved()
    except (OSError, KeyError, ValueError):
        return False
    return os.isatty(2)


class Bar:
    def __init__(self, label, total_bytes):
        if len(label) > LABEL_WIDTH:  # keep the command and the end of the path
            head = LABEL_WIDTH // 3
            label = label[:head] + "..." + label[head + 3 - LABEL_WIDTH:]
        self.label = label
        self.total = total_bytes
        self.start_time = time.monotonic()
        self.start_bytes = bytes_moved()
        self.shown = None  # the percentage on the screen, None before the first draw

    def fraction(self):
        return min(1.0, (bytes_moved() - self.start_bytes) / self.total)

    def draw(self):
        percent = int(self.fraction() * 100)
        if percent == self.shown:
            return
        filled = WIDTH * percent // 100
        line = f"\r{self.label} [{'#' * filled}{'.' * (WIDTH - filled)}] {percent:3d}%"
        # Straight to the descriptor: this runs in a signal handler, which must
        # not re-enter sys.stderr's buffer.
        os.write(2, line.encode(errors="replace"))
        self.shown = percent

    def on_timer(self, signum, frame):
        if time.monotonic() - self.start_time >= DELAY:
            self.draw()

    def finish(self):
        if self.shown is not None:
            self.draw()
            os.write(2, b"\r\x1b[K")  # erase the line: the command's own output follows


@contextlib.contextmanager
def progress_bar(label, total_bytes, enabled=True):
    """Shows `label` and a bar on standard error while the block moves `total_bytes`
    bytes, when `enabled`, standard error is a terminal and the block takes DELAY
    seconds or more."""
    if not enabled or total_bytes <= 0 or not can_draw():
        yield
        return
    bar = Bar(label, total_bytes)
    try:
        previous = signal.signal(signal.SIGALRM, bar.on_timer)
    except ValueError:  # main() called on another thread, where no handler can be set
        yield
        return
    signal.setitimer(signal.ITIMER_REAL, INTERVAL, INTERVAL)
    try:
        if DELAY <= 0:
            bar.draw()
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        bar.finish()
