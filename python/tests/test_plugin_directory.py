"""The default plug-in directory: $ZELM_PLUGIN_DIR, else the one built or
installed with the module; zelm.scan() scans it, and a bare plug-in file
name names a file there, never one in the working directory."""

import os
import pathlib

import pytest

import zelm
from conftest import sim_devices


def test_the_default_is_the_plugin_directory_built_with_the_module():
    assert zelm.default_plugin_directory() == pathlib.Path(os.environ["ZELM_TEST_PLUGIN_DIR"]).resolve()


@pytest.mark.parametrize("value, expected", [
    ("/opt/lab/plugins", "/opt/lab/plugins"),
    ("relative/plugins", "relative/plugins"),
    ("", None),  # empty: as if unset
])
def test_zelm_plugin_dir_overrides_the_default(monkeypatch, value, expected):
    monkeypatch.setenv("ZELM_PLUGIN_DIR", value)
    built = pathlib.Path(os.environ["ZELM_TEST_PLUGIN_DIR"]).resolve()
    assert zelm.default_plugin_directory() == (pathlib.Path(expected) if expected else built)


@pytest.fixture
def lab(tmp_path, monkeypatch, sim_config, plugin_copy):
    """A default plug-in directory with the simulated family in it, and a
    working directory where a file of the same name was planted: a plug-in
    whose entry point is missing, which never loads."""
    sim_config(sim_devices(2))
    plugin = plugin_copy("sim_manager.so", "default")
    monkeypatch.setenv("ZELM_PLUGIN_DIR", str(plugin.parent))
    planted = tmp_path / "work" / "sim_manager.so"
    planted.parent.mkdir()
    planted.write_bytes(pathlib.Path(os.environ["ZELM_TEST_NO_ENTRY_PLUGIN"]).read_bytes())
    monkeypatch.chdir(planted.parent)
    return plugin


def test_scan_without_plugins_scans_the_default_directory(lab):
    assert [(result.plugin_path, result.serial_number) for result in zelm.scan()] == [
        (lab, "SIM-0001"), (lab, "SIM-0002")]


def scanned(plugin):
    return {result.plugin_path for result in zelm.scan(plugin)}


def scanned_in_a_list(plugin):
    return {result.plugin_path for result in zelm.scan([plugin])}


def opened(plugin):
    with zelm.open(plugin, "SIM-0001") as dev:
        return {dev.plugin}


@pytest.mark.parametrize("call", [scanned, scanned_in_a_list, opened])
def test_a_bare_file_name_is_a_plugin_of_the_default_directory(lab, call):
    assert call("sim_manager.so") == {lab}


def test_load_of_a_bare_file_name_gives_the_default_directorys_manager(lab):
    # One manager a plug-in file: the same manager is the same file.
    assert zelm.load("sim_manager.so") is zelm.load(lab)


@pytest.mark.parametrize("call", [
    lambda name: zelm.load(name),
    lambda name: zelm.open(name, "SIM-0001"),
], ids=["load", "open"])
def test_a_path_with_a_directory_is_taken_as_it_is(lab, call):
    with pytest.raises(zelm.PluginLoadError, match="missing create_manager"):
        call("./sim_manager.so")
