"""zelm.open owns a device, across processes, from the call until close()
or the end of its `with` block; the lock comes before the device opens."""

import json
import multiprocessing
import os
import pwd

import pytest

import zelm
from conftest import sim_devices

# A fresh interpreter per process: a forked child would share the parent's
# lock descriptors, and with them its ownership.
processes = multiprocessing.get_context("spawn")

COUNTER = {"model": "sim-counter", "serial": "SIM-0001"}


def own_until_released(plugin, description, owned, release, command=None):
    if command:  # the name the process shows, as prctl(PR_SET_NAME) sets it
        with open("/proc/self/comm", "w") as comm:
            comm.write(command)
    with zelm.open(plugin, description):
        owned.set()
        release.wait()


@pytest.fixture
def owner_process(sim_plugin):
    """Starts a process that owns a device until released, or killed."""
    started = []

    def start(description, plugin=sim_plugin, command=None):
        owned, release = processes.Event(), processes.Event()
        process = processes.Process(target=own_until_released,
                                    args=(str(plugin), description, owned, release, command))
        process.start()
        started.append(process)
        assert owned.wait(60), "the owner process did not own the device"
        process.release = release
        return process

    yield start
    for process in started:
        process.kill()
        process.join()


@pytest.mark.parametrize("selector", [COUNTER, json.dumps(COUNTER, indent=1), "model=sim-counter"],
                         ids=["dict", "json", "filter"])
@pytest.mark.parametrize("gone", ["exits", "is killed"])
def test_a_device_owned_by_another_process_is_occupied_until_its_owner(owner_process, sim_plugin, selector, gone):
    owner = owner_process(COUNTER)
    with pytest.raises(zelm.DeviceOccupied) as raised:
        zelm.open(sim_plugin, selector)
    assert raised.value.owner.pid == owner.pid
    if gone == "exits":
        owner.release.set()
    else:
        owner.kill()
    owner.join(60)
    with zelm.open(sim_plugin, selector) as dev:
        assert dev.description == COUNTER


@pytest.mark.parametrize("command, shown", [
    ("bench-logger", "bench-logger"),
    ("two\nlines", "'two\\nlines'"),  # escaped: the message stays one line
    ("\x1b[31mred", "'\\x1b[31mred'"),
], ids=["plain", "newline", "terminal escape"])
def test_the_message_of_device_occupied_names_the_holder(owner_process, sim_plugin, command, shown):
    owner = owner_process(COUNTER, command=command)
    with pytest.raises(zelm.DeviceOccupied) as raised:
        zelm.open(sim_plugin, COUNTER)
    holder = raised.value.owner
    assert (holder.pid, holder.command, holder.host, holder.user, holder.lab_wide) == (
        owner.pid, command, os.uname().nodename, pwd.getpwuid(os.getuid()).pw_name, False)
    assert str(raised.value) == f"Device is already occupied by process {owner.pid} ({shown}) on {os.uname().nodename}"


def test_an_occupied_device_is_not_opened(owner_process, sim_config, plugin_copy, tmp_path):
    sim_config(dict(sim_devices(1), open_log=str(tmp_path / "opens.log")))
    plugin = plugin_copy()
    owner = owner_process({"serial": "SIM-0001"}, plugin)
    with pytest.raises(zelm.DeviceOccupied):
        zelm.open(plugin, "serial=SIM-0001")
    assert [line.split()[0] for line in (tmp_path / "opens.log").read_text().splitlines()] == [str(owner.pid)]


def close(dev):
    dev.close()


def leave_with_block(dev):
    with dev:
        pass


def leave_with_block_by_exception(dev):
    with pytest.raises(KeyError):
        with dev:
            raise KeyError("raised in the block")


@pytest.mark.parametrize("release", [close, leave_with_block, leave_with_block_by_exception])
def test_a_device_is_owned_until_released(sim_plugin, release):
    dev = zelm.open(sim_plugin, COUNTER)
    with pytest.raises(zelm.DeviceOccupied):
        zelm.open(sim_plugin, COUNTER)
    release(dev)
    assert dev.closed
    with zelm.open(sim_plugin, COUNTER) as again:
        assert not again.closed


@pytest.mark.parametrize("call", [
    lambda d: d.get_register(0),
    lambda d: d.set_register(0, 1),
    lambda d: d.read(0, 1),
    lambda d: d.write(0, b"x"),
    lambda d: d.trigger(0, 1),
    lambda d: d.stream(0, 1),
    lambda d: d.info,
    lambda d: d.status,
], ids=["get_register", "set_register", "read", "write", "trigger", "stream", "info", "status"])
def test_a_closed_device_raises_error(sim_plugin, call):
    with zelm.open(sim_plugin, COUNTER) as dev:
        pass
    dev.close()  # closing twice does nothing
    with pytest.raises(zelm.Error, match="on a closed device$"):
        call(dev)
    assert dev.description == COUNTER


