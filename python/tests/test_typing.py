"""The type stubs, as a new user's editor and mypy meet them: they declare
every name and member the module has, and the documented examples pass
`mypy --strict` against them."""

import ast
import os
import pathlib
import re
import subprocess
import sys
import types

import pytest

import zelm

PACKAGE = pathlib.Path(zelm.__file__).parent
SOURCE = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = [SOURCE / "python" / "README.md", SOURCE / "README.md"]

# The protocols a class's stub must declare for `with` and `for` to check.
PROTOCOL_METHODS = {"__init__", "__enter__", "__exit__", "__iter__", "__next__"}


def stub():
    return ast.parse((PACKAGE / "__init__.pyi").read_text())


def declared(body):
    """Names a stub body declares: classes, functions and annotated
    variables (plain assignments are type aliases or __all__)."""
    names = set()
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return names


def stub_classes():
    return {node.name: node for node in stub().body if isinstance(node, ast.ClassDef)}


def stub_members(name, classes):
    """A stub class's members, its stub base classes' included."""
    node = classes[name]
    members = declared(node.body)
    for base in node.bases:
        if isinstance(base, ast.Name) and base.id in classes:
            members |= stub_members(base.id, classes)
    return members


def module_members(cls):
    """What the module's class has of its own and from the module's other
    classes, not from Python's built-in bases; a class that users cannot
    make has only a slot for __init__."""
    return {name for klass in cls.__mro__ if klass.__module__ == "zelm" for name, value in vars(klass).items()
            if (not name.startswith("_") or name in PROTOCOL_METHODS)
            and not isinstance(value, types.WrapperDescriptorType)}


def test_the_stubs_declare_every_name_of_the_module():
    public = {name for name in dir(zelm) if not name.startswith("_")} | {"__version__"}
    assert declared(stub().body) == public


def test_the_stubs_all_is_the_modules():
    assigned = [node for node in stub().body if isinstance(node, ast.Assign)
                and [target.id for target in node.targets] == ["__all__"]]
    assert [ast.literal_eval(node.value) for node in assigned] == [zelm.__all__]


@pytest.mark.parametrize("name", sorted(stub_classes()))
def test_a_class_stub_declares_every_member_of_the_class(name):
    assert stub_members(name, stub_classes()) == module_members(getattr(zelm, name))


def python_examples():
    """The fenced python blocks of the documents, each a program of its own."""
    for document in DOCUMENTS:
        for index, block in enumerate(re.findall(r"^```python\n(.*?)^```", document.read_text(), re.M | re.S)):
            yield f"{document.relative_to(SOURCE)}:{index + 1}", block


def mypy_strict(files, tmp_path):
    """mypy's report on `files`, against the stubs of the package the tests
    import, or None when it finds nothing."""
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         *map(str, files)],
        env=dict(os.environ, MYPYPATH=str(PACKAGE.parent)), capture_output=True, text=True, timeout=300)
    return None if checked.returncode == 0 else checked.stdout + checked.stderr


def test_the_documented_examples_pass_mypy_strict(tmp_path):
    examples = dict(python_examples())
    assert examples, "the documents have no python examples to check"
    files = []
    for name, code in examples.items():
        files.append(tmp_path / (re.sub(r"\W", "_", name) + ".py"))
        files[-1].write_text(code)
    report = mypy_strict(files, tmp_path)
    assert report is None, report
