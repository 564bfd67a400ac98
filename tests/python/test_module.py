"""The module object itself: how it is defined and what it exports."""

import ctypes
import os
import shutil
import subprocess
import sys

import pytest

import tavoric

PY_MOD_EXEC = 2
PY_MOD_GIL = 4
PY_MOD_MULTIPLE_INTERPRETERS = 3
PY_MOD_GIL_NOT_USED = 1


def test_module_identity():
    assert tavoric.__name__ == "tavoric"
    assert tavoric.__doc__ == ""
    # No module-level functions: everything public is a class.
    # (Test builds add one hidden fault-injection hook.)
    public = [name for name in dir(tavoric) if not name.startswith("__") and name != "_fail_next_rebuild"]
    assert all(isinstance(getattr(tavoric, name), type) for name in public)


class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


def _module_definition_slots():
    """Reads the slots of the definition PyInit_tavoric hands the interpreter."""
    library = ctypes.PyDLL(tavoric.__file__)
    init = library.PyInit_tavoric
    init.restype = ctypes.c_void_p
    definition = init()
    # PyModuleDef: PyModuleDef_Base (object header, m_init, m_index, m_copy),
    # then m_name, m_doc, m_size, m_methods, m_slots.
    header = object.__basicsize__
    base = header + 3 * ctypes.sizeof(ctypes.c_void_p)
    word = ctypes.sizeof(ctypes.c_void_p)
    name = ctypes.c_char_p.from_address(definition + base).value
    size = ctypes.c_ssize_t.from_address(definition + base + 2 * word).value
    methods = ctypes.c_void_p.from_address(definition + base + 3 * word).value
    slots_at = ctypes.c_void_p.from_address(definition + base + 4 * word).value
    slots = []
    while True:
        slot = _Slot.from_address(slots_at + len(slots) * ctypes.sizeof(_Slot))
        slots.append((slot.slot, slot.value))
        if slot.slot == 0:
            break
    return name, size, methods, slots


def test_definition_is_multi_phase_and_needs_no_gil():
    name, size, methods, slots = _module_definition_slots()
    assert name == b"tavoric"
    assert size == 0
    assert methods is None
    assert [slot for slot, _ in slots] == [PY_MOD_EXEC, PY_MOD_GIL, PY_MOD_MULTIPLE_INTERPRETERS, 0]
    assert slots[1][1] == PY_MOD_GIL_NOT_USED


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_subinterpreters_are_refused(config):
    # The types are process-wide, so no subinterpreter may load the module,
    # not even one sharing the main interpreter's GIL.
    _interpreters = pytest.importorskip("_interpreters")
    code = (
        "import sys\n"
        f"sys.path[:0] = {[p for p in sys.path if p]!r}\n"
        "try:\n"
        "    import tavoric\n"
        "except ImportError as error:\n"
        "    assert 'does not support loading in subinterpreters' in str(error), error\n"
        "else:\n"
        "    raise AssertionError('imported')\n"
    )
    interp = _interpreters.create(_interpreters.new_config(config))
    try:
        assert _interpreters.run_string(interp, code) is None
    finally:
        _interpreters.destroy(interp)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_init_function_is_exported():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", tavoric.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.split()[1] in "TDBR"]
    assert exported == ["PyInit_tavoric"]


def test_reimport_executes_the_definition_again():
    # Removing the module from sys.modules and importing again runs the
    # execution slot on a new module object; types made by the first run must
    # serve the second as well. Done in a child so this process keeps one copy.
    code = (
        "import importlib, sys, tavoric\n"
        "del sys.modules['tavoric']\n"
        "again = importlib.import_module('tavoric')\n"
        "assert again is not tavoric and again.__doc__ == ''\n"
        "print('ok')\n"
    )
    env = dict(os.environ, PYTHONPATH=":".join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
