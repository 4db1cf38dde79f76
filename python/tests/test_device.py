"""An owned device's operations in Python terms: registers, block transfers
from any bytes-like object, triggers, queries, and failures as zelm.Error."""

import array
import os
import pathlib
import subprocess
import threading
import time

import pytest

import zelm
from conftest import sim_devices


@pytest.fixture
def device(sim_plugin):
    with zelm.open(sim_plugin, "SIM-0001") as dev:
        yield dev


def test_a_register_set_reads_back(device):
    device.set_register(0x10, 42)
    device.set_register(0x11, 7, operand=3)
    assert (device.get_register(0x10), device.get_register(0x11)) == (42, 7)


@pytest.mark.parametrize("data", [
    b"\x01\x02\x03\x04",
    bytearray(b"\xfa\xfb\xfc"),
    memoryview(b"memoryview"),
    memoryview(bytearray(b"a-b-c-d-"))[::2],  # not contiguous: written through a copy
    array.array("H", [0x0102, 0x0304]),
    b"",
], ids=["bytes", "bytearray", "memoryview", "strided", "array", "empty"])
def test_what_is_written_reads_back(device, data):
    expected = bytes(data)
    device.write(100, data)
    read = device.read(100, len(expected))
    assert type(read) is bytes
    assert read == expected


def test_read_returns_the_device_memory(device):
    assert device.read(250, 10) == bytes(i & 0xFF for i in range(250, 260))


def test_write_takes_only_bytes_like_objects(device):
    with pytest.raises(TypeError):
        device.write(0, "text")


class Index:
    """An integer of another library (numpy's, say): it has __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("call, parameter", [
    (lambda d: d.get_register(-1), "address"),
    (lambda d: d.get_register(2**32), "address"),
    (lambda d: d.set_register(0, -1), "value"),
    (lambda d: d.set_register(0, 1, operand=2**100), "operand"),
    (lambda d: d.read(2**64, 1), "address"),
    (lambda d: d.read(0, -1), "length"),
    (lambda d: d.read(0, 2**63), "length"),  # longer than any bytes object
    (lambda d: d.write(-1, b"x"), "address"),
    (lambda d: d.trigger(0, 2**31), "operand"),
    (lambda d: d.trigger(0, Index(-2**31 - 1)), "operand"),
    (lambda d: d.stream(0, -1), "size"),
], ids=["register address", "huge address", "value", "operand", "read address", "negative length",
        "huge length", "write address", "trigger operand", "index operand", "stream size"])
def test_a_number_out_of_range_raises_overflow_error_naming_its_parameter(device, call, parameter):
    with pytest.raises(OverflowError, match=f"^{parameter} must be from -?\\d+ to \\d+, not [^\\n]+$"):
        call(device)
    assert device.get_register(0) == 0  # and nothing reached the device


def test_integers_of_other_libraries_are_numbers_and_floats_are_not(device):
    device.set_register(Index(0x10), Index(42))
    assert device.get_register(Index(0x10)) == 42
    with pytest.raises(TypeError):
        device.get_register(16.0)


def test_triggers_show_in_the_status(device):
    device.trigger(0, 1)
    device.trigger(5, -1)
    assert device.status == {"API": "zelm-sim/1", "Triggers": 2}


def test_info_and_description_are_python_values(device, sim_plugin):
    assert device.info["Serial Number"] == "SIM-0001"
    assert device.description == {"model": "sim-counter", "serial": "SIM-0001"}
    assert device.plugin == sim_plugin


@pytest.mark.parametrize("call, message", [
    (lambda d: d.set_register(5000, 1), "set_register(0x1388, 1) failed: the device returned 1"),
    (lambda d: d.read(4090, 10), "read(0xffa, 10) failed: the device returned 1"),
    (lambda d: d.write(4090, bytes(10)), "write(0xffa, 10 bytes) failed: the device returned 1"),
    (lambda d: d.stream(5000, 10), "stream(0x1388, 10) failed: the device started no stream"),
], ids=["set_register", "read", "write", "stream"])
def test_a_failure_result_raises_error_naming_the_operation(device, call, message):
    with pytest.raises(zelm.Error) as raised:
        call(device)
    assert str(raised.value) == message


def test_an_exception_of_the_device_raises_error_with_its_message(device):
    with pytest.raises(zelm.Error, match="register"):
        device.get_register(5000)


@pytest.mark.parametrize("faults, query, message", [
    ({"get_info_error": "front panel locked"}, "info", "info failed: front panel locked"),
    ({"get_status_error": "no status today"}, "status", "status failed: no status today"),
    ({"info_not_json": True}, "info", "info answered text that is not JSON: "),
])
def test_a_failed_query_raises_error(sim_config, plugin_copy, faults, query, message):
    sim_config(sim_devices(1, faults=faults))
    with zelm.open(plugin_copy(), "serial=SIM-0001") as dev:
        with pytest.raises(zelm.Error) as raised:
            getattr(dev, query)
    assert str(raised.value).startswith(message)


def test_other_threads_run_while_the_device_answers(sim_config, plugin_copy):
    sim_config(sim_devices(1, latency_ms={"get_info": 1500}))
    with zelm.open(plugin_copy(), "serial=SIM-0001") as dev:
        asking = threading.Thread(target=lambda: dev.info)
        asking.start()
        counted = 0
        while asking.is_alive():
            counted += 1
            time.sleep(0.01)
        asking.join()
    # About 150 with the GIL released during the call; a handful when the
    # call holds it (only before and after it).
    assert counted > 30


@pytest.fixture
def modbus_server(tmp_path, monkeypatch):
    """The Modbus simulator serving unit 1 on a loopback port, with the
    family configured for it."""
    plugin = os.environ.get("ZELM_MODBUS_PLUGIN")
    if not plugin:
        pytest.skip("the Modbus family is not built")
    simulator = pathlib.Path(__file__).parents[2] / "plugins/modbus/simulator/modbus_simulator.py"
    server = subprocess.Popen(["/usr/bin/python3", str(simulator), "--tcp", "127.0.0.1:0", "--units", "1"],
                              stdout=subprocess.PIPE, text=True)
    try:
        ready = server.stdout.readline().split()
        assert ready[:1] == ["ready"], f"the Modbus simulator did not start: {ready}"
        config = tmp_path / "modbus.json"
        config.write_text(f'{{"buses": [{{"tcp": "127.0.0.1:{ready[1]}", "units": [1], "poll_ms": 10}}]}}')
        monkeypatch.setenv("ZELM_MODBUS_CONFIG", str(config))
        yield pathlib.Path(plugin)
    finally:
        server.terminate()
        server.wait(timeout=60)


def test_a_modbus_unit_on_the_loopback_server(modbus_server):
    with zelm.open(modbus_server, "unit=1") as dev:
        assert dev.get_register(40) == 40
        dev.set_register(40, 1234)
        assert dev.get_register(40) == 1234
        assert dev.read(10, 4) == b"\x00\x0a\x00\x0b"
        dev.write(100, bytearray(b"\x12\x34\xab\xcd"))
        assert dev.read(100, 4) == b"\x12\x34\xab\xcd"
        with dev.stream(20, 4) as stream:
            chunks = [chunk for chunk, _ in zip(stream, range(3))]
        assert chunks == [b"\x00\x14\x00\x15"] * 3
        with pytest.raises(zelm.Error, match=r"exception 2 \(Illegal data address\)"):
            dev.get_register(5000)
