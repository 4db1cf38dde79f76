"""Managers, lock identities and owners."""

import json
import os
import pathlib
import pickle
import pwd
import re

import pytest

import zelm
from conftest import sim_devices


def test_a_plugin_has_one_shared_manager(plugin_copy):
    plugin = plugin_copy()
    manager = zelm.load(plugin)
    assert zelm.load(str(plugin)) is manager
    assert (manager.name, manager.path) == ("sim", pathlib.Path("zelm-sim"))
    assert isinstance(manager.version, str) and manager.version
    assert "'sim'" in repr(manager)


def test_list_devices_gives_the_descriptions_as_python_values(sim_config, plugin_copy):
    sim_config({"devices": [{"description": {"serial": "A-1", "slot": 3, "tags": ["x", None], "on": True}},
                            {"description": {"serial": 7.5}}]})
    assert zelm.load(plugin_copy()).list_devices() == [
        {"serial": "A-1", "slot": 3, "tags": ["x", None], "on": True},
        {"serial": 7.5},
    ]


def test_a_lock_id_does_not_depend_on_how_the_description_is_written():
    description = {"serial": "SIM-0001", "model": "sim-counter"}
    as_text = ' {  "model" : "sim-counter", "serial":"SIM-0001" } '
    assert zelm.lock_id("zelm-sim", description) == zelm.lock_id(pathlib.Path("zelm-sim"), as_text)
    assert zelm.lock_id("zelm-sim", description).startswith("device_")
    assert zelm.lock_id("zelm-sim", description) != zelm.lock_id("zelm-other", description)


@pytest.mark.parametrize("description", [{1: "x"}, {"serial": {1, 2}}, {"serial": 2**70}])
def test_a_description_json_cannot_hold_raises_type_error(description):
    with pytest.raises(TypeError):
        zelm.lock_id("zelm-sim", description)


def test_find_owner_names_the_process_that_holds_the_device(sim_config, plugin_copy, hold):
    sim_config(sim_devices(2))
    plugin = plugin_copy()
    held, free = zelm.load(plugin).list_devices()
    holder = hold(plugin, "SIM-0001")
    owner = zelm.find_owner("zelm-sim", held)
    assert (owner.pid, owner.command, owner.host, owner.user, owner.lab_wide) == (
        holder.pid, "zelm", os.uname().nodename, pwd.getpwuid(os.getuid()).pw_name, False)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", owner.since)
    assert zelm.find_owner("zelm-sim", json.dumps(held)) == owner
    assert zelm.find_owner("zelm-sim", free) is None


def test_an_owner_is_a_value_of_all_its_fields():
    owner = zelm.Owner(4242, "zelm", "bench-1", "lab", "2026-12-11T10:54:06Z", True)
    assert repr(owner) == ("Owner(pid=4242, command='zelm', host='bench-1', user='lab', "
                           "since='2026-12-11T10:54:06Z', lab_wide=True)")
    assert pickle.loads(pickle.dumps(owner)) == owner
    assert hash(pickle.loads(pickle.dumps(owner))) == hash(owner)
    differing = [zelm.Owner(4243, "zelm", "bench-1", "lab", "2026-12-11T10:54:06Z", True),
                 zelm.Owner(4242, "zelm", "bench-1", "ops", "2026-12-11T10:54:06Z", True),
                 zelm.Owner(4242, "zelm", "bench-1", "lab", "2026-12-11T10:54:07Z", True),
                 zelm.Owner(4242, "zelm", "bench-1", "lab", "2026-12-11T10:54:06Z", False)]
    assert all(other != owner for other in differing)
    assert zelm.Owner(7) == zelm.Owner(7, None, None, None, None, False)
