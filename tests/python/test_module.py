import shutil
import subprocess
import sys
import textwrap

import pytest

import kyr

EXPECTED_ALL = [
    "KyrFile", "StreamingConverter", "Encoding", "load", "save", "from_numpy",
    "from_arrays", "verify", "version", "from_qiskit", "to_qiskit",
]

MODULE_DOC = """Kyr (.kyr) Python SDK

Production-grade Python bindings for the .kyr quantum state format.

Features:
- Load/save quantum states in .kyr format
- NumPy array interoperability
- Qiskit/Cirq conversion
- Streaming for large files
- Golay error correction
- MPS compression

Examples
--------
>>> import kyr
>>> import numpy as np
>>>
>>> # Create a Bell state
>>> f = kyr.KyrFile(2)
>>> real = np.array([1/np.sqrt(2), 0, 0, 1/np.sqrt(2)])
>>> imag = np.zeros(4)
>>> f.set_amplitudes(real, imag)
>>>
>>> # Save and reload
>>> f.save("bell.kyr")
>>> loaded = kyr.load("bell.kyr")
>>> print(loaded.fidelity(f))  # 1.0"""


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_module_docstring():
    assert kyr.__doc__ == MODULE_DOC


def test_all_lists_every_name_in_registration_order():
    assert kyr.__all__ == EXPECTED_ALL


def test_module_defines_nothing_else():
    public = {name for name in dir(kyr) if not name.startswith("__")}
    assert public == set(EXPECTED_ALL)


@pytest.mark.parametrize("name", ["KyrFile", "StreamingConverter", "Encoding"])
def test_classes_are_sealed_builtins(name):
    cls = getattr(kyr, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", EXPECTED_ALL[3:])
def test_functions_are_bound_to_the_module(name):
    function = getattr(kyr, name)
    assert function.__module__ == "kyr"
    assert function.__self__ is kyr
    assert function.__name__ == name


def test_instances_take_no_new_attributes():
    state = kyr.KyrFile()
    with pytest.raises(AttributeError):
        state.anything = 1
    assert not hasattr(state, "__dict__")
    assert not hasattr(state, "__weakref__")


def test_reimport_returns_the_cached_module():
    result = run_python("""
        import sys
        import kyr
        first = kyr
        del sys.modules["kyr"]
        import kyr
        assert kyr is first, "a second module object was created"
        assert kyr.__all__.count("KyrFile") == 1
    """)
    assert result.returncode == 0, result.stderr


def test_second_interpreter_is_refused_and_first_keeps_working():
    result = run_python("""
        import kyr
        try:
            import _testcapi
        except ImportError:
            raise SystemExit(77)
        code = "import kyr"
        status = _testcapi.run_in_subinterp(code)
        assert status != 0, "import in a subinterpreter succeeded"
        print(str(kyr.KyrFile(2)))
    """)
    if result.returncode == 77:
        pytest.skip("interpreter built without _testcapi")
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stderr
    assert "does not support subinterpreters" in result.stderr
    assert result.stdout.strip() == "KyrFile: 2 qubits, dim=4, norm=1.000000, 0 metadata entries"


def test_import_does_not_import_numpy():
    result = run_python("""
        import sys
        import kyr
        assert "numpy" not in sys.modules
    """)
    assert result.returncode == 0, result.stderr


def test_extension_exports_only_its_entry_point():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm")
    listing = subprocess.run([nm, "-D", "--defined-only", kyr.__file__],
                             capture_output=True, text=True, check=True).stdout
    exported = {line.split()[-1] for line in listing.splitlines()
                if line.split()[1] not in ("U", "w", "v")}
    assert exported == {"PyInit_kyr"}
