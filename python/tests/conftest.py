"""Shared fixtures: a private lock directory for every test, and simulated
device configurations."""

import json
import os
import pathlib
import subprocess

import pytest


@pytest.fixture(autouse=True)
def private_tmpdir(tmp_path, monkeypatch):
    """Lock files, query caches and the simulated devices' state of one test
    never meet another test's or the machine's, and the default plug-in
    directory is the build's, whatever the caller's environment says."""
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    monkeypatch.delenv("ZELM_PLUGIN_DIR", raising=False)
    return tmp_path


@pytest.fixture
def sim_plugin():
    """The simulated family's plug-in file."""
    return pathlib.Path(os.environ["ZELM_SIM_PLUGIN"])


@pytest.fixture
def sim_config(tmp_path, monkeypatch):
    """Writes a simulated family's configuration (plugins/sim/README.md) and
    points ZELM_SIM_CONFIG at it. Managers read it when they are created, so
    a test that changes it works with a copy of the plug-in (see
    `plugin_copy`), whose manager is new."""

    def write(config):
        path = tmp_path / "sim.json"
        path.write_text(json.dumps(config))
        monkeypatch.setenv("ZELM_SIM_CONFIG", str(path))
        return path

    return write


@pytest.fixture
def plugin_copy(tmp_path, sim_plugin):
    """A copy of the simulated family's plug-in under another name in a
    directory of its own: a plug-in file this process has not loaded yet, so
    its manager reads the configuration in force."""

    def copy(name="sim_manager.so", directory="plugins"):
        target = tmp_path / directory / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(sim_plugin.read_bytes())
        return target

    return copy


def sim_devices(count, **device):
    """A configuration of `count` simulated devices SIM-0001..., with the
    device members (latency_ms, faults...) given."""
    return {"devices": [dict(count=count, first_index=1, description={"serial": "SIM-{index:04}"}, **device)]}


@pytest.fixture
def hold():
    """Owns a device from another process (the zelm tool's `hold`) until the
    test ends; returns the holding process once it owns the device."""
    holders = []

    def start(plugin, selector):
        process = subprocess.Popen([os.environ["ZELM_TOOL"], "hold", str(plugin), selector],
                                   stdout=subprocess.PIPE, text=True)
        holders.append(process)
        line = process.stdout.readline()
        assert line.startswith("holding device"), f"zelm hold did not hold {selector}: {line!r}"
        return process

    yield start
    for process in holders:
        process.terminate()
        process.wait(timeout=60)
