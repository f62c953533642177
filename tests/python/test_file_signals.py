"""A Python signal handler that raises ends load, verify and save promptly with
its own exception, whether the call is blocked on a FIFO with no peer or
busy with a large file, and leaves nothing behind. Each case runs in a child
process that arms SIGALRM."""
import os

import pytest

from file_fault_scenarios import good_file, run_scenario

OPERATIONS = ["load", "verify", "save function", "save method"]


@pytest.mark.parametrize("operation", OPERATIONS)
def test_raising_handler_ends_a_call_blocked_on_a_fifo_with_no_peer(tmp_path, operation):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    result = run_scenario("alarm_during", operation, str(fifo), 1, 0.1, timeout=30)
    assert result["outcome"] == "Alarm"
    assert result["seconds"] < 2
    assert result["after"] == ["pipe"]


@pytest.mark.parametrize("operation", OPERATIONS)
def test_raising_handler_ends_a_large_operation_within_a_chunk(tmp_path, operation):
    # 26 qubits: 1 GiB of amplitudes, 256 chunks, far longer than the 20 ms
    # before the alarm. The loaded file is sparse; the saved state is fresh.
    target = tmp_path / "state.kyr"
    if operation.startswith("save"):
        old = good_file(target)
    else:
        with open(target, "wb") as sparse:
            sparse.write(b"KYR\x01" + bytes([26, 64, 1, 0]) + bytes(8))
            sparse.truncate(16 + 16 * 2**26)
        old = None
    result = run_scenario("alarm_during", operation, str(target), 26, 0.02, timeout=60)
    assert result["outcome"] == "Alarm"
    assert result["latency"] < 0.5
    assert result["seconds"] < 2
    if old is None:
        # The handler ran while the file was open and far from read.
        assert result["open"]["state.kyr"] < 16 * 2**26
        # Not the arrays (1 GiB); the helper thread's stack and arena may stay.
        assert result["mapped growth"] < 256 * 2**20
    else:
        # The handler ran while the new file, still without a name, was being
        # written.
        assert list(result["present"]) == ["state.kyr"]
        unnamed = [position for name, position in result["open"].items()
                   if name.endswith(" (deleted)")]
        assert len(unnamed) == 1
        assert unnamed[0] < 16 * 2**26
        assert target.read_bytes() == old
    assert result["after"] == ["state.kyr"]


@pytest.mark.parametrize("operation", ["save", "load", "verify"])
def test_raising_handler_ends_a_call_on_a_stalled_pipe_that_moved_data(tmp_path, operation):
    # A pipe's read or write that a signal interrupts after moving bytes
    # returns their count, not EINTR; the handler must still run before the
    # next call, which would block until the peer moved again (here 30 s).
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    result = run_scenario("alarm_during_stalled_pipe", operation, str(fifo), 20, timeout=60)
    assert result["outcome"] == "Alarm"
    if operation == "save":
        assert result["seconds"] < 1.0  # the alarm is due at 0.5 s
    else:
        assert result["after peer"] < 0.5
        assert result["seconds"] < 2
    assert os.listdir(tmp_path) == ["pipe"]
