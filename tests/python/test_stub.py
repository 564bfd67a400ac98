"""The typing stub describes exactly what the module exports: the same
classes, the same public methods with the same parameter names, only
special methods the classes really have; and it is installed beside the
module."""

import ast
import inspect
import os
import pathlib
import shutil
import subprocess
import typing

import pytest

import tavoric

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "tavoric.pyi"


def parse_stub():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def stub_classes():
    return {node.name: node for node in parse_stub().body if isinstance(node, ast.ClassDef)}


def members(node):
    """name -> list of function definitions (several for overloads); plain
    annotations map to an empty list."""
    found = {}
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            found.setdefault(item.name, []).append(item)
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            found.setdefault(item.target.id, [])
    return found


def decorator_names(function):
    return {d.id if isinstance(d, ast.Name) else getattr(d, "attr", None) for d in function.decorator_list}


def stub_parameter_names(function):
    args = function.args
    names = [a.arg for a in args.posonlyargs + args.args]
    if names and names[0] in ("self", "cls"):
        names = names[1:]
    if args.vararg:
        names.append("*" + args.vararg.arg)
    names += [a.arg for a in args.kwonlyargs]
    if args.kwarg:
        names.append("**" + args.kwarg.arg)
    return names


def runtime_parameter_names(attribute):
    names = []
    for parameter in inspect.signature(attribute).parameters.values():
        if parameter.kind is parameter.VAR_POSITIONAL:
            names.append("*" + parameter.name)
        elif parameter.kind is parameter.VAR_KEYWORD:
            names.append("**" + parameter.name)
        else:
            names.append(parameter.name)
    if names and names[0] == "self":  # unbound method descriptors list it
        names = names[1:]
    return names


def test_stub_names_exactly_what_the_module_exports():
    tree = parse_stub()
    declared_all = None
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            declared_all = ast.literal_eval(node.value)
        elif isinstance(node, ast.Assign):
            # Only private type variables besides the classes.
            (target,) = node.targets
            assert target.id.startswith("_") and node.value.func.id == "TypeVar", ast.dump(node)
        else:
            assert isinstance(node, (ast.ClassDef, ast.Import, ast.ImportFrom, ast.Expr)), ast.dump(node)
    assert declared_all == tavoric.__all__
    assert set(stub_classes()) == set(tavoric.__all__) | {"PanicException"}
    public = {name for name in dir(tavoric) if not name.startswith("__")} - {"_fail_next_rebuild"}
    assert public == set(stub_classes())


def test_panic_exception_is_declared_as_a_direct_base_exception():
    node = stub_classes()["PanicException"]
    assert [ast.unparse(base) for base in node.bases] == ["BaseException"]
    assert tavoric.PanicException.__bases__ == (BaseException,)


@pytest.mark.parametrize("name", sorted(set(tavoric.__all__)))
def test_each_class_matches_its_runtime_counterpart(name):
    node = stub_classes()[name]
    cls = getattr(tavoric, name)
    declared = members(node)
    runtime = vars(cls)

    # Public methods and properties: the same set on both sides.
    assert {m for m in declared if not m.startswith("_")} == {m for m in runtime if not m.startswith("_")}

    # Special methods declared must exist and mean what they say.
    for member in declared:
        if not member.startswith("__"):
            continue
        if member == "__init__":
            assert "__new__" in runtime  # constructed by the type's own new
        elif member == "__hash__":
            assert cls.__hash__ is None
        else:
            assert member in runtime, f"{name}.{member} is not defined by the class"

    # Parameter names agree with the text signatures, overloads included.
    for member, functions in declared.items():
        if member.startswith("_") or not functions:
            continue
        if "property" in decorator_names(functions[0]):
            assert isinstance(runtime[member], type(tavoric.FunnelHashSet.capacity))
            continue
        expected = runtime_parameter_names(getattr(cls, member))
        for function in functions:
            assert stub_parameter_names(function) == expected, f"{name}.{member}"
    for function in declared.get("__init__", []):
        assert stub_parameter_names(function) == runtime_parameter_names(cls), f"{name} constructor"

    # Generic over as many type parameters as the stub says, with the
    # runtime accepting the same subscription.
    bases = [ast.unparse(base) for base in node.bases]
    assert len(bases) == 1 and bases[0].startswith("Generic[")
    if "__class_getitem__" in runtime:
        arity = bases[0].count(",") + 1
        alias = cls[(int,) * arity] if arity > 1 else cls[int]
        assert typing.get_origin(alias) is cls


def test_containers_iterators_and_views_have_their_marks():
    classes = stub_classes()
    for name, node in classes.items():
        if name == "PanicException":
            continue
        assert "final" in {ast.unparse(d) for d in node.decorator_list}
        with pytest.raises(TypeError):
            type("Sub", (getattr(tavoric, name),), {})
    # Ordering is not declared for sets: the operators raise TypeError.
    for name in ("FunnelHashSet", "ElasticHashSet", "FunnelHashMap", "ElasticHashMap"):
        assert not {"__lt__", "__le__", "__gt__", "__ge__"} & set(members(classes[name]))
        with pytest.raises(TypeError):
            getattr(tavoric, name)() < getattr(tavoric, name)()


def test_marker_beside_the_stub_and_both_installed_with_the_module(tmp_path):
    assert (STUB.parent / "py.typed").is_file()
    build = os.environ.get("TAVORIC_MODULE_DIR")
    cmake = shutil.which("cmake")
    if not build or not (pathlib.Path(build) / "CMakeCache.txt").is_file() or cmake is None:
        pytest.skip("needs the module's CMake build folder")
    subprocess.run([cmake, "--install", build, "--prefix", str(tmp_path)], check=True, capture_output=True)
    installed = {p.name for p in tmp_path.iterdir()}
    assert {"tavoric.pyi", "py.typed", pathlib.Path(tavoric.__file__).name} <= installed
    assert (tmp_path / "tavoric.pyi").read_bytes() == STUB.read_bytes()
