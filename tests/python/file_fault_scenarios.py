"""Fault scenarios that the file-safety tests run in a child process, and the
helpers both sides share.

Each scenario sets resource limits, installs signal handlers, kills or races
other processes: things the test runner must survive and must not inherit.
`run_scenario` starts `python file_fault_scenarios.py NAME JSON_ARGS`; the
scenario returns plain data, printed as one JSON line, and the tests judge it.
"""
import errno
import functools
import hashlib
import json
import math
import multiprocessing
import os
import re
import resource
import signal
import stat
import struct
import subprocess
import sys
import time
import traceback

import kyr

# The hidden file a save writes before renaming it over its target.
TEMPORARY_NAME = re.compile(r"\.(?P<target>.+)\.saving-[A-Za-z0-9]{6}")


def run_scenario(name, *args, timeout=60):
    done = subprocess.run([sys.executable, os.path.abspath(__file__), name, json.dumps(args)],
                          capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"scenario {name} ended with {done.returncode}:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def leftovers(directory):
    return sorted(name for name in os.listdir(directory) if TEMPORARY_NAME.fullmatch(name))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def mapped_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize in /proc/self/status")


def described(error):
    return f"{type(error).__name__}: {error}"


def good_file(path, qubits=3, seed=0.25):
    """Writes a valid state file whose amplitudes depend on seed; returns its bytes."""
    count = 2**qubits
    values = [seed + index for index in range(2 * count)]
    norm = math.sqrt(sum(v * v for v in values))
    data = (b"KYR\x01" + bytes([qubits, 64, 1, 0]) + bytes(8)
            + struct.pack(f"<{2 * count}d", *(v / norm for v in values)))
    with open(path, "wb") as out:
        out.write(data)
    return data


def distinct_amplitudes(qubits, seed):
    """Interleaved amplitudes of a normalised state that all differ, and
    differ by seed."""
    import numpy as np

    values = np.arange(1, 2 ** (qubits + 1) + 1, dtype=np.float64)
    values += seed
    values /= np.linalg.norm(values)
    return values


def distinct_state(qubits, seed):
    return kyr.from_numpy(distinct_amplitudes(qubits, seed))


def forked(body):
    """Runs body() in a forked process; returns its pid."""
    pid = os.fork()
    if pid == 0:
        try:
            body()
            os._exit(0)
        except BaseException:
            traceback.print_exc()
            os._exit(1)
    return pid


def reaped(pid, timeout):
    """The exit code of a child (negative: the signal that ended it); None if
    it was still running after `timeout` seconds, and then killed."""
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return None
        time.sleep(0.01)


def save_call(via, state):
    return state.save if via == "method" else functools.partial(kyr.save, state)


# ----- failed saves ----------------------------------------------------------

def save_under_limit(target, limit, via):
    """Saves a fresh state over `target` while a file-size or memory limit
    makes the save fail; returns the error."""
    # 3 qubits is 144 bytes, past the 100-byte limit; 20 qubits is written
    # through two buffers of 512 KiB each, past the 512 KiB of address space
    # left.
    state = kyr.KyrFile(3 if limit == "file size" else 20)
    save = save_call(via, state)
    if limit == "file size":
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        kind, value = resource.RLIMIT_FSIZE, 100
    else:
        kind, value = resource.RLIMIT_AS, mapped_bytes() + 2**19
    previous = resource.getrlimit(kind)
    resource.setrlimit(kind, (value, previous[1]))
    try:
        save(target)
        failure = None
    except (OSError, MemoryError) as error:
        failure = error
    finally:
        resource.setrlimit(kind, previous)
    return {"error": failure and described(failure), "source_path": state.source_path}


def one_descriptor_free(target, qubits, rounds):
    """Saves over `target` and loads and verifies it `rounds` times while
    only one descriptor is free (RLIMIT_NOFILE); reports every failure."""
    state = distinct_state(qubits, 0)
    state.save(target)
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))
    resource.setrlimit(resource.RLIMIT_NOFILE, (highest + 16, hard))
    taken = []
    try:
        while True:
            taken.append(os.open("/dev/null", os.O_RDONLY))
    except OSError as error:
        if error.errno != errno.EMFILE:
            raise
    os.close(taken.pop())
    failures = []
    for _ in range(rounds):
        for step in (lambda: state.save(target), lambda: kyr.load(target),
                     lambda: kyr.verify(target) or failures.append("not verified")):
            try:
                step()
            except OSError as error:
                failures.append(described(error))
    return {"failures": failures}


