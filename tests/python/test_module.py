"""The module object: who may load it, its exported symbols, loading it twice."""

import os
import shutil
import subprocess
import sys

import pytest

import tavoric


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_subinterpreters_are_refused(config):
    # The types are process-wide, so no subinterpreter may load the module,
    # not even one sharing the main interpreter's GIL.
    _interpreters = pytest.importorskip("_interpreters")
    code = (
        f"import sys\nsys.path[:0] = {[p for p in sys.path if p]!r}\n"
        "try:\n    import tavoric\nexcept ImportError as error:\n"
        "    assert 'does not support loading in subinterpreters' in str(error), error\n"
        "else:\n    raise AssertionError('imported')\n"
    )
    interp = _interpreters.create(_interpreters.new_config(config))
    try:
        assert _interpreters.run_string(interp, code) is None
    finally:
        _interpreters.destroy(interp)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_init_function_is_exported():
    listing = subprocess.run(["nm", "-D", "--defined-only", tavoric.__file__],
                             capture_output=True, text=True, check=True).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.split()[1] in "TDBR"]
    # A build instrumented for coverage also exports the gcov runtime's own symbols.
    exported = [name for name in exported if not name.startswith("__gcov_") and name != "mangle_path"]
    assert exported == ["PyInit_tavoric"]


def test_reimport_executes_the_definition_again():
    # The execution slot runs again on a new module object and reuses the types (in a child).
    code = ("import importlib, sys, tavoric\ndel sys.modules['tavoric']\n"
            "again = importlib.import_module('tavoric')\n"
            "assert again is not tavoric and again.__doc__ == '' and again.FunnelHashMap({1: 2})[1] == 2\n")
    env = dict(os.environ, PYTHONPATH=":".join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
