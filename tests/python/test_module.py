"""The module: its stub declares exactly its classes, methods and parameters and is installed;
who may load it, its exported symbols, loading it twice."""

import ast
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import typing

import pytest

import tavoric

STUB = pathlib.Path(__file__).resolve().parents[2] / "stubs" / "tavoric.pyi"
TREE = ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))
CLASSES = {node.name: node for node in TREE.body if isinstance(node, ast.ClassDef)}


def stub_parameters(function):
    a = function.args  # without self / cls
    return ([p.arg for p in a.posonlyargs + a.args][1:] + (["*" + a.vararg.arg] if a.vararg else [])
            + [p.arg for p in a.kwonlyargs] + (["**" + a.kwarg.arg] if a.kwarg else []))


def runtime_parameters(attribute):
    prefix = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}
    names = [prefix.get(p.kind, "") + p.name for p in inspect.signature(attribute).parameters.values()]
    return names[1:] if names[:1] == ["self"] else names  # unbound method descriptors list self


def test_stub_names_exactly_what_the_module_exports():
    declared_all = None
    for node in TREE.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            declared_all = ast.literal_eval(node.value)
        elif isinstance(node, ast.Assign):  # only private type variables besides the classes
            (target,) = node.targets
            assert target.id.startswith("_") and node.value.func.id == "TypeVar", ast.dump(node)
        else:
            assert isinstance(node, (ast.ClassDef, ast.Import, ast.ImportFrom, ast.Expr)), ast.dump(node)
    assert declared_all == tavoric.__all__
    public = {name for name in dir(tavoric) if not name.startswith("__")} - {"_fail_next_rebuild"}
    assert set(CLASSES) == set(tavoric.__all__) | {"PanicException"} == public
    assert [ast.unparse(base) for base in CLASSES["PanicException"].bases] == ["BaseException"]
    assert tavoric.__doc__ == "" and tavoric.PanicException.__bases__ == (BaseException,)
    assert all(type(getattr(tavoric, name)) is type and getattr(tavoric, name).__module__ == "tavoric" for name in CLASSES)


@pytest.mark.parametrize("name", sorted(tavoric.__all__))
def test_each_class_matches_its_runtime_counterpart(name):
    node, cls = CLASSES[name], getattr(tavoric, name)
    declared, runtime = {}, vars(cls)  # name -> definitions (several for overloads); [] for annotations
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            declared.setdefault(item.name, []).append(item)
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            declared.setdefault(item.target.id, [])
    assert {m for m in declared if not m.startswith("_")} == {m for m in runtime if not m.startswith("_")}
    for member in (m for m in declared if m.startswith("__")):  # __init__ stands for the type's own __new__
        assert {"__init__": "__new__" in runtime, "__hash__": cls.__hash__ is None}.get(member, member in runtime), member
    for member, functions in ((m, f) for m, f in declared.items() if f and not m.startswith("_")):
        if any(getattr(d, "id", None) == "property" for d in functions[0].decorator_list):
            assert isinstance(runtime[member], type(tavoric.FunnelHashSet.capacity))
        else:
            assert all(stub_parameters(f) == runtime_parameters(getattr(cls, member)) for f in functions), member
    for function in declared.get("__init__", []):
        assert stub_parameters(function) == runtime_parameters(cls), f"{name} constructor"
    # Final, and generic over as many parameters as the runtime accepts.
    assert "final" in {ast.unparse(d) for d in node.decorator_list}
    pytest.raises(TypeError, lambda: type("Sub", (cls,), {}))
    (base,) = [ast.unparse(b) for b in node.bases]
    assert base.startswith("Generic[")
    if "__class_getitem__" in runtime:
        arity = base.count(",") + 1
        alias = cls[(int,) * arity] if arity > 1 else cls[int]
        assert isinstance(alias, typing.GenericAlias) and typing.get_origin(alias) is cls
    if name in ("FunnelHashSet", "ElasticHashSet", "FunnelHashMap", "ElasticHashMap"):
        assert not {"__lt__", "__le__", "__gt__", "__ge__"} & set(declared)  # ordering raises TypeError
        pytest.raises(TypeError, lambda: cls() < cls())


def test_marker_beside_the_stub_and_both_installed_with_the_module(tmp_path):
    assert (STUB.parent / "py.typed").is_file()
    build, cmake = os.environ.get("TAVORIC_MODULE_DIR"), shutil.which("cmake")
    if not build or not (pathlib.Path(build) / "CMakeCache.txt").is_file() or cmake is None:
        pytest.skip("needs the module's CMake build folder")
    subprocess.run([cmake, "--install", build, "--prefix", str(tmp_path)], check=True, capture_output=True)
    assert {"tavoric.pyi", "py.typed", pathlib.Path(tavoric.__file__).name} <= {p.name for p in tmp_path.iterdir()}
    assert (tmp_path / "tavoric.pyi").read_bytes() == STUB.read_bytes()


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


def test_fixed_hash_seed_repeats_every_order_of_a_run():
    # Two runs with one TAVORIC_HASH_SEED agree on every table's order; the
    # number enters the seeds, and the tables of one run still differ.
    code = ("import tavoric\nkeys = [f'k{i}' for i in range(300)] + list(range(300))\n"
            "print([list(tavoric.ElasticHashMap.fromkeys(keys)), list(tavoric.FunnelHashSet(keys)),"
            " list(tavoric.FunnelHashSet(keys))])\n")

    def orders(seed):
        env = dict(os.environ, PYTHONPATH=":".join(p for p in sys.path if p), PYTHONHASHSEED="0",
                   TAVORIC_HASH_SEED=seed)
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
        assert done.returncode == 0, done.stderr
        return ast.literal_eval(done.stdout)

    first = orders("12345")
    assert first == orders("12345") and first[1] != first[2]
    assert orders("12346") != first
    assert orders("12345x") != first  # not a decimal number: random seeds, as if unset
