"""The library's exceptions as zelm.Error and its subclasses, with the
library's messages unchanged."""

import json
import os
import pathlib

import pytest

import zelm


def canonical(variable):
    return str(pathlib.Path(os.environ[variable]).resolve())


@pytest.mark.parametrize("variable, message", [
    ("ZELM_TEST_NO_ENTRY_PLUGIN", "Device Manager missing create_manager: {path}"),
    ("ZELM_TEST_THROWING_PLUGIN", "Failed to create manager: {path} boom"),
    ("ZELM_TEST_NULL_PLUGIN", "Failed to create manager: {path} create_manager returned no manager"),
])
def test_a_plugin_that_does_not_load_raises_plugin_load_error(variable, message):
    with pytest.raises(zelm.PluginLoadError) as raised:
        zelm.load(os.environ[variable])
    assert str(raised.value) == message.format(path=canonical(variable))


@pytest.mark.parametrize("name, message", [
    ("missing_manager.so", "Device Manager not found: {path}"),
    (".", "Not a regular file: {path}"),
])
def test_a_path_that_is_no_plugin_file_raises_plugin_load_error(tmp_path, name, message):
    path = tmp_path / name
    with pytest.raises(zelm.PluginLoadError) as raised:
        zelm.load(path)
    assert str(raised.value) == message.format(path=path)


def test_a_plugin_that_throws_something_odd_raises_error_and_the_interpreter_lives_on():
    for _ in range(2):
        with pytest.raises(zelm.Error) as raised:
            zelm.load(os.environ["ZELM_TEST_INT_THROWING_PLUGIN"])
        assert type(raised.value) is zelm.Error
        assert "not a standard exception" in str(raised.value)


@pytest.mark.parametrize("description", ["{not json", "", '{"serial": "SIM-0001"'])
def test_description_that_is_not_json_raises_json_error_with_the_parsers_message(description):
    with pytest.raises(zelm.JSONError) as raised:
        zelm.lock_id("zelm-sim", description)
    assert isinstance(raised.value, ValueError)
    assert str(raised.value).startswith("[json.exception.parse_error.101] parse error")


def nested(levels):
    """A list nested `levels` deep: [] is one level."""
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


def containing_itself():
    value = {"serial": "SIM-0001"}
    value["self"] = [value]
    return value


DEPTH = 128  # the library's bound on JSON from outside

TOO_DEEP_VALUES = {
    "one level too deep": lambda: nested(DEPTH + 1),
    "nested 100,000 deep": lambda: nested(100_000),
    "containing itself": containing_itself,
}

TOO_DEEP_TEXTS = {
    "one level too deep": lambda: json.dumps(nested(DEPTH + 1)),
    "nested 100,000 deep": lambda: "[" * 100_000 + "]" * 100_000,
}

CALLS = {
    "lock_id": lambda description: zelm.lock_id("zelm-sim", description),
    "find_owner": lambda description: zelm.find_owner("zelm-sim", description),
    "open": lambda description: zelm.open(os.environ["ZELM_SIM_PLUGIN"], description),
}

# Text given to open() is a selector, read by the library's selector rules
# (see test_ownership.py).
TOO_DEEP = [(call, "value " + name, make) for call in CALLS for name, make in TOO_DEEP_VALUES.items()] + [
    (call, "text " + name, make) for call in ("lock_id", "find_owner") for name, make in TOO_DEEP_TEXTS.items()]


@pytest.mark.parametrize("call, description, make", TOO_DEEP, ids=[f"{call}-{name}" for call, name, _ in TOO_DEEP])
def test_a_description_nested_too_deeply_raises_json_error(call, description, make):
    with pytest.raises(zelm.JSONError) as raised:
        CALLS[call](make())
    assert isinstance(raised.value, ValueError)
    assert f"nested deeper than {DEPTH} levels" in str(raised.value)


@pytest.mark.parametrize("description", [nested(DEPTH), json.dumps(nested(DEPTH))], ids=["value", "text"])
def test_a_description_nested_as_deeply_as_the_library_takes_has_a_lock_id(description):
    assert zelm.lock_id("zelm-sim", description).startswith("device_")


@pytest.mark.parametrize("error, bases", [
    ("DeviceOccupied", (zelm.Error,)),
    ("PluginLoadError", (zelm.Error,)),
    ("JSONError", (zelm.Error, ValueError)),
    ("FileSystemError", (zelm.Error, OSError)),
    ("LockUnusable", (zelm.Error,)),
    ("InvalidSelector", (zelm.Error, ValueError)),
    ("NoDeviceMatches", (zelm.Error, LookupError)),
    ("AmbiguousSelector", (zelm.Error, LookupError)),
])
def test_every_error_is_a_zelm_error_that_users_of_the_builtin_kinds_also_catch(error, bases):
    assert all(issubclass(getattr(zelm, error), base) for base in bases)


@pytest.mark.parametrize("error, attribute, default", [
    ("DeviceOccupied", "owner", None),
    ("LockUnusable", "path", None),
    ("NoDeviceMatches", "incomplete", False),
    ("AmbiguousSelector", "candidates", ()),
])
def test_an_error_raised_by_python_code_has_its_attributes_default(error, attribute, default):
    assert getattr(getattr(zelm, error)("raised by hand"), attribute) == default


@pytest.mark.parametrize("call, error, message", [
    (lambda: zelm.scan(jobs=2**40), OverflowError, "jobs must be from -2147483648 to 2147483647, not 1099511627776"),
    (lambda: zelm.Owner(-2**200), OverflowError, "pid must be from -2147483648 to 2147483647, "
                                                  "not a negative integer of 201 bits"),
    (lambda: zelm.join_cluster("http://127.0.0.1:2379", ttl=10**400), OverflowError,
     "ttl must be from -9223372036854775808 to 9223372036854775807, not an integer of 1329 bits"),
    (lambda: zelm.join_cluster("http://127.0.0.1:2379", ttl=2**62), ValueError,
     "Bad cluster time-to-live: 4.611686018427388e+18 s (a whole number of seconds)"),
], ids=["jobs", "owner pid", "huge ttl", "ttl beyond any lease"])
def test_a_number_out_of_range_raises_naming_its_parameter(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message
    assert not zelm.in_cluster()
