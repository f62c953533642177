"""Whatever else happens to a path while a save runs (the saving process is
killed, another process saves or loads it), the path holds one whole state.
Every scenario runs in a child process; each assertion holds for every
interleaving of the processes, so none depends on timing."""
import pytest

from file_fault_scenarios import good_file, run_scenario


def test_sigkill_during_a_save_leaves_the_old_or_the_new_state_and_nothing_else(tmp_path):
    # The new file has no name until it is whole (then a hidden one for the
    # instant before the rename), so no kill leaves a part of it behind.
    target = tmp_path / "state.kyr"
    good_file(target)
    # A 24-qubit save writes 256 MiB (0.05-0.5 s); the delays put the kill
    # before it, inside it and after it.
    delays = [0, 0.005, 0.01, 0.02, 0.03, 0.05, 0.1, 0.2, 0.4, 1.0]
    results = run_scenario("kill_during_save", str(target), 24, delays, timeout=240)
    for result in results:
        assert result["holds"] in ("old", "new")
        assert result["leftovers"] == [] and result["others"] == []


def test_sigkill_during_a_save_to_a_new_path_leaves_nothing_or_the_new_state(tmp_path):
    # The new file has no name until it is whole, so no kill leaves a part of
    # it, under the target's name or any other.
    target = tmp_path / "state.kyr"
    good_file(target)
    results = run_scenario("kill_during_save", str(target), 24, [0, 0.01, 0.03, 0.2, 1.0], True,
                           timeout=120)
    assert {result["holds"] for result in results} <= {"nothing", "new"}
    assert all(result["leftovers"] == [] and result["others"] == [] for result in results)


def test_forked_child_reads_large_files_without_its_parents_helper(tmp_path):
    # 20 qubits: load and verify both share the file's chunks with a worker
    # thread the parent started before forking.
    assert run_scenario("read_in_forked_child", str(tmp_path / "state.kyr"), 20) == 0


def test_child_forked_by_a_signal_handler_during_a_load_gets_the_exact_state(tmp_path):
    # 23 qubits: a cached 128 MiB file whose chunks the caller shares with a
    # worker; the handler forks between chunks, while the worker holds one.
    children = run_scenario("fork_in_handler_during_load", str(tmp_path / "state.kyr"), 23, 24,
                            timeout=240)
    assert len(children) >= 8
    assert children == [0] * len(children)


def test_concurrent_writers_leave_one_whole_state(tmp_path):
    # 18 qubits: each save is two writes (4 MiB, then the last amplitude), so
    # writers sharing one file could interleave them.
    trials = 40
    result = run_scenario("concurrent_writers", str(tmp_path / "state.kyr"), 18, trials)
    assert set(result["found"]) <= {"state 0", "state 1"}
    assert result["verified"] == [True] * trials
    assert result["leftovers"] == []
    assert result["exit codes"] == [0, 0]


def test_reader_sees_whole_states_while_another_process_saves(tmp_path):
    reads = 100
    result = run_scenario("reader_while_writing", str(tmp_path / "state.kyr"), 16, reads)
    assert set(result["found"]) <= {"state 0", "state 1"}
    assert result["verified"] == [True] * reads
    assert result["exit code"] == 0
