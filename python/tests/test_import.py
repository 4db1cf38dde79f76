"""The module as Python users expect a module to be: its version, what a
star import brings, classes named where they are imported from, and
signatures that help() shows with names and types."""

import builtins
import inspect
import pathlib
import pickle
import re
import traceback

import pytest

import zelm

SOURCE = pathlib.Path(__file__).resolve().parents[2]


def test_error_is_an_exception():
    assert issubclass(zelm.Error, Exception)


def test_the_version_is_the_projects():
    project = re.search(r"project\(\w+ VERSION ([\d.]+)", (SOURCE / "CMakeLists.txt").read_text())
    assert zelm.__version__ == project.group(1)


def test_a_star_import_keeps_the_builtin_open():
    names = {}
    exec("from zelm import *\nopened_by = open", names)
    assert names["opened_by"] is builtins.open
    assert {"scan", "Device", "default_plugin_directory"} <= set(names)
    assert callable(zelm.open)


def public_objects():
    return {name: getattr(zelm, name) for name in dir(zelm) if not name.startswith("_") and name != "open"} | {
        "open": zelm.open}


@pytest.mark.parametrize("name", sorted(public_objects()))
def test_every_name_belongs_to_the_package(name):
    value = public_objects()[name]
    assert value.__module__ == "zelm"
    if isinstance(value, type):
        assert (value.__qualname__, repr(value)) == (name, f"<class 'zelm.{name}'>")


def test_a_traceback_and_a_pickle_name_the_class_as_imported(tmp_path):
    with pytest.raises(zelm.PluginLoadError) as raised:
        zelm.load(tmp_path / "missing_manager.so")
    assert traceback.format_exception_only(raised.type, raised.value)[0].startswith("zelm.PluginLoadError: ")
    owner = zelm.Owner(42, "zelm", "bench-1")
    assert b"zelm._zelm" not in pickle.dumps(owner)
    assert pickle.loads(pickle.dumps(owner)) == owner


def signatures():
    """Every signature line of the module's functions and methods."""
    def lines_of(name, function):
        return [(name, line) for line in (function.__doc__ or "").splitlines()
                if line.startswith(function.__name__ + "(")]

    found = []
    for name, value in public_objects().items():
        if isinstance(value, type):
            found += [(f"{name}.{member}", line) for member, function in vars(value).items()
                      if inspect.isroutine(function) for _, line in lines_of(member, function)]
        else:
            found += lines_of(name, value)
    return found


def parameters(signature):
    """The parameters of "name(a: T, b: U[V, W] = x) -> R", split at the
    commas outside brackets."""
    inside = re.fullmatch(r"\w+\((.*)\) -> .+", signature).group(1)
    split, depth, start = [], 0, 0
    for index, character in enumerate(inside):
        depth += {"[": 1, "]": -1}.get(character, 0)
        if character == "," and depth == 0:
            split.append(inside[start:index].strip())
            start = index + 1
    return split + [inside[start:].strip()] if inside else split


@pytest.mark.parametrize("name, signature", signatures(), ids=[name for name, _ in signatures()])
def test_help_shows_each_parameter_with_its_name_and_type(name, signature):
    assert "_zelm" not in signature
    for parameter in parameters(signature):
        if parameter != "*":
            named = re.fullmatch(r"(\w+): (.+?)( = .+)?", parameter)
            assert named and not re.fullmatch(r"arg\d+", named.group(1)), parameter
            assert named.group(2) not in ("object", "handle"), parameter