def save_as_user(uid, target):
    """Saves a fresh 1-qubit state to `target` as user `uid` (None: as now)."""
    if uid is not None:
        os.setgid(uid)
        os.setuid(uid)
    try:
        kyr.KyrFile(1).save(target)
        return {"error": None}
    except OSError as error:
        return {"error": described(error)}


def read_device(path):
    """Loads and verifies a device under a memory limit, timing both."""
    previous = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + 256 * 2**20, previous[1]))
    started = time.monotonic()
    try:
        kyr.load(path)
        loaded = "loaded"
    except Exception as error:  # any type is judged by the test
        loaded = described(error)
    return {"load": loaded, "verify": kyr.verify(path), "seconds": time.monotonic() - started}


def private_dev():
    """Gives this process, when root, a /dev of its own holding only null and
    stdout: a save that wrongly replaced a device file by rename would
    otherwise replace the system's. False if root cannot get one."""
    if os.geteuid() != 0:
        return True  # may not create files in /dev anyway
    try:
        os.unshare(os.CLONE_NEWNS)
        subprocess.run(["mount", "--make-rprivate", "/"], check=True)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/dev"], check=True)
    except (OSError, subprocess.CalledProcessError, AttributeError):  # os.unshare: Python 3.12+
        return False
    os.mknod("/dev/null", stat.S_IFCHR, os.makedev(1, 3))
    os.chmod("/dev/null", 0o666)
    os.symlink("/proc/self/fd/1", "/dev/stdout")
    return True


