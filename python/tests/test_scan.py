"""zelm.scan: what it scans, its results' kinds, fields and types, and that
the scan runs without the GIL."""

import os
import pathlib
import threading
import time

import pytest

import zelm
from conftest import sim_devices

LAB = {"devices": [
    {"description": {"serial": "OK-1", "model": "counter"}, "info": {"Firmware": "2.1"}, "status": {"Mode": 3}},
    {"description": {"serial": "HELD-2"}},
    {"description": {"serial": "BAD-3"}, "faults": {"get_info_error": "front panel locked"}},
    {"description": {"serial": "NOSTATUS-4"}, "faults": {"get_status_error": "busy"}},
]}


@pytest.fixture
def lab(sim_config, plugin_copy, hold):
    """A plug-in with one device of each kind, HELD-2 owned by another process."""
    sim_config(LAB)
    plugin = plugin_copy()
    holder = hold(plugin, "HELD-2")
    return plugin, holder


def test_each_device_is_reported_as_its_kind_with_python_values(lab):
    plugin, holder = lab
    ok, held, bad, no_status = zelm.scan(plugin)
    assert all(isinstance(result, zelm.ScanResult) for result in (ok, held, bad, no_status))
    assert all(result.plugin_path == plugin and isinstance(result.plugin_path, pathlib.Path)
               for result in (ok, held, bad, no_status))

    assert isinstance(ok, zelm.Found)
    assert ok.description == {"serial": "OK-1", "model": "counter"}
    assert ok.info == {"Firmware": "2.1", "Serial Number": "OK-1"}
    assert ok.status == {"Mode": 3, "API": "zelm-sim/1", "Triggers": 0}
    assert (ok.serial_number, ok.api) == ("OK-1", "zelm-sim/1")

    assert isinstance(held, zelm.Occupied)
    assert held.description == {"serial": "HELD-2"}
    assert (held.owner.pid, held.owner.command) == (holder.pid, "zelm")
    assert held.owner == zelm.find_owner(zelm.load(plugin).path, held.description)

    assert isinstance(bad, zelm.Failed)
    assert "front panel locked" in bad.error

    assert isinstance(no_status, zelm.Found)
    assert (no_status.status, no_status.api, no_status.serial_number) == (None, None, "NOSTATUS-4")


def test_repr_shows_state_serial_plugin_file_and_description(lab):
    plugin, holder = lab
    ok, held, bad, _ = zelm.scan(plugin)
    assert repr(ok) == '<zelm.Found OK-1 sim_manager.so {"model":"counter","serial":"OK-1"}>'
    assert repr(held).startswith('<zelm.Occupied sim_manager.so {"serial":"HELD-2"} by Owner(pid=%d' % holder.pid)
    assert repr(bad).startswith('<zelm.Failed sim_manager.so {"serial":"BAD-3"}: ')
    assert "front panel locked" in repr(bad)


@pytest.fixture
def three_plugins(sim_config, plugin_copy):
    """Three plug-ins of two devices each in one directory, and a file in it
    that is not a plug-in."""
    sim_config(sim_devices(2))
    # Made out of name order, so that a scan in the order they were made differs.
    plugins = sorted(plugin_copy(name) for name in ("c_manager.so", "a_manager.so", "b_manager.so"))
    (plugins[0].parent / "notes_manager.txt").write_text("not a plug-in")
    return plugins


@pytest.mark.parametrize("jobs", [1, 2, 5])
@pytest.mark.parametrize("target", ["directory", "directory as text", "one file", "list", "tuple of texts"])
def test_a_directory_a_file_or_a_list_is_scanned_in_order_on_any_number_of_threads(three_plugins, target, jobs):
    directory = three_plugins[0].parent
    given, expected = {
        "directory": (directory, three_plugins),
        "directory as text": (str(directory), three_plugins),
        "one file": (three_plugins[1], three_plugins[1:2]),
        "list": (three_plugins[::-1], three_plugins[::-1]),
        "tuple of texts": (tuple(map(str, three_plugins)), three_plugins),
    }[target]
    results = zelm.scan(given, jobs=jobs)  # a directory's plug-ins in name order
    assert [(result.plugin_path, result.serial_number) for result in results] == [
        (plugin, serial) for plugin in expected for serial in ("SIM-0001", "SIM-0002")]


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_plugin_that_throws_something_odd_fails_the_scan_with_error(sim_plugin, jobs):
    with pytest.raises(zelm.Error, match="not a standard exception"):
        zelm.scan([sim_plugin, os.environ["ZELM_TEST_INT_THROWING_PLUGIN"]], jobs=jobs)


@pytest.mark.parametrize("given, environment, missing, why", [
    ("/nonexistent", None, "/nonexistent", "No such file or directory"),
    ("{tmp}/gone_manager.so", None, "{tmp}/gone_manager.so", "No such file or directory"),
    ("gone_manager.so", "{tmp}", "{tmp}/gone_manager.so", "No such file or directory"),
    (None, "{tmp}/gone", "{tmp}/gone", "No such file or directory"),
    (None, "{tmp}/file", "{tmp}/file", "Not a directory"),
], ids=["directory", "plug-in file", "bare plug-in file name", "default directory", "default that is a file"])
def test_scanning_what_is_not_there_raises_file_system_error(tmp_path, monkeypatch, given, environment, missing, why):
    (tmp_path / "file").write_text("not a directory")
    if environment:
        monkeypatch.setenv("ZELM_PLUGIN_DIR", environment.format(tmp=tmp_path))
    with pytest.raises(zelm.FileSystemError) as raised:
        zelm.scan(*([given.format(tmp=tmp_path)] if given else []))
    assert isinstance(raised.value, OSError)
    assert str(raised.value) == f"filesystem error: cannot scan: {why} [{missing.format(tmp=tmp_path)}]"


def test_jobs_below_one_is_a_value_error(sim_plugin):
    with pytest.raises(ValueError):
        zelm.scan(sim_plugin, jobs=0)


def test_another_python_thread_runs_while_a_scan_waits_for_slow_devices(sim_config, plugin_copy):
    sim_config(sim_devices(200, latency_ms={"get_info": 10}))
    plugin = plugin_copy()
    counted = 0
    stop = threading.Event()

    def count():
        nonlocal counted
        while not stop.is_set():
            counted += 1
            time.sleep(0.001)  # needs the GIL back after each sleep

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = counted
        results = zelm.scan(plugin)
        during = counted - before
    finally:
        stop.set()
        counter.join()
    assert len(results) == 200
    # A scan that kept the GIL would leave the counter at most a step or two.
    assert during >= 20