@pytest.mark.parametrize("selector, serial", [
    ({"serial": "SIM-0003", "model": "sim-memory"}, "SIM-0003"),
    ('  {"serial": "SIM-0002",  "model": "sim-sampler"}', "SIM-0002"),
    ("SIM-0002", "SIM-0002"),
    ("model=sim-memory", "SIM-0003"),
    ("model=sim-counter,serial=SIM-0001", "SIM-0001"),
])
def test_a_selector_names_one_listed_device(sim_plugin, selector, serial):
    with zelm.open(sim_plugin, selector) as dev:
        assert dev.description["serial"] == serial


@pytest.mark.parametrize("selector, error, message", [
    ("model=nothing", zelm.NoDeviceMatches, "no device listed by sim_manager.so matches the filter model=nothing"),
    ("SIM-9999", zelm.NoDeviceMatches, "no device listed by sim_manager.so matches the serial number SIM-9999"),
    ({"serial": "SIM-0001"}, zelm.NoDeviceMatches,
     'no device listed by sim_manager.so matches the description {"serial":"SIM-0001"}'),
    ("=x", zelm.InvalidSelector, ""),
    ("[" * 200 + "]" * 200, zelm.InvalidSelector, ""),
    ("@2", zelm.InvalidSelector, '"@2" names a row of the zelm tool\'s last scan table'),
    ("@SIM-0001", zelm.InvalidSelector, '"@SIM-0001" names a row of the zelm tool\'s last scan table'),
], ids=["filter", "serial number", "description", "filter without key", "json too deep", "row", "not a row"])
def test_a_selector_that_names_no_device_raises_its_own_error(sim_plugin, selector, error, message):
    with pytest.raises(error) as raised:
        zelm.open(sim_plugin, selector)
    assert isinstance(raised.value, zelm.Error)
    assert isinstance(raised.value, ValueError if error is zelm.InvalidSelector else LookupError)
    assert str(raised.value).startswith(message)


def test_a_row_of_the_tools_table_says_how_to_name_the_device(sim_plugin):
    with pytest.raises(ValueError, match="name the device by its description, its serial number or key=value"):
        zelm.open(sim_plugin, "@1")


def test_several_matching_devices_raise_ambiguous_selector_with_the_candidates(sim_config, plugin_copy):
    sim_config({"devices": [{"count": 2, "first_index": 1, "description": {"serial": "S{index}", "rack": 1}}]})
    plugin = plugin_copy()
    with pytest.raises(zelm.AmbiguousSelector, match="2 devices") as raised:
        zelm.open(plugin, "rack=1")
    assert isinstance(raised.value, LookupError)
    assert raised.value.candidates == ({"serial": "S1", "rack": 1}, {"serial": "S2", "rack": 1})
    with zelm.open(plugin, raised.value.candidates[1]) as dev:
        assert dev.description["serial"] == "S2"


def test_a_device_held_by_another_process_is_occupied_when_named_by_its_serial_number(sim_config, plugin_copy,
                                                                                     hold):
    sim_config(sim_devices(2))
    plugin = plugin_copy()
    holder = hold(plugin, "SIM-0002")  # found by a scan, so its serial number was seen while it was free
    with pytest.raises(zelm.DeviceOccupied) as raised:
        zelm.open(plugin, "SIM-0002")
    assert (raised.value.owner.pid, raised.value.owner.command) == (holder.pid, "zelm")
    assert str(raised.value).startswith(f"Device is already occupied by process {holder.pid} (zelm)")
    with zelm.open(plugin, "SIM-0001") as dev:
        assert dev.description == {"serial": "SIM-0001"}


LOCK_DIRECTORY = "rezored_izede"  # under TMPDIR, as the library names it


def test_a_lock_file_that_is_a_link_raises_lock_unusable(sim_plugin, private_tmpdir):
    with zelm.open(sim_plugin, COUNTER):
        pass
    lock_file = private_tmpdir / LOCK_DIRECTORY / (zelm.lock_id("zelm-sim", COUNTER) + ".occupied")
    lock_file.unlink(missing_ok=True)
    lock_file.symlink_to("/dev/null")  # planted by somebody else
    with pytest.raises(zelm.LockUnusable) as raised:
        zelm.open(sim_plugin, COUNTER)
    assert not isinstance(raised.value, zelm.DeviceOccupied)
    assert raised.value.path == lock_file
    assert str(raised.value).startswith(f"Cannot open device lock file: {lock_file}: ")


def test_a_plugin_that_does_not_load_raises_plugin_load_error(tmp_path):
    with pytest.raises(zelm.PluginLoadError):
        zelm.open(tmp_path / "missing_manager.so", "SIM-0001")