def save_to_device(path, stdout, output):
    """Saves a fresh 3-qubit state to the device file `path`, with standard
    output sent to a pipe or to the regular file `output` meanwhile; reports
    what reached standard output and what `path` is afterwards."""
    if not private_dev():
        return {"skipped": "cannot give the test a private /dev"}
    kept_stdout = os.dup(1)
    if stdout == "pipe":
        read_end, write_end = os.pipe()  # 144 bytes fit in its buffer
    else:
        read_end, write_end = None, os.open(output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(write_end, 1)
    os.close(write_end)
    try:
        kyr.KyrFile(3).save(path)
    finally:
        os.dup2(kept_stdout, 1)
    if read_end is None:
        with open(output, "rb") as written:
            received = written.read()
    else:
        received = os.read(read_end, 4096)
    info = os.lstat(path)
    return {"stdout": received.hex(), "mode": stat.filemode(info.st_mode),
            "link": os.readlink(path) if stat.S_ISLNK(info.st_mode) else None,
            "entries": sorted(os.listdir(os.path.dirname(path)))}


# ----- kills and races -------------------------------------------------------

def kill_during_save(target, qubits, delays, fresh=False):
    """For each delay, a forked process saves a large state over the good file
    at `target` (or, when `fresh`, to the same path with no file there) and is
    SIGKILLed that long after it starts; reports what the path then holds and
    what else the directory then holds."""
    import numpy as np

    with open(target, "rb") as old_file:
        old = old_file.read()
    new_amplitudes = distinct_amplitudes(qubits, 0)
    new = kyr.from_numpy(new_amplitudes)
    directory = os.path.dirname(target)
    results = []
    for delay in delays:
        if fresh:
            os.remove(target)
        else:
            with open(target, "wb") as reset:
                reset.write(old)
        ready_read, ready_write = os.pipe()
        pid = forked(lambda: (os.write(ready_write, b"s"), new.save(target)))
        os.close(ready_write)
        os.read(ready_read, 1)
        os.close(ready_read)
        time.sleep(delay)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        if not os.path.exists(target):
            holds = "nothing"
        else:
            with open(target, "rb") as now:
                holds = "old" if now.read(len(old) + 1) == old else None
        if holds is None:
            try:
                loaded = kyr.load(target)
                same = np.array_equal(loaded.amplitudes, new_amplitudes)
                holds = "new" if same else "another state"
            except Exception as error:
                holds = described(error)
        left = leftovers(directory)
        others = sorted(set(os.listdir(directory)) - set(left) - {os.path.basename(target)})
        results.append({"holds": holds, "leftovers": left, "others": others})
        for name in left:
            os.remove(os.path.join(directory, name))
        if fresh and holds == "nothing":
            with open(target, "wb") as restore:
                restore.write(old)
    return results


def read_in_forked_child(path, qubits):
    """Saves a state large enough to be read by two threads at `path` and
    loads it (which parks a helper thread), then loads and verifies it in a
    forked child; reports how the child ended."""
    state = distinct_state(qubits, 0)
    state.save(path)
    expected = state.to_bytes()
    assert kyr.load(path).to_bytes() == expected

    def check():
        if kyr.load(path).to_bytes() != expected or not kyr.verify(path):
            os._exit(3)

    return reaped(forked(check), 30)


def fork_in_handler_during_load(path, qubits, tries):
    """Loads a cached file whose chunks the caller shares with a worker while
    a SIGALRM handler forks; in the child the load goes on. Reports, for each
    fork that came during a load, how the child's load ended: 0 the exact
    state, 3 a different state, 4 an exception, None a hang."""
    state = distinct_state(qubits, 0)
    state.save(path)
    expected = state.to_bytes()
    del state
    kyr.load(path)  # the file is cached and the worker started
    loading = False
    in_child = False
    children = []

    def handler(signum, frame):
        nonlocal in_child
        if loading and not in_child:
            pid = os.fork()
            if pid == 0:
                in_child = True
            else:
                children.append(pid)

    signal.signal(signal.SIGALRM, handler)
    for attempt in range(tries):
        signal.setitimer(signal.ITIMER_REAL, 0.001 + 0.003 * (attempt % 8))
        loading = True
        try:
            outcome = 0 if kyr.load(path).to_bytes() == expected else 3
        except Exception:
            outcome = 4
        loading = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        if in_child:
            os._exit(outcome)
    return [reaped(pid, 30) for pid in children]


def whole_state_at(path, expected):
    """Which of the `expected` encodings the file at `path` loads as."""
    try:
        data = kyr.load(path).to_bytes()
    except Exception as error:
        return described(error)
    return f"state {expected.index(data)}" if data in expected else "a mixture"


def concurrent_writers(target, qubits, trials):
    """Two processes save different states to `target` at the same moment,
    `trials` times; reports what each load and verify found afterwards."""
    states = [distinct_state(qubits, seed) for seed in (0, 1)]
    expected = [state.to_bytes() for state in states]
    context = multiprocessing.get_context("fork")
    start = context.Barrier(3, timeout=30)
    done = context.Barrier(3, timeout=30)

    def write(state):
        for _ in range(trials):
            start.wait()
            state.save(target)
            done.wait()

    writers = [context.Process(target=write, args=(state,)) for state in states]
    for writer in writers:
        writer.start()
    found, verified = [], []
    for _ in range(trials):
        start.wait()
        done.wait()
        found.append(whole_state_at(target, expected))
        verified.append(kyr.verify(target))
    for writer in writers:
        writer.join()
    return {"found": found, "verified": verified,
            "leftovers": leftovers(os.path.dirname(target)),
            "exit codes": [writer.exitcode for writer in writers]}


def reader_while_writing(target, qubits, reads):
    """Loads and verifies `target` `reads` times while another process keeps
    saving one of two states there."""
    states = [distinct_state(qubits, seed) for seed in (0, 1)]
    expected = [state.to_bytes() for state in states]
    states[0].save(target)
    context = multiprocessing.get_context("fork")
    stop = context.Event()
    saves = context.Value("l", 0)

    def write():
        while not stop.is_set():
            states[saves.value % 2].save(target)
            saves.value += 1

    writer = context.Process(target=write)
    writer.start()
    found, verified = [], []
    try:
        for _ in range(reads):
            found.append(whole_state_at(target, expected))
            verified.append(kyr.verify(target))
    finally:
        stop.set()
        writer.join()
    return {"found": found, "verified": verified, "saves": saves.value,
            "exit code": writer.exitcode}


# ----- signals ---------------------------------------------------------------

class Alarm(Exception):
    """What the scenario's SIGALRM handler raises."""


def file_operation(operation, path, qubits):
    if operation == "load":
        return functools.partial(kyr.load, path)
    if operation == "verify":
        return functools.partial(kyr.verify, path)
    return functools.partial(save_call(operation.removeprefix("save "), kyr.KyrFile(qubits)), path)


def open_positions(directory):
    """Offsets of this process's descriptors open on files in `directory`."""
    positions = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            name = os.readlink(f"/proc/self/fd/{fd}")
            with open(f"/proc/self/fdinfo/{fd}") as info:
                position = int(info.readline().split()[1])
        except OSError:
            continue  # closed meanwhile
        if os.path.dirname(name) == directory:
            positions[os.path.basename(name)] = position
    return positions


def outcome_of(call):
    """"returned", "Alarm" when the alarm's handler ended the call, or the
    error it raised otherwise."""
    try:
        call()
        return "returned"
    except Alarm:
        return "Alarm"
    except Exception as error:
        return described(error)


def alarm_during(operation, path, qubits, first_alarm):
    """Runs one operation ("load", "verify", "save function", "save method";
    saves write a fresh state of `qubits`) with a SIGALRM due after
    `first_alarm` seconds whose handler raises Alarm. The handler records the
    files open and present in the path's directory when it ran."""
    call = file_operation(operation, path, qubits)
    directory = os.path.dirname(path)
    seen = {}

    def handler(signum, frame):
        seen["latency"] = time.monotonic() - due
        seen["open"] = open_positions(directory)
        seen["present"] = {name: os.path.getsize(os.path.join(directory, name))
                           for name in os.listdir(directory)}
        raise Alarm

    signal.signal(signal.SIGALRM, handler)
    mapped_before = mapped_bytes()
    started = time.monotonic()
    due = started + first_alarm
    signal.setitimer(signal.ITIMER_REAL, first_alarm)
    outcome = outcome_of(call)
    seconds = time.monotonic() - started
    signal.setitimer(signal.ITIMER_REAL, 0)
    return {"outcome": outcome, "seconds": seconds, **seen,
            "after": sorted(os.listdir(directory)),
            "mapped growth": mapped_bytes() - mapped_before}


def alarm_during_stalled_pipe(operation, fifo, qubits):
    """Runs one operation on a FIFO whose peer stalls for 30 s after moving
    part of a `qubits` state file, with a SIGALRM due after 0.5 s whose
    handler raises Alarm. "save": the peer reads 64 KiB and stalls, with the
    save blocked in a write that has moved bytes when the signal comes.
    "load", "verify": the peer writes the header and 64 KiB, stalls for 1 s,
    writes 4 KiB and stalls; the signal goes to another thread meanwhile, so
    only a read that returns data can see it. Reports the outcome and how
    long after the peer began its last move the call ended."""
    moved = multiprocessing.get_context("fork").Value("d", 0.0)

    def peer():
        if operation == "save":
            with open(fifo, "rb", buffering=0) as pipe:
                pipe.read(65536)
                moved.value = time.monotonic()
                time.sleep(30)
        else:
            with open(fifo, "wb", buffering=0) as pipe:
                pipe.write(b"KYR\x01" + bytes([qubits, 64, 1, 0]) + bytes(8) + bytes(65536))
                time.sleep(1)
                # Stamped before the write: the reader may take the bytes and
                # end before this process runs again.
                moved.value = time.monotonic()
                pipe.write(bytes(4096))
                time.sleep(30)

    def handler(signum, frame):
        raise Alarm

    peer_pid = forked(peer)
    signal.signal(signal.SIGALRM, handler)
    if operation != "save":
        # A thread that takes the signal, started before the main thread
        # blocks it (threads inherit the mask).
        import threading

        threading.Thread(target=threading.Event().wait, args=(60,), daemon=True).start()
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
    call = file_operation(operation, fifo, qubits)
    started = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    outcome = outcome_of(call)
    ended = time.monotonic()
    os.kill(peer_pid, signal.SIGKILL)
    reaped(peer_pid, 10)
    return {"outcome": outcome, "seconds": ended - started, "after peer": ended - moved.value}


def feed(fifo, data, slices, pause, endless):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # ends the endless feed
    with open(fifo, "wb", buffering=0) as pipe:
        step = -(-len(data) // slices)
        for offset in range(0, len(data), step):
            pipe.write(data[offset:offset + step])
            time.sleep(pause)
        while endless:
            pipe.write(b"\xa5" * 65536)


def drain(fifo, received, pause):
    with open(fifo, "rb", buffering=0) as pipe, open(received, "wb") as out:
        while chunk := pipe.read(32768):
            out.write(chunk)
            time.sleep(pause)


def fifo_transfer(operation, fifo, source, alarms, endless):
    """Moves the state file `source` through a FIFO whose other end is a slow
    forked process: "load" and "verify" read what it feeds (followed by
    endless bytes if asked), "save" writes the state for it to drain into
    fifo + ".received". With `alarms`, a no-op SIGALRM handler fires every
    10 ms meanwhile."""
    with open(source, "rb") as source_file:
        data = source_file.read()
    if operation == "save":
        state = kyr.load(source)
        peer = forked(lambda: drain(fifo, fifo + ".received", 0.02))
    else:
        peer = forked(lambda: feed(fifo, data, 8, 0.02, endless))
    count = [0]

    def handler(signum, frame):
        count[0] += 1

    if alarms:
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    try:
        if operation == "load":
            result = sha256(kyr.load(fifo).to_bytes())
        elif operation == "verify":
            result = kyr.verify(fifo)
        else:
            result = state.save(fifo)
    except Exception as error:
        result = described(error)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    return {"result": result, "alarms": count[0], "peer": reaped(peer, 10)}


if __name__ == "__main__":
    scenario = globals()[sys.argv[1]]
    print(json.dumps(scenario(*json.loads(sys.argv[2]))))
